// Switching the output device through the meter's dialog moves the sound there, and the
// device going away while it plays leaves the player running silently with a warning.
// Needs the private PulseAudio of scripts/test.sh (a second null sink is loaded here).

#include "audio/audiooutput.h"
#include "audiodevicesupport.h"
#include "dialogsupport.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/audiodevicedialog.h"
#include "ui/audiometerwidget.h"
#include "ui/mainwindow.h"
#include "ui/messagedialog.h"

#include <QComboBox>
#include <QLabel>
#include <QMediaDevices>
#include <QProcess>
#include <QtTest>

#include <memory>

namespace {

const QString kSecond = QStringLiteral("second");

// A null sink named 'second', unloaded (by its module index) when this goes.
class SecondSink
{
public:
    bool load()
    {
        QProcess pactl;
        pactl.start(QStringLiteral("pactl"), {QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                                              QStringLiteral("sink_name=") + kSecond, QStringLiteral("rate=48000")});
        if (!pactl.waitForFinished(5000) || pactl.exitCode() != 0)
            return false;
        bool ok = false;
        m_module = QString::fromLocal8Bit(pactl.readAllStandardOutput()).trimmed().toInt(&ok);
        return ok;
    }
    bool unload()
    {
        if (m_module < 0)
            return false;
        const int status = QProcess::execute(QStringLiteral("pactl"),
                                             {QStringLiteral("unload-module"), QString::number(m_module)});
        m_module = -1;
        return status == 0;
    }
    ~SecondSink() { unload(); }

private:
    int m_module = -1;
};

// Silence into 'second' keeps it rendering in short blocks (an idle null sink starts late).
class KeepSecondRunning
{
public:
    KeepSecondRunning()
    {
        m_process.setStandardInputFile(QStringLiteral("/dev/zero"));
        m_process.start(QStringLiteral("pacat"), {QStringLiteral("--device=") + kSecond, QStringLiteral("--latency-msec=40"),
                                                  QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                                                  QStringLiteral("--channels=2")});
        m_process.waitForStarted(5000);
        QTest::qWait(2500);
    }
    ~KeepSecondRunning()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

private:
    QProcess m_process;
};

int outputIndex(const QString &id)
{
    const QList<QAudioDevice> outputs = QMediaDevices::audioOutputs();
    for (int i = 0; i < outputs.size(); ++i)
        if (QString::fromUtf8(outputs[i].id()) == id)
            return i;
    return -1;
}

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    PlaybackController *controller() const { return window->findChild<PlaybackController *>(); }
    AudioOutput *output() const { return window->findChild<AudioOutput *>(); }

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

    // Double-clicks the meter and picks the output with this id in the dialog.
    bool chooseOutput(const QString &id) const
    {
        bool seen = false;
        bool picked = false;
        dialogsupport::handleNextModalDialog(
            [&](QDialog *dialog) {
                auto *devices = qobject_cast<AudioDeviceDialog *>(dialog);
                const int index = outputIndex(id);
                if (!devices || index < 0)
                    return;
                devices->deviceList()->setCurrentIndex(index);
                picked = true;
            },
            &seen);
        QTest::mouseDClick(window->findChild<AudioMeterWidget *>(), Qt::LeftButton);
        return seen && picked;
    }

    // Plays forward 1x for 'ms' while recording both sinks' monitors.
    std::pair<QByteArray, QByteArray> playAndRecord(int ms) const
    {
        audiodevice::MonitorRecorder first;
        audiodevice::MonitorRecorder second;
        first.start();
        second.start(kSecond + QStringLiteral(".monitor"));
        QTest::qWait(300);
        controller()->setPlaybackState(Forward);
        QTest::qWait(ms);
        controller()->setPlaybackState(Stopped);
        QTest::qWait(300);
        return {first.stop(), second.stop()};
    }
};

// The demo clip routes 1 kHz to the left and 400 Hz to the right.
void verifyTones(const QByteArray &recorded, const char *where)
{
    const QList<float> left = audiodevice::audiblePart(audiodevice::channel(recorded, 0));
    const QList<float> right = audiodevice::audiblePart(audiodevice::channel(recorded, 1));
    QVERIFY2(left.size() > 48000 && right.size() > 48000,
             qPrintable(QStringLiteral("%1: %2 / %3 audible samples").arg(where).arg(left.size()).arg(right.size())));
    const double fl = audiodevice::toneFrequency(left);
    const double fr = audiodevice::toneFrequency(right);
    QVERIFY2(std::abs(fl - 1000.0) < 30.0 && std::abs(fr - 400.0) < 12.0,
             qPrintable(QStringLiteral("%1: %2 Hz / %3 Hz").arg(where).arg(fl).arg(fr)));
}

} // namespace

class TestAudioDeviceSwitch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void soundFollowsTheChosenDeviceAndSurvivesItsLoss()
    {
        QVERIFY2(audiodevice::serverAvailable(), "no PulseAudio server: run through scripts/test.sh");
        // The first sink runs too, so that its monitor delivers what it plays at once.
        audiodevice::KeepSinkRunning keepFirst;
        QVERIFY(keepFirst.isRunning());
        SecondSink sink;
        QVERIFY(sink.load());
        Window w;
        QTRY_VERIFY_WITH_TIMEOUT(outputIndex(kSecond) >= 0, 5000);
        QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("demo_bars_25p.mov"))));
        AudioOutput *output = w.output();
        QVERIFY(output->device().id() != kSecond.toUtf8());

        // Chosen: the tones play on the second sink and nothing on the first.
        {
            KeepSecondRunning keeper;
            QVERIFY(w.chooseOutput(kSecond));
            QCOMPARE(QString::fromUtf8(output->device().id()), kSecond);
            QVERIFY(output->hasSink());
            const auto [first, second] = w.playAndRecord(3000);
            verifyTones(second, "second sink");
            QVERIFY(first.size() > 48000 * 4);
            QVERIFY2(audiodevice::peak(audiodevice::channel(first, 0)) < 0.01f
                         && audiodevice::peak(audiodevice::channel(first, 1)) < 0.01f,
                     "sound on the first sink too");
        }

        // Gone while playing: the picture runs on, silently, and the window says why.
        QSignalSpy lost(output, &AudioOutput::deviceLost);
        w.controller()->setPlaybackState(Forward);
        QTRY_VERIFY_WITH_TIMEOUT(w.state()->currentFrameNumber() > 10, 10000);
        QVERIFY(sink.unload());
        QTRY_VERIFY_WITH_TIMEOUT(!lost.isEmpty(), 10000);
        QVERIFY(!output->hasSink());
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (MessageDialog *d : w.window->findChildren<MessageDialog *>())
                    if (d->isVisible() && d->findChild<QLabel *>(QStringLiteral("MessageText"))->text().contains(
                            QStringLiteral("Audio output device lost")))
                        return true;
                return false;
            }(),
            5000);
        // The server would carry the stream over to the first sink; it stays silent.
        audiodevice::MonitorRecorder firstAfterLoss;
        firstAfterLoss.start();
        QTest::qWait(300);
        const int64_t before = w.state()->currentFrameNumber();
        QTest::qWait(1000);
        QCOMPARE(w.state()->playState(), Forward);
        const QByteArray afterLoss = firstAfterLoss.stop();
        QVERIFY(!afterLoss.isEmpty());
        QVERIFY2(audiodevice::peak(audiodevice::channel(afterLoss, 0)) < 0.01f, "sound after the device was lost");
        const int64_t advanced = w.state()->currentFrameNumber() - before;
        QVERIFY2(advanced >= 15 && advanced <= 35, qPrintable(QStringLiteral("%1 frames in 1 s").arg(advanced)));
        w.controller()->setPlaybackState(Stopped);
        QCOMPARE(lost.size(), 1);

        // Back again: choosing it brings the sound back.
        QVERIFY(sink.load());
        QTRY_VERIFY_WITH_TIMEOUT(outputIndex(kSecond) >= 0, 5000);
        KeepSecondRunning keeper;
        QVERIFY(w.chooseOutput(kSecond));
        QVERIFY(output->hasSink());
        const auto [first, second] = w.playAndRecord(3000);
        verifyTones(second, "second sink, back");
    }
};

QTEST_MAIN(TestAudioDeviceSwitch)
#include "tst_audiodevice_switch.moc"
