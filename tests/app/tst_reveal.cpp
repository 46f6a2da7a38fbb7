// Revealing the open file: the freedesktop FileManager1 call on a private session bus with
// a fake file manager, and the folder fallback when there is none or it answers an error.

#include "app/platform.h"

#include <QtTest>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const QString kService = QStringLiteral("org.freedesktop.FileManager1");

// Stands in for a file manager: records what it was asked to show, or refuses.
class FakeFileManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    bool refuse = false;
    QStringList shown;
    QString startupId;
    int calls = 0;

public slots:
    void ShowItems(const QStringList &uris, const QString &startup)
    {
        ++calls;
        if (refuse) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("no window"));
            return;
        }
        shown = uris;
        startupId = startup;
    }
};

} // namespace

class TestReveal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void showsTheFileThroughTheService();
    void errorReplyOpensTheFolder();
    void noServiceOpensTheFolder();
    void missingFileDoesNothing();

private:
    // Connects the two ends under fresh names, so each test starts with a clean bus.
    QDBusConnection client() const { return QDBusConnection(m_clientName); }
    QDBusConnection service() const { return QDBusConnection(m_serviceName); }
    bool registerFake();

    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QString m_clientName;
    QString m_serviceName;
    int m_round = 0;
    FakeFileManager m_fake;
    QList<QUrl> m_opened;
    std::function<bool(const QUrl &)> m_opener;
    QString m_file;
};

void TestReveal::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // A bus of our own with no activatable services: nothing on the machine can answer.
    const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                              "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                              "<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                              "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                              "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                   .arg(m_dir.path())
                   .toUtf8());
    file.close();
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + config, QStringLiteral("--print-address=1"),
                    QStringLiteral("--nofork")});
    QVERIFY2(m_daemon.waitForStarted(10000), "dbus-daemon not found (scripts/deps.sh installs it)");
    QTRY_VERIFY_WITH_TIMEOUT(m_daemon.canReadLine(), 10000);
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    QVERIFY(!m_address.isEmpty());

    m_file = m_dir.filePath(QStringLiteral("a clip #1.mov"));
    QFile clip(m_file);
    QVERIFY(clip.open(QIODevice::WriteOnly));
    clip.close();
    m_opener = [this](const QUrl &url) {
        m_opened.append(url);
        return true;
    };
}

void TestReveal::cleanupTestCase()
{
    m_daemon.terminate();
    m_daemon.waitForFinished(5000);
}

void TestReveal::init()
{
    ++m_round;
    m_clientName = QStringLiteral("client%1").arg(m_round);
    m_serviceName = QStringLiteral("service%1").arg(m_round);
    QVERIFY(QDBusConnection::connectToBus(m_address, m_clientName).isConnected());
    QVERIFY(QDBusConnection::connectToBus(m_address, m_serviceName).isConnected());
    m_fake.refuse = false;
    m_fake.shown.clear();
    m_fake.calls = 0;
    m_opened.clear();
}

void TestReveal::cleanup()
{
    QDBusConnection::disconnectFromBus(m_clientName);
    QDBusConnection::disconnectFromBus(m_serviceName);
    // The name goes with the connection; wait until the bus has let go of it.
    QDBusConnection probe = QDBusConnection::connectToBus(m_address, QStringLiteral("probe"));
    QTRY_VERIFY(!probe.interface()->isServiceRegistered(kService));
    QDBusConnection::disconnectFromBus(QStringLiteral("probe"));
}

bool TestReveal::registerFake()
{
    QDBusConnection bus = service();
    return bus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &m_fake, QDBusConnection::ExportAllSlots)
           && bus.registerService(kService);
}

void TestReveal::showsTheFileThroughTheService()
{
    QVERIFY(registerFake());
    QCOMPARE(platform::revealWithFileManagerService(m_file, client(), m_opener), platform::RevealMethod::FileManager);
    QTRY_COMPARE(m_fake.calls, 1);
    const QUrl expected = QUrl::fromLocalFile(QFileInfo(m_file).absoluteFilePath());
    QCOMPARE(m_fake.shown, QStringList{expected.toString(QUrl::FullyEncoded)});
    QVERIFY(m_fake.shown.first().startsWith(QLatin1String("file:///")));
    QVERIFY(m_fake.shown.first().contains(QLatin1String("a%20clip%20%231.mov")));
    QCOMPARE(QUrl(m_fake.shown.first()).toLocalFile(), QFileInfo(m_file).absoluteFilePath());
    QTest::qWait(50);
    QVERIFY(m_opened.isEmpty());
}

void TestReveal::errorReplyOpensTheFolder()
{
    m_fake.refuse = true;
    QVERIFY(registerFake());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^File manager did not show the file:")));
    QCOMPARE(platform::revealWithFileManagerService(m_file, client(), m_opener), platform::RevealMethod::FileManager);
    QTRY_COMPARE(m_opened.size(), 1);
    QCOMPARE(m_opened.first(), QUrl::fromLocalFile(QFileInfo(m_file).absolutePath()));
    QCOMPARE(m_fake.calls, 1);
}

void TestReveal::noServiceOpensTheFolder()
{
    QCOMPARE(platform::revealWithFileManagerService(m_file, client(), m_opener),
             platform::RevealMethod::ContainingFolder);
    QCOMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile(m_dir.path())});

    // No session bus at all behaves the same.
    m_opened.clear();
    QCOMPARE(platform::revealWithFileManagerService(m_file, QDBusConnection(QStringLiteral("not connected")), m_opener),
             platform::RevealMethod::ContainingFolder);
    QCOMPARE(m_opened.size(), 1);
}

void TestReveal::missingFileDoesNothing()
{
    QVERIFY(registerFake());
    QCOMPARE(platform::revealWithFileManagerService(m_file + QStringLiteral(".gone"), client(), m_opener),
             platform::RevealMethod::Nothing);
    QTest::qWait(50);
    QCOMPARE(m_fake.calls, 0);
    QVERIFY(m_opened.isEmpty());
}

QTEST_GUILESS_MAIN(TestReveal)
#include "tst_reveal.moc"
