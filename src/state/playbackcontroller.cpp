#include "state/playbackcontroller.h"

#include "audio/audiometerwidget.h"
#include "core/compat.h"
#include "core/imagehelpers.h"
#include "state/applicationstate.h"

#include <QAudioSink>
#include <QComboBox>
#include <QDebug>
#include <QIODevice>
#include <QLabel>
#include <QThread>
#include <QTimer>
#include <QVideoSink>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kBytesPerFrame = 4; // 16-bit stereo
constexpr int kMaxRecoveryAttempts = 3;
constexpr float kFloorDb = -60.0f;
const char *const kGoodRateStyle = "color: #4CAF50;";
const char *const kPoorRateStyle = "color: #F44336;";

qsizetype wholeFrames(qsizetype bytes)
{
    return bytes - bytes % kBytesPerFrame;
}

float levelAt(const QList<float> &levels, int channel)
{
    return channel >= 0 && channel < levels.size() ? levels.at(channel) : kFloorDb;
}

} // namespace

PlaybackController::PlaybackController(QObject *parent, ApplicationState *state, QObject *engine,
                                       UiController *uiController, QVideoSink *videoSink, QTimer *playbackTimer,
                                       AudioMeterWidget *audioMeter, QLabel *playbackInfoLabel,
                                       QComboBox *leftChannelCombo, QComboBox *rightChannelCombo,
                                       std::optional<Timecode> *timecode, const int64_t *startTimecodeOffset)
    : QObject(parent)
    , m_state(state)
    , m_engine(engine)
    , m_uiController(uiController)
    , m_videoSink(videoSink)
    , m_playbackTimer(playbackTimer)
    , m_audioMeter(audioMeter)
    , m_playbackInfoLabel(playbackInfoLabel)
    , m_leftChannelCombo(leftChannelCombo)
    , m_rightChannelCombo(rightChannelCombo)
    , m_timecode(timecode)
    , m_startTimecodeOffset(startTimecodeOffset)
{
}

// ---------------------------------------------------------------------------------------
// Media facts, read at each use: the window replaces the map on every open.

QVariantMap PlaybackController::mediaProperties() const
{
    return m_state->property("mediaProperties").toMap();
}

bool PlaybackController::mediaFlag(const char *key) const
{
    return mediaProperties().value(QLatin1String(key)).toBool();
}

int PlaybackController::audioChannelCount() const
{
    return mediaProperties().value(QStringLiteral("audioChannelCount")).toInt();
}

int PlaybackController::sampleRate() const
{
    const QVariant rate = m_state->property("audioSampleRate");
    if (rate.isValid())
        return rate.toInt();
    return mediaProperties().value(QStringLiteral("audioSampleRate")).toInt();
}

double PlaybackController::fps() const
{
    return m_state->fps();
}

bool PlaybackController::isForwardNormalSpeed() const
{
    return m_state->playState() == Forward && m_state->speedIndex() == 0;
}

// ---------------------------------------------------------------------------------------
// Engine calls, all by slot name.

void PlaybackController::abortEngineWork()
{
    // Direct on purpose: the engine may be busy with a long seek on its own thread, and
    // only stores the id (atomically) so that the seek can give up.
    if (m_engine)
        QMetaObject::invokeMethod(m_engine, "abortCurrentTask", Qt::DirectConnection, Q_ARG(int, m_requestId));
}

void PlaybackController::invokeRequestFrame(int64_t frameNumber)
{
    if (m_engine)
        QMetaObject::invokeMethod(m_engine, "requestFrame", Qt::QueuedConnection, Q_ARG(int64_t, frameNumber),
                                  Q_ARG(int, m_requestId));
}

void PlaybackController::invokeClearAudioQueue()
{
    if (m_engine)
        QMetaObject::invokeMethod(m_engine, "clearAudioQueue", Qt::QueuedConnection);
}

void PlaybackController::invokeDisableAudioVisualization()
{
    if (m_engine)
        QMetaObject::invokeMethod(m_engine, "setAudioVisualizationEnabled", Qt::QueuedConnection,
                                  Q_ARG(bool, false));
}

void PlaybackController::primeEngineQueue(int64_t frameNumber)
{
    if (!m_engine)
        return;
    // Blocks the GUI until the engine has decoded up to the start frame: heavy media
    // would otherwise start with an empty queue and stutter.
    const Qt::ConnectionType type =
        m_engine->thread() == QThread::currentThread() ? Qt::DirectConnection : Qt::BlockingQueuedConnection;
    QMetaObject::invokeMethod(m_engine, "primePlaybackQueue", type, Q_ARG(int64_t, frameNumber),
                              Q_ARG(int, m_requestId));
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
    const bool audioOnly = mediaFlag("isAudioOnly");

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
    const bool priming = entersForwardNormal && mediaFlag("playbackPrimingEnabled") && !incrementSpeed;
    const int64_t current = m_state->currentFrameNumber();

    if (audioOnly)
        invokeDisableAudioVisualization();
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
            // Repositions picture and audio on the frame on screen.
            ++m_requestId;
            m_awaitingFrame = true;
            invokeRequestFrame(current);
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
        setRateLabel(QString(), nullptr);
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
    std::optional<int64_t> processed;
    if (m_audioSink)
        processed = m_audioSink->processedUSecs();
    const double t = m_clock.seconds(wall, processed);
    return pacing::clockFrame(m_startFrame, fps(), t);
}

double PlaybackController::audioClockSeconds() const
{
    if (!m_audioSink || !isForwardNormalSpeed())
        return -1.0;
    return m_clock.audioSeconds(m_audioSink->processedUSecs());
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
        invokeRequestFrame(target);
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
    if (due <= current)
        return;
    const int64_t step = pacing::forwardStep(mediaFlag("playbackStabilized"), fps(), due - current);
    const int64_t target = std::min(due, current + step);
    m_awaitingFrame = true;
    if (m_engine)
        QMetaObject::invokeMethod(m_engine, "requestNextFrameAtOrAfter", Qt::QueuedConnection,
                                  Q_ARG(int64_t, target), Q_ARG(int, m_requestId));
    ++m_fpsFrameCount;
    updateMeasuredRate();
}

void PlaybackController::requestSeek(int position)
{
    ++m_requestId;
    abortEngineWork();
    m_awaitingFrame = false;
    m_stopReason = QStringLiteral("seek");
    setPlaybackState(Stopped);
    if (mediaFlag("isAudioOnly"))
        invokeDisableAudioVisualization();
    invokeRequestFrame(int64_t(position));
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
        const int64_t allowed = pacing::allowedJump(mediaFlag("playbackStabilized"), fps());
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
    presentFrame(frame);
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

void PlaybackController::setRateLabel(const QString &text, const char *style)
{
    if (!m_playbackInfoLabel)
        return;
    m_playbackInfoLabel->setText(text);
    if (style)
        m_playbackInfoLabel->setStyleSheet(QLatin1String(style));
}

void PlaybackController::showNominalRate()
{
    const double rate = fps();
    if (mediaFlag("isAudioOnly") || rate <= 0.0) {
        setRateLabel(QString(), nullptr);
        return;
    }
    setRateLabel(QStringLiteral("%1fps").arg(pacing::roundHalfAway(rate)), kGoodRateStyle);
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
    if (mediaFlag("isAudioOnly"))
        setRateLabel(QString(), nullptr);
    else
        setRateLabel(QStringLiteral("%1fps").arg(pacing::roundHalfAway(measured)),
                     measured >= rate - 1.0 ? kGoodRateStyle : kPoorRateStyle);
    m_fpsFrameCount = 0;
    m_fpsTimer.restart();
}

// ---------------------------------------------------------------------------------------
// Audio output

void PlaybackController::attachAudioSink(QAudioSink *sink, QIODevice *device)
{
    m_audioSink = sink;
    m_pushDevice = device;
}

void PlaybackController::detachAudioSink()
{
    m_audioSink = nullptr;
    m_pushDevice = nullptr;
    m_writtenAudio.clear();
    m_audioOnlyAudio.clear();
    m_bytesWritten = 0;
    m_bytesTaken = 0;
    m_playedBaseUSecs = 0;
}

void PlaybackController::clearAudioBuffers()
{
    m_pendingAudio.clear();
    m_overlayAudio.clear();
    m_audioOnlyAudio.clear();
    resetAudioTracking();
}

void PlaybackController::resetAudioTracking()
{
    m_writtenAudio.clear();
    m_audioOnlyAudio.clear();
    m_audioOnlyTrace.clear();
    m_bytesWritten = 0;
    m_bytesTaken = 0;
    m_playedPeakL = 0.0f;
    m_playedPeakR = 0.0f;
    m_playedLevelBytes = 0;
    m_playedBaseUSecs = m_audioSink ? m_audioSink->processedUSecs() : 0;
}

void PlaybackController::startAudioOutput()
{
    m_skippedAudioUSecs = 0;
    bool active = false;
    int64_t base = 0;
    if (m_audioSink) {
        m_pushDevice = m_audioSink->start();
        active = !m_pushDevice.isNull();
        if (active) {
            base = m_audioSink->processedUSecs();
            // start() may restart the device's counter; played bytes count from here.
            m_playedBaseUSecs = base;
        }
    }
    m_clock.start(active, base);
}

void PlaybackController::stopAudioOutput()
{
    if (!m_audioSink)
        return;
    m_audioSink->stop();
    m_audioSink->reset();
    m_pushDevice = nullptr;
}

void PlaybackController::feedAudio(const QByteArray &block)
{
    if (!isForwardNormalSpeed()) {
        m_pendingAudio.clear();
        m_overlayAudio.clear();
        m_audioOnlyAudio.clear();
        resetAudioTracking();
        m_levelTimerValid = false;
        if (m_audioSink && m_audioSink->state() != QAudio::SuspendedState)
            m_audioSink->suspend();
        if (m_state->playState() != Stopped)
            invokeClearAudioQueue();
        return;
    }

    if (!block.isEmpty())
        m_pendingAudio.append(block);

    if (m_pushDevice && m_audioSink) {
        if (m_audioSink->state() == QAudio::SuspendedState)
            m_audioSink->resume();
        catchUpAudio();
        const qsizetype offer = wholeFrames(std::min<qsizetype>(m_pendingAudio.size(), m_audioSink->bytesFree()));
        if (offer > 0) {
            const qint64 accepted = m_pushDevice->write(m_pendingAudio.constData(), offer);
            const qsizetype written = accepted > 0 ? wholeFrames(qsizetype(accepted)) : 0;
            if (written > 0) {
                m_writtenAudio.append(m_pendingAudio.constData(), written);
                m_bytesWritten += written;
                m_pendingAudio.remove(0, written);
            }
        }
        const QByteArray played = takePlayedAudio();
        if (!played.isEmpty()) {
            feedOverlayBuffers(played);
            updatePlayedLevels(played);
        }
    }

    // Also without a device: a sink-less run must not hoard audio for the whole file.
    const qsizetype limit = 8 * qsizetype(std::max(sampleRate(), 1));
    if (m_pendingAudio.size() > limit)
        m_pendingAudio.remove(0, m_pendingAudio.size() - limit);
}

void PlaybackController::catchUpAudio()
{
    // After the output stalled (an underrun, a busy machine), the wall clock has carried
    // the picture on; the device resumes where it stopped, so without this the sound
    // would stay behind the picture by the length of the stall for the rest of the run.
    // Dropping that much of the unplayed audio brings it back in step with the picture.
    // Only when that much is waiting: when the engine itself delivers too little (media
    // too heavy for the machine), dropping would only turn choppy sound into silence.
    const double lag = m_clock.audioLag(m_audioSink->processedUSecs());
    if (!(lag > pacing::PlaybackClock::stallSkipThreshold))
        return;
    const int64_t bytesPerSecond = kBytesPerFrame * int64_t(std::max(sampleRate(), 1));
    const qsizetype drop = wholeFrames(qsizetype(lag * double(bytesPerSecond)));
    if (drop <= 0 || drop > m_pendingAudio.size())
        return;
    m_pendingAudio.remove(0, drop);
    const int64_t skipped = drop * 1000000 / bytesPerSecond;
    m_clock.skipAudio(skipped);
    m_skippedAudioUSecs += skipped;
    qDebug().noquote() << QStringLiteral("Playback: audio output %1 ms behind the picture, skipped %2 ms")
                              .arg(qRound(lag * 1000.0))
                              .arg(skipped / 1000);
}

QByteArray PlaybackController::takePlayedAudio()
{
    if (!m_audioSink || m_writtenAudio.isEmpty())
        return QByteArray();
    const int64_t rate = std::max(sampleRate(), 1);
    const int64_t bytesPerSecond = kBytesPerFrame * rate;
    const double frameRate = std::max(fps(), 1.0);
    const int64_t lead = wholeFrames(qsizetype(pacing::roundHalfAway(bytesPerSecond / frameRate * 0.5)));
    const int64_t playedUSecs = std::max<int64_t>(m_audioSink->processedUSecs() - m_playedBaseUSecs, 0);
    const int64_t played = wholeFrames(qsizetype(playedUSecs * bytesPerSecond / 1000000));
    const int64_t available = std::max<int64_t>(std::min(m_bytesWritten, lead + played), 0) - m_bytesTaken;
    if (available <= 0)
        return QByteArray();
    const qsizetype take = wholeFrames(std::min<qsizetype>(qsizetype(available), m_writtenAudio.size()));
    QByteArray chunk = m_writtenAudio.left(take);
    m_writtenAudio.remove(0, take);
    m_bytesTaken += take;
    return chunk;
}

// ---------------------------------------------------------------------------------------
// Meter

int PlaybackController::routedChannel(const QComboBox *combo) const
{
    return combo ? combo->currentIndex() - 1 : -1;
}

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
    const float dbL = 20.0f * std::log10(std::max(m_playedPeakL, 0.0001f));
    const float dbR = 20.0f * std::log10(std::max(m_playedPeakR, 0.0001f));
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
    const int left = routedChannel(m_leftChannelCombo);
    const int right = routedChannel(m_rightChannelCombo);
    if (left >= 0 && left < channels.size())
        channels[left] = m_left.level;
    if (right >= 0 && right < channels.size())
        channels[right] = right == left ? std::max(m_right.level, channels[right]) : m_right.level;
    if (m_audioMeter)
        m_audioMeter->setLevels(m_left.level, m_right.level, m_left.peak, m_right.peak, channels);
}

void PlaybackController::feedMeterFromEngine(const QList<float> &audioLevels, const QList<float> &peakLevels)
{
    if (!m_audioMeter)
        return;
    const int left = routedChannel(m_leftChannelCombo);
    const int right = routedChannel(m_rightChannelCombo);
    m_audioMeter->setLevels(levelAt(audioLevels, left), levelAt(audioLevels, right), levelAt(peakLevels, left),
                            levelAt(peakLevels, right), audioLevels);
}

// ---------------------------------------------------------------------------------------
// Picture path and overlays

void PlaybackController::setLissajousShown(bool shown)
{
    m_lissajousShown = shown;
    if (!shown) {
        m_overlayTrace.clear();
        m_overlayAudio.clear();
    }
}

void PlaybackController::setSafetyAreaShown(bool shown)
{
    m_safetyAreaShown = shown;
}

void PlaybackController::setSafetyAreaParameters(int h, int v, int l)
{
    const auto extent = [](int value) { return value < 3 ? 2 : std::min(value, 100); };
    m_safetyAreaH = extent(h);
    m_safetyAreaV = extent(v);
    m_safetyAreaL = std::clamp(l, 0, 100);
}

bool PlaybackController::figureApplies() const
{
    return m_lissajousShown && m_state->currentMode() == Viewer && !m_state->isHelpVisible()
        && isForwardNormalSpeed() && !mediaFlag("isAudioOnly") && audioChannelCount() > 0;
}

bool PlaybackController::traceApplies() const
{
    return m_state->currentMode() == Viewer && !m_state->isHelpVisible() && isForwardNormalSpeed()
        && mediaFlag("isAudioOnly") && audioChannelCount() > 0;
}

bool PlaybackController::safetyAreaApplies() const
{
    return m_safetyAreaShown && m_state->currentMode() == Viewer && !m_state->isHelpVisible()
        && m_state->totalFrames() > 0 && !mediaFlag("isAudioOnly");
}

void PlaybackController::feedOverlayBuffers(const QByteArray &played)
{
    if (figureApplies())
        m_overlayAudio.append(played);
    if (traceApplies()) {
        const int rate = std::max(sampleRate(), 1);
        const qsizetype frameBytes = kBytesPerFrame * pacing::roundHalfAway(rate / std::max(fps(), 1.0));
        // What is heard now plus the next picture's worth, so the trace does not lag.
        m_audioOnlyAudio = played + m_writtenAudio.left(std::min(frameBytes, m_writtenAudio.size()));
        const qsizetype keep = std::max(rate, 4096);
        if (m_audioOnlyAudio.size() > keep)
            m_audioOnlyAudio.remove(0, m_audioOnlyAudio.size() - keep);
    }
}

void PlaybackController::presentFrame(const QVideoFrame &frame)
{
    if (!m_videoSink)
        return;
    if (mediaFlag("isAudioOnly")) {
        if (!traceApplies()) {
            m_videoSink->setVideoFrame(frame);
            return;
        }
        QImage image = frame.toImage();
        const QByteArray chunk = viewerpath::takeTraceChunk(m_audioOnlyAudio, sampleRate(), fps());
        viewerpath::drawAudioOnlyTrace(image, chunk, m_audioOnlyTrace);
        m_videoSink->setVideoFrame(compat::videoFrameFromImage(image));
        return;
    }

    const bool figure = figureApplies();
    const bool safetyArea = safetyAreaApplies();
    const DisplayChannel channel = m_state->displayChannel();
    const int rotation = m_state->viewerRotationDegrees();
    if (!figure && !safetyArea && channel == Color && rotation == 0) {
        // The common case costs nothing: the engine's frame goes on untouched.
        m_videoSink->setVideoFrame(frame);
        return;
    }

    QImage image = isolateChannel(frame.toImage(), channel);
    const QSize contentSize = image.size();
    image = rotateAndFit(image, rotation, QSize());
    if (figure) {
        const QByteArray chunk = viewerpath::takeOverlayChunk(m_overlayAudio, sampleRate(), fps());
        viewerpath::drawLissajous(image, chunk, m_overlayTrace);
    }
    if (safetyArea)
        viewerpath::drawSafetyArea(image, contentSize, rotation, m_safetyAreaH, m_safetyAreaV, m_safetyAreaL);
    m_videoSink->setVideoFrame(compat::videoFrameFromImage(image));
}
