// The one-job worker thread: the job runs on a thread of its own, its signals arrive in
// order with finished last, an abort ends it from any moment (before the start, while it
// runs, by dropping the owner), and the worker is deleted on its own thread.

#include "core/workerthread.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QtTest>

#include <atomic>

namespace {

struct Seen {
    std::atomic<QThread *> runThread{nullptr};
    std::atomic<QThread *> deleteThread{nullptr};
    std::atomic<bool> deleted{false};
};

// Counts to 'steps', a few milliseconds a step, checking the abort flag in between.
class CountingWorker : public QObject
{
    Q_OBJECT
public:
    CountingWorker(int steps, Seen &seen)
        : m_steps(steps)
        , m_seen(seen)
    {
    }
    ~CountingWorker() override
    {
        m_seen.deleteThread = QThread::currentThread();
        m_seen.deleted = true;
    }

signals:
    void progressChanged(int step);
    void counted(int total);
    void aborted();
    void finished();

public slots:
    void run()
    {
        m_seen.runThread = QThread::currentThread();
        int step = 0;
        for (; step < m_steps && !m_abort.load(); ++step) {
            emit progressChanged(step);
            QThread::msleep(3);
        }
        if (m_abort.load())
            emit aborted();
        else
            emit counted(step);
        emit finished();
    }
    void abort() { m_abort.store(true); }

private:
    const int m_steps;
    Seen &m_seen;
    std::atomic<bool> m_abort{false};
};

// What the owner's thread saw, in order.
struct Record {
    QStringList order;
    QList<int> progress;
    int total = -1;

    void attach(CountingWorker *worker, QObject *receiver)
    {
        QObject::connect(worker, &CountingWorker::progressChanged, receiver, [this](int step) {
            order.append(QStringLiteral("progress"));
            progress.append(step);
        });
        QObject::connect(worker, &CountingWorker::counted, receiver, [this](int value) {
            order.append(QStringLiteral("counted"));
            total = value;
        });
        QObject::connect(worker, &CountingWorker::aborted, receiver, [this] { order.append(QStringLiteral("aborted")); });
        QObject::connect(worker, &CountingWorker::finished, receiver, [this] { order.append(QStringLiteral("finished")); });
    }
    int outcomes() const
    {
        return int(order.count(QStringLiteral("counted")) + order.count(QStringLiteral("aborted")));
    }
};

} // namespace

class TestWorkerThread : public QObject
{
    Q_OBJECT

private slots:
    void jobOutcomes_data()
    {
        QTest::addColumn<bool>("abortBeforeStart");
        QTest::addColumn<int>("abortAtProgress"); // -1: never
        QTest::addColumn<QString>("outcome");
        QTest::newRow("runs to the end") << false << -1 << "counted";
        QTest::newRow("aborted before the start") << true << -1 << "aborted";
        QTest::newRow("aborted while running") << false << 5 << "aborted";
    }
    void jobOutcomes()
    {
        QFETCH(bool, abortBeforeStart);
        QFETCH(int, abortAtProgress);
        QFETCH(QString, outcome);

        Seen seen;
        Record record;
        QObject receiver;
        {
            WorkerThread<CountingWorker> job(new CountingWorker(400, seen), QStringLiteral("counting"));
            record.attach(job.worker(), &receiver);
            if (abortAtProgress >= 0) {
                QObject::connect(job.worker(), &CountingWorker::progressChanged, &receiver, [&](int step) {
                    if (step == abortAtProgress)
                        job.abort();
                });
            }
            if (abortBeforeStart)
                job.abort();
            job.runToEnd();
            QVERIFY(seen.deleted.load());
        }
        QCOMPARE(record.outcomes(), 1);
        QVERIFY(record.order.contains(outcome));
        QCOMPARE(record.order.constLast(), QStringLiteral("finished"));
        for (int i = 0; i < record.progress.size(); ++i)
            QCOMPARE(record.progress.at(i), i);
        if (outcome == QLatin1String("counted"))
            QCOMPARE(record.total, 400);
        else
            QVERIFY(record.progress.size() < 400);
        // The job and the deletion happened on the worker's own thread.
        QVERIFY(seen.runThread.load() != nullptr);
        QVERIFY(seen.runThread.load() != QThread::currentThread());
        QCOMPARE(seen.deleteThread.load(), seen.runThread.load());
    }

    // Dropping the owner mid-job ends it promptly instead of waiting for the whole count.
    void droppingTheOwnerAbortsAndWaits()
    {
        Seen seen;
        auto job = std::make_unique<WorkerThread<CountingWorker>>(new CountingWorker(100000, seen));
        job->start();
        QTRY_VERIFY(seen.runThread.load() != nullptr);
        QElapsedTimer timer;
        timer.start();
        job.reset();
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(seen.deleted.load());
    }

    // The worker deletes itself on its thread before the owner looks again: a late abort
    // is harmless, and a job never started is still freed.
    void lateAbortAndUnstartedJob()
    {
        Seen seen;
        WorkerThread<CountingWorker> job(new CountingWorker(2, seen));
        job.start();
        job.wait();
        QVERIFY(seen.deleted.load());
        job.abort();

        Seen unstarted;
        {
            WorkerThread<CountingWorker> never(new CountingWorker(2, unstarted));
        }
        QVERIFY(unstarted.deleted.load());
        QCOMPARE(unstarted.runThread.load(), nullptr);
    }
};

QTEST_GUILESS_MAIN(TestWorkerThread)
#include "tst_workerthread.moc"
