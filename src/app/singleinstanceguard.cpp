#include "app/singleinstanceguard.h"

#include "app/platform.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
constexpr int kConnectTimeoutMs = 500;
constexpr int kWriteTimeoutMs = 500;
constexpr int kDisconnectTimeoutMs = 1000;

// The running instance resolves paths against its own working directory, so a relative
// path to an existing file travels as an absolute one. Anything else (absolute paths,
// URLs, names that do not exist here) is sent exactly as given.
QString pathForRunningInstance(const QString &argument)
{
    const QFileInfo info(argument);
    if (!argument.isEmpty() && info.isRelative() && info.exists())
        return info.absoluteFilePath();
    return argument;
}
} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString &name, QObject *parent)
    : QObject(parent)
    , serverName(name)
{
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    if (server)
        server->close();
}

bool SingleInstanceGuard::handOffToRunningInstance()
{
    QLocalSocket socket;
    socket.connectToServer(serverName, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return false;

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1) {
        QDataStream out(&socket);
        out.setVersion(QDataStream::Qt_6_0);
        out << pathForRunningInstance(arguments.at(1));
        socket.flush();
        socket.waitForBytesWritten(kWriteTimeoutMs);
    }
    platform::allowOtherProcessToTakeForeground();

    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(kDisconnectTimeoutMs);
    return true;
}

void SingleInstanceGuard::startServer()
{
    QLocalServer::removeServer(serverName);
    server = new QLocalServer(this);
    // Without this any local account could push paths into our window.
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(serverName))
        qWarning() << "Single-instance server not started:" << server->errorString();
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceGuard::onNewConnection);
}

void SingleInstanceGuard::onNewConnection()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // Data may have arrived before the connection was taken.
        if (socket->bytesAvailable() > 0)
            readMessage(socket);
    }
}

void SingleInstanceGuard::readMessage(QLocalSocket *socket)
{
    QDataStream in(socket);
    in.setVersion(QDataStream::Qt_6_0);
    in.startTransaction();
    QString path;
    in >> path;
    if (in.commitTransaction()) {
        emit fileRequested(path);
        return;
    }
    // Incomplete messages wait in the socket (the transaction rolled the bytes back) for
    // the next readyRead. A corrupt one, or one that promises more than a path can
    // possibly need, ends the connection.
    if (in.status() != QDataStream::ReadPastEnd) {
        qWarning("Single-instance hand-over dropped: malformed message.");
        socket->abort();
    } else if (socket->bytesAvailable() > kMaxMessageBytes) {
        qWarning("Single-instance hand-over dropped: message too large.");
        socket->abort();
    }
}
