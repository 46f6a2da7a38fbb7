#pragma once

#include "core/timecode.h"
#include "core/enums.h"
#include "state/pacing.h"
#include "state/viewerpath.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <QVideoFrame>

#include <cstdint>
#include <optional>

class ApplicationState;
class AudioMeterWidget;
class QAudioSink;
class QComboBox;
class QIODevice;
class QLabel;
class QTimer;
class QVideoSink;
class UiController;

// Turns the play state into frame requests to the media engine and puts the answers on
// screen: forward 1x follows the audio device's played time, counted from the run's first
// picture (the wall clock stands in before the device runs and whenever it falls behind;
// after such a stall the unplayed audio skips ahead to the picture), shuttles (backward,
// or forward above 1x) follow the wall clock with exact seeks. Stale answers are dropped
// by request id; invalid frames during playback are retried three times, then playback
// stops.
//
// It also owns the audio output side: the blocks riding on each frame answer are pushed
// into the QAudioSink (push mode, never more than bytesFree()) during forward 1x, and the
// bytes the device has played feed the meter and the overlays.
//
// GUI thread only. The engine (normally a VideoEngine on its own thread) is reached by
// slot name: queued requests, a blocking priming call, and the direct abortCurrentTask.
// Any QObject with those slots will do, which is how the tests drive it.
class PlaybackController : public QObject
{
    Q_OBJECT

public:
    static constexpr int speedCount = 7;
    static constexpr int speedTable[speedCount] = {1, 2, 4, 8, 16, 32, 64};

    // None of the arguments is owned; the window keeps them alive for the controller's
    // lifetime (timecode and startTimecodeOffset are the window's members).
    PlaybackController(QObject *parent, ApplicationState *state, QObject *engine, UiController *uiController,
                       QVideoSink *videoSink, QTimer *playbackTimer, AudioMeterWidget *audioMeter,
                       QLabel *playbackInfoLabel, QComboBox *leftChannelCombo, QComboBox *rightChannelCombo,
                       std::optional<Timecode> *timecode, const int64_t *startTimecodeOffset);

    // --- audio output ---
    // The sink is the window's; the device is the push device of a started sink (normally
    // absent: the controller starts the sink when forward 1x begins).
    void attachAudioSink(QAudioSink *sink, QIODevice *device);
    void detachAudioSink();
    // Drops everything not yet written and the overlay audio, then resetAudioTracking().
    void clearAudioBuffers();
    // Forgets written-but-unreported bytes and the played-level accumulation; played time
    // is counted from the sink's processedUSecs() now.
    void resetAudioTracking();
    // Called with every frame answer's block and, during forward 1x, with an empty block
    // on every tick. Outside forward 1x it discards and suspends.
    void feedAudio(const QByteArray &block);
    // Bytes the device has consumed since the last call, plus half a frame of lookahead.
    QByteArray takePlayedAudio();

    // --- overlays ---
    void setLissajousShown(bool shown);
    void setSafetyAreaShown(bool shown);
    // H and V to 2…100 (below 3 becomes 2), grey L to 0…100.
    void setSafetyAreaParameters(int h, int v, int l);

    // --- read-only views for the window, diagnostics and tests ---
    int requestId() const { return m_requestId; }
    bool isAwaitingFrame() const { return m_awaitingFrame; }
    int recoveryAttempts() const { return m_recoveryAttempts; }
    bool isForwardNormalSpeed() const;
    bool isAudioClockActive() const { return m_clock.audioActive(); }
    bool isAudioClockSynced() const { return m_clock.audioSynced(); }
    bool hasAudioSink() const { return !m_audioSink.isNull(); }
    int64_t bytesWritten() const { return m_bytesWritten; }
    // Forward 1x: the audio clock's reading in seconds since the run's first picture (the
    // device's played time), or -1 while the wall clock stands in.
    double audioClockSeconds() const;
    int64_t playStartFrame() const { return m_startFrame; }
    // Audio dropped since forward 1x began to bring a stalled output back to the picture.
    int64_t skippedAudioUSecs() const { return m_skippedAudioUSecs; }
    qsizetype pendingAudioBytes() const { return m_pendingAudio.size(); }
    int safetyAreaH() const { return m_safetyAreaH; }
    int safetyAreaV() const { return m_safetyAreaV; }
    int safetyAreaL() const { return m_safetyAreaL; }
    // Playback clock in frames, as the next forward 1x tick would compute it. Advances
    // the clock's state exactly as a tick does.
    int64_t clockFrame();

public slots:
    void setPlaybackState(PlayState state, bool incrementSpeed = false);
    void onPlaybackTimer();
    // Stops playback and shows frame 'position'.
    void requestSeek(int position);
    void onFrameReady(QVideoFrame frame, int64_t frameNumber, QList<float> audioLevels, QList<float> peakLevels,
                      QByteArray audioBuffer, int requestId);

private:
    QVariantMap mediaProperties() const;
    bool mediaFlag(const char *key) const;
    int audioChannelCount() const;
    int sampleRate() const;
    double fps() const;

    // Forward 1x: asks for the frame the clock says is due, unless it is on screen.
    void requestDueFrame();
    void abortEngineWork();
    void invokeRequestFrame(int64_t frameNumber);
    void invokeClearAudioQueue();
    void invokeDisableAudioVisualization();
    void primeEngineQueue(int64_t frameNumber);
    void stopWith(const char *reason);
    bool recoverFromBadFrame(const QString &reason);
    void showNominalRate();
    void updateMeasuredRate();
    void setRateLabel(const QString &text, const char *style);

    void startAudioOutput();
    void catchUpAudio();
    void stopAudioOutput();
    void updatePlayedLevels(const QByteArray &played);
    void feedOverlayBuffers(const QByteArray &played);
    void feedMeterFromEngine(const QList<float> &audioLevels, const QList<float> &peakLevels);
    int routedChannel(const QComboBox *combo) const;

    bool figureApplies() const;
    bool traceApplies() const;
    bool safetyAreaApplies() const;
    void presentFrame(const QVideoFrame &frame);

    // --- collaborators (GUI thread; not owned) ---
    ApplicationState *m_state;
    QPointer<QObject> m_engine;
    UiController *m_uiController;
    QPointer<QVideoSink> m_videoSink;
    QPointer<QTimer> m_playbackTimer;
    QPointer<AudioMeterWidget> m_audioMeter;
    QPointer<QLabel> m_playbackInfoLabel;
    QPointer<QComboBox> m_leftChannelCombo;
    QPointer<QComboBox> m_rightChannelCombo;
    std::optional<Timecode> *m_timecode;
    const int64_t *m_startTimecodeOffset;

    // --- pacing ---
    bool m_awaitingFrame = false;
    int m_requestId = 0;
    QElapsedTimer m_playTimer;
    int64_t m_startFrame = 0;
    pacing::PlaybackClock m_clock;
    QElapsedTimer m_fpsTimer;
    int m_fpsFrameCount = 0;
    QString m_stopReason;
    int m_recoveryAttempts = 0;
    bool m_clockAwaitsFirstFrame = false; // forward 1x began; its first picture starts the clock

    // --- audio output ---
    QPointer<QAudioSink> m_audioSink;  // the window's; replaced or removed by it
    QPointer<QIODevice> m_pushDevice;  // from the sink's start(), absent until then
    QByteArray m_pendingAudio;          // received, not yet written
    QByteArray m_writtenAudio;          // written, not yet reported as played
    int64_t m_bytesWritten = 0;
    int64_t m_bytesTaken = 0;
    int64_t m_playedBaseUSecs = 0;
    int64_t m_skippedAudioUSecs = 0;

    // --- played levels ---
    pacing::LevelBallistics m_left;
    pacing::LevelBallistics m_right;
    float m_playedPeakL = 0.0f;         // linear, since the last level update
    float m_playedPeakR = 0.0f;
    int64_t m_playedLevelBytes = 0;
    QElapsedTimer m_levelTimer;
    bool m_levelTimerValid = false;
    QList<float> m_lastLevels;

    // --- overlays ---
    bool m_lissajousShown = false;
    bool m_safetyAreaShown = false;
    int m_safetyAreaH = 95;
    int m_safetyAreaV = 95;
    int m_safetyAreaL = 75;
    QByteArray m_overlayAudio;
    QByteArray m_audioOnlyAudio;
    viewerpath::AudioTrace m_overlayTrace;
    viewerpath::AudioTrace m_audioOnlyTrace;
};
