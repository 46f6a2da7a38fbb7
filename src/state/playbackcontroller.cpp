#include "state/playbackcontroller.h"

#include "audio/audiooutput.h"
#include "state/applicationstate.h"

#include <QDebug>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kBytesPerFrame = AudioOutput::bytesPerFrame;
constexpr int kMaxRecoveryAttempts = 3;
// Filling the playback queue took up to 340 ms on a busy machine (ten 1080p H.264 frames).
constexpr double kStartSoundMarginSec = 0.4;
// Played peaks are measured from 0.0001 up, so the played sides read down to -80 dB before
// the meter's own floor takes over.
constexpr float kPlayedFloorDb = -80.0f;

float levelAt(const QList<float> &list, int channel)
{
    return channel >= 0 && channel < list.size() ? list.at(channel) : levels::kFloorDb;
}

} // namespace

PlaybackController::PlaybackController(ApplicationState *state, FrameSource *source, AudioOutput *audioOutput,
                                       QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_audio(audioOutput)
{
    setFrameSource(source);
}

void PlaybackController::setFrameSource(FrameSource *source)
{
    if (m_engine)
        disconnect(m_engine, &FrameSource::frameReady, this, &PlaybackController::onFrameReady);
    m_engine = source;
    m_awaitingFrame = false;
    if (m_engine)
        connect(m_engine, &FrameSource::frameReady, this, &PlaybackController::onFrameReady);
}

void PlaybackController::setRouting(int left, int right)
{
    m_routeLeft = left;
    m_routeRight = right;
}

// ---------------------------------------------------------------------------------------
// Media facts, read at each use: the window replaces them on every open.

const MediaInfo &PlaybackController::media() const
{
    return m_state->mediaInfo();
}

int PlaybackController::sampleRate() const
{
    return media().audioSampleRate;
}

double PlaybackController::fps() const
{
    return m_state->fps();
}

bool PlaybackController::hasAudioSink() const
{
    return m_audio && m_audio->hasSink();
}

int64_t PlaybackController::bytesWritten() const
{
    return m_audio ? m_audio->bytesWritten() : 0;
}

qsizetype PlaybackController::pendingAudioBytes() const
{
    return m_audio ? m_audio->pendingBytes() : 0;
}

bool PlaybackController::isForwardNormalSpeed() const
{
    return m_state->playState() == Forward && m_state->speedIndex() == 0;
}

// ---------------------------------------------------------------------------------------
// Engine calls

void PlaybackController::abortEngineWork()
{
    // Direct on purpose: the engine may be busy with a long seek on its own thread, and
    // only stores the id (atomically) so that the seek can give up.
    if (m_engine)
        m_engine->abortCurrentTask(m_requestId);
}

void PlaybackController::invokeRequestFrame(int64_t frameNumber, bool silently)
{
    if (!m_engine)
        return;
    if (silently)
        m_engine->requestFrameSilently(frameNumber, m_requestId);
    else
        m_engine->requestFrame(frameNumber, m_requestId);
}

void PlaybackController::invokeClearAudioQueue()
{
    if (m_engine)
        m_engine->clearAudioQueue();
}

void PlaybackController::primeEngineQueue(int64_t frameNumber)
{
    if (!m_engine)
        return;
    // Blocks the GUI until the engine has decoded up to the start frame: heavy media
    // would otherwise start with an empty queue and stutter.
    if (!m_engine->primePlaybackQueue(frameNumber, m_requestId))
        qWarning().noquote() << QStringLiteral("Playback: the engine could not prime its queue at frame %1").arg(frameNumber);
}

// ---------------------------------------------------------------------------------------
// Play state

void PlaybackController::setPlaybackState(PlayState state, bool incrementSpeed)
{
    const int64_t total = m_state->totalFrames();
    if (state != Stopped && total <= 1) {
        if (m_state->playState() != Stopped)
            stopWith("single-frame media");
        return;
    }
    const bool audioOnly = media().isAudioOnly;

    ++m_requestId;
    abortEngineWork();
    m_awaitingFrame = false;

    if (state == Stopped && m_state->playState() == Stopped) {
        m_stopReason.clear();
        return;
    }

    const bool wasForwardNormal = isForwardNormalSpeed();
    int speedIndex = 0;
    if (state == m_state->playState() && incrementSpeed && state != Stopped)
        speedIndex = std::min(m_state->speedIndex() + 1, speedCount - 1);
    else
        m_state->setPlayState(state);
    m_state->setSpeedIndex(speedIndex);

    const bool nowForwardNormal = isForwardNormalSpeed();
    const bool entersForwardNormal = nowForwardNormal && !wasForwardNormal;
    const bool priming = entersForwardNormal && media().primingEnabled() && !incrementSpeed;
    const int64_t current = m_state->currentFrameNumber();

    clearAudioBuffers();
    if (priming && total > 1)
        primeEngineQueue(current);

    if (entersForwardNormal) {
        m_clockAwaitsFirstFrame = true;
        startAudioOutput();
        m_left.reset();
        m_right.reset();
        m_levelTimer.start();
        m_levelTimerValid = true;
        if (!priming && total > 0) {
            // Repositions picture and audio on the frame on screen, with sound enough for
            // the output to start on.
            ++m_requestId;
            m_awaitingFrame = true;
            if (m_engine)
                m_engine->requestPlaybackStart(current, startSoundSeconds(), m_requestId);
        }
    }

    const PlayState now = m_state->playState();
    if (now == Forward || now == Backward) {
        m_recoveryAttempts = 0;
        m_playTimer.restart();
        m_startFrame = current;
        m_fpsTimer.restart();
        m_fpsFrameCount = 0;
        showNominalRate();
    } else {
        m_recoveryAttempts = 0;
        m_clockAwaitsFirstFrame = false;
        m_clock.stop();
        resetAudioTracking();
        m_levelTimerValid = false;
        emit rateChanged(QString(), RateLook::Keep);
        stopAudioOutput();
        if (audioOnly && total > 0)
            invokeRequestFrame(current); // redraws the still picture without the trace
    }

    const int speed = speedTable[m_state->speedIndex()];
    switch (now) {
    case Forward:
        qDebug().noquote() << QStringLiteral("Playback: FORWARD at %1 x speed").arg(speed);
        break;
    case Backward:
        qDebug().noquote() << QStringLiteral("Playback: BACKWARD at %1 x speed").arg(speed);
        break;
    case Stopped:
        qDebug().noquote() << QStringLiteral("Playback: STOPPED reason=%1 frame=%2/%3")
                                  .arg(m_stopReason.isEmpty() ? QStringLiteral("external/requested") : m_stopReason)
                                  .arg(m_state->currentFrameNumber())
                                  .arg(total);
        m_stopReason.clear();
        break;
    }
}

void PlaybackController::stopWith(const char *reason)
{
    m_stopReason = QLatin1String(reason);
    setPlaybackState(Stopped);
}

int64_t PlaybackController::clockFrame()
{
    const double wall = double(m_playTimer.isValid() ? m_playTimer.elapsed() : 0) / 1000.0;
    std::optional<int64_t> played;
    if (hasAudioSink())
        played = m_audio->playedUSecs();
    const bool wasSynced = m_clock.audioSynced();
    const double t = m_clock.seconds(wall, played);
    if (!wasSynced && m_clock.audioSynced())
        qDebug().noquote() << QStringLiteral("Playback: audio output started after %1 ms").arg(qRound(wall * 1000.0));
    return pacing::clockFrame(m_startFrame, fps(), t);
}

double PlaybackController::audioClockSeconds() const
{
    if (!hasAudioSink() || !isForwardNormalSpeed())
        return -1.0;
    return m_clock.audioSeconds(m_audio->playedUSecs());
}

void PlaybackController::onPlaybackTimer()
{
    const PlayState state = m_state->playState();
    if (state == Stopped)
        return;
    const int64_t total = m_state->totalFrames();
    if (total <= 1) {
        stopWith("single-frame media");
        return;
    }
    const bool forwardNormal = isForwardNormalSpeed();
    if (forwardNormal)
        feedAudio(QByteArray());
    if (m_awaitingFrame)
        return;

    const int64_t current = m_state->currentFrameNumber();
    if (!forwardNormal) {
        const int64_t travelled =
            pacing::shuttleDistance(fps(), m_playTimer.elapsed(), speedTable[m_state->speedIndex()]);
        int64_t target = 0;
        if (state == Forward) {
            target = m_startFrame + travelled;
            if (total > 0 && target >= total) {
                stopWith("end of media");
                return;
            }
        } else {
            target = m_startFrame - travelled;
            if (target < 0) {
                stopWith("start of media");
                return;
            }
        }
        if (target == current)
            return;
        m_awaitingFrame = true;
        // Shuttles play no sound.
        invokeRequestFrame(target, true);
        return;
    }

    requestDueFrame();
}

void PlaybackController::requestDueFrame()
{
    const int64_t total = m_state->totalFrames();
    const int64_t current = m_state->currentFrameNumber();
    int64_t due = clockFrame();
    if (total > 0 && due >= total) {
        due = total - 1;
        if (current >= due) {
            stopWith("end of media");
            return;
        }
    }
    if (due <= current) {
        // The clock waits for the device's first played samples, but the answer that
        // started the run brings only the sound decoded up to its frame, which may be too
        // little to begin with or to last until the next answer: the next frames' answers
        // bring more (the engine reads ahead for them).
        if (!awaitsFirstSound())
            return;
        due = current + 1;
        if (total > 0 && due >= total)
            return;
    }
    const int64_t step = pacing::forwardStep(media().stabilized(), fps(), due - current);
    const int64_t target = std::min(due, current + step);
    m_awaitingFrame = true;
    if (m_engine)
        m_engine->requestNextFrameAtOrAfter(target, m_requestId);
    ++m_fpsFrameCount;
    updateMeasuredRate();
}

double PlaybackController::startSoundSeconds() const
{
    if (!hasAudioSink() || !m_audio->isStarted())
        return 0.0;
    // A full buffer starts the output at once; the rest plays while the answers after the
    // first fill the engine's playback queue, which brings no sound until it is done.
    return m_audio->bufferSeconds() + kStartSoundMarginSec;
}

bool PlaybackController::awaitsFirstSound() const
{
    return hasAudioSink() && m_audio->isStarted() && !m_clock.audioSynced() && m_audio->isFilling();
}

void PlaybackController::requestSeek(int64_t position)
{
    seekTo(position, false);
}

void PlaybackController::requestStep(int64_t position)
{
    seekTo(position, true);
}

void PlaybackController::seekTo(int64_t position, bool silently)
{
    ++m_requestId;
    abortEngineWork();
    m_awaitingFrame = false;
    m_stopReason = QStringLiteral("seek");
    setPlaybackState(Stopped);
    invokeRequestFrame(position, silently);
}

void PlaybackController::onFrameReady(QVideoFrame frame, int64_t frameNumber, QList<float> audioLevels,
                                      QList<float> peakLevels, QByteArray audioBuffer, int requestId)
{
    m_awaitingFrame = false;
    if (requestId != m_requestId)
        return;

    if (!frame.isValid()) {
        if (m_state->playState() != Stopped && !recoverFromBadFrame(QStringLiteral("invalid frame")))
            stopWith("invalid frame");
        return;
    }

    const bool forwardNormal = isForwardNormalSpeed();
    const int64_t previous = m_state->currentFrameNumber();
    if (forwardNormal && previous >= 0) {
        const int64_t allowed = pacing::allowedJump(media().stabilized(), fps());
        const int64_t jump = frameNumber - previous;
        if (jump > allowed)
            qWarning().noquote() << QStringLiteral("Playback: frame jump detected previous=%1 current=%2 jump=%3 targetFps=%4")
                                        .arg(previous)
                                        .arg(frameNumber)
                                        .arg(jump)
                                        .arg(QString::number(fps(), 'f', 3));
    }

    m_recoveryAttempts = 0;
    m_state->setCurrentFrameNumber(frameNumber);
    m_lastLevels = audioLevels;

    if (forwardNormal && m_clockAwaitsFirstFrame) {
        // The clock counts from the first picture of the run, which comes with the first
        // sound: counted from the key press, it would run ahead by however long the
        // first exact seek took, and the picture would lead the sound by that much for
        // the whole run (the audio clock takes over the wall clock's reading).
        m_clockAwaitsFirstFrame = false;
        m_playTimer.restart();
        m_clock.start(m_clock.audioActive(), m_clock.audioBaseUSecs());
    }
    if (forwardNormal)
        feedAudio(audioBuffer);
    emit pictureReady(frame);
    if (!forwardNormal) {
        feedMeterFromEngine(audioLevels, peakLevels);
        feedAudio(audioBuffer);
        return;
    }
    // The tick is one frame period long, so a tick that lands just before a frame
    // boundary would leave the picture a frame behind until the next one, and the small
    // steps of stabilised media never make that up. An answer that finds the clock
    // already past it asks for the due frame at once (still one request at a time).
    if (!m_awaitingFrame && isForwardNormalSpeed())
        requestDueFrame();
}

bool PlaybackController::recoverFromBadFrame(const QString &reason)
{
    const int64_t total = m_state->totalFrames();
    const int64_t current = m_state->currentFrameNumber();
    const int64_t margin = pacing::recoveryMargin(fps());
    if (isForwardNormalSpeed() && total > 1 && current < total - margin) {
        if (m_recoveryAttempts < kMaxRecoveryAttempts) {
            ++m_recoveryAttempts;
            const int64_t retry = std::clamp<int64_t>(std::max(current + 1, clockFrame()), 0, total - 1);
            qWarning().noquote() << QStringLiteral("Playback recovery: %1 attempt=%2 current=%3 retry=%4 total=%5")
                                        .arg(reason)
                                        .arg(m_recoveryAttempts)
                                        .arg(current)
                                        .arg(retry)
                                        .arg(total);
            clearAudioBuffers();
            ++m_requestId;
            m_awaitingFrame = true;
            invokeRequestFrame(retry);
            return true;
        }
        qWarning().noquote() << QStringLiteral("Playback recovery exhausted: %1 attempts=%2 current=%3 total=%4")
                                    .arg(reason)
                                    .arg(m_recoveryAttempts)
                                    .arg(current)
                                    .arg(total);
        return false;
    }
    qWarning().noquote() << QStringLiteral("Playback: %1 near boundary, stopping current=%2 total=%3")
                                .arg(reason)
                                .arg(current)
                                .arg(total);
    return false;
}

// ---------------------------------------------------------------------------------------
// Frame-rate label

void PlaybackController::showNominalRate()
{
    const double rate = fps();
    if (media().isAudioOnly || rate <= 0.0) {
        emit rateChanged(QString(), RateLook::Keep);
        return;
    }
    emit rateChanged(QStringLiteral("%1fps").arg(pacing::roundHalfAway(rate)), RateLook::Good);
}

void PlaybackController::updateMeasuredRate()
{
    if (!m_fpsTimer.isValid())
        return;
    const qint64 elapsed = m_fpsTimer.elapsed();
    if (elapsed < 500)
        return;
    const double rate = fps();
    double measured = m_fpsFrameCount * 1000.0 / double(elapsed);
    if (std::abs(measured - rate) < 0.1 * rate)
        measured = rate;
    if (media().isAudioOnly)
        emit rateChanged(QString(), RateLook::Keep);
    else
        emit rateChanged(QStringLiteral("%1fps").arg(pacing::roundHalfAway(measured)),
                         measured >= rate - 1.0 ? RateLook::Good : RateLook::Poor);
    m_fpsFrameCount = 0;
    m_fpsTimer.restart();
}

// ---------------------------------------------------------------------------------------
// Audio output

void PlaybackController::clearAudioBuffers()
{
    if (m_audio)
        m_audio->clear();
    resetAudioTracking();
    emit playedAudioReset(true);
}

void PlaybackController::resetAudioTracking()
{
    if (m_audio)
        m_audio->resetTracking();
    m_playedPeakL = 0.0f;
    m_playedPeakR = 0.0f;
    m_playedLevelBytes = 0;
    emit playedAudioReset(false);
}

void PlaybackController::startAudioOutput()
{
    m_skippedAudioUSecs = 0;
    const bool active = m_audio && m_audio->start();
    m_clock.start(active, 0);
}

void PlaybackController::stopAudioOutput()
{
    if (m_audio)
        m_audio->stop();
}

void PlaybackController::feedAudio(const QByteArray &block)
{
    if (!isForwardNormalSpeed()) {
        clearAudioBuffers();
        m_levelTimerValid = false;
        if (m_audio)
            m_audio->suspend();
        if (m_state->playState() != Stopped)
            invokeClearAudioQueue();
        return;
    }
    if (!m_audio)
        return;

    if (!block.isEmpty())
        m_audio->enqueue(block);

    if (m_audio->isStarted() && m_audio->hasSink()) {
        catchUpAudio();
        m_audio->pump();
        const QByteArray played = m_audio->takePlayed(0.5 / std::max(fps(), 1.0));
        if (!played.isEmpty()) {
            emit audioPlayed(played);
            updatePlayedLevels(played);
        }
    }

    // Also without a device: a sink-less run must not hoard audio for the whole file.
    m_audio->limitPending(8 * qsizetype(std::max(sampleRate(), 1)));
}

void PlaybackController::catchUpAudio()
{
    // After the output stalled (an underrun, a busy machine), the wall clock has carried
    // the picture on; the device resumes where it stopped, so without this the sound
    // would stay behind the picture by the length of the stall for the rest of the run.
    // Dropping that much of the unplayed audio brings it back in step with the picture.
    // Only when that much is waiting: when the engine itself delivers too little (media
    // too heavy for the machine), dropping would only turn choppy sound into silence.
    const double lag = m_clock.audioLag(m_audio->playedUSecs());
    if (!(lag > pacing::PlaybackClock::stallSkipThreshold))
        return;
    const int64_t skipped = m_audio->dropPending(lag);
    if (skipped <= 0)
        return;
    m_clock.skipAudio(skipped);
    m_skippedAudioUSecs += skipped;
    qDebug().noquote() << QStringLiteral("Playback: audio output %1 ms behind the picture, skipped %2 ms")
                              .arg(qRound(lag * 1000.0))
                              .arg(skipped / 1000);
}

// ---------------------------------------------------------------------------------------
// Meter

void PlaybackController::updatePlayedLevels(const QByteArray &played)
{
    float peakL = 0.0001f;
    float peakR = 0.0001f;
    const char *data = played.constData();
    for (qsizetype i = 0; i + kBytesPerFrame <= played.size(); i += kBytesPerFrame) {
        peakL = std::max(peakL, std::abs(qFromLittleEndian<qint16>(data + i) / 32768.0f));
        peakR = std::max(peakR, std::abs(qFromLittleEndian<qint16>(data + i + 2) / 32768.0f));
    }
    m_playedPeakL = std::max(m_playedPeakL, peakL);
    m_playedPeakR = std::max(m_playedPeakR, peakR);
    m_playedLevelBytes += played.size();

    const int64_t updateBytes = std::max<int64_t>(4, 4 * int64_t(std::max(sampleRate(), 1)) / 50);
    if (m_playedLevelBytes < updateBytes)
        return;
    const float dbL = levels::linearToDbfs(m_playedPeakL, kPlayedFloorDb);
    const float dbR = levels::linearToDbfs(m_playedPeakR, kPlayedFloorDb);
    m_playedPeakL = 0.0f;
    m_playedPeakR = 0.0f;
    m_playedLevelBytes = 0;

    double dt = 0.033;
    if (m_levelTimerValid && m_levelTimer.isValid()) {
        dt = std::clamp(double(m_levelTimer.restart()) / 1000.0, 0.005, 0.2);
    } else {
        m_levelTimer.start();
        m_levelTimerValid = true;
    }
    m_left.step(dbL, dt);
    m_right.step(dbR, dt);

    QList<float> channels = m_lastLevels;
    const int left = m_routeLeft;
    const int right = m_routeRight;
    if (left >= 0 && left < channels.size())
        channels[left] = m_left.level;
    if (right >= 0 && right < channels.size())
        channels[right] = right == left ? std::max(m_right.level, channels[right]) : m_right.level;
    emit levelsChanged(m_left.level, m_right.level, m_left.peak, m_right.peak, channels);
}

void PlaybackController::feedMeterFromEngine(const QList<float> &audioLevels, const QList<float> &peakLevels)
{
    emit levelsChanged(levelAt(audioLevels, m_routeLeft), levelAt(audioLevels, m_routeRight),
                       levelAt(peakLevels, m_routeLeft), levelAt(peakLevels, m_routeRight), audioLevels);
}

// Its own object file: a program that never plays links none of the sink code.
#include "moc_playbackcontroller.cpp"
