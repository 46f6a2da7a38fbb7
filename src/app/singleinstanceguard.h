#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one player per user session: a second launch hands its file path to the running
// instance over a local socket and exits. One message per connection, client to server:
// a QDataStream (version Qt_6_0, big-endian) holding one QString. No reply.
class SingleInstanceGuard : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstanceGuard(const QString &serverName, QObject *parent = nullptr);
    ~SingleInstanceGuard() override;

    // Client side. True when another instance accepted the connection; the first
    // command-line argument, if any, has then been sent to it (made absolute when it is a
    // relative path to an existing file). Blocks the calling thread
    // for up to two seconds in total.
    bool handOffToRunningInstance();

    // Server side: clears a stale endpoint left by a crashed instance, then listens,
    // reachable by the current user only. A failure to listen is logged; this instance
    // then simply receives no hand-overs.
    void startServer();

    // Buffered bytes of one incomplete message above which a connection is dropped: far
    // more than any path needs, small enough that a misbehaving client cannot make us
    // hoard memory.
    static constexpr qint64 kMaxMessageBytes = 256 * 1024;

signals:
    void fileRequested(QString filePath);

private:
    void onNewConnection();
    void readMessage(QLocalSocket *socket);

    QString serverName;
    QLocalServer *server = nullptr;
};
