// PulseSinkWatch names the sinks that go away, and only those: sinks present when it
// starts and sinks added later alike. Needs the private PulseAudio of scripts/test.sh.

#include "audio/pulsesinkwatch.h"
#include "audiodevicesupport.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

namespace {

// Loads a null sink of that name; returns its module index, or -1.
int loadSink(const QString &name)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                                          QStringLiteral("sink_name=") + name});
    if (!pactl.waitForFinished(5000) || pactl.exitCode() != 0)
        return -1;
    bool ok = false;
    const int module = QString::fromLocal8Bit(pactl.readAllStandardOutput()).trimmed().toInt(&ok);
    return ok ? module : -1;
}

bool unloadSink(int module)
{
    return module >= 0
        && QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("unload-module"), QString::number(module)}) == 0;
}

QList<QByteArray> removedNames(const QSignalSpy &spy)
{
    QList<QByteArray> names;
    for (const QList<QVariant> &arguments : spy)
        names << arguments.at(0).toByteArray();
    return names;
}

} // namespace

class TestPulseSinkWatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!PulseSinkWatch::isAvailable())
            QSKIP("built without libpulse: the watch never reports");
        QVERIFY2(audiodevice::serverAvailable(), "no PulseAudio server: run through scripts/test.sh");
    }

    void removedSinksAreNamed_data()
    {
        QTest::addColumn<bool>("loadedBeforeTheWatch");
        QTest::newRow("present at the start") << true;
        QTest::newRow("added later") << false;
    }

    void removedSinksAreNamed()
    {
        QFETCH(bool, loadedBeforeTheWatch);
        const QString gone = QStringLiteral("watch_gone_%1").arg(int(loadedBeforeTheWatch));
        const QString stays = QStringLiteral("watch_stays_%1").arg(int(loadedBeforeTheWatch));
        int goneModule = loadedBeforeTheWatch ? loadSink(gone) : -1;
        const int staysModule = loadSink(stays);
        QVERIFY(staysModule >= 0);

        PulseSinkWatch watch;
        QSignalSpy spy(&watch, &PulseSinkWatch::sinkRemoved);
        // The watch lists the server's sinks once it is connected; nothing tells when.
        QTest::qWait(1000);
        if (!loadedBeforeTheWatch) {
            goneModule = loadSink(gone);
            QTest::qWait(500);
        }
        QVERIFY(goneModule >= 0);
        QVERIFY(unloadSink(goneModule));
        QTRY_COMPARE_WITH_TIMEOUT(removedNames(spy), QList<QByteArray>{gone.toUtf8()}, 5000);

        // The other one is named when it goes too, and nothing else was.
        QVERIFY(unloadSink(staysModule));
        QTRY_COMPARE_WITH_TIMEOUT(removedNames(spy), (QList<QByteArray>{gone.toUtf8(), stays.toUtf8()}), 5000);
    }
};

QTEST_MAIN(TestPulseSinkWatch)
#include "tst_pulsesinkwatch.moc"
