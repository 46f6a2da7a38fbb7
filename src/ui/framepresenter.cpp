#include "ui/framepresenter.h"

#include "audio/audiooutput.h"
#include "core/compat.h"
#include "core/imagehelpers.h"
#include "state/applicationstate.h"

#include <QVideoSink>

#include <algorithm>
#include <cmath>

FramePresenter::FramePresenter(ApplicationState *state, QVideoSink *videoSink, AudioOutput *audioOutput,
                               QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_videoSink(videoSink)
    , m_audio(audioOutput)
{
}

double FramePresenter::fps() const
{
    return m_state->fps();
}

int FramePresenter::sampleRate() const
{
    return m_state->mediaInfo().audioSampleRate;
}

void FramePresenter::setLissajousEnabled(bool enabled)
{
    m_lissajousEnabled = enabled;
    if (!enabled) {
        m_overlayTrace.clear();
        m_overlayAudio.clear();
    }
}

bool FramePresenter::pictureShown() const
{
    return m_state->currentMode() == Viewer && !m_state->isHelpVisible();
}

bool FramePresenter::lissajousShown() const
{
    const MediaInfo &media = m_state->mediaInfo();
    return m_lissajousEnabled && pictureShown() && m_state->totalFrames() > 0 && !media.isAudioOnly
        && media.audioChannelCount > 0 && m_state->playState() == Forward && m_state->speedIndex() == 0;
}

bool FramePresenter::safetyAreaShown() const
{
    return m_safetyAreaEnabled && pictureShown() && m_state->totalFrames() > 0 && !m_state->mediaInfo().isAudioOnly;
}

bool FramePresenter::traceShown() const
{
    const MediaInfo &media = m_state->mediaInfo();
    return pictureShown() && m_state->playState() == Forward && m_state->speedIndex() == 0 && media.isAudioOnly
        && media.audioChannelCount > 0;
}

void FramePresenter::onAudioPlayed(const QByteArray &played)
{
    if (lissajousShown())
        m_overlayAudio.append(played);
    if (traceShown()) {
        const int rate = std::max(sampleRate(), 1);
        const qsizetype frameBytes =
            AudioOutput::bytesPerFrame * qsizetype(std::llround(rate / std::max(fps(), 1.0)));
        // What is heard now plus the next picture's worth, so the trace does not lag.
        m_audioOnlyAudio = played + (m_audio ? m_audio->upcoming(frameBytes) : QByteArray());
        const qsizetype keep = std::max(rate, 4096);
        if (m_audioOnlyAudio.size() > keep)
            m_audioOnlyAudio.remove(0, m_audioOnlyAudio.size() - keep);
    }
}

void FramePresenter::onPlayedAudioReset(bool withFigure)
{
    m_audioOnlyAudio.clear();
    m_audioOnlyTrace.clear();
    if (withFigure)
        m_overlayAudio.clear();
}

void FramePresenter::present(const QVideoFrame &frame)
{
    if (!m_videoSink)
        return;
    if (m_state->mediaInfo().isAudioOnly) {
        if (!traceShown()) {
            m_videoSink->setVideoFrame(frame);
            return;
        }
        QImage image = imageFromVideoFrame(frame);
        const QByteArray chunk = viewerpath::takeTraceChunk(m_audioOnlyAudio, sampleRate(), fps());
        viewerpath::drawAudioOnlyTrace(image, chunk, m_audioOnlyTrace);
        m_videoSink->setVideoFrame(compat::videoFrameFromImage(image));
        return;
    }

    const bool figure = lissajousShown();
    if (!figure) {
        // A figure comes back fresh, not with what it showed when it went.
        m_overlayTrace.clear();
        m_overlayAudio.clear();
    }
    const bool safetyArea = safetyAreaShown();
    const DisplayChannel channel = m_state->displayChannel();
    const int rotation = m_state->viewerRotationDegrees();
    if (!figure && !safetyArea && channel == Color && rotation == 0) {
        // The common case costs nothing: the engine's frame goes on untouched.
        m_videoSink->setVideoFrame(frame);
        return;
    }

    QImage image = isolateChannel(imageFromVideoFrame(frame), channel);
    const QSize contentSize = image.size();
    image = rotateAndFit(image, rotation, QSize());
    if (figure) {
        const QByteArray chunk = viewerpath::takeOverlayChunk(m_overlayAudio, sampleRate(), fps());
        viewerpath::drawLissajous(image, chunk, m_overlayTrace);
    }
    if (safetyArea)
        viewerpath::drawSafetyArea(image, contentSize, rotation, m_safetyArea.h, m_safetyArea.v, m_safetyArea.l);
    m_videoSink->setVideoFrame(compat::videoFrameFromImage(image));
}
