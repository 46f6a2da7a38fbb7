#include "app/cli.h"
#include "clitestsupport.h"
#include "testsupport.h"

#include <QtTest>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

using namespace clitest;

namespace {

QString convertLine(const QImage &image, int x, int y)
{
    const QColor c = image.pixelColor(x, y);
    return QStringLiteral("Convert: %1,%2,%3").arg(c.red()).arg(c.green()).arg(c.blue());
}

} // namespace

class TestCliPixel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void convertIsTheExportedPixel_data();
    void convertIsTheExportedPixel();
    void rotationAndCanvas();
    void nothingThereExitsTwo_data();
    void nothingThereExitsTwo();
    void rejectsBadInput_data();
    void rejectsBadInput();
    void consoleExecutable();

private:
    QTemporaryDir m_dir;
};

void TestCliPixel::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
}

// The Convert line is the pixel the viewer shows in colour, which is what the default
// picture export writes.
void TestCliPixel::convertIsTheExportedPixel_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<int>("frame");
    QTest::addColumn<QString>("kind");

    QTest::newRow("10-bit 4:2:2") << "yuv422p10_pattern.mov" << 9 << "YUV10";
    QTest::newRow("8-bit 4:2:0") << "h264.mkv" << 30 << "YUV8";
    QTest::newRow("BGRA") << "bgra.avi" << 5 << "RGB8";
    QTest::newRow("RGB48 big-endian") << "rgb48be_png.mov" << 1 << "RGB16";
}

void TestCliPixel::convertIsTheExportedPixel()
{
    QFETCH(QString, clip);
    QFETCH(int, frame);
    QFETCH(QString, kind);

    const QString file = testsupport::mediaPath(clip);
    const QString standard = m_dir.filePath(QStringLiteral("standard.png"));
    QCOMPARE(runInProcess({"frame", file, QString::number(frame), standard}).exitCode, 0);
    const QImage standardImage(standard);
    QVERIFY(!standardImage.isNull());

    static const QRegularExpression pattern(
        QStringLiteral("^Source:  \\d+,\\d+,\\d+ \\(([A-Z]+\\d+)\\)\\n(Convert: \\d+,\\d+,\\d+)\\n$"));
    const QList<QPoint> points = {{0, 0}, {101, 50}, {17, 33}, {standardImage.width() - 1, standardImage.height() - 1}};
    for (const QPoint &p : points) {
        const CliRun run = runInProcess({"pixel", file, QString::number(frame), QString::number(p.x()), QString::number(p.y())});
        QCOMPARE(run.exitCode, 0);
        const QRegularExpressionMatch match = pattern.match(run.out);
        QVERIFY2(match.hasMatch(), qPrintable(run.out));
        QCOMPARE(match.captured(1), kind);
        QCOMPARE(match.captured(2), convertLine(standardImage, p.x(), p.y()));
    }
}

void TestCliPixel::rotationAndCanvas()
{
    const QString file = testsupport::mediaPath(QStringLiteral("yuv422p10_pattern.mov")); // 640x360
    auto text = [&](const QStringList &extra) {
        const CliRun run = runInProcess(QStringList{"pixel", file, "6"} + extra);
        return run.exitCode == 0 ? run.out : QString();
    };
    const QString bottomLeft = text({"0", "359"});
    const QString topRight = text({"639", "0"});
    QVERIFY(!bottomLeft.isEmpty());
    QVERIFY(bottomLeft != topRight);
    // The default canvas is the picture as shown: 360 x 640 after a quarter turn.
    QCOMPARE(text({"0", "0", "--rotation", "90"}), bottomLeft);
    QCOMPARE(text({"0", "0", "--rotation=-90"}), topRight);
    QCOMPARE(text({"639", "359", "--rotation", "180"}), text({"0", "0"}));
    QCOMPARE(text({"639", "0", "--rotation", "45"}), topRight);
    // Twice the size: canvas (3, 719) is source (1, 359).
    QCOMPARE(text({"3", "719", "--canvas", "1280x720"}), text({"1", "359"}));
}

void TestCliPixel::nothingThereExitsTwo_data()
{
    QTest::addColumn<QStringList>("arguments");

    const QString bgra = testsupport::mediaPath(QStringLiteral("bgra.avi")); // 320x240
    QTest::newRow("pillar-box of 4:3 in 16:9") << QStringList{"pixel", bgra, "0", "10", "360", "--canvas", "1280x720"};
    QTest::newRow("right of the picture") << QStringList{"pixel", bgra, "0", "320", "0"};
    QTest::newRow("negative point") << QStringList{"pixel", bgra, "0", "-1", "0"};
    QTest::newRow("audio-only") << QStringList{"pixel", testsupport::mediaPath(QStringLiteral("audio.flac")), "0", "0", "0"};
}

void TestCliPixel::nothingThereExitsTwo()
{
    QFETCH(QStringList, arguments);
    const CliRun run = runInProcess(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.out.isEmpty());
}

void TestCliPixel::rejectsBadInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("errContains");

    const QString clip = testsupport::mediaPath(QStringLiteral("bgra.avi"));
    QTest::newRow("too few") << QStringList{"pixel", clip, "0", "1"} << "Usage: orvel-cli pixel";
    QTest::newRow("frame not a number") << QStringList{"pixel", clip, "x", "1", "1"} << "Invalid frame number: x";
    QTest::newRow("point not a number") << QStringList{"pixel", clip, "0", "1", "y"} << "Invalid point";
    QTest::newRow("bad canvas") << QStringList{"pixel", clip, "0", "1", "1", "--canvas", "1280"} << "Invalid canvas";
    QTest::newRow("zero canvas") << QStringList{"pixel", clip, "0", "1", "1", "--canvas=0x720"} << "Invalid canvas";
    QTest::newRow("bad rotation") << QStringList{"pixel", clip, "0", "1", "1", "--rotation", "left"} << "Invalid rotation";
    QTest::newRow("rotation without value") << QStringList{"pixel", clip, "0", "1", "1", "--rotation"} << "--rotation needs a value";
    QTest::newRow("unknown option") << QStringList{"pixel", clip, "0", "1", "1", "--zoom", "2"} << "Unknown option: --zoom";
    QTest::newRow("missing file") << QStringList{"pixel", clip + ".missing", "0", "1", "1"} << "avformat_open_input failed.";
}

void TestCliPixel::rejectsBadInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, errContains);
    const CliRun run = runInProcess(arguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.err.contains(errContains), qPrintable(run.err));
}

void TestCliPixel::consoleExecutable()
{
    const QString file = testsupport::mediaPath(QStringLiteral("bgra.avi"));
    QProcess process;
    process.start(cliBinary(), {"pixel", file, "2", "40", "30"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), runInProcess({"pixel", file, "2", "40", "30"}).out);

    process.start(cliBinary(), {"pixel", file, "2", "400", "30"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardOutput().isEmpty());
}

QTEST_MAIN(TestCliPixel)
#include "tst_cli_pixel.moc"
