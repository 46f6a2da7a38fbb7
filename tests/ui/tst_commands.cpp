// The main window's commands driven through real key and wheel events on a window that
// has a generated clip open: what each key does to the play state, the frame, the
// presentation and the audio routing, and how held stepping keys repeat.

#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QKeySequence>
#include <QProcess>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>
#include <QWheelEvent>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

// mono.mov, video_6ch.mov: 640x360, 25 fps, 50 frames.
constexpr int64_t kClipFrames = 50;
constexpr int kWaitMs = 20000;

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    PlaybackController *controller() const { return window->findChild<PlaybackController *>(); }
    QStackedWidget *stack() const { return window->findChild<QStackedWidget *>(); }
    QVideoSink *sink() const { return qobject_cast<QVideoWidget *>(stack()->widget(1))->videoSink(); }
    QComboBox *leftCombo() const { return window->findChildren<QComboBox *>().value(0); }
    QComboBox *rightCombo() const { return window->findChildren<QComboBox *>().value(1); }
    int64_t frame() const { return state()->currentFrameNumber(); }

    // The repeat timer of held stepping keys.
    QTimer *stepTimer() const { return window->findChild<QTimer *>(QStringLiteral("StepRepeatTimer")); }

    // Opens and waits until the first picture of the file is on screen.
    bool open(const QString &path) const
    {
        QSignalSpy pictures(sink(), &QVideoSink::videoFrameChanged);
        window->openMediaFile(path);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kWaitMs) {
            if (!state()->property("mediaProperties").toMap().isEmpty() && pictures.count() > 0
                && !controller()->isAwaitingFrame() && frame() == 0)
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    bool seek(int64_t target) const
    {
        controller()->requestSeek(int(target));
        return settleAt(target);
    }

    bool settleAt(int64_t target) const
    {
        return QTest::qWaitFor([&] { return frame() == target && !controller()->isAwaitingFrame(); }, kWaitMs);
    }

    // Waits until no picture has arrived for a while and returns the one on screen.
    QImage settledPicture() const
    {
        QSignalSpy pictures(sink(), &QVideoSink::videoFrameChanged);
        QElapsedTimer timer;
        timer.start();
        int seen = -1;
        while (timer.elapsed() < kWaitMs) {
            QTest::qWait(250);
            if (pictures.count() == seen && !controller()->isAwaitingFrame())
                break;
            seen = int(pictures.count());
        }
        return sink()->videoFrame().toImage().convertToFormat(QImage::Format_RGB32);
    }

    QVariantMap media() const { return state()->property("mediaProperties").toMap(); }
};

// A space-separated key script: "L", "Shift+Right", "Ctrl+/" are clicks (press and
// release); "press:K" and "release:K" send one half; "repeat:Right" is an auto-repeated
// press and "repeat-release:Right" an auto-repeated release; "combo:2,4" chooses both
// routing combos as a mouse would.
void play(const Window &w, const QString &script)
{
    for (const QString &token : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        QString keyText = token;
        QString action = QStringLiteral("click");
        if (const int colon = token.indexOf(QLatin1Char(':')); colon > 0) {
            action = token.left(colon);
            keyText = token.mid(colon + 1);
        }
        if (action == QLatin1String("combo")) {
            const QStringList indices = keyText.split(QLatin1Char(','));
            w.leftCombo()->setCurrentIndex(indices.value(0).toInt());
            w.rightCombo()->setCurrentIndex(indices.value(1).toInt());
            continue;
        }
        // A lone modifier key is not a key sequence.
        const QKeySequence sequence = keyText == QLatin1String("Shift")
            ? QKeySequence(QKeyCombination(Qt::ShiftModifier, Qt::Key_Shift))
            : QKeySequence::fromString(keyText, QKeySequence::PortableText);
        QVERIFY2(sequence.count() == 1, qPrintable(token));
        const QKeyCombination combination = sequence[0];
        const Qt::Key key = combination.key();
        const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
        if (action == QLatin1String("click")) {
            QTest::keyClick(w.window.get(), key, modifiers);
        } else if (action == QLatin1String("press")) {
            QTest::keyPress(w.window.get(), key, modifiers);
        } else if (action == QLatin1String("release")) {
            QTest::keyRelease(w.window.get(), key, modifiers);
        } else if (action == QLatin1String("repeat") || action == QLatin1String("repeat-release")) {
            const QEvent::Type type = action == QLatin1String("repeat") ? QEvent::KeyPress : QEvent::KeyRelease;
            QKeyEvent event(type, key, modifiers, QString(), true);
            QCoreApplication::sendEvent(w.window.get(), &event);
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown action in %1").arg(token)));
        }
    }
}

void turnWheel(QObject *target, int delta)
{
    QWheelEvent event(QPointF(100, 10), QPointF(100, 10), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(target, &event);
}

// True when every sampled pixel is grey (R = G = B).
bool isGreyscale(const QImage &image)
{
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7) {
            const QRgb p = image.pixel(x, y);
            if (qRed(p) != qGreen(p) || qGreen(p) != qBlue(p))
                return false;
        }
    return true;
}

QString clip(const char *name)
{
    return testsupport::mediaPath(QString::fromLatin1(name));
}

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void shuttleKeys_data();
    void shuttleKeys();
    void stepKeys_data();
    void stepKeys();
    void secondSteps_data();
    void secondSteps();
    void keysWithoutMediaDoNothing_data();
    void keysWithoutMediaDoNothing();
    void stepTimerLifecycle_data();
    void stepTimerLifecycle();
    void heldKeyRepeatsAfterTheFirstDelay();
    void releaseStopsStepping();
    void wheel_data();
    void wheel();
    void presentationKeys_data();
    void presentationKeys();
    void scopePageKeys_data();
    void scopePageKeys();
    void fullScreenLayout();
    void channelKeysShowTheIsolatedChannel();
    void overlayKeys_data();
    void overlayKeys();
    void routingKeys_data();
    void routingKeys();
    void routingKeysOnFileWithoutAudio();
    void unknownKeysArePassedOn_data();
    void unknownKeysArePassedOn();
};

void TestCommands::shuttleKeys_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("scopePage");
    QTest::addColumn<int>("playState");
    QTest::addColumn<int>("speedIndex");

    QTest::newRow("L plays forward 1x") << "L" << false << int(Forward) << 0;
    QTest::newRow("L L is 2x") << "L L" << false << int(Forward) << 1;
    QTest::newRow("eight L stay at 64x") << "L L L L L L L L" << false << int(Forward) << 6;
    QTest::newRow("J while forward 4x is backward 1x") << "L L L J" << false << int(Backward) << 0;
    QTest::newRow("J J J is backward 4x") << "J J J" << false << int(Backward) << 2;
    QTest::newRow("L after J is forward 1x") << "J J L" << false << int(Forward) << 0;
    QTest::newRow("K stops") << "L L K" << false << int(Stopped) << 0;
    QTest::newRow("space plays") << "Space" << false << int(Forward) << 0;
    QTest::newRow("space twice stops") << "Space Space" << false << int(Stopped) << 0;
    QTest::newRow("space stops backward play") << "J Space" << false << int(Stopped) << 0;
    QTest::newRow("space stops a fast shuttle") << "L L L Space" << false << int(Stopped) << 0;
    QTest::newRow("Shift+L is filtered") << "Shift+L" << false << int(Stopped) << 0;
    QTest::newRow("Ctrl+Space is filtered") << "Ctrl+Space" << false << int(Stopped) << 0;
    QTest::newRow("Alt+J is filtered") << "Alt+J" << false << int(Stopped) << 0;
    QTest::newRow("auto-repeated L is ignored") << "repeat:L" << false << int(Stopped) << 0;
    QTest::newRow("L then auto-repeated L stays 1x") << "L repeat:L repeat:L" << false << int(Forward) << 0;
    QTest::newRow("scope page ignores L") << "L" << true << int(Stopped) << 0;
    QTest::newRow("scope page ignores space") << "Space" << true << int(Stopped) << 0;
    QTest::newRow("scope page ignores J") << "J" << true << int(Stopped) << 0;
}

void TestCommands::shuttleKeys()
{
    QFETCH(QString, script);
    QFETCH(bool, scopePage);
    QFETCH(int, playState);
    QFETCH(int, speedIndex);
    Window w;
    QVERIFY(w.open(clip("mono.mov")));
    // From the middle, so that neither end stops the shuttle before it is looked at.
    QVERIFY(w.seek(25));
    if (scopePage)
        w.state()->setCurrentMode(Scope);

    // Key clicks are delivered synchronously: no timer tick runs between them.
    play(w, script);
    QCOMPARE(int(w.state()->playState()), playState);
    QCOMPARE(w.state()->speedIndex(), speedIndex);
    w.controller()->setPlaybackState(Stopped);
}

void TestCommands::stepKeys_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("expected");

    QTest::newRow("Right is one frame on") << 10 << "Right" << 11;
    QTest::newRow("Left is one frame back") << 10 << "Left" << 9;
    QTest::newRow("Shift+Right is one second on") << 10 << "Shift+Right" << 35;
    QTest::newRow("Shift+Left is one second back") << 40 << "Shift+Left" << 15;
    QTest::newRow("Shift+Left stops at frame 0") << 10 << "Shift+Left" << 0;
    QTest::newRow("Shift+Right stops at the last frame") << 40 << "Shift+Right" << 49;
    QTest::newRow("Home") << 30 << "Home" << 0;
    QTest::newRow("Up") << 30 << "Up" << 0;
    QTest::newRow("End") << 10 << "End" << 49;
    QTest::newRow("Down") << 10 << "Down" << 49;
    QTest::newRow("K held + L steps on") << 10 << "press:K L release:K" << 11;
    QTest::newRow("K held + J steps back") << 10 << "press:K J release:K" << 9;
    // No movement: the frame stays and no request is made at all.
    QTest::newRow("Left at frame 0") << 0 << "Left" << 0;
    QTest::newRow("Right at the last frame") << 49 << "Right" << 49;
    QTest::newRow("Ctrl+Right is filtered") << 10 << "Ctrl+Right" << 10;
    QTest::newRow("Alt+Left is filtered") << 10 << "Alt+Left" << 10;
    QTest::newRow("Shift+Home is filtered") << 10 << "Shift+Home" << 10;
    QTest::newRow("auto-repeated Right is ignored") << 10 << "repeat:Right" << 10;
    QTest::newRow("help page swallows Right") << 10 << "Ctrl+/ Right" << 10;
}

void TestCommands::stepKeys()
{
    QFETCH(int, start);
    QFETCH(QString, script);
    QFETCH(int, expected);
    Window w;
    QVERIFY(w.open(clip("mono.mov")));
    QCOMPARE(w.state()->totalFrames(), kClipFrames);
    QVERIFY(w.seek(start));
    const int requestsBefore = w.controller()->requestId();

    play(w, script);
    if (expected == start) {
        QCOMPARE(w.controller()->requestId(), requestsBefore);
        QTest::qWait(300);
        QCOMPARE(w.frame(), int64_t(start));
    } else {
        QVERIFY2(w.settleAt(expected), qPrintable(QStringLiteral("at frame %1").arg(w.frame())));
    }
    QCOMPARE(w.state()->playState(), Stopped);
    // A click releases the key again: no repeat may follow.
    QTest::qWait(400);
    QCOMPARE(w.frame(), int64_t(expected));
}

void TestCommands::secondSteps_data()
{
    QTest::addColumn<QString>("clipName");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("expectedStep");

    QTest::newRow("25 fps second") << "mono.mov" << "Shift+Right" << 1 << 25;
    QTest::newRow("29.97 fps second is 30 frames") << "h264_2997df.mov" << "Shift+Right" << 1 << 30;
    QTest::newRow("1 fps second is 1 frame") << "one_fps" << "Shift+Right" << 1 << 1;
    QTest::newRow("audio-only: Shift+Right moves a second") << "audio.flac" << "Shift+Right" << 1 << -1;
    QTest::newRow("audio-only: Right does nothing") << "audio.flac" << "Right" << 0 << 0;
    QTest::newRow("audio-only: Left does nothing") << "audio.flac" << "Left" << 0 << 0;
    QTest::newRow("audio-only: K + L does nothing") << "audio.flac" << "press:K L release:K" << 0 << 0;
}

void TestCommands::secondSteps()
{
    QFETCH(QString, clipName);
    QFETCH(QString, script);
    QFETCH(int, seconds);
    QFETCH(int, expectedStep);

    QTemporaryDir dir;
    QString path;
    if (clipName == QLatin1String("one_fps")) {
        path = dir.filePath(QStringLiteral("one_fps.mp4"));
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"),
                     {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=1:duration=5", "-c:v",
                      "libx264", "-pix_fmt", "yuv420p", path});
        QVERIFY(ffmpeg.waitForFinished(60000));
        QCOMPARE(ffmpeg.exitCode(), 0);
    } else {
        path = testsupport::mediaPath(clipName);
    }
    Window w;
    QVERIFY(w.open(path));
    const int64_t start = std::min<int64_t>(1, w.state()->totalFrames() - 1);
    QVERIFY(w.seek(start));
    const long second = std::lround(w.state()->fps());
    if (expectedStep < 0) // audio-only media step by their nominal rate
        expectedStep = int(second);
    else if (seconds > 0) // the clip has the rate the row is about
        QCOMPARE(long(expectedStep), std::max(second, 1L));
    const int requestsBefore = w.controller()->requestId();

    play(w, script);
    if (expectedStep == 0) {
        // K itself stops playback, which counts as a request generation.
        if (!script.contains(QLatin1String("press:K")))
            QCOMPARE(w.controller()->requestId(), requestsBefore);
        QTest::qWait(300);
        QCOMPARE(w.frame(), start);
    } else {
        QVERIFY2(w.settleAt(start + expectedStep), qPrintable(QStringLiteral("at frame %1").arg(w.frame())));
    }
}

void TestCommands::keysWithoutMediaDoNothing_data()
{
    QTest::addColumn<QString>("script");
    const char *scripts[] = {"Space", "L", "J", "K", "Right", "Left", "Shift+Right", "End", "Down", "press:K L",
                             "F", "Tab", "W", "E", "Ctrl+L", "Ctrl+E", "0", "3", "M", "Return", "D", "P", "Z"};
    for (const char *script : scripts)
        QTest::newRow(script) << QString::fromLatin1(script);
}

void TestCommands::keysWithoutMediaDoNothing()
{
    QFETCH(QString, script);
    Window w;
    QTest::qWait(50);
    play(w, script);
    QTest::qWait(100);
    QCOMPARE(w.state()->playState(), Stopped);
    QCOMPARE(w.frame(), int64_t(0));
    QCOMPARE(w.state()->currentMode(), Viewer);
    QVERIFY(!w.state()->isFullScreen());
    QVERIFY(!w.window->isFullScreen());
    QCOMPARE(w.state()->viewerRotationDegrees(), 0);
    QVERIFY(!w.state()->isGotoMode());
    QCOMPARE(w.stack()->currentIndex(), 0);
    QVERIFY(!w.stepTimer()->isActive());
    QCOMPARE(w.leftCombo()->count(), 0);
}

void TestCommands::stepTimerLifecycle_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("interval");

    QTest::newRow("held Right waits 260 ms for the first repeat") << "press:Right" << true << 260;
    QTest::newRow("held Shift+Right too") << "press:Shift+Right" << true << 260;
    QTest::newRow("release ends it") << "press:Right release:Right" << false << 0;
    QTest::newRow("Left while Right repeats switches at 100 ms") << "press:Right press:Left" << true << 100;
    QTest::newRow("Shift while Right repeats ends it") << "press:Right press:Shift" << false << 0;
    QTest::newRow("releasing the old key keeps the new one")
        << "press:Right press:Left release:Right" << true << 100;
    QTest::newRow("releasing the new key ends it") << "press:Right press:Left release:Left" << false << 0;
    QTest::newRow("any other key ends it") << "press:Right press:R" << false << 0;
    QTest::newRow("an auto-repeated release does not end it") << "press:Right repeat-release:Right" << true << 260;
    QTest::newRow("an auto-repeated press changes nothing") << "press:Right repeat:Left" << true << 260;
    QTest::newRow("K + L repeats") << "press:K press:L" << true << 260;
    QTest::newRow("K + L ends with K") << "press:K press:L release:K" << false << 0;
    QTest::newRow("K + L ends with L") << "press:K press:L release:L" << false << 0;
    QTest::newRow("K + J then Right switches") << "press:K press:J press:Right" << true << 100;
    QTest::newRow("Right at the last frame still waits") << "End press:Right" << true << 260;
    QTest::newRow("help ends it") << "press:Right Ctrl+/" << false << 0;
}

void TestCommands::stepTimerLifecycle()
{
    QFETCH(QString, script);
    QFETCH(bool, running);
    QFETCH(int, interval);
    Window w;
    QVERIFY(w.open(clip("mono.mov")));
    QVERIFY(w.seek(20));
    QTimer *timer = w.stepTimer();
    QVERIFY(timer);

    play(w, script);
    QCOMPARE(timer->isActive(), running);
    if (running)
        QCOMPARE(timer->interval(), interval);
}

void TestCommands::heldKeyRepeatsAfterTheFirstDelay()
{
    Window w;
    QVERIFY(w.open(clip("mono.mov")));
    QVERIFY(w.seek(5));

    QList<qint64> arrivals;
    QElapsedTimer clock;
    connect(w.state(), &ApplicationState::currentFrameNumberChanged, w.window.get(),
            [&] { arrivals << clock.elapsed(); });
    clock.start();
    QTest::keyPress(w.window.get(), Qt::Key_Right);
    QTest::qWait(1300);
    const qint64 releasedAt = clock.elapsed();
    QTest::keyRelease(w.window.get(), Qt::Key_Right);

    const QString trace = QStringLiteral("arrivals %1").arg(
        [&] { QStringList t; for (qint64 a : arrivals) t << QString::number(a); return t.join(u' '); }());
    // One frame at once, then repeats: several within 1.3 s, though never faster than
    // one per 100 ms after a first pause of 260 ms.
    QVERIFY2(arrivals.size() >= 4, qPrintable(trace));
    QVERIFY2(arrivals.size() <= 2 + (releasedAt - 260) / 100 + 1, qPrintable(trace));
    for (int i = 1; i < arrivals.size(); ++i)
        QVERIFY2(arrivals[i] >= 255 + (i - 1) * 100 - 5, qPrintable(trace));
    QVERIFY(w.settleAt(5 + arrivals.size()));
    QCOMPARE(w.state()->playState(), Stopped);
}

void TestCommands::releaseStopsStepping()
{
    Window w;
    QVERIFY(w.open(clip("mono.mov")));
    QVERIFY(w.seek(30));
    QTest::keyPress(w.window.get(), Qt::Key_Left);
    QTest::qWait(700);
    QTest::keyRelease(w.window.get(), Qt::Key_Left);
    // A step already asked for may still arrive; nothing after it.
    QTest::qWait(300);
    const int64_t stoppedAt = w.frame();
    QVERIFY2(stoppedAt < 29, qPrintable(QString::number(stoppedAt)));
    QTest::qWait(500);
    QCOMPARE(w.frame(), stoppedAt);
    QVERIFY(!w.stepTimer()->isActive());
}

void TestCommands::wheel_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<QList<int>>("deltas");
    QTest::addColumn<bool>("overSeekBar");
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("expected");

    QTest::newRow("a notch away steps on") << 10 << QList<int>{120} << false << "" << 11;
    QTest::newRow("a notch towards steps back") << 10 << QList<int>{-120} << false << "" << 9;
    QTest::newRow("half notches add up") << 10 << QList<int>{60, 60} << false << "" << 11;
    QTest::newRow("a half notch does nothing") << 10 << QList<int>{60} << false << "" << 10;
    QTest::newRow("two notches back at once") << 10 << QList<int>{-240} << false << "" << 8;
    QTest::newRow("remainders carry over") << 10 << QList<int>{90, 90, 60} << false << "" << 12;
    QTest::newRow("clamped at the last frame") << 48 << QList<int>{360} << false << "" << 49;
    QTest::newRow("frame 0 stays") << 0 << QList<int>{-120} << false << "" << 0;
    QTest::newRow("over the seek bar") << 10 << QList<int>{120} << true << "" << 11;
    QTest::newRow("over the seek bar, back") << 10 << QList<int>{-360} << true << "" << 7;
    QTest::newRow("not behind the help page") << 10 << QList<int>{120} << false << "Ctrl+/" << 10;
}

void TestCommands::wheel()
{
    QFETCH(int, start);
    QFETCH(QList<int>, deltas);
    QFETCH(bool, overSeekBar);
    QFETCH(QString, before);
    QFETCH(int, expected);
    Window w;
    QVERIFY(w.open(clip("mono.mov")));
    QVERIFY(w.seek(start));
    play(w, before);
    const int requestsBefore = w.controller()->requestId();
    QObject *target = overSeekBar ? static_cast<QObject *>(w.window->findChild<QSlider *>(QStringLiteral("SeekBar")))
                                  : w.window.get();
    QVERIFY(target);
    for (int delta : deltas) {
        const int requestId = w.controller()->requestId();
        const int64_t shown = w.frame();
        turnWheel(target, delta);
        // Each notch counts from the frame on screen, so let a requested one arrive.
        if (w.controller()->requestId() != requestId)
            QTRY_VERIFY_WITH_TIMEOUT(w.frame() != shown, kWaitMs);
    }
    if (expected == start) {
        QCOMPARE(w.controller()->requestId(), requestsBefore);
        QTest::qWait(200);
    }
    QVERIFY2(w.settleAt(expected), qPrintable(QStringLiteral("at frame %1").arg(w.frame())));
}

void TestCommands::presentationKeys_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("help");
    QTest::addColumn<bool>("fullScreen");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("page");

    QTest::newRow("Ctrl+/ shows help") << "Ctrl+/" << true << false << 0 << int(Color) << 2;
    QTest::newRow("Meta+/ shows help") << "Meta+/" << true << false << 0 << int(Color) << 2;
    QTest::newRow("Escape hides help") << "Ctrl+/ Esc" << false << false << 0 << int(Color) << 1;
    QTest::newRow("Ctrl+/ twice") << "Ctrl+/ Ctrl+/" << false << false << 0 << int(Color) << 1;
    QTest::newRow("help swallows other keys")
        << "Ctrl+/ L Right R F Ctrl+L Space 3" << true << false << 0 << int(Color) << 2;
    QTest::newRow("help stops playback") << "L Ctrl+/" << true << false << 0 << int(Color) << 2;
    QTest::newRow("Ctrl+L rotates") << "Ctrl+L" << false << false << 90 << int(Color) << 1;
    QTest::newRow("Meta+L rotates") << "Meta+L" << false << false << 90 << int(Color) << 1;
    QTest::newRow("from 270 back to 0") << "Ctrl+L Ctrl+L Ctrl+L Ctrl+L" << false << false << 0 << int(Color) << 1;
    QTest::newRow("Shift+Ctrl+L does not rotate") << "Shift+Ctrl+L" << false << false << 0 << int(Color) << 1;
    QTest::newRow("R") << "R" << false << false << 0 << int(Red) << 1;
    QTest::newRow("G") << "G" << false << false << 0 << int(Green) << 1;
    QTest::newRow("B") << "B" << false << false << 0 << int(Blue) << 1;
    QTest::newRow("A") << "A" << false << false << 0 << int(Alpha) << 1;
    QTest::newRow("Y") << "Y" << false << false << 0 << int(Luma) << 1;
    QTest::newRow("C returns to colour") << "R C" << false << false << 0 << int(Color) << 1;
    QTest::newRow("Ctrl+R is filtered") << "Ctrl+R" << false << false << 0 << int(Color) << 1;
    QTest::newRow("Shift+G is filtered") << "Shift+G" << false << false << 0 << int(Color) << 1;
    QTest::newRow("F goes full screen") << "F" << false << true << 0 << int(Color) << 1;
    QTest::newRow("F twice") << "F F" << false << false << 0 << int(Color) << 1;
    QTest::newRow("Escape leaves full screen") << "F Esc" << false << false << 0 << int(Color) << 1;
    QTest::newRow("no help in full screen") << "F Ctrl+/" << false << true << 0 << int(Color) << 1;
    QTest::newRow("keys work in full screen") << "F R Ctrl+L" << false << true << 90 << int(Red) << 1;
}

void TestCommands::presentationKeys()
{
    QFETCH(QString, script);
    QFETCH(bool, help);
    QFETCH(bool, fullScreen);
    QFETCH(int, rotation);
    QFETCH(int, channel);
    QFETCH(int, page);
    Window w;
    QVERIFY(w.open(clip("mono.mov")));
    QVERIFY(w.seek(12));

    play(w, script);
    QCOMPARE(w.state()->isHelpVisible(), help);
    QCOMPARE(w.state()->isFullScreen(), fullScreen);
    QCOMPARE(w.window->isFullScreen(), fullScreen);
    QCOMPARE(w.state()->viewerRotationDegrees(), rotation);
    QCOMPARE(int(w.state()->displayChannel()), channel);
    QCOMPARE(w.stack()->currentIndex(), page);
    QCOMPARE(w.state()->playState(), Stopped);
    // Re-rendering shows the same frame again.
    QVERIFY(w.settleAt(12));
}

void TestCommands::scopePageKeys_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("frame");
    QTest::addColumn<bool>("pictureRequested");

    QTest::newRow("D switches to code values") << "D" << int(CodeValue) << int(Color) << 12 << false;
    QTest::newRow("D twice is percent again") << "D D" << int(Percent) << int(Color) << 12 << false;
    QTest::newRow("Shift+D is filtered") << "Shift+D" << int(Percent) << int(Color) << 12 << false;
    // On the scope page a channel change redraws the scope, not the hidden picture.
    QTest::newRow("R isolates without a picture request") << "R" << int(Percent) << int(Red) << 12 << false;
    QTest::newRow("rotation is for the picture only") << "Ctrl+L" << int(Percent) << int(Color) << 12 << false;
    QTest::newRow("no full screen") << "F" << int(Percent) << int(Color) << 12 << false;
    QTest::newRow("Home still seeks") << "Home" << int(Percent) << int(Color) << 0 << true;
    QTest::newRow("End still seeks") << "End" << int(Percent) << int(Color) << 49 << true;
    QTest::newRow("the wheel still steps") << "wheel" << int(Percent) << int(Color) << 13 << true;
}

void TestCommands::scopePageKeys()
{
    QFETCH(QString, script);
    QFETCH(int, range);
    QFETCH(int, channel);
    QFETCH(int, frame);
    QFETCH(bool, pictureRequested);
    Window w;
    QVERIFY(w.open(clip("mono.mov")));
    QVERIFY(w.seek(12));
    w.state()->setCurrentMode(Scope);
    const int requestsBefore = w.controller()->requestId();

    if (script == QLatin1String("wheel"))
        turnWheel(w.window.get(), 120);
    else
        play(w, script);
    QCOMPARE(int(w.state()->scopeRange()), range);
    QCOMPARE(int(w.state()->displayChannel()), channel);
    QCOMPARE(w.state()->viewerRotationDegrees(), 0);
    QVERIFY(!w.window->isFullScreen());
    QCOMPARE(w.controller()->requestId() != requestsBefore, pictureRequested);
    QVERIFY(w.settleAt(frame));
}

void TestCommands::fullScreenLayout()
{
    Window w;
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    QVERIFY(w.open(clip("mono.mov")));
    QWidget *bottom = w.window->findChild<QSlider *>(QStringLiteral("SeekBar"))->parentWidget();

    QTest::keyClick(w.window.get(), Qt::Key_F);
    QVERIFY(w.window->isFullScreen());
    QVERIFY(bottom->isHidden());
    QCOMPARE(w.stack()->maximumSize(), QSize(16777215, 16777215));

    QTest::keyClick(w.window.get(), Qt::Key_Escape);
    QVERIFY(!w.window->isFullScreen());
    QVERIFY(!bottom->isHidden());
    QCOMPARE(w.stack()->minimumSize(), QSize(1280, 720));
    QCOMPARE(w.stack()->maximumSize(), QSize(1280, 720));
    QCOMPARE(w.window->minimumSize(), QSize(1380, 920));
    QCOMPARE(w.window->maximumSize(), QSize(1380, 920));

    // The scope page keeps full screen out of reach.
    w.state()->setCurrentMode(Scope);
    QTest::keyClick(w.window.get(), Qt::Key_F);
    QVERIFY(!w.window->isFullScreen());
}

void TestCommands::channelKeysShowTheIsolatedChannel()
{
    Window w;
    QVERIFY(w.open(clip("mono.mov")));
    QVERIFY(w.seek(5));
    const QImage colour = w.settledPicture();
    QVERIFY(!colour.isNull());
    QVERIFY(!isGreyscale(colour));

    struct Case { Qt::Key key; bool grey; };
    for (const Case &c : {Case{Qt::Key_R, true}, Case{Qt::Key_Y, true}, Case{Qt::Key_C, false}}) {
        QTest::keyClick(w.window.get(), c.key);
        const QImage shown = w.settledPicture();
        QCOMPARE(w.frame(), int64_t(5));
        QCOMPARE(isGreyscale(shown), c.grey);
        if (!c.grey)
            QCOMPARE(shown, colour);
    }
}

void TestCommands::overlayKeys_data()
{
    QTest::addColumn<QString>("clipName");
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("safetyLines");

    QTest::newRow("E draws the safety area") << "mono.mov" << "E" << true;
    QTest::newRow("E twice removes it") << "mono.mov" << "E E" << false;
    QTest::newRow("Shift+E is filtered") << "mono.mov" << "Shift+E" << false;
    QTest::newRow("W arms the Lissajous figure and drops the safety area") << "mono.mov" << "E W" << false;
    QTest::newRow("E after W brings it back") << "mono.mov" << "W E" << true;
    QTest::newRow("W on a file without audio does nothing") << "bgra.avi" << "E W" << true;
    QTest::newRow("E on the scope page does nothing") << "mono.mov" << "scope E viewer" << false;
}

void TestCommands::overlayKeys()
{
    QFETCH(QString, clipName);
    QFETCH(QString, script);
    QFETCH(bool, safetyLines);
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(clipName)));
    QVERIFY(w.seek(3));
    const QImage plain = w.settledPicture();
    QVERIFY(!plain.isNull());

    for (const QString &token : script.split(u' ')) {
        if (token == QLatin1String("scope"))
            w.state()->setCurrentMode(Scope);
        else if (token == QLatin1String("viewer"))
            w.state()->setCurrentMode(Viewer);
        else
            play(w, token);
    }
    const QImage shown = w.settledPicture();
    QCOMPARE(w.frame(), int64_t(3));
    // The Lissajous figure appears only during forward playback, so a stopped picture
    // differs from the plain one only by the safety-area lines.
    QCOMPARE(shown != plain, safetyLines);
}

void TestCommands::routingKeys_data()
{
    QTest::addColumn<QString>("clipName");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("right");
    QTest::addColumn<int>("routingChanges");

    // video_6ch.mov: combos M, ch1 … ch6, starting at ch1 / ch2.
    QTest::newRow("3 gangs channel 3") << "video_6ch.mov" << "3" << 3 << 3 << 1;
    QTest::newRow("6 gangs the last channel") << "video_6ch.mov" << "6" << 6 << 6 << 1;
    QTest::newRow("7 is not a channel") << "video_6ch.mov" << "7" << 1 << 2 << 0;
    QTest::newRow("0 restores the default") << "video_6ch.mov" << "3 0" << 1 << 2 << 2;
    QTest::newRow("M mutes") << "video_6ch.mov" << "M" << 0 << 0 << 1;
    QTest::newRow("M twice restores") << "video_6ch.mov" << "M M" << 1 << 2 << 2;
    QTest::newRow("M twice restores a gang") << "video_6ch.mov" << "4 M M" << 4 << 4 << 3;
    QTest::newRow("M with both outputs on M does nothing")
        << "video_6ch.mov" << "combo:0,0 M M" << 0 << 0 << 2;
    QTest::newRow("a combo choice after M clears the stored mute")
        << "video_6ch.mov" << "M combo:2,5 M M" << 2 << 5 << 5;
    QTest::newRow("Ctrl+3 is filtered") << "video_6ch.mov" << "Ctrl+3" << 1 << 2 << 0;
    QTest::newRow("Alt+1 is filtered") << "video_6ch.mov" << "Alt+1" << 1 << 2 << 0;
    QTest::newRow("Shift+M is filtered") << "video_6ch.mov" << "Shift+M" << 1 << 2 << 0;
    QTest::newRow("mono: 0 routes channel 1 to both") << "mono.mov" << "M 0" << 1 << 1 << 2;
    QTest::newRow("mono: 2 is not a channel") << "mono.mov" << "2" << 1 << 1 << 0;
    QTest::newRow("mono: 1 gangs") << "mono.mov" << "M 1" << 1 << 1 << 2;
}

void TestCommands::routingKeys()
{
    QFETCH(QString, clipName);
    QFETCH(QString, script);
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(int, routingChanges);
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(clipName)));
    QVERIFY(w.seek(7));
    QSignalSpy leftChanges(w.leftCombo(), &QComboBox::currentIndexChanged);
    QSignalSpy rightChanges(w.rightCombo(), &QComboBox::currentIndexChanged);

    play(w, script);
    QCOMPARE(w.leftCombo()->currentIndex(), left);
    QCOMPARE(w.rightCombo()->currentIndex(), right);
    // Keys change both sides with one routing change; a combo choice is one per side.
    QCOMPARE(int(leftChanges.count() + rightChanges.count()), routingChanges);
    // Re-routing refills the audio from the frame on screen.
    QVERIFY(w.settleAt(7));
    QCOMPARE(w.state()->playState(), Stopped);
}

void TestCommands::routingKeysOnFileWithoutAudio()
{
    Window w;
    QVERIFY(w.open(clip("video_6ch.mov")));
    QVERIFY(w.open(clip("bgra.avi")));
    QCOMPARE(w.media().value(QStringLiteral("audioChannelCount")).toInt(), 0);
    QSignalSpy leftChanges(w.leftCombo(), &QComboBox::currentIndexChanged);
    const int requestsBefore = w.controller()->requestId();
    play(w, "3 0 M");
    QCOMPARE(leftChanges.count(), 0);
    QCOMPARE(w.controller()->requestId(), requestsBefore);
}

void TestCommands::unknownKeysArePassedOn_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("Ctrl+Q is passed on") << "Ctrl+Q" << false;
    QTest::newRow("9 is passed on") << "9" << false;
    QTest::newRow("Escape without help or full screen is passed on") << "Esc" << false;
    QTest::newRow("Ctrl+R is filtered") << "Ctrl+R" << false;
    QTest::newRow("Right is taken") << "Right" << true;
    QTest::newRow("R is taken") << "R" << true;
    QTest::newRow("D is taken off the scope page") << "D" << true;
    QTest::newRow("Z is taken") << "Z" << true;
}

void TestCommands::unknownKeysArePassedOn()
{
    QFETCH(QString, script);
    QFETCH(bool, accepted);
    Window w;
    QVERIFY(w.open(clip("mono.mov")));
    const QKeyCombination combination = QKeySequence::fromString(script)[0];
    QKeyEvent press(QEvent::KeyPress, combination.key(), combination.keyboardModifiers());
    press.setAccepted(true);
    QCoreApplication::sendEvent(w.window.get(), &press);
    QCOMPARE(press.isAccepted(), accepted);
    QKeyEvent release(QEvent::KeyRelease, combination.key(), combination.keyboardModifiers());
    QCoreApplication::sendEvent(w.window.get(), &release);
}

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
