#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// One thread that draws live scopes beside the engine thread, so that a scope dearer than a
// frame period delays no picture. Jobs run in the order posted, every one of them: each
// request gets its answer (the page sends the next live request only after the last answer).
class ScopeWorker
{
public:
    ScopeWorker() = default;
    ~ScopeWorker();
    ScopeWorker(const ScopeWorker &) = delete;
    ScopeWorker &operator=(const ScopeWorker &) = delete;

    void post(std::function<void()> job);
    // Returns once nothing is waiting or running: what was posted has answered.
    void waitIdle();

private:
    void run();

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::function<void()>> pending;
    bool running = false;
    bool stopping = false;
    std::thread thread; // started by the first post
};
