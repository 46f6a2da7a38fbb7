#pragma once

// One worker QObject on a QThread of its own, for a job that runs once from start to end
// and reports progress and one outcome: a loudness measurement, a whole-file analysis.
//
// The worker (a QObject without parent) provides
//   - a slot run(): the whole job, blocking its thread until done;
//   - abort(): thread-safe (an atomic store), called directly from other threads;
//   - a signal finished(), sent last on every path through run().
// Progress and outcome are the worker's own signals; connect them through worker() before
// start(). The worker is moved to the thread here and deleted on it when the thread ends.
//
// The owner's thread only, except that abort() may be called from anywhere. The destructor
// aborts a running job and waits for its thread.

#include <QEventLoop>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QString>
#include <QThread>

template <typename Worker>
class WorkerThread
{
public:
    explicit WorkerThread(Worker *worker, const QString &threadName = QString())
        : m_worker(worker)
        , m_live(worker)
    {
        m_thread.setObjectName(threadName);
        worker->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::started, worker, &Worker::run);
        // Direct: the owner may be blocked in wait(), where a queued quit would never run.
        QObject::connect(worker, &Worker::finished, &m_thread, &QThread::quit, Qt::DirectConnection);
        QObject::connect(&m_thread, &QThread::finished, worker, &QObject::deleteLater);
        // Runs on the worker's thread while it is deleted, which may come before the owner
        // has seen the outcome: a late abort() must not reach a deleted worker.
        QObject::connect(worker, &QObject::destroyed, [this] {
            QMutexLocker lock(&m_lock);
            m_live = nullptr;
        });
    }
    ~WorkerThread()
    {
        abort();
        m_thread.wait();
        // Never started: no thread ever ran to delete it.
        if (!m_started)
            delete m_worker;
    }
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    // For connections before start(); other threads must not call into it but abort().
    Worker *worker() const { return m_worker; }

    void start(QThread::Priority priority = QThread::InheritPriority)
    {
        m_started = true;
        m_thread.start(priority);
    }
    // Any thread; does nothing once the worker is gone.
    void abort()
    {
        QMutexLocker lock(&m_lock);
        if (m_live)
            m_live->abort();
    }
    // Until the thread has ended (the worker deleted); at once when never started.
    void wait() { m_thread.wait(); }

    // Starts the job and runs a local event loop until its finished() has arrived on this
    // thread, so that signals queued to receivers here are delivered meanwhile; then waits
    // for the thread. For callers without an event loop of their own (the CLI, tests).
    void runToEnd()
    {
        QEventLoop loop;
        QObject::connect(m_worker, &Worker::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
        start();
        loop.exec();
        wait();
    }

private:
    QThread m_thread;
    Worker *m_worker;
    bool m_started = false;
    QMutex m_lock;
    Worker *m_live; // m_worker until it is deleted; guarded by m_lock
};
