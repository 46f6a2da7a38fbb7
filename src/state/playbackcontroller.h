#pragma once

#include "core/enums.h"
#include "core/levels.h"
#include "core/mediainfo.h"
#include "state/framesource.h"
#include "state/pacing.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVideoFrame>

#include <cstdint>

class ApplicationState;
class AudioOutput;

// Turns the play state into frame requests to the media engine and hands the answers on:
// forward 1x follows the audio device's played time, counted from the run's first
// picture (the wall clock stands in before the device runs and whenever it falls behind;
// after such a stall the unplayed audio skips ahead to the picture), shuttles (backward,
// or forward above 1x) follow the wall clock with exact seeks. Stale answers are dropped
// by request id; invalid frames during playback are retried three times, then playback
// stops.
//
// It decides when the audio output runs: the blocks riding on each frame answer go to
// the AudioOutput during forward 1x, and what the device has played comes back out as
// audioPlayed and as meter levels. It holds no widgets: pictures, levels and the rate
// text leave as signals for the presenters in the ui layer.
//
// GUI thread only. The engine of the open file is reached through FrameSource's typed calls
// (queued requests, a blocking priming call, the direct abortCurrentTask) and answers with
// its frameReady; the window hands in each new file's OpenMedia, the tests a stand-in.
class PlaybackController : public QObject
{
    Q_OBJECT

public:
    static constexpr int speedCount = 7;
    static constexpr int speedTable[speedCount] = {1, 2, 4, 8, 16, 32, 64};

    // How the rate text should look: keep the last colour, or good / poor.
    enum class RateLook { Keep, Good, Poor };
    Q_ENUM(RateLook)

    // Neither the state, the frame source nor the audio output is owned; state and audio
    // output must outlive the controller. source and audioOutput may be null (no file open;
    // no sound at all).
    PlaybackController(ApplicationState *state, FrameSource *source, AudioOutput *audioOutput,
                       QObject *parent = nullptr);

    // The engine of the file now open (null: none). Answers of the previous one are ignored
    // from here on.
    void setFrameSource(FrameSource *source);

    // The source channels on the left and right outputs (-1 silence), for the meter.
    void setRouting(int left, int right);

    // Drops everything not yet written and the played-audio history.
    void clearAudioBuffers();
    // Forgets written-but-unreported bytes and the played-level accumulation; played time
    // is counted from the device's played time now.
    void resetAudioTracking();
    // Called with every frame answer's block and, during forward 1x, with an empty block
    // on every tick. Outside forward 1x it discards and suspends.
    void feedAudio(const QByteArray &block);

    // --- read-only views for the window, diagnostics and tests ---
    int requestId() const { return m_requestId; }
    bool isAwaitingFrame() const { return m_awaitingFrame; }
    int recoveryAttempts() const { return m_recoveryAttempts; }
    bool isForwardNormalSpeed() const;
    bool isAudioClockActive() const { return m_clock.audioActive(); }
    bool isAudioClockSynced() const { return m_clock.audioSynced(); }
    bool hasAudioSink() const;
    int64_t bytesWritten() const;
    // Forward 1x: the audio clock's reading in seconds since the run's first picture (the
    // device's played time), or -1 while the wall clock stands in.
    double audioClockSeconds() const;
    int64_t playStartFrame() const { return m_startFrame; }
    // Audio dropped since forward 1x began to bring a stalled output back to the picture.
    int64_t skippedAudioUSecs() const { return m_skippedAudioUSecs; }
    qsizetype pendingAudioBytes() const;
    // Playback clock in frames, as the next forward 1x tick would compute it. Advances
    // the clock's state exactly as a tick does.
    int64_t clockFrame();

signals:
    // An answer to put on screen (the viewer's picture path applies isolation, rotation
    // and overlays).
    void pictureReady(const QVideoFrame &frame);
    // Audio the device has just played (plus half a frame of lookahead), for overlays.
    void audioPlayed(const QByteArray &played);
    // The played-audio history is gone; withFigure when the overlay audio goes too.
    void playedAudioReset(bool withFigure);
    // Levels for the meter: the routed sides and every source channel, in dBFS.
    void levelsChanged(float left, float right, float peakLeft, float peakRight, const QList<float> &channels);
    // The playback rate text ("25fps"), empty when there is none to show.
    void rateChanged(const QString &text, PlaybackController::RateLook look);

public slots:
    void setPlaybackState(PlayState state, bool incrementSpeed = false);
    void onPlaybackTimer();
    // Stops playback and shows frame 'position'.
    void requestSeek(int64_t position);
    // requestSeek for a frame step: the engine may answer from what it has decoded
    // already, without the frame's sound (a step plays none).
    void requestStep(int64_t position);
    void onFrameReady(QVideoFrame frame, int64_t frameNumber, QList<float> audioLevels, QList<float> peakLevels,
                      QByteArray audioBuffer, int requestId);

private:
    const MediaInfo &media() const;
    int sampleRate() const;
    double fps() const;

    // Sound the answer that starts a forward run should carry: the output's buffer and a
    // margin (0 without a started output).
    double startSoundSeconds() const;
    // Forward 1x: asks for the frame the clock says is due, unless it is on screen.
    bool awaitsFirstSound() const;
    void requestDueFrame();
    void abortEngineWork();
    // silently: the answer's sound is not wanted, so the engine may skip the seek for it.
    void invokeRequestFrame(int64_t frameNumber, bool silently = false);
    void seekTo(int64_t position, bool silently);
    void invokeClearAudioQueue();
    void primeEngineQueue(int64_t frameNumber);
    void stopWith(const char *reason);
    bool recoverFromBadFrame(const QString &reason);
    void showNominalRate();
    void updateMeasuredRate();

    void startAudioOutput();
    void catchUpAudio();
    void stopAudioOutput();
    void updatePlayedLevels(const QByteArray &played);
    void feedMeterFromEngine(const QList<float> &audioLevels, const QList<float> &peakLevels);

    // --- collaborators (GUI thread; not owned) ---
    ApplicationState *m_state;
    QPointer<FrameSource> m_engine;
    QPointer<AudioOutput> m_audio;
    int m_routeLeft = -1;
    int m_routeRight = -1;

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
    int64_t m_skippedAudioUSecs = 0;

    // --- played levels ---
    levels::Ballistics m_left;
    levels::Ballistics m_right;
    float m_playedPeakL = 0.0f;         // linear, since the last level update
    float m_playedPeakR = 0.0f;
    int64_t m_playedLevelBytes = 0;
    QElapsedTimer m_levelTimer;
    bool m_levelTimerValid = false;
    QList<float> m_lastLevels;
};
