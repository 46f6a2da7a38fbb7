// The analysis as a worker on its own thread, as the player's event lane will run it:
// events arrive while the file is still being read, progress climbs to 100, an abort ends
// the run early, and a file that cannot be opened fails alone.

#include "analysis/qcworker.h"
#include "core/workerthread.h"
#include "testsupport.h"

#include <QtTest>

#include <QSignalSpy>

namespace {

// The worker on its own thread, as the player and orvel-cli run it; abort() is safe from
// the test's thread at any time, also after the worker has gone.
struct Run : WorkerThread<QcWorker> {
    explicit Run(const QStringList &paths, const qc::Settings &settings = qc::Settings())
        : WorkerThread<QcWorker>(new QcWorker(paths, settings), QStringLiteral("qc"))
    {
    }
};

} // namespace

class TestQcWorker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }
    void eventsArriveAsFound();
    void abortEndsTheRun();
    void aFailedFileDoesNotStopTheOthers();
};

void TestQcWorker::eventsArriveAsFound()
{
    Run run({testsupport::mediaPath(QStringLiteral("qc_faults.mkv"))});
    // Recorded in arrival order: the black frames (4-5 s) must be announced before the
    // analysis gets far past them, long before the file's summary.
    QList<std::pair<QString, int>> order; // what, progress at that moment
    int progress = -1;
    bool monotonic = true;
    QObject::connect(run.worker(), &QcWorker::progressChanged, run.worker(), [&](int, int percent) {
        monotonic = monotonic && percent > progress;
        progress = percent;
    }, Qt::DirectConnection);
    QObject::connect(run.worker(), &QcWorker::eventFound, run.worker(), [&](int, const qc::Event &event) {
        order.append({qc::checkName(event.check), progress});
    }, Qt::DirectConnection);
    QSignalSpy analysed(run.worker(), &QcWorker::fileAnalysed);
    QSignalSpy finished(run.worker(), &QcWorker::finished);
    run.start();
    QVERIFY(finished.wait(120000));
    QCOMPARE(analysed.size(), 1);
    QVERIFY(monotonic);
    QCOMPARE(progress, 100);
    const auto black = std::find_if(order.begin(), order.end(), [](const auto &entry) { return entry.first == QLatin1String("black"); });
    QVERIFY(black != order.end());
    // Found at about 42 % of the file (frame 125 of 300), not at the end.
    QVERIFY2(black->second >= 35 && black->second <= 60, qPrintable(QString::number(black->second)));
    const qc::Summary summary = analysed.first().at(2).value<qc::Summary>();
    QCOMPARE(summary.frames, int64_t(299));
    QVERIFY(summary.failed);
}

void TestQcWorker::abortEndsTheRun()
{
    Run run({testsupport::mediaPath(QStringLiteral("qc_faults.mkv")), testsupport::mediaPath(QStringLiteral("qc_clean.mov"))});
    QSignalSpy analysed(run.worker(), &QcWorker::fileAnalysed);
    QSignalSpy aborted(run.worker(), &QcWorker::aborted);
    QSignalSpy finished(run.worker(), &QcWorker::finished);
    // Abort from this thread, as the player does on opening another file, once the first
    // file is a tenth of the way through.
    QObject receiver;
    QObject::connect(run.worker(), &QcWorker::progressChanged, &receiver, [&](int, int percent) {
        if (percent >= 10)
            run.abort();
    });
    run.start();
    QVERIFY(finished.wait(60000));
    QCOMPARE(aborted.size(), 1);
    // The first file stops at about a tenth (should this thread be slow to see the progress,
    // it may have ended), the second is never started.
    QVERIFY(analysed.size() < 2);
    for (const QList<QVariant> &file : analysed)
        QCOMPARE(file.at(0).toInt(), 0);
}

void TestQcWorker::aFailedFileDoesNotStopTheOthers()
{
    qc::Settings settings;
    settings.enabled.fill(false);
    settings.enabled[size_t(qc::Check::Black)] = true;
    Run run({QStringLiteral("/nonexistent.mov"), testsupport::mediaPath(QStringLiteral("qc_edges.mkv"))}, settings);
    QSignalSpy failed(run.worker(), &QcWorker::fileFailed);
    QSignalSpy analysed(run.worker(), &QcWorker::fileAnalysed);
    QSignalSpy events(run.worker(), &QcWorker::eventFound);
    QSignalSpy finished(run.worker(), &QcWorker::finished);
    run.start();
    QVERIFY(finished.wait(60000));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.first().at(0).toInt(), 0);
    QCOMPARE(analysed.size(), 1);
    QCOMPARE(analysed.first().at(0).toInt(), 1);
    QCOMPARE(events.size(), 2);
}

QTEST_GUILESS_MAIN(TestQcWorker)
#include "tst_qcworker.moc"
