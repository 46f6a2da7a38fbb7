// Playing through the whole window: what the audio device actually outputs for the
// routing chosen in the combos, and playback without any audio device.

#include "audiodevicesupport.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QComboBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr const char *kChildEnv = "ORVEL_PLAYBACK_CHILD";

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    PlaybackController *controller() const { return window->findChild<PlaybackController *>(); }
    QList<QComboBox *> combos() const { return window->findChildren<QComboBox *>(); }

    // Opens and waits until the first picture is on screen.
    bool open(const QString &path) const
    {
        window->openMediaFile(path);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 30000) {
            if (!state()->property("mediaProperties").toMap().isEmpty() && !controller()->isAwaitingFrame()
                && state()->currentFrameNumber() == 0 && timer.elapsed() > 300)
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    // Plays forward 1x for 'ms' while recording the device's monitor.
    QByteArray playAndRecord(int ms) const
    {
        audiodevice::MonitorRecorder recorder;
        recorder.start();
        QTest::qWait(200);
        controller()->setPlaybackState(Forward);
        QTest::qWait(ms);
        controller()->setPlaybackState(Stopped);
        QTest::qWait(300);
        return recorder.stop();
    }
};

} // namespace

class TestPlaybackWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tonesArriveOnTheRoutedSides();
    void soundStartsWithThePictureOnAnIdleSink_data();
    void soundStartsWithThePictureOnAnIdleSink();
    void withoutAudioDeviceRunsOnTheWallClock();
    void noDeviceChild();

private:
    QTemporaryDir m_dir;
};

void TestPlaybackWindow::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
    // Every frame on its own: the answer that starts playback reads no sound beyond its
    // frame, so the output starts only once a later answer brings some.
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=6", "-f", "lavfi",
                  "-i", "aevalsrc=0.1*sin(2*PI*1000*t)|0.1*sin(2*PI*400*t):s=48000:c=stereo:d=6", "-c:v", "prores_aw",
                  "-profile:v", "3", "-pix_fmt", "yuv422p10le", "-c:a", "pcm_s16le", "-shortest",
                  m_dir.filePath(QStringLiteral("prores_tone.mov"))});
    QVERIFY(ffmpeg.waitForFinished(120000));
    QCOMPARE(ffmpeg.exitCode(), 0);
}

void TestPlaybackWindow::tonesArriveOnTheRoutedSides()
{
    QVERIFY2(audiodevice::serverAvailable(), "no PulseAudio server: run through scripts/test.sh");
    audiodevice::KeepSinkRunning keeper;
    QVERIFY(keeper.isRunning());
    Window w;
    QVERIFY(w.open(testsupport::mediaPath("demo_bars_25p.mov")));
    const QList<QComboBox *> combos = w.combos();
    QCOMPARE(combos.size(), 2);

    struct Case { int left; int right; double leftHz; double rightHz; };
    // The demo clip: 1 kHz on channel 1, 400 Hz on channel 2.
    const Case cases[] = {{1, 2, 1000.0, 400.0}, {2, 1, 400.0, 1000.0}, {2, 2, 400.0, 400.0}};
    for (const Case &c : cases) {
        combos[0]->setCurrentIndex(c.left);
        combos[1]->setCurrentIndex(c.right);
        QTest::qWait(300);
        const QByteArray recorded = w.playAndRecord(2000);
        const QList<float> left = audiodevice::audiblePart(audiodevice::channel(recorded, 0));
        const QList<float> right = audiodevice::audiblePart(audiodevice::channel(recorded, 1));
        const QString where = QStringLiteral("routing ch%1/ch%2").arg(c.left).arg(c.right);
        // At least a second of sound on both sides, at the level it was recorded at.
        QVERIFY2(left.size() > 48000 && right.size() > 48000, qPrintable(where));
        QVERIFY2(std::abs(audiodevice::peak(left) - 0.1f) < 0.02f, qPrintable(where));
        const double fl = audiodevice::toneFrequency(left);
        const double fr = audiodevice::toneFrequency(right);
        QVERIFY2(std::abs(fl - c.leftHz) < c.leftHz * 0.03,
                 qPrintable(QStringLiteral("%1: left %2 Hz").arg(where).arg(fl)));
        QVERIFY2(std::abs(fr - c.rightHz) < c.rightHz * 0.03,
                 qPrintable(QStringLiteral("%1: right %2 Hz").arg(where).arg(fr)));
    }
}

void TestPlaybackWindow::soundStartsWithThePictureOnAnIdleSink_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("h264") << testsupport::mediaPath("demo_bars_25p.mov");
    QTest::newRow("prores") << m_dir.filePath(QStringLiteral("prores_tone.mov"));
}

void TestPlaybackWindow::soundStartsWithThePictureOnAnIdleSink()
{
    // Nothing keeps the sink busy: like a desktop's output when the user presses play, it
    // starts slowly (the null sink idles in blocks of up to two seconds). The picture
    // waits for the sound rather than the sound being cut to catch up with the picture.
    QFETCH(QString, path);
    QVERIFY2(audiodevice::serverAvailable(), "no PulseAudio server: run through scripts/test.sh");
    Window w;
    QVERIFY(w.open(path));
    // Let the sink fall idle after whatever played before.
    QTest::qWait(2500);

    audiodevice::MonitorRecorder recorder;
    recorder.start();
    QVERIFY(recorder.waitUntilRecording());
    const int64_t startFrame = w.state()->currentFrameNumber();
    w.controller()->setPlaybackState(Forward);
    QElapsedTimer waited;
    waited.start();
    // Three seconds of the clip, however long the output takes to start.
    while (w.state()->currentFrameNumber() - startFrame < 75 && waited.elapsed() < 10000)
        QTest::qWait(10);
    w.controller()->setPlaybackState(Stopped);
    const double playedSeconds = double(w.state()->currentFrameNumber() - startFrame) / 25.0;
    // The monitor of a null sink hands over what it rendered late; give it time.
    QTest::qWait(2500);
    const QByteArray recorded = recorder.stop();

    const QList<float> left = audiodevice::audiblePart(audiodevice::channel(recorded, 0));
    const double heardSeconds = double(left.size()) / 48000.0;
    QVERIFY2(playedSeconds >= 2.9, qPrintable(QStringLiteral("only %1 s played").arg(playedSeconds)));
    QVERIFY2(heardSeconds >= playedSeconds - 0.3,
             qPrintable(QStringLiteral("%1 s heard of %2 s played").arg(heardSeconds).arg(playedSeconds)));
    QCOMPARE(w.controller()->skippedAudioUSecs(), int64_t(0));
}

void TestPlaybackWindow::withoutAudioDeviceRunsOnTheWallClock()
{
    // The audio back end is chosen once per process, so the device-less run is a child.
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildEnv, "1");
    env.insert("PULSE_SERVER", "unix:/nonexistent/orvel-no-audio");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("noDeviceChild")});
    QVERIFY(child.waitForFinished(120000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    QVERIFY2(child.exitCode() == 0, qPrintable(output));
    QVERIFY2(output.contains("PASS   : TestPlaybackWindow::noDeviceChild()"), qPrintable(output));
}

void TestPlaybackWindow::noDeviceChild()
{
    if (qEnvironmentVariableIsEmpty(kChildEnv))
        QSKIP("runs as the child of withoutAudioDeviceRunsOnTheWallClock");
    QTest::ignoreMessage(QtWarningMsg, "Raw audio format not supported by backend.");
    Window w;
    QVERIFY(w.open(testsupport::mediaPath("demo_bars_25p.mov")));
    PlaybackController *controller = w.controller();
    QVERIFY(!controller->hasAudioSink());

    QElapsedTimer wall;
    controller->setPlaybackState(Forward);
    wall.start();
    QTest::qWait(2000);
    const int64_t shown = w.state()->currentFrameNumber();
    const double elapsed = wall.elapsed() / 1000.0;
    QVERIFY(!controller->isAudioClockActive());
    controller->setPlaybackState(Stopped);
    // Silent, but on time.
    QVERIFY2(std::abs(shown - 25.0 * elapsed) <= 6, qPrintable(QStringLiteral("%1 after %2 s").arg(shown).arg(elapsed)));
    QCOMPARE(controller->bytesWritten(), int64_t(0));
}

QTEST_MAIN(TestPlaybackWindow)
#include "tst_playback_window.moc"
