#pragma once

#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// Shared helpers for the test executables.
namespace testsupport {

// Absolute path of a generated test clip, e.g. mediaPath("h264_1080p25.mov").
// Fails the calling test (QSKIP is not used: missing media is a harness fault).
QString mediaPath(const QString &fileName);

// Folder with the generated media (the build tree's media/ folder).
QString mediaDir();

// Registers the meta-types queued engine calls need; call once from initTestCase().
void registerMetaTypes();

// A TCP port on the loopback that takes one connection and sends nothing, as a stalled
// share or server does: a read from it blocks. After holdMs (or when destroyed, whichever
// comes first) it closes the connection, which ends a read that nothing else could.
class SilentServer
{
public:
    explicit SilentServer(int holdMs = 60000);
    ~SilentServer();
    SilentServer(const SilentServer &) = delete;
    SilentServer &operator=(const SilentServer &) = delete;

    int port() const { return m_port; }      // 0 when the port could not be opened
    bool connected() const { return m_connected; }

private:
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_connected{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace testsupport
