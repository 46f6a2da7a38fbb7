// Playback pacing against a recording stand-in for the media engine: every request the
// controller sends is logged, and answers are made up on demand, so that stale answers,
// invalid frames and boundary stops can be produced exactly. The real engine and the
// real audio device are exercised in tests/state/tst_playback_e2e.cpp.

#include "ui/audiometerwidget.h"
#include "core/compat.h"
#include "controllersupport.h"
#include "state/applicationstate.h"
#include "state/framesource.h"
#include "state/pacing.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QTimer>
#include <QVideoSink>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

struct Request
{
    QString slot;
    int64_t frame = -1;
    int id = 0;
};

// Stands in for the engine of an open file through the same typed interface; records
// every call. Answers come later (queued), as the engine's do, or when a test makes them.
class FakeEngine : public FrameSource
{
    Q_OBJECT
public:
    QList<Request> requests;
    QList<double> startSound; // soundSeconds of every requestPlaybackStart
    int latestAbortId = 0;
    bool autoAnswer = false; // answer every frame request with a valid frame at once
    int64_t lastFrame = 999999;

    QList<Request> framesRequested(const QString &slot) const
    {
        QList<Request> out;
        for (const Request &r : requests)
            if (r.slot == slot)
                out.append(r);
        return out;
    }

    static QVideoFrame makeFrame(int64_t number)
    {
        QImage image(64, 36, QImage::Format_ARGB32);
        image.fill(QColor::fromRgb(int(number % 256), 0, 0));
        return compat::videoFrameFromImage(image);
    }

    void answer(int64_t number, int id, bool valid = true)
    {
        emit frameReady(valid ? makeFrame(number) : QVideoFrame(), number, {-20.0f, -30.0f}, {-18.0f, -28.0f},
                        QByteArray(), id);
    }

    void requestFrame(int64_t frameNumber, int requestId) override
    {
        record(QStringLiteral("requestFrame"), frameNumber, requestId);
    }
    void requestFrameSilently(int64_t frameNumber, int requestId) override
    {
        record(QStringLiteral("requestFrameSilently"), frameNumber, requestId);
    }
    void requestNextFrameAtOrAfter(int64_t targetFrame, int requestId) override
    {
        record(QStringLiteral("requestNextFrameAtOrAfter"), targetFrame, requestId);
    }
    void requestPlaybackStart(int64_t frameNumber, double soundSeconds, int requestId) override
    {
        startSound.append(soundSeconds);
        record(QStringLiteral("requestPlaybackStart"), frameNumber, requestId);
    }
    bool primePlaybackQueue(int64_t frameNumber, int requestId) override
    {
        requests.append({QStringLiteral("primePlaybackQueue"), frameNumber, requestId});
        return true;
    }
    void clearAudioQueue() override { requests.append({QStringLiteral("clearAudioQueue")}); }
    void abortCurrentTask(int latestId) override { latestAbortId = latestId; }

private:
    void record(const QString &call, int64_t frame, int id)
    {
        requests.append({call, frame, id});
        if (autoAnswer) {
            const int64_t delivered = std::min(frame, lastFrame);
            QMetaObject::invokeMethod(this, [this, delivered, id] { answer(delivered, id); }, Qt::QueuedConnection);
        }
    }
};

struct Rig : ControllerSurroundings
{
    explicit Rig(int64_t totalFrames, double fps = 25.0, QVariantMap extra = {})
    {
        QVariantMap properties{{"totalFrames", qlonglong(totalFrames)}, {"fps", fps}, {"isAudioOnly", false},
                               {"audioChannelCount", 2},            {"audioSampleRate", 48000},
                               {"playbackStabilized", false},       {"playbackPrimingEnabled", false}};
        for (auto it = extra.cbegin(); it != extra.cend(); ++it)
            properties.insert(it.key(), it.value());
        state.setMediaProperties(properties);
        for (QComboBox *combo : {&left, &right}) {
            combo->addItems({"M", "ch1", "ch2"});
        }
        left.setCurrentIndex(1);
        right.setCurrentIndex(2);
        controller = makeController(&engine);
    }

    // Puts frame n on screen the way a seek does, then forgets the requests.
    void showFrame(int64_t n)
    {
        controller->requestSeek(n);
        QCoreApplication::processEvents();
        engine.answer(n, controller->requestId());
        engine.requests.clear();
    }

    void press(char key)
    {
        switch (key) {
        case 'L': controller->setPlaybackState(Forward, true); break;
        case 'J': controller->setPlaybackState(Backward, true); break;
        case 'K': controller->setPlaybackState(Stopped); break;
        case ' ': controller->setPlaybackState(state.playState() == Stopped ? Forward : Stopped); break;
        }
    }

    FakeEngine engine;
    std::unique_ptr<PlaybackController> controller;
};

} // namespace

class TestPlaybackController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void shuttleKeys_data();
    void shuttleKeys();
    void singleFrameMediaRefusesToPlay();
    void shuttleStopsAtTheEnds_data();
    void shuttleStopsAtTheEnds();
    void soundIsAskedForWhereItIsPlayed_data();
    void soundIsAskedForWhereItIsPlayed();
    void staleAnswersChangeNothing();
    void invalidFrames_data();
    void invalidFrames();
    void jumpDetection_data();
    void jumpDetection();
    void primingReplacesTheStartRequest_data();
    void primingReplacesTheStartRequest();
    void forwardOnTheWallClock();
    void meterFollowsRoutingWhileStopped();

    void clockStartsWithTheFirstPicture();
    void lateAnswerAsksForTheDueFrameAtOnce();
    void clock_data();
    void clock();
    void skippingAudioAfterAStall();
    void stepsAndMargins();
    void levelBallistics();
};

void TestPlaybackController::shuttleKeys_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<int>("playState");
    QTest::addColumn<int>("speedIndex");
    QTest::addColumn<QString>("lastLog");

    QTest::newRow("L once") << "L" << int(Forward) << 0 << "Playback: FORWARD at 1 x speed";
    QTest::newRow("L seven times") << "LLLLLLL" << int(Forward) << 6 << "Playback: FORWARD at 64 x speed";
    QTest::newRow("L eight times stays at 64x") << "LLLLLLLL" << int(Forward) << 6 << "Playback: FORWARD at 64 x speed";
    QTest::newRow("J after L at 8x") << "LLLLJ" << int(Backward) << 0 << "Playback: BACKWARD at 1 x speed";
    QTest::newRow("J twice") << "JJ" << int(Backward) << 1 << "Playback: BACKWARD at 2 x speed";
    QTest::newRow("L after J") << "JJJL" << int(Forward) << 0 << "Playback: FORWARD at 1 x speed";
    QTest::newRow("space plays") << " " << int(Forward) << 0 << "Playback: FORWARD at 1 x speed";
    QTest::newRow("space stops backwards") << "J " << int(Stopped) << 0
                                           << "Playback: STOPPED reason=external/requested frame=40/100";
    QTest::newRow("K after L at 4x") << "LLLK" << int(Stopped) << 0
                                     << "Playback: STOPPED reason=external/requested frame=40/100";
}

void TestPlaybackController::shuttleKeys()
{
    QFETCH(QString, keys);
    QFETCH(int, playState);
    QFETCH(int, speedIndex);
    QFETCH(QString, lastLog);

    Rig rig(100);
    rig.showFrame(40);
    QStringList logs;
    QtMessageHandler previous = qInstallMessageHandler(nullptr);
    static QStringList *sink = nullptr;
    sink = &logs;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) { sink->append(text); });
    for (QChar key : keys)
        rig.press(char(key.unicode()));
    qInstallMessageHandler(previous);

    QCOMPARE(int(rig.state.playState()), playState);
    QCOMPARE(rig.state.speedIndex(), speedIndex);
    QVERIFY(!logs.isEmpty());
    QCOMPARE(logs.last(), lastLog);
    // Every key press started a new generation and told the engine about it.
    QCOMPARE(rig.engine.latestAbortId, rig.controller->requestId() - (rig.controller->isAwaitingFrame() ? 1 : 0));
    // The speed label shows the nominal rate while playing and nothing when stopped.
    QCOMPARE(rig.rateLabel.text(), playState == Stopped ? QString() : QStringLiteral("25fps"));
}

void TestPlaybackController::singleFrameMediaRefusesToPlay()
{
    Rig rig(1);
    rig.controller->setPlaybackState(Forward);
    QCOMPARE(rig.state.playState(), Stopped);
    QVERIFY(rig.engine.requests.isEmpty());

    // Media that turns out to hold one frame while playing stops with the reason.
    Rig playing(100);
    playing.showFrame(0);
    playing.controller->setPlaybackState(Forward);
    QVariantMap one = playing.state.property("mediaProperties").toMap();
    one["totalFrames"] = qlonglong(1);
    playing.state.setMediaProperties(one);
    QTest::ignoreMessage(QtDebugMsg, "Playback: STOPPED reason=single-frame media frame=0/1");
    playing.controller->onPlaybackTimer();
    QCOMPARE(playing.state.playState(), Stopped);
}

void TestPlaybackController::shuttleStopsAtTheEnds_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<int64_t>("startFrame");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int64_t>("forbidden"); // a frame that must never be requested

    // The first tick comes after at least 10 ms: at 64x that is 16 frames or more, so
    // these shuttles overshoot the boundary on their first step.
    QTest::newRow("forward 64x passes the end") << "LLLLLLL" << int64_t(90) << "end of media" << int64_t(99);
    QTest::newRow("backward 64x passes the start") << "JJJJJJJ" << int64_t(5) << "start of media" << int64_t(0);
    // Slow shuttles step onto the boundary frame itself and stop one step later.
    QTest::newRow("forward 2x runs into the end") << "LL" << int64_t(95) << "end of media" << int64_t(-1);
    QTest::newRow("backward 1x runs into the start") << "J" << int64_t(2) << "start of media" << int64_t(-1);
}

void TestPlaybackController::shuttleStopsAtTheEnds()
{
    QFETCH(QString, keys);
    QFETCH(int64_t, startFrame);
    QFETCH(QString, reason);
    QFETCH(int64_t, forbidden);

    Rig rig(100);
    rig.engine.autoAnswer = true;
    rig.showFrame(startFrame);
    for (QChar key : keys)
        rig.press(char(key.unicode()));
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression(QStringLiteral("^Playback: STOPPED reason=%1 ").arg(reason)));
    for (int tick = 0; tick < 200 && rig.state.playState() != Stopped; ++tick) {
        QTest::qWait(10);
        rig.controller->onPlaybackTimer();
    }
    QCOMPARE(rig.state.playState(), Stopped);
    const QList<Request> frames =
        rig.engine.framesRequested("requestFrame") + rig.engine.framesRequested("requestFrameSilently")
        + rig.engine.framesRequested("requestPlaybackStart");
    for (const Request &r : frames) {
        QVERIFY2(r.frame != forbidden, qPrintable(QStringLiteral("frame %1 was requested").arg(forbidden)));
        QVERIFY(r.frame >= 0 && r.frame < 100);
    }
}

void TestPlaybackController::soundIsAskedForWhereItIsPlayed_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("expectedSlot");

    // Forward 1x plays the answer's sound; steps and shuttles play none, so the engine may
    // answer them from frames it has already decoded.
    QTest::newRow("seek") << "seek" << "requestFrame";
    QTest::newRow("step") << "step" << "requestFrameSilently";
    QTest::newRow("forward 1x starts") << "L" << "requestPlaybackStart";
    QTest::newRow("forward 2x") << "LL" << "requestFrameSilently";
    QTest::newRow("backward 1x") << "J" << "requestFrameSilently";
}

void TestPlaybackController::soundIsAskedForWhereItIsPlayed()
{
    QFETCH(QString, action);
    QFETCH(QString, expectedSlot);

    Rig rig(100);
    rig.showFrame(40);
    if (action == "seek") {
        rig.controller->requestSeek(60);
    } else if (action == "step") {
        rig.controller->requestStep(41);
    } else {
        for (QChar key : action)
            rig.press(char(key.unicode()));
        if (rig.state.speedIndex() > 0 || rig.state.playState() == Backward) {
            // The shuttle's frames come with the timer (after forward 1x's start request).
            QCoreApplication::processEvents();
            rig.engine.requests.clear();
            QTest::qWait(100);
            rig.controller->onPlaybackTimer();
        }
    }
    QCoreApplication::processEvents();
    QStringList frameSlots;
    for (const Request &r : rig.engine.requests)
        if (r.slot == "requestFrame" || r.slot == "requestFrameSilently" || r.slot == "requestPlaybackStart")
            frameSlots << r.slot;
    QCOMPARE(frameSlots, QStringList{expectedSlot});
    QCOMPARE(rig.engine.requests.last().id, rig.controller->requestId());
    rig.controller->setPlaybackState(Stopped);
}

void TestPlaybackController::staleAnswersChangeNothing()
{
    Rig rig(100);
    rig.showFrame(10);
    const int oldId = rig.controller->requestId();
    rig.controller->requestSeek(50);
    QVERIFY(rig.controller->requestId() > oldId);
    const QVideoFrame shown = rig.sink.videoFrame();

    rig.engine.answer(57, oldId);
    QCOMPARE(rig.state.currentFrameNumber(), int64_t(10));
    QCOMPARE(rig.sink.videoFrame(), shown);

    rig.engine.answer(50, rig.controller->requestId());
    QCOMPARE(rig.state.currentFrameNumber(), int64_t(50));
    QVERIFY(rig.sink.videoFrame() != shown);
    // The seek asked exactly for frame 50 under the new id.
    QCoreApplication::processEvents();
    const QList<Request> frames = rig.engine.framesRequested("requestFrame");
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames.first().frame, int64_t(50));
}

void TestPlaybackController::invalidFrames_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<int64_t>("startFrame");
    QTest::addColumn<int>("retries");
    QTest::addColumn<QString>("finalWarning");

    QTest::newRow("forward 1x retries three times") << "L" << int64_t(10) << 3
                                                   << "Playback recovery exhausted: invalid frame attempts=3 current=10 total=100";
    QTest::newRow("forward 1x near the end stops at once") << "L" << int64_t(95) << 0
                                                           << "Playback: invalid frame near boundary, stopping current=95 total=100";
    QTest::newRow("shuttle stops at once") << "LL" << int64_t(10) << 0
                                          << "Playback: invalid frame near boundary, stopping current=10 total=100";
}

void TestPlaybackController::invalidFrames()
{
    QFETCH(QString, keys);
    QFETCH(int64_t, startFrame);
    QFETCH(int, retries);
    QFETCH(QString, finalWarning);

    Rig rig(100);
    rig.showFrame(startFrame);
    for (QChar key : keys)
        rig.press(char(key.unicode()));
    for (int attempt = 1; attempt <= retries; ++attempt)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                               "^Playback recovery: invalid frame attempt=%1 current=%2 retry=\\d+ total=100$")
                                                                  .arg(attempt)
                                                                  .arg(startFrame)));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(finalWarning));
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("Playback: STOPPED reason=invalid frame frame=%1/100")
                                                    .arg(startFrame)));

    for (int answer = 0; answer <= retries; ++answer) {
        QVERIFY(rig.state.playState() != Stopped);
        const int before = rig.controller->requestId();
        rig.engine.answer(startFrame + 1, before, false);
        if (answer < retries) {
            // Each retry is a new generation, an exact request after the frame on screen.
            QCOMPARE(rig.controller->requestId(), before + 1);
            QVERIFY(rig.controller->isAwaitingFrame());
            QCoreApplication::processEvents();
            const Request last = rig.engine.framesRequested("requestFrame").last();
            QCOMPARE(last.id, before + 1);
            QVERIFY(last.frame > startFrame && last.frame < 100);
        }
    }
    QCOMPARE(rig.state.playState(), Stopped);
    QCOMPARE(rig.state.currentFrameNumber(), startFrame);
}

void TestPlaybackController::jumpDetection_data()
{
    QTest::addColumn<bool>("stabilized");
    QTest::addColumn<double>("fps");
    QTest::addColumn<int64_t>("delivered");
    QTest::addColumn<bool>("warns");

    // Allowed: 3 when stabilised, else max(5, ceil(fps / 4)).
    QTest::newRow("25 fps, +7 is fine") << false << 25.0 << int64_t(17) << false;
    QTest::newRow("25 fps, +8 jumps") << false << 25.0 << int64_t(18) << true;
    QTest::newRow("60 fps, +15 is fine") << false << 60.0 << int64_t(25) << false;
    QTest::newRow("60 fps, +16 jumps") << false << 60.0 << int64_t(26) << true;
    QTest::newRow("stabilised, +3 is fine") << true << 25.0 << int64_t(13) << false;
    QTest::newRow("stabilised, +4 jumps") << true << 25.0 << int64_t(14) << true;
}

void TestPlaybackController::jumpDetection()
{
    QFETCH(bool, stabilized);
    QFETCH(double, fps);
    QFETCH(int64_t, delivered);
    QFETCH(bool, warns);

    Rig rig(1000, fps, {{"playbackStabilized", stabilized}});
    rig.showFrame(10);
    rig.controller->setPlaybackState(Forward);
    if (warns)
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("Playback: frame jump detected previous=10 current=%1 jump=%2 "
                                                       "targetFps=%3")
                                            .arg(delivered)
                                            .arg(delivered - 10)
                                            .arg(QString::number(fps, 'f', 3))));
    else
        QTest::failOnWarning(QRegularExpression("frame jump"));
    rig.engine.answer(delivered, rig.controller->requestId());
    // Playback goes on with the delivered frame either way.
    QCOMPARE(rig.state.currentFrameNumber(), delivered);
    QCOMPARE(rig.state.playState(), Forward);
}

void TestPlaybackController::primingReplacesTheStartRequest_data()
{
    QTest::addColumn<bool>("primingEnabled");
    QTest::addColumn<bool>("viaL");
    QTest::addColumn<QString>("expectedSlot");

    QTest::newRow("priming media, space") << true << false << "primePlaybackQueue";
    QTest::newRow("priming media, L") << true << true << "requestPlaybackStart";
    QTest::newRow("other media, space") << false << false << "requestPlaybackStart";
}

void TestPlaybackController::primingReplacesTheStartRequest()
{
    QFETCH(bool, primingEnabled);
    QFETCH(bool, viaL);
    QFETCH(QString, expectedSlot);

    Rig rig(100, 25.0, {{"playbackPrimingEnabled", primingEnabled}});
    rig.showFrame(30);
    rig.controller->setPlaybackState(Forward, viaL);
    QCoreApplication::processEvents();
    QStringList frameSlots;
    for (const Request &r : rig.engine.requests)
        if (r.slot != "clearAudioQueue")
            frameSlots << r.slot;
    QCOMPARE(frameSlots, QStringList{expectedSlot});
    QCOMPARE(rig.engine.requests.last().frame, int64_t(30));
    QCOMPARE(rig.engine.requests.last().id, rig.controller->requestId());
    QCOMPARE(rig.controller->isAwaitingFrame(), expectedSlot == "requestPlaybackStart");
    // Without an output there is no buffer to fill: no sound is asked for beyond the frame.
    if (expectedSlot == "requestPlaybackStart")
        QCOMPARE(rig.engine.startSound, QList<double>{0.0});
}

void TestPlaybackController::forwardOnTheWallClock()
{
    // No audio sink: the elapsed timer alone paces forward 1x.
    Rig rig(1000);
    rig.engine.autoAnswer = true;
    rig.showFrame(100);
    QElapsedTimer wall;
    rig.controller->setPlaybackState(Forward);
    wall.start();
    rig.timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&rig.timer, &QTimer::timeout, rig.controller.get(), &PlaybackController::onPlaybackTimer);
    rig.timer.start(40);
    QList<int64_t> shown;
    QObject::connect(&rig.state, &ApplicationState::currentFrameNumberChanged, &rig.state,
                     [&](int64_t n) { shown.append(n); });
    QTest::qWait(1200);
    const double seconds = wall.elapsed() / 1000.0;
    rig.timer.stop();

    QVERIFY(shown.size() >= 15);
    for (qsizetype i = 1; i < shown.size(); ++i)
        QVERIFY2(shown[i] > shown[i - 1], "frames go forwards");
    // Within a few frames of the clock, even on a loaded machine.
    const int64_t due = 100 + int64_t(25 * seconds);
    QVERIFY2(std::abs(shown.last() - due) <= 4, qPrintable(QStringLiteral("shown %1 due %2").arg(shown.last()).arg(due)));
    QVERIFY(!rig.controller->isAudioClockActive());
    // Only the start request repositions.
    QCOMPARE(rig.engine.framesRequested("requestPlaybackStart").size(), 1);
    QVERIFY(rig.engine.framesRequested("requestFrame").isEmpty());
}

void TestPlaybackController::meterFollowsRoutingWhileStopped()
{
    // Outside forward 1x the meter shows the engine's levels of the routed channels; two
    // muted sides read the floor, and the meter calls that silence after two updates.
    Rig rig(100);
    rig.showFrame(0);
    for (int i = 0; i < 3; ++i) {
        rig.controller->requestSeek(i);
        rig.engine.answer(i, rig.controller->requestId());
    }
    QVERIFY(!rig.meter.isSilent());
    rig.left.setCurrentIndex(0);
    rig.right.setCurrentIndex(0);
    for (int i = 3; i < 6; ++i) {
        rig.controller->requestSeek(i);
        rig.engine.answer(i, rig.controller->requestId());
    }
    QVERIFY(rig.meter.isSilent());
    // The stopped path keeps no audio.
    QCOMPARE(rig.controller->pendingAudioBytes(), qsizetype(0));
}

void TestPlaybackController::clockStartsWithTheFirstPicture()
{
    // A slow first seek must not count as playing time: the clock starts with the
    // picture (and the sound) it brings.
    Rig rig(1000);
    rig.showFrame(10);
    rig.controller->setPlaybackState(Forward);
    QTest::qWait(300);
    rig.controller->onPlaybackTimer(); // the start request is still outstanding
    QCoreApplication::processEvents();
    QCOMPARE(rig.engine.framesRequested("requestNextFrameAtOrAfter").size(), 0);
    rig.engine.answer(10, rig.controller->requestId());
    QTest::qWait(50);
    // 50 ms after the first picture, not 350 ms after the key press.
    const int64_t due = rig.controller->clockFrame();
    QVERIFY2(due >= 11 && due <= 12, qPrintable(QString::number(due)));
}

void TestPlaybackController::lateAnswerAsksForTheDueFrameAtOnce()
{
    // Stabilised media step one frame at a time; an answer that arrives when the clock is
    // already further on asks for the next frame without waiting a tick.
    Rig rig(1000, 25.0, {{"playbackStabilized", true}});
    rig.showFrame(10);
    rig.controller->setPlaybackState(Forward);
    rig.engine.answer(10, rig.controller->requestId());
    QTest::qWait(100); // the clock is at 12.5 frames
    rig.controller->onPlaybackTimer();
    QCoreApplication::processEvents();
    QList<Request> next = rig.engine.framesRequested("requestNextFrameAtOrAfter");
    QCOMPARE(next.size(), 1);
    QCOMPARE(next.last().frame, int64_t(11));
    rig.engine.answer(11, rig.controller->requestId());
    QCoreApplication::processEvents();
    next = rig.engine.framesRequested("requestNextFrameAtOrAfter");
    QCOMPARE(next.size(), 2);
    QCOMPARE(next.last().frame, int64_t(12));
    QVERIFY(rig.controller->isAwaitingFrame());
    // On time: no further request until the clock moves on.
    rig.engine.answer(12, rig.controller->requestId());
    QCoreApplication::processEvents();
    QCOMPARE(rig.engine.framesRequested("requestNextFrameAtOrAfter").size(), 2);
}

void TestPlaybackController::clock_data()
{
    // Each step: wall seconds, processedUSecs (-1: no sink) -> expected clock seconds.
    QTest::addColumn<bool>("audioActive");
    QTest::addColumn<QList<double>>("wall");
    QTest::addColumn<QList<qint64>>("processed");
    QTest::addColumn<QList<double>>("expected");

    QTest::newRow("no audio: wall clock")
        << false << QList<double>{0.1, 0.2, 0.5} << QList<qint64>{-1, -1, -1} << QList<double>{0.1, 0.2, 0.5};
    QTest::newRow("picture waits for the device's first samples, then audio leads")
        // Base 1000: held at 0 until the device has played 0.05 s at 0.30 s; from then the
        // device's played time is the clock.
        << true << QList<double>{0.10, 0.30, 0.40, 0.55}
        << QList<qint64>{1000, 51000, 141000, 301000} << QList<double>{0.0, 0.05, 0.14, 0.30};
    QTest::newRow("starved output: wall clock, shifted by the wait, after a quarter second")
        << true << QList<double>{0.10, 0.20, 0.50, 0.60}
        << QList<qint64>{2000, 2000 + 50000, 2000 + 50000, 2000 + 60000}
        << QList<double>{0.0, 0.05, 0.35, 0.45};
    QTest::newRow("stall over: back on the audio clock, the picture waits for the sound")
        // Synced at 0.04; the device stalls for half a second (the wall clock carries the
        // picture on), then plays at its pace half a second behind. After a second of that
        // the clock reads the device again, holding the picture until the sound reaches it.
        << true << QList<double>{0.00, 0.04, 0.54, 1.04, 1.54, 1.80, 2.04}
        << QList<qint64>{0, 40000, 40000, 540000, 1040000, 1300000, 1540000}
        << QList<double>{0.0, 0.04, 0.54, 1.04, 1.04, 1.30, 1.54};
    QTest::newRow("output trickling after a stall: still the wall clock")
        << true << QList<double>{0.00, 0.04, 0.54, 1.54} << QList<qint64>{0, 40000, 40000, 640000}
        << QList<double>{0.0, 0.04, 0.54, 1.54};
    QTest::newRow("never backwards")
        // Synced at 0.2 s; then the device counter drops (a restarted stream).
        << true << QList<double>{0.10, 0.20, 0.30, 0.31}
        << QList<qint64>{0, 10000, 60000, 20000} << QList<double>{0.0, 0.01, 0.06, 0.06};
    QTest::newRow("output that never starts: the wall clock after the wait")
        // Still silent at 2.6 s: the wall clock runs; a device that starts after that
        // reads the wall-clock time at which it started.
        << true << QList<double>{0.10, 2.40, 2.60, 3.00, 3.10}
        << QList<qint64>{0, 0, 0, 100000, 200000} << QList<double>{0.0, 0.0, 2.60, 3.00, 3.10};
    QTest::newRow("audio active but sink gone: wall clock")
        << true << QList<double>{0.10, 0.20} << QList<qint64>{-1, -1} << QList<double>{0.10, 0.20};
}

void TestPlaybackController::clock()
{
    QFETCH(bool, audioActive);
    QFETCH(QList<double>, wall);
    QFETCH(QList<qint64>, processed);
    QFETCH(QList<double>, expected);

    pacing::PlaybackClock clock;
    clock.start(audioActive, processed.first() < 0 ? 0 : processed.first());
    for (qsizetype i = 0; i < wall.size(); ++i) {
        const std::optional<int64_t> p = processed[i] < 0 ? std::nullopt : std::optional<int64_t>(processed[i]);
        const double t = clock.seconds(wall[i], p);
        QVERIFY2(std::abs(t - expected[i]) < 1e-9,
                 qPrintable(QStringLiteral("step %1: %2 instead of %3").arg(i).arg(t).arg(expected[i])));
    }
    clock.stop();
    QVERIFY(!clock.audioActive() && !clock.audioSynced());
    QCOMPARE(clock.seconds(0.0, std::nullopt), 0.0);
}

void TestPlaybackController::skippingAudioAfterAStall()
{
    pacing::PlaybackClock clock;
    clock.start(true, 0);
    QCOMPARE(clock.seconds(0.00, 0), 0.0);
    QCOMPARE(clock.seconds(0.04, 40000), 0.04); // synced: audio reads 0.04 from here
    QCOMPARE(clock.audioLag(40000), 0.0);
    // The device stalls for half a second: the wall clock carries the picture on.
    QCOMPARE(clock.seconds(0.54, 50000), 0.54);
    const double lag = clock.audioLag(50000);
    QVERIFY(std::abs(lag - 0.49) < 1e-9);
    // Dropping that much unplayed audio puts the device back on the picture's time, and
    // the audio leads again.
    clock.skipAudio(int64_t(lag * 1e6));
    QVERIFY(std::abs(clock.audioLag(50000)) < 1e-9);
    QVERIFY(std::abs(clock.seconds(0.60, 90000) - 0.58) < 1e-9);
}

void TestPlaybackController::stepsAndMargins()
{
    struct Row { bool stabilized; double fps; int64_t behind; int64_t step; int64_t jump; int64_t margin; };
    const Row rows[] = {
        {false, 25.0, 1, 2, 7, 7},   {false, 29.97, 8, 2, 8, 8}, {false, 60.0, 1, 4, 15, 15},
        {false, 120.0, 1, 8, 30, 30}, {true, 25.0, 3, 1, 3, 7},  {true, 25.0, 4, 2, 3, 7},
        {false, 0.0, 1, 2, 5, 2},
        // More than a quarter of a second behind: straight to the due frame.
        {true, 25.0, 7, 2, 3, 7},    {true, 25.0, 8, 8, 3, 7},   {false, 60.0, 15, 4, 15, 15},
        {false, 60.0, 16, 16, 15, 15}, {true, 8.0, 4, 2, 3, 2},  {true, 8.0, 5, 5, 3, 2},
        {false, 0.0, 5, 5, 5, 2},
    };
    for (const Row &r : rows) {
        QCOMPARE(pacing::forwardStep(r.stabilized, r.fps, r.behind), r.step);
        QCOMPARE(pacing::allowedJump(r.stabilized, r.fps), r.jump);
        QCOMPARE(pacing::recoveryMargin(r.fps), r.margin);
    }
    // Shuttle distance: fps x seconds x speed, halves away from zero.
    QCOMPARE(pacing::shuttleDistance(25.0, 20, 1), int64_t(1));   // 0.5 -> 1
    QCOMPARE(pacing::shuttleDistance(25.0, 40, 64), int64_t(64));
    QCOMPARE(pacing::shuttleDistance(29.97, 1000, 2), int64_t(60));
    QCOMPARE(pacing::clockFrame(10, 25.0, 0.0399999), int64_t(11)); // the 0.001 tolerance
    QCOMPARE(pacing::clockFrame(10, 25.0, 0.0399), int64_t(10));
}

void TestPlaybackController::levelBallistics()
{
    // A full-scale click: the bar falls at 90 dB/s, the peak holds 1 s, then falls 24 dB/s.
    levels::Ballistics side;
    side.step(0.0f, 0.02);
    QCOMPARE(side.level, 0.0f);
    QCOMPARE(side.peak, 0.0f);
    const double dt = 0.1;
    for (int i = 1; i <= 5; ++i) {
        side.step(-60.0f, dt);
        QVERIFY(std::abs(side.level - std::max(-9.0f * i, -60.0f)) < 1e-3f);
        QCOMPARE(side.peak, 0.0f); // held
    }
    for (int i = 0; i < 5; ++i)
        side.step(-60.0f, dt); // hold runs out after 1 s
    QVERIFY(side.hold <= 0.0f);
    const float before = side.peak;
    side.step(-60.0f, dt);
    QVERIFY(std::abs((before - side.peak) - 2.4f) < 1e-3f);
    QCOMPARE(side.level, -60.0f);
    for (int i = 0; i < 100; ++i)
        side.step(-60.0f, dt);
    QCOMPARE(side.peak, -60.0f); // never below the level
}

QTEST_MAIN(TestPlaybackController)
#include "tst_playbackcontroller.moc"
