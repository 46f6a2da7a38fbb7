#include "state/pairedframesource.h"

PairedFrameSource::PairedFrameSource(FrameSource *pictures, FrameSource *sound, int64_t offset, int64_t soundFrames,
                                     QObject *parent)
    : FrameSource(parent)
    , m_pictures(pictures)
    , m_sound(sound)
    , m_offset(offset)
    , m_soundFrames(soundFrames)
{
    if (m_pictures)
        connect(m_pictures, &FrameSource::frameReady, this,
                [this](const QVideoFrame &frame, int64_t n, const QList<float> &levels, const QList<float> &peaks,
                       const QByteArray &audio, int id) { onPicture({frame, n, levels, peaks, audio}, id); });
    if (m_sound) {
        connect(m_sound, &FrameSource::frameReady, this,
                [this](const QVideoFrame &frame, int64_t n, const QList<float> &levels, const QList<float> &peaks,
                       const QByteArray &audio, int id) { onSound({frame, n, levels, peaks, audio}, id); });
        connect(m_sound, &QObject::destroyed, this, [this] {
            m_sound = nullptr;
            finish();
        });
    }
}

bool PairedFrameSource::begin(int64_t frameNumber, int requestId, bool withSound)
{
    m_requestId = requestId;
    m_picture.reset();
    m_soundAnswer.reset();
    const int64_t soundFrame = frameNumber - m_offset;
    m_wantSound = withSound && m_sound && soundFrame >= 0 && soundFrame < m_soundFrames;
    return m_wantSound;
}

void PairedFrameSource::abortCurrentTask(int latestId)
{
    if (m_pictures)
        m_pictures->abortCurrentTask(latestId);
    if (m_sound)
        m_sound->abortCurrentTask(latestId);
}

void PairedFrameSource::requestFrame(int64_t frameNumber, int requestId)
{
    if (begin(frameNumber, requestId, true))
        m_sound->requestFrame(frameNumber - m_offset, requestId);
    if (m_pictures)
        m_pictures->requestFrame(frameNumber, requestId);
}

void PairedFrameSource::requestFrameSilently(int64_t frameNumber, int requestId)
{
    begin(frameNumber, requestId, false);
    if (m_pictures)
        m_pictures->requestFrameSilently(frameNumber, requestId);
}

void PairedFrameSource::requestNextFrameAtOrAfter(int64_t targetFrame, int requestId)
{
    // Both read on in step; the sound source lands on the same frame as long as neither skips.
    if (begin(targetFrame, requestId, true))
        m_sound->requestNextFrameAtOrAfter(targetFrame - m_offset, requestId);
    if (m_pictures)
        m_pictures->requestNextFrameAtOrAfter(targetFrame, requestId);
}

void PairedFrameSource::requestPlaybackStart(int64_t frameNumber, double soundSeconds, int requestId)
{
    if (begin(frameNumber, requestId, true))
        m_sound->requestPlaybackStart(frameNumber - m_offset, soundSeconds, requestId);
    if (m_pictures)
        m_pictures->requestPlaybackStart(frameNumber, 0.0, requestId);
}

bool PairedFrameSource::primePlaybackQueue(int64_t frameNumber, int requestId)
{
    const int64_t soundFrame = frameNumber - m_offset;
    bool ok = m_pictures && m_pictures->primePlaybackQueue(frameNumber, requestId);
    if (m_sound && soundFrame >= 0 && soundFrame < m_soundFrames)
        ok = m_sound->primePlaybackQueue(soundFrame, requestId) && ok;
    return ok;
}

void PairedFrameSource::clearAudioQueue()
{
    if (m_pictures)
        m_pictures->clearAudioQueue();
    if (m_sound)
        m_sound->clearAudioQueue();
}

void PairedFrameSource::onPicture(const Answer &answer, int requestId)
{
    if (requestId != m_requestId) {
        // Stale: the controller drops it by its id all the same.
        emit frameReady(answer.frame, answer.frameNumber, {}, {}, {}, requestId);
        return;
    }
    m_picture = answer;
    finish();
}

void PairedFrameSource::onSound(const Answer &answer, int requestId)
{
    if (requestId != m_requestId || !m_wantSound)
        return;
    m_soundAnswer = answer;
    finish();
}

void PairedFrameSource::finish()
{
    // A sound source gone meanwhile answers no more: the picture goes on without sound.
    if (!m_picture || (m_wantSound && m_sound && !m_soundAnswer))
        return;
    const Answer picture = *m_picture;
    const Answer sound = m_soundAnswer.value_or(Answer());
    const int requestId = m_requestId;
    m_picture.reset();
    m_soundAnswer.reset();
    m_requestId = -1;
    emit frameReady(picture.frame, picture.frameNumber, sound.levels, sound.peaks, sound.audio, requestId);
}
