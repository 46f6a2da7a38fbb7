#include "engine/scopeworker.h"

ScopeWorker::~ScopeWorker()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
        pending.clear();
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

void ScopeWorker::post(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex);
        pending.push_back(std::move(job));
        if (!thread.joinable())
            thread = std::thread([this] { run(); });
    }
    wake.notify_one();
}

void ScopeWorker::waitIdle()
{
    std::unique_lock lock(mutex);
    idle.wait(lock, [this] { return pending.empty() && !running; });
}

void ScopeWorker::run()
{
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !pending.empty(); });
        if (stopping)
            break;
        std::function<void()> job = std::move(pending.front());
        pending.pop_front();
        running = true;
        lock.unlock();
        job();
        lock.lock();
        running = false;
        if (pending.empty())
            idle.notify_all();
    }
    running = false;
    idle.notify_all();
}
