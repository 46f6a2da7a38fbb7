#include "app/cli.h"
#include "../engine/decodetestsupport.h"
#include "clitestsupport.h"
#include "testsupport.h"

#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

using namespace clitest;
using namespace decodetest;

class TestCliFrame : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void writesTheRequestedFrame_data();
    void writesTheRequestedFrame();
    void profileChangesThePicture();
    void rejectsBadInput_data();
    void rejectsBadInput();
    void consoleExecutable();

private:
    QTemporaryDir m_dir;
};

void TestCliFrame::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-frames:v", "120", "-c:v", "libx265",
                       "-preset", "ultrafast", "-x265-params",
                       "keyint=50:min-keyint=50:open-gop=1:bframes=4:scenecut=0:log-level=error", "-pix_fmt",
                       "yuv420p", m_dir.filePath(QStringLiteral("open_gop.mp4"))}));
}

// The number printed is the frame written; the picture is that frame and not a neighbour
// (every generated clip carries its frame number burnt in).
void TestCliFrame::writesTheRequestedFrame_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<qint64>("request");
    QTest::addColumn<qint64>("delivered");

    QTest::newRow("h264 mid-GOP") << testsupport::mediaPath(QStringLiteral("h264_1080p25.mov")) << qint64(37) << qint64(37);
    QTest::newRow("past the end") << testsupport::mediaPath(QStringLiteral("h264_1080p25.mov")) << qint64(1000) << qint64(99);
    QTest::newRow("prores") << testsupport::mediaPath(QStringLiteral("prores_hq_pcm24.mov")) << qint64(44) << qint64(44);
    QTest::newRow("open GOP leading frame") << m_dir.filePath(QStringLiteral("open_gop.mp4")) << qint64(47) << qint64(47);
    QTest::newRow("still") << testsupport::mediaPath(QStringLiteral("still.png")) << qint64(3) << qint64(0);
    QTest::newRow("MPEG-TS last frame") << testsupport::mediaPath(QStringLiteral("mpeg2_2997df_gop_tc.ts")) << qint64(239)
                                        << qint64(239);
    QTest::newRow("MPEG-TS past the end") << testsupport::mediaPath(QStringLiteral("mpeg2_2997df_gop_tc.ts"))
                                          << qint64(1000) << qint64(239);
}

void TestCliFrame::writesTheRequestedFrame()
{
    QFETCH(QString, file);
    QFETCH(qint64, request);
    QFETCH(qint64, delivered);

    const QString out = m_dir.filePath(QStringLiteral("frame.png"));
    QFile::remove(out);
    const CliRun run = runInProcess({"frame", file, QString::number(request), out});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QStringLiteral("%1\n").arg(delivered));

    const QImage written(out);
    QVERIFY(!written.isNull());
    const QImage same = referenceImage(file, delivered, written.width(), written.height());
    const double sameDiff = meanAbsoluteDifference(written, same);
    QVERIFY(sameDiff >= 0 && sameDiff < 3.0);
    if (delivered > 0) {
        const double neighbour =
            meanAbsoluteDifference(written, referenceImage(file, delivered - 1, written.width(), written.height()));
        QVERIFY2(sameDiff < neighbour, qPrintable(QStringLiteral("%1 vs %2").arg(sameDiff).arg(neighbour)));
    }
}

// Channel isolation converts 4:2:2 through the luma-guided path: same frame, other pixels.
void TestCliFrame::profileChangesThePicture()
{
    const QString file = testsupport::mediaPath(QStringLiteral("prores_hq_pcm24.mov"));
    const QString standard = m_dir.filePath(QStringLiteral("standard.png"));
    const QString isolated = m_dir.filePath(QStringLiteral("isolated.png"));
    QCOMPARE(runInProcess({"frame", file, "12", standard}).exitCode, 0);
    const CliRun run = runInProcess({"frame", file, "12", isolated, "--profile", "channel-isolation"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QStringLiteral("12\n"));
    QCOMPARE(runInProcess({"frame", file, "12", isolated + "2.png", "--profile=1"}).out, QStringLiteral("12\n"));

    const QImage a(standard);
    const QImage b(isolated);
    QCOMPARE(b.size(), a.size());
    QVERIFY(a != b);
    QVERIFY(QImage(isolated + "2.png") == b);
    QVERIFY(meanAbsoluteDifference(a, b) < 6.0);
}

void TestCliFrame::rejectsBadInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("errContains");

    const QString clip = testsupport::mediaPath(QStringLiteral("bt709.mp4"));
    const QString out = QDir::temp().filePath(QStringLiteral("orvel_cli_frame_unused.png"));
    QTest::newRow("too few") << QStringList{"frame", clip, "3"} << "Usage: orvel-cli frame";
    QTest::newRow("not a number") << QStringList{"frame", clip, "three", out} << "Invalid frame number: three";
    QTest::newRow("negative") << QStringList{"frame", clip, "-2", out} << "Invalid frame number: -2";
    QTest::newRow("unknown profile") << QStringList{"frame", clip, "3", out, "--profile", "sepia"} << "Unknown profile: sepia";
    QTest::newRow("profile without value") << QStringList{"frame", clip, "3", out, "--profile"} << "--profile needs a value";
    QTest::newRow("unknown option") << QStringList{"frame", clip, "3", out, "--fast"} << "Unknown option: --fast";
    QTest::newRow("missing file") << QStringList{"frame", clip + ".missing", "3", out} << "avformat_open_input failed.";
    QTest::newRow("unwritable output") << QStringList{"frame", clip, "3", "/nonexistent-dir/x.png"} << "Could not write";
}

void TestCliFrame::rejectsBadInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, errContains);
    const CliRun run = runInProcess(arguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.err.contains(errContains), qPrintable(run.err));
}

// The shipped executable is a console program: no display, same result.
void TestCliFrame::consoleExecutable()
{
    const QString out = m_dir.filePath(QStringLiteral("console.png"));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("DISPLAY"));
    process.setProcessEnvironment(environment);
    process.start(cliBinary(), {"frame", m_dir.filePath(QStringLiteral("open_gop.mp4")), "98", out});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput(), QByteArray("98\n"));
    const QImage written(out);
    const double same = meanAbsoluteDifference(written, referenceImage(m_dir.filePath("open_gop.mp4"), 98, 320, 240));
    QVERIFY(same >= 0 && same < 3.0);
}

QTEST_MAIN(TestCliFrame)
#include "tst_cli_frame.moc"
