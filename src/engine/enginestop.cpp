#include "engine/enginestop.h"

#include "engine/videoengine.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QThread>

#include <atomic>

namespace enginestop {

namespace {
std::atomic<int> leftBehind{0};
} // namespace

int threadsLeftBehind()
{
    return leftBehind.load();
}

bool stopEngineThread(QThread *thread, VideoEngine *engine, std::chrono::milliseconds limit)
{
    if (!thread)
        return true;
    // A direct call, like abortCurrentTask: the engine's thread may be blocked right now.
    if (engine)
        engine->requestShutdown();
    thread->quit();
    if (thread->wait(QDeadlineTimer(limit)))
        return true;
    qWarning().noquote() << "Engine thread did not stop within" << limit.count() << "ms; leaving it behind.";
    leftBehind.fetch_add(1);
    thread->setParent(nullptr);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    return false;
}

} // namespace enginestop
