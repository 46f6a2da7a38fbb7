#pragma once

#include "state/viewerpath.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QVideoFrame>

class ApplicationState;
class AudioOutput;
class QVideoSink;

// Puts the playback controller's answers on the viewer's video sink through the picture
// path: channel isolation, rotation, the Lissajous figure, the audio-only trace and the
// safety-area lines. It owns the overlays' switches and the audio they are drawn from.
// The common case (colour, no rotation, no overlay) passes the engine's frame on as it is.
//
// GUI thread only; owns none of what it is given.
class FramePresenter : public QObject
{
    Q_OBJECT

public:
    FramePresenter(ApplicationState *state, QVideoSink *videoSink, AudioOutput *audioOutput,
                   QObject *parent = nullptr);

    // The switches the user sets (W, E); whether an overlay is drawn also depends on the
    // page, the play state and the media (lissajousShown(), safetyAreaShown()).
    void setLissajousEnabled(bool enabled);
    bool lissajousEnabled() const { return m_lissajousEnabled; }
    void setSafetyAreaEnabled(bool enabled) { m_safetyAreaEnabled = enabled; }
    bool safetyAreaEnabled() const { return m_safetyAreaEnabled; }
    void setSafetyArea(const viewerpath::SafetyArea &area) { m_safetyArea = area; }
    const viewerpath::SafetyArea &safetyArea() const { return m_safetyArea; }

    // The figure is drawn: enabled, on the picture page without help, forward 1x of a
    // video file with audio.
    bool lissajousShown() const;
    // The lines are drawn: enabled, on the picture page without help, a video file open.
    bool safetyAreaShown() const;

public slots:
    void present(const QVideoFrame &frame);
    void onAudioPlayed(const QByteArray &played);
    void onPlayedAudioReset(bool withFigure);

private:
    bool pictureShown() const;
    bool traceShown() const;
    double fps() const;
    int sampleRate() const;

    ApplicationState *m_state;
    QPointer<QVideoSink> m_videoSink;
    QPointer<AudioOutput> m_audio;

    bool m_lissajousEnabled = false;
    bool m_safetyAreaEnabled = false;
    viewerpath::SafetyArea m_safetyArea;
    QByteArray m_overlayAudio;
    QByteArray m_audioOnlyAudio;
    viewerpath::AudioTrace m_overlayTrace;
    viewerpath::AudioTrace m_audioOnlyTrace;
};
