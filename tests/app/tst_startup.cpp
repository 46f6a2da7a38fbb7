// The player's executable at start-up: a display it cannot open ends the run with a message
// and status 1, not with SIGABRT and a core dump; an information request still answers.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void endsCleanly_data();
    void endsCleanly();
};

void TestStartup::endsCleanly_data()
{
    // A display number nothing listens on.
    int unused = 9000;
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(unused)))
        ++unused;
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QString>("display");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("said");
    QTest::newRow("no X server") << "xcb" << QStringLiteral(":%1").arg(unused) << QStringList{} << 1
                                 << QStringList{"could not connect to display", "Orvel could not start."};
    QTest::newRow("version") << "offscreen" << QString() << QStringList{"--version"} << 0 << QStringList{QStringLiteral("Orvel " ORVEL_VERSION)};
}

void TestStartup::endsCleanly()
{
    QFETCH(QString, platform);
    QFETCH(QString, display);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, said);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    env.insert(QStringLiteral("DISPLAY"), display);
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("TMPDIR"), home.path());
    QProcess orvel;
    orvel.setProcessEnvironment(env);
    orvel.setProcessChannelMode(QProcess::MergedChannels);
    orvel.start(QDir(QStringLiteral(ORVEL_BINARY_DIR)).filePath(QStringLiteral("src/orvel")), arguments);
    QVERIFY(orvel.waitForFinished(30000));
    const QString output = QString::fromLocal8Bit(orvel.readAll());
    QVERIFY2(orvel.exitStatus() == QProcess::NormalExit, qPrintable(output));
    QCOMPARE(orvel.exitCode(), exitCode);
    for (const QString &text : said)
        QVERIFY2(output.contains(text), qPrintable(output));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
