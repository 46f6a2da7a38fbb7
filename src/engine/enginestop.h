#pragma once

// Ending the engine's thread when its owner goes away, without waiting forever on a read
// that never returns.

#include <chrono>

class QThread;
class VideoEngine;

namespace enginestop {

// What a window may spend on it: the process must be gone within 2 s of the close.
constexpr std::chrono::milliseconds DefaultLimit{1500};

// GUI thread. Makes every blocking read of 'engine' give up, quits 'thread' and waits at
// most 'limit'. True when the thread finished (the engine goes with it). False when it is
// still inside a system call no interrupt reaches (a hung network share) or a long task:
// the thread is then left behind, taken from its parent so that destroying the owner does
// not destroy a running thread, and deletes itself if it ever finishes.
bool stopEngineThread(QThread *thread, VideoEngine *engine, std::chrono::milliseconds limit = DefaultLimit);

// How many engine threads this process has left behind. While one may still run, the
// process must not tear Qt and its statics down under it: main() ends with
// std::_Exit after flushing instead of returning.
int threadsLeftBehind();

} // namespace enginestop
