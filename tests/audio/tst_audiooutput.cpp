// The audio output on the PulseAudio null sink of scripts/test.sh: a stream that ran dry
// and is stopped at once. Qt 6.4 drains a stream that runs dry from the PulseAudio thread,
// and the drain's answer can arrive after the stop, setting the stopped sink back to idle
// without a stream; corking that sink aborts inside libpulse, and a sink deleted before the
// answer is written to after it is gone.

#include "audio/audiooutput.h"
#include "audiodevicesupport.h"

#include <QAudioSink>
#include <QElapsedTimer>
#include <QPointer>
#include <QThread>
#include <QtTest>

class TestAudioOutput : public QObject
{
    Q_OBJECT

private slots:
    void stopAfterTheStreamRanDry_data();
    void stopAfterTheStreamRanDry();
};

void TestAudioOutput::stopAfterTheStreamRanDry_data()
{
    QTest::addColumn<QString>("ending");
    // How the run ends right after the stream ran dry; then the output is paused and
    // resumed the way the controller does on every answer outside forward play.
    QTest::newRow("stop") << QStringLiteral("stop");
    QTest::newRow("release") << QStringLiteral("release");
    QTest::newRow("rebuild") << QStringLiteral("rebuild");
}

void TestAudioOutput::stopAfterTheStreamRanDry()
{
    QFETCH(QString, ending);
    QVERIFY2(audiodevice::serverAvailable(), "no PulseAudio server: run through scripts/test.sh");
    AudioOutput output;
    QVERIFY(output.rebuild(48000));
    constexpr int kRuns = 12;
    int ranDry = 0;
    int lateIdle = 0;
    // The late answer comes a few milliseconds after the stop; the delays sweep across it.
    for (int run = 0; run < kRuns; ++run) {
        QVERIFY(output.start());
        // A buffer's worth: the stream starts on it and is written once.
        output.enqueue(QByteArray((output.sink()->bufferSize() / AudioOutput::bytesPerFrame + 1) * AudioOutput::bytesPerFrame, '\0'));
        output.pump();
        QVERIFY(!output.isSuspended());
        const QPointer<QAudioSink> played = output.sink();
        QElapsedTimer waited;
        waited.start();
        // Written once, the stream runs dry within its buffer (the state is set on the
        // PulseAudio thread).
        while (played->state() != QAudio::IdleState && waited.elapsed() < 3000)
            QThread::usleep(200);
        ranDry += played->state() == QAudio::IdleState;
        QThread::usleep((run % 8) * 2000);
        if (ending == "stop")
            output.stop();
        else if (ending == "release")
            output.release();
        else
            QVERIFY(output.rebuild(48000));
        // The sink that played is no longer the output's, but it lives on for its late answer.
        QVERIFY(played);
        QVERIFY(played != output.sink());
        QElapsedTimer after;
        after.start();
        while (after.elapsed() < 40) {
            QCoreApplication::processEvents();
            output.suspend();
            output.resume();
            QThread::msleep(2);
        }
        lateIdle += played && played->state() != QAudio::StoppedState;
        if (ending == "release")
            QVERIFY(output.rebuild(48000));
    }
    qInfo("%d of %d streams ran dry, %d stopped sinks set back to a live state afterwards", ranDry, kRuns, lateIdle);
    QVERIFY2(ranDry >= kRuns / 2, "the streams did not run dry: nothing was tested");
    // Retired sinks go in the end.
    const QPointer<QAudioSink> last = output.sink();
    output.release();
    QTRY_VERIFY_WITH_TIMEOUT(!last, AudioOutput::retiredSinkMs + 3000);
}

QTEST_MAIN(TestAudioOutput)
#include "tst_audiooutput.moc"
