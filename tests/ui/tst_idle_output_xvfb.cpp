// Sound from the first moment on an idle output: the window plays three seconds on a
// PulseAudio server of its own whose only sink is a null sink that nothing else plays on
// (it idles in blocks of up to two seconds), once at the sink's default rate and once at
// 48 kHz. Space starts and stops playback as a user would; the sink's monitor is recorded.
// The same recorder then hears a paplay of a three-second tone: a recorder that hears
// less than that is broken, and the test says so instead of passing on a silent file.
//
// The server is private (its own socket, home and runtime folder), so the suite's shared
// PulseAudio never sees these streams. The audio back end is chosen once per process, so
// each server gets a child process running the window.

#include "audiodevicesupport.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr const char *kChildEnv = "ORVEL_IDLE_OUTPUT_CHILD";
// The clip's first stream: 250 Hz on the left, 500 Hz on the right (the default routing).
constexpr double kLeftHz = 250.0;
constexpr double kRightHz = 500.0;
constexpr double kFps = 25.0;
constexpr int kPlayMs = 3000;

// A PulseAudio server with one null sink and the native protocol on a socket of its own,
// nothing else loaded (no suspend-on-idle, no other stream). Ended by its handle.
class PrivateSoundServer
{
public:
    bool start(const QString &sinkArguments)
    {
        if (!m_dir.isValid())
            return false;
        QDir(m_dir.path()).mkpath(QStringLiteral("home"));
        QDir(m_dir.path()).mkpath(QStringLiteral("run"));
        QFile::setPermissions(m_dir.filePath(QStringLiteral("run")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath(QStringLiteral("run")));
        env.remove(QStringLiteral("PULSE_SERVER"));
        m_server.setProcessEnvironment(env);
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.start(QStringLiteral("pulseaudio"),
                       {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
                        "--log-target=stderr", "--log-level=error",
                        QStringLiteral("--load=module-null-sink sink_name=idle_null %1").arg(sinkArguments).trimmed(),
                        QStringLiteral("--load=module-native-protocol-unix auth-anonymous=1 socket=%1").arg(socket())});
        if (!m_server.waitForStarted(10000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 10000 && m_server.state() == QProcess::Running) {
            QProcess pactl;
            pactl.setProcessEnvironment(clientEnvironment());
            pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
            if (pactl.waitForFinished(5000) && pactl.exitCode() == 0)
                return true;
            QTest::qWait(100);
        }
        return false;
    }
    ~PrivateSoundServer()
    {
        if (m_server.state() != QProcess::NotRunning) {
            m_server.kill();
            m_server.waitForFinished(5000);
        }
    }
    QString socket() const { return m_dir.filePath(QStringLiteral("native")); }
    QString log() { return QString::fromLocal8Bit(m_server.readAll()); }
    // The environment of a client of this server only.
    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + socket());
        return env;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_server;
};

// Records the default sink's monitor as the reproduction does: the recorder is connected,
// then 0.3 s pass before the sound is started; 0.7 s after it ends the recording stops.
class Take
{
public:
    Take()
    {
        m_recorder.start();
        // Listed as a stream of the server: the recorder is connected.
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 5000) {
            QProcess pactl;
            pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"),
                                                   QStringLiteral("source-outputs")});
            if (pactl.waitForFinished(5000) && !pactl.readAllStandardOutput().trimmed().isEmpty())
                break;
            QTest::qWait(50);
        }
        QTest::qWait(300);
    }
    double soundingSeconds()
    {
        QTest::qWait(700);
        return audiodevice::soundingSeconds(m_recorder.stop(), kLeftHz, kRightHz);
    }

private:
    audiodevice::MonitorRecorder m_recorder;
};

} // namespace

class TestIdleOutput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void soundFromTheFirstMoment_data();
    void soundFromTheFirstMoment();
    void idleOutputChild();
};

void TestIdleOutput::soundFromTheFirstMoment_data()
{
    QTest::addColumn<QString>("sinkArguments");
    QTest::newRow("sink at its default rate") << QString();
    QTest::newRow("sink at 48 kHz") << QStringLiteral("rate=48000");
}

void TestIdleOutput::soundFromTheFirstMoment()
{
    QFETCH(QString, sinkArguments);
    PrivateSoundServer server;
    QVERIFY2(server.start(sinkArguments), qPrintable(QStringLiteral("no private PulseAudio: %1").arg(server.log())));

    QProcess child;
    QProcessEnvironment env = server.clientEnvironment();
    env.insert(kChildEnv, "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("idleOutputChild")});
    QVERIFY(child.waitForFinished(120000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    // What the player logged about its output, what was heard, and any failure.
    QStringList told;
    for (const QString &line : output.split('\n'))
        if (line.contains(QStringLiteral("Playback:")) || line.contains(QStringLiteral("heard"))
            || line.startsWith(QStringLiteral("FAIL!")) || line.contains(QStringLiteral("Loc: ")))
            told.append(line.trimmed());
    qInfo().noquote() << told.join('\n');
    QVERIFY2(child.exitCode() == 0 && output.contains("PASS   : TestIdleOutput::idleOutputChild()"),
             qPrintable(told.filter(QStringLiteral("FAIL!")).join('\n')));
}

void TestIdleOutput::idleOutputChild()
{
    if (qEnvironmentVariableIsEmpty(kChildEnv))
        QSKIP("runs as the child of soundFromTheFirstMoment");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString tone = dir.filePath(QStringLiteral("tone.wav"));
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                  QStringLiteral("aevalsrc=0.25*sin(2*PI*%1*t)|0.2*sin(2*PI*%2*t):s=48000:c=stereo:d=3")
                      .arg(kLeftHz)
                      .arg(kRightHz),
                  tone});
    QVERIFY(ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0);

    auto window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    auto *state = window->findChild<ApplicationState *>();
    auto *controller = window->findChild<PlaybackController *>();
    window->openMediaFile(testsupport::mediaPath(QStringLiteral("h264_1080p25.mov")));
    QTRY_VERIFY_WITH_TIMEOUT(!state->property("mediaProperties").toMap().isEmpty() && !controller->isAwaitingFrame()
                                 && state->currentFrameNumber() == 0,
                             30000);
    QVERIFY(controller->hasAudioSink());
    // A user looks at the first picture for a moment before pressing play.
    QTest::qWait(2500);

    double heard = 0.0;
    int64_t stopFrame = -1;
    {
        Take take;
        QTest::keyClick(window.get(), Qt::Key_Space);
        QCOMPARE(state->playState(), Forward);
        QTest::qWait(kPlayMs);
        QTest::keyClick(window.get(), Qt::Key_Space);
        QCOMPARE(state->playState(), Stopped);
        stopFrame = state->currentFrameNumber();
        heard = take.soundingSeconds();
    }
    const int64_t skippedMs = controller->skippedAudioUSecs() / 1000;
    window.reset();

    double control = 0.0;
    {
        Take take;
        QProcess paplay;
        paplay.start(QStringLiteral("paplay"), {tone});
        QVERIFY(paplay.waitForFinished(20000) && paplay.exitCode() == 0);
        control = take.soundingSeconds();
    }
    qDebug("player: %.2f s of tone heard, stopped at frame %lld, %lld ms of sound skipped; paplay: %.2f s heard", heard,
           (long long)stopFrame, (long long)skippedMs, control);
    QVERIFY2(control >= 2.9, qPrintable(QStringLiteral("the recorder heard only %1 s of paplay's 3 s tone: it is broken, "
                                                       "nothing it heard of the player counts")
                                            .arg(control)));
    QVERIFY2(heard >= 2.9, qPrintable(QStringLiteral("%1 s of the tone heard in %2 ms of play").arg(heard).arg(kPlayMs)));
    const int64_t due = int64_t(kFps * kPlayMs / 1000);
    QVERIFY2(std::abs(stopFrame - due) <= 3,
             qPrintable(QStringLiteral("stopped at frame %1 after %2 ms of play").arg(stopFrame).arg(kPlayMs)));
    QCOMPARE(skippedMs, int64_t(0));
}

QTEST_MAIN(TestIdleOutput)
#include "tst_idle_output_xvfb.moc"
