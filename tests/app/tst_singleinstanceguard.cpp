// The second launch is a real second process: this test binary started again with
// "--handoff <server> [arguments...]" (or "--serve-and-crash <server>" for a stale endpoint).

#include "app/singleinstanceguard.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

int runHelper(int argc, char **argv)
{
    const QByteArray mode = argv[1];
    const QString name = QString::fromLocal8Bit(argv[2]);
    // The hand-over reads QCoreApplication::arguments(): make them "program [paths...]".
    std::vector<char *> args{argv[0]};
    for (int i = 3; i < argc; ++i)
        args.push_back(argv[i]);
    int helperArgc = int(args.size());
    args.push_back(nullptr);
    QCoreApplication app(helperArgc, args.data());
    SingleInstanceGuard guard(name);
    if (mode == "--handoff")
        return guard.handOffToRunningInstance() ? 0 : 1;
    if (mode == "--serve-and-crash") {
        guard.startServer();
        std::fputs("listening\n", stdout);
        std::fflush(stdout);
        _exit(3); // no destructors: the socket file stays behind, as after a crash
    }
    return 99;
}

QByteArray wireBytes(const QString &text)
{
    QByteArray bytes(4, '\0');
    qToBigEndian<quint32>(quint32(text.size() * 2), bytes.data());
    for (QChar c : text) {
        bytes.append(char(c.unicode() >> 8));
        bytes.append(char(c.unicode() & 0xff));
    }
    return bytes;
}

QString socketFilePath(const QString &name)
{
    return QDir(QDir::tempPath()).filePath(name);
}

} // namespace

class TestSingleInstanceGuard : public QObject
{
    Q_OBJECT

    int m_counter = 0;

    QString uniqueName()
    {
        return QStringLiteral("OrvelTest_%1_%2_%3")
            .arg(QCoreApplication::applicationPid())
            .arg(QDateTime::currentMSecsSinceEpoch())
            .arg(++m_counter);
    }

    // Runs a second launch while this process keeps serving events; returns its exit code.
    static int launchSecond(const QStringList &helperArgs, int timeoutMs = 15000)
    {
        QProcess second;
        QSignalSpy finished(&second, &QProcess::finished);
        second.start(QCoreApplication::applicationFilePath(), helperArgs);
        if (!second.waitForStarted(5000))
            return -1;
        if (!finished.wait(timeoutMs))
            return -2;
        return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -3;
    }

private slots:
    void handOverBetweenProcesses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("expectedPaths");
        const QString unicode = QStringLiteral("/tmp/\u00dcn\u00efc\u00f8d\u00e9 \u65e5\u672c\u8a9e \U0001F600/clip.mov");
        QTest::newRow("non-ASCII path") << QStringList{unicode} << QStringList{unicode};
        QTest::newRow("no argument: nothing sent") << QStringList{} << QStringList{};
        QTest::newRow("two arguments: first only")
            << QStringList{QStringLiteral("/media/a.mov"), QStringLiteral("/media/b.mov")}
            << QStringList{QStringLiteral("/media/a.mov")};
        QTest::newRow("spaces and quotes")
            << QStringList{QStringLiteral("C:\\Users\\x y\\\"odd\" name.mxf")}
            << QStringList{QStringLiteral("C:\\Users\\x y\\\"odd\" name.mxf")};
    }

    void handOverBetweenProcesses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, expectedPaths);
        const QString name = uniqueName();
        SingleInstanceGuard guard(name);
        guard.startServer();
        QSignalSpy requested(&guard, &SingleInstanceGuard::fileRequested);

        QCOMPARE(launchSecond(QStringList{QStringLiteral("--handoff"), name} + arguments), 0);
        // Give a late readyRead a chance to show up, then compare everything received.
        QTest::qWait(100);
        QStringList received;
        for (const QList<QVariant> &args : std::as_const(requested))
            received << args.at(0).toString();
        QCOMPARE(received, expectedPaths);
    }

    void relativePathTravelsAbsolute()
    {
        // The second launch runs in another working directory than the first.
        QTemporaryDir workDir;
        QVERIFY(workDir.isValid());
        QFile clip(workDir.filePath(QStringLiteral("clip \u00e9.mov")));
        QVERIFY(clip.open(QIODevice::WriteOnly));
        clip.close();
        const QString name = uniqueName();
        SingleInstanceGuard guard(name);
        guard.startServer();
        QSignalSpy requested(&guard, &SingleInstanceGuard::fileRequested);

        QProcess second;
        second.setWorkingDirectory(workDir.path());
        QSignalSpy finished(&second, &QProcess::finished);
        second.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--handoff"), name, QStringLiteral("clip \u00e9.mov")});
        QVERIFY(finished.wait(15000));
        QCOMPARE(second.exitCode(), 0);
        QTRY_COMPARE(requested.count(), 1);
        QCOMPARE(QFileInfo(requested.at(0).at(0).toString()).canonicalFilePath(),
                 QFileInfo(clip.fileName()).canonicalFilePath());
        QVERIFY(QFileInfo(requested.at(0).at(0).toString()).isAbsolute());
    }

    void noRunningInstance()
    {
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(launchSecond({QStringLiteral("--handoff"), uniqueName(), QStringLiteral("/x.mov")}), 1);
        QVERIFY(timer.elapsed() < 10000);
    }

    void clientWritesTheWireFormat()
    {
        const QString name = uniqueName();
        QLocalServer server;
        QVERIFY(server.listen(name));
        QByteArray received;
        connect(&server, &QLocalServer::newConnection, this, [&] {
            QLocalSocket *socket = server.nextPendingConnection();
            connect(socket, &QLocalSocket::readyRead, socket, [&received, socket] { received += socket->readAll(); });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        });
        const QString path = QStringLiteral("/v/\u00e4\U0001F3AC.mov");
        QCOMPARE(launchSecond({QStringLiteral("--handoff"), name, path}), 0);
        QTRY_COMPARE(received, wireBytes(path));
    }

    void serverReadsTheWireFormat_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QStringList>("expectedPaths");
        QTest::addColumn<QString>("expectedWarning");
        const QString path = QStringLiteral("/p/\u00f1\u00e9.mov");
        const QByteArray bytes = wireBytes(path);
        QTest::newRow("whole message") << QList<QByteArray>{bytes} << QStringList{path} << QString();
        QTest::newRow("in three pieces")
            << QList<QByteArray>{bytes.left(2), bytes.mid(2, 5), bytes.mid(7)} << QStringList{path} << QString();
        QTest::newRow("truncated: promises 100 bytes, sends 10")
            << QList<QByteArray>{QByteArray::fromHex("00000064") + QByteArray(10, 'a')} << QStringList{} << QString();
        QTest::newRow("truncated length prefix") << QList<QByteArray>{QByteArray::fromHex("0000")} << QStringList{} << QString();
        QTest::newRow("odd byte count is corrupt")
            << QList<QByteArray>{QByteArray::fromHex("00000003") + QByteArray("abc")} << QStringList{}
            << QStringLiteral("Single-instance hand-over dropped: malformed message.");
    }

    void serverReadsTheWireFormat()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, expectedPaths);
        QFETCH(QString, expectedWarning);
        const QString name = uniqueName();
        SingleInstanceGuard guard(name);
        guard.startServer();
        QSignalSpy requested(&guard, &SingleInstanceGuard::fileRequested);
        if (!expectedWarning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(expectedWarning));

        QLocalSocket client;
        client.connectToServer(name);
        QVERIFY(client.waitForConnected(2000));
        for (const QByteArray &chunk : chunks) {
            client.write(chunk);
            QVERIFY(client.waitForBytesWritten(2000));
            QTest::qWait(30);
        }
        client.disconnectFromServer();
        QTest::qWait(150);
        QStringList received;
        for (const QList<QVariant> &args : std::as_const(requested))
            received << args.at(0).toString();
        QCOMPARE(received, expectedPaths);
    }

    void oversizedMessageDropsTheConnection()
    {
        const QString name = uniqueName();
        SingleInstanceGuard guard(name);
        guard.startServer();
        QSignalSpy requested(&guard, &SingleInstanceGuard::fileRequested);

        QLocalSocket client;
        QSignalSpy disconnected(&client, &QLocalSocket::disconnected);
        QTest::ignoreMessage(QtWarningMsg, "Single-instance hand-over dropped: message too large.");
        client.connectToServer(name);
        QVERIFY(client.waitForConnected(2000));
        client.write(QByteArray::fromHex("7ffffff0"));
        const QByteArray block(64 * 1024, 'x');
        for (qint64 sent = 0; sent <= SingleInstanceGuard::kMaxMessageBytes + block.size(); sent += block.size())
            client.write(block);
        QTRY_VERIFY_WITH_TIMEOUT(disconnected.count() == 1, 5000);
        QCOMPARE(requested.count(), 0);
    }

    void staleEndpointIsReplaced()
    {
        const QString name = uniqueName();
        QCOMPARE(launchSecond({QStringLiteral("--serve-and-crash"), name}), 3);
        QVERIFY2(QFileInfo::exists(socketFilePath(name)), "crashed instance left no endpoint");
        // Nobody answers at the leftover endpoint.
        QCOMPARE(launchSecond({QStringLiteral("--handoff"), name, QStringLiteral("/a.mov")}), 1);

        SingleInstanceGuard guard(name);
        guard.startServer();
        QSignalSpy requested(&guard, &SingleInstanceGuard::fileRequested);
        QCOMPARE(launchSecond({QStringLiteral("--handoff"), name, QStringLiteral("/b.mov")}), 0);
        QTRY_COMPARE(requested.count(), 1);
        QCOMPARE(requested.at(0).at(0).toString(), QStringLiteral("/b.mov"));
    }

    void endpointIsPrivateToTheUser()
    {
        const QString name = uniqueName();
        SingleInstanceGuard guard(name);
        guard.startServer();
        const QFile::Permissions permissions = QFile::permissions(socketFilePath(name));
        QVERIFY(permissions & QFile::WriteOwner);
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup
            | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(permissions & others, QFile::Permissions());
    }

    void destructionClosesTheEndpoint()
    {
        const QString name = uniqueName();
        {
            SingleInstanceGuard guard(name);
            guard.startServer();
            QVERIFY(QFileInfo::exists(socketFilePath(name)));
        }
        QVERIFY(!QFileInfo::exists(socketFilePath(name)));
        QLocalSocket client;
        client.connectToServer(name);
        QVERIFY(!client.waitForConnected(200));
    }
};

int main(int argc, char **argv)
{
    if (argc >= 3 && (qstrcmp(argv[1], "--handoff") == 0 || qstrcmp(argv[1], "--serve-and-crash") == 0))
        return runHelper(argc, argv);
    QCoreApplication app(argc, argv);
    TestSingleInstanceGuard test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstanceguard.moc"
