#include "core/parallelrows.h"

#include <QRunnable>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

// The caller runs one band itself, so the pool needs one thread fewer than there are cores.
QThreadPool *bandPool()
{
    static QThreadPool *pool = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(std::max(1, parallel::coreCount() - 1));
        return created;
    }();
    return pool;
}

class BandTask : public QRunnable
{
public:
    BandTask(const std::function<void(int)> &body, int band, QSemaphore &done)
        : m_body(body)
        , m_band(band)
        , m_done(done)
    {
        setAutoDelete(false);
    }
    void run() override
    {
        m_body(m_band);
        m_done.release();
    }

private:
    const std::function<void(int)> &m_body;
    const int m_band;
    QSemaphore &m_done;
};

} // namespace

namespace parallel {

int coreCount()
{
    return std::max(1, QThread::idealThreadCount());
}

void forEachBand(int bands, const std::function<void(int band)> &body)
{
    if (bands <= 0)
        return;
    if (bands == 1) {
        body(0);
        return;
    }
    QThreadPool *pool = bandPool();
    QSemaphore done;
    std::vector<std::unique_ptr<BandTask>> tasks;
    tasks.reserve(size_t(bands - 1));
    for (int band = 1; band < bands; ++band) {
        tasks.push_back(std::make_unique<BandTask>(body, band, done));
        pool->start(tasks.back().get());
    }
    body(0);
    for (const std::unique_ptr<BandTask> &task : tasks) {
        if (pool->tryTake(task.get()))
            task->run();
    }
    done.acquire(bands - 1);
}

Rows bandRows(int rows, int band, int bands)
{
    if (bands <= 0)
        return {};
    return {int(int64_t(rows) * band / bands), int(int64_t(rows) * (band + 1) / bands)};
}

} // namespace parallel
