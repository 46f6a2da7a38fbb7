#include "testsupport.h"

#include "core/metatypes.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {

QString mediaDir()
{
    const QByteArray env = qgetenv("ORVEL_TEST_MEDIA_DIR");
    return env.isEmpty() ? QStringLiteral(ORVEL_TEST_MEDIA_DIR) : QString::fromLocal8Bit(env);
}

QString mediaPath(const QString &fileName)
{
    const QString path = QDir(mediaDir()).filePath(fileName);
    if (!QFileInfo::exists(path))
        qWarning("missing generated test media: %s (run the generate_media test first)", qPrintable(path));
    return path;
}

void registerMetaTypes()
{
    ::registerMetaTypes();
}

SilentServer::SilentServer(int holdMs)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(m_fd, 4) != 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this, holdMs] {
        const int client = ::accept(m_fd, nullptr, nullptr);
        m_connected = client >= 0;
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(holdMs), [this] { return m_stop; });
        if (client >= 0)
            ::close(client);
    });
}

SilentServer::~SilentServer()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR); // ends an accept that no connection reached
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace testsupport
