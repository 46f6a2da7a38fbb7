#include "app/cli.h"
#include "../engine/decodetestsupport.h"
#include "clitestsupport.h"
#include "core/colour.h"
#include "engine/slate.h"
#include "state/openmedia.h"
#include "testsupport.h"

#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstring>

using namespace clitest;
using namespace decodetest;

namespace {

QJsonObject probe(const QStringList &arguments)
{
    const CliRun run = runInProcess(arguments);
    if (run.exitCode != 0)
        qWarning().noquote() << "probe failed:" << run.err;
    return QJsonDocument::fromJson(run.out.toUtf8()).object();
}

QString sequenceDir(const QString &name)
{
    return testsupport::mediaPath(name);
}

bool copyFolder(const QString &from, const QString &to)
{
    const QDir source(from);
    for (const QString &name : source.entryList(QDir::Files)) {
        if (!QFile::copy(source.filePath(name), QDir(to).filePath(name)))
            return false;
    }
    return true;
}

bool patchBytes(const QString &path, qint64 offset, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || !file.seek(offset))
        return false;
    return file.write(bytes) == bytes.size();
}

// DPX files come in either byte order ("SDPX" big-endian, "XPDS" little-endian); FFmpeg
// writes the host's.
bool g_dpxBigEndian = true;

QByteArray dpx32(uint32_t value)
{
    QByteArray bytes;
    for (int shift : {24, 16, 8, 0})
        bytes += char((value >> (g_dpxBigEndian ? shift : 24 - shift)) & 0xFF);
    return bytes;
}

QByteArray dpxFloat(float value)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &value, 4);
    return dpx32(bits);
}

// FFmpeg's DPX encoder stops its headers before the film and television headers (the
// picture starts at 1664): make room for them, unset, and point the file at its picture.
bool withFullHeaders(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = file.readAll();
    file.close();
    constexpr int kShort = 1664;
    constexpr int kFull = 2048;
    if (!bytes.startsWith("SDPX") && !bytes.startsWith("XPDS"))
        return false;
    g_dpxBigEndian = bytes.startsWith("SDPX");
    if (bytes.size() < kShort || bytes.mid(4, 4) != dpx32(kShort))
        return false;
    bytes.insert(kShort, QByteArray(kFull - kShort, '\xff'));
    bytes.replace(4, 4, dpx32(kFull));
    bytes.replace(16, 4, dpx32(uint32_t(bytes.size())));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

// A slate is a flat dark field with light lettering; a picture of the test pattern is not.
bool looksLikeSlate(const QImage &image)
{
    if (image.isNull())
        return false;
    const QRgb corner = image.pixel(1, 1);
    return qRed(corner) == slate::kBackground && qGreen(corner) == slate::kBackground
        && qBlue(corner) == slate::kBackground && image.pixel(image.width() - 2, image.height() - 2) == corner;
}

// Row 8 of the EXR ramp's first file as ffmpeg decodes it (32-bit float G plane first).
struct RampRow
{
    QByteArray planes;
    bool valid = false;
    static constexpr int kWidth = 256;
    static constexpr int kHeight = 16;
    double linear(int x) const
    {
        float value = 0;
        std::memcpy(&value, planes.constData() + (qsizetype(8) * kWidth + x) * 4, 4);
        return double(value);
    }
};

RampRow exrRampRow(const QString &folder)
{
    RampRow row;
    row.planes = referenceFrame(QDir(folder).filePath("ramp.0001.exr"), 0, QStringLiteral("gbrpf32le"));
    row.valid = row.planes.size() == qsizetype(RampRow::kWidth) * RampRow::kHeight * 3 * 4;
    return row;
}

} // namespace

class TestCliSequences : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void probeDescribesTheSequence_data();
    void probeDescribesTheSequence();
    void framesAreTheNumberedFiles_data();
    void framesAreTheNumberedFiles();
    void gapShowsTheSlateBothWays();
    void headerRateAndTimecode();
    void fpsOptionOverrides();
    void exrRateAttribute();
    void exrRampReadsLinearValues();
    void exrShownThroughTheViewTransform();
    void badFilesAndFolders();
    void qcReportsMissingFrames();
};

void TestCliSequences::initTestCase()
{
    testsupport::registerMetaTypes();
}

void TestCliSequences::probeDescribesTheSequence_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QString>("startTimecode");
    const QString dpx = sequenceDir("seq_dpx10");
    QTest::newRow("dpx by file") << dpx + "/shot.086403.dpx" << "shot.%06d.dpx" << qint64(86400) << qint64(86411)
                                 << "86405" << "01:00:00:00";
    QTest::newRow("dpx by folder") << dpx << "shot.%06d.dpx" << qint64(86400) << qint64(86411) << "86405"
                                   << "01:00:00:00";
    QTest::newRow("tiff") << sequenceDir("seq_tiff16") + "/plate_1010.tif" << "plate_%04d.tif" << qint64(1001)
                          << qint64(1012) << "" << "00:00:41:17";
    QTest::newRow("png unpadded") << sequenceDir("seq_png") + "/img10.png" << "img%d.png" << qint64(1) << qint64(12)
                                  << "" << "00:00:00:01";
    QTest::newRow("exr") << sequenceDir("seq_exr_half") << "ramp.%04d.exr" << qint64(1) << qint64(6) << ""
                         << "00:00:00:01";
}

void TestCliSequences::probeDescribesTheSequence()
{
    QFETCH(QString, path);
    QFETCH(QString, pattern);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(QString, missing);
    QFETCH(QString, startTimecode);
    const QJsonObject info = probe({"probe", path});
    const QJsonObject sequence = info.value("sequence").toObject();
    QCOMPARE(sequence.value("pattern").toString(), pattern);
    QCOMPARE(sequence.value("first").toInteger(), first);
    QCOMPARE(sequence.value("last").toInteger(), last);
    QStringList gaps;
    for (const QJsonValue &n : sequence.value("missing").toArray())
        gaps << QString::number(n.toInteger());
    QCOMPARE(gaps.join(','), missing);
    QCOMPARE(info.value("totalFrames").toInteger(), last - first + 1);
    QCOMPARE(info.value("fps").toDouble(), 24.0);
    // No timecode in these files: counted from the first number, and marked as such.
    QCOMPARE(info.value("startTimecode").toString(), startTimecode);
    QCOMPARE(sequence.value("timecodeFromHeader").toBool(), false);
}

// Frame i is file first + i, pixel for pixel as ffmpeg decodes that file.
void TestCliSequences::framesAreTheNumberedFiles_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<qint64>("frame");
    QTest::addColumn<double>("tolerance");
    QTest::newRow("png 0") << sequenceDir("seq_png") << "img1.png" << qint64(0) << 0.01;
    QTest::newRow("png 9 (two digits)") << sequenceDir("seq_png") << "img10.png" << qint64(9) << 0.01;
    QTest::newRow("tiff 16-bit") << sequenceDir("seq_tiff16") << "plate_1007.tif" << qint64(6) << 0.6;
    QTest::newRow("dpx after the gap") << sequenceDir("seq_dpx10") << "shot.086408.dpx" << qint64(8) << 0.6;
}

void TestCliSequences::framesAreTheNumberedFiles()
{
    QFETCH(QString, folder);
    QFETCH(QString, fileName);
    QFETCH(qint64, frame);
    QFETCH(double, tolerance);
    const cli::FrameExport exported = cli::exportFrame(folder, frame, ConversionProfile::Standard);
    QVERIFY2(exported.opened, qPrintable(exported.error));
    QCOMPARE(exported.frameNumber, frame);
    const QString file = QDir(folder).filePath(fileName);
    const QImage reference = referenceImage(file, 0, exported.image.width(), exported.image.height());
    QVERIFY(!reference.isNull());
    const double difference = meanAbsoluteDifference(exported.image, reference);
    QVERIFY2(difference >= 0 && difference <= tolerance, qPrintable(QString::number(difference)));
    // A neighbour is measurably different (the frame number is burnt in).
    const QString neighbour = QDir(folder).filePath(QDir(folder).entryList(QDir::Files, QDir::Name).first());
    if (neighbour != file)
        QVERIFY(meanAbsoluteDifference(exported.image, referenceImage(neighbour, 0, reference.width(), reference.height()))
                > tolerance);
}

void TestCliSequences::gapShowsTheSlateBothWays()
{
    const QString folder = sequenceDir("seq_dpx10");
    OpenMedia media(folder);
    QVERIFY(media.waitUntilOpened());
    QCOMPARE(media.info().totalFrames, 12);
    // Forward across the gap, then back: 86405 is missing, its neighbours are pictures.
    for (const int64_t n : {3, 4, 5, 6, 7, 6, 5, 4}) {
        const QImage image = media.frameAsImage(n);
        QVERIFY2(!image.isNull(), qPrintable(QString::number(n)));
        QCOMPARE(looksLikeSlate(image), n == 5);
        QCOMPARE(image.size(), QSize(320, 180));
    }
}

void TestCliSequences::headerRateAndTimecode()
{
    QTemporaryDir dir;
    QVERIFY(copyFolder(sequenceDir("seq_dpx10"), dir.path()));
    const QString first = dir.filePath("shot.086400.dpx");
    QVERIFY(withFullHeaders(first));
    // Television header: 25 fps, SMPTE 10:00:00:00 (BCD); the film header says 24.
    QVERIFY(patchBytes(first, 1724, dpxFloat(24.0f)));
    QVERIFY(patchBytes(first, 1940, dpxFloat(25.0f)));
    QVERIFY(patchBytes(first, 1920, dpx32(0x10000000u)));
    const QJsonObject info = probe({"probe", first});
    QCOMPARE(info.value("fps").toDouble(), 25.0);
    QCOMPARE(info.value("startTimecode").toString(), QStringLiteral("10:00:00:00"));
    QCOMPARE(info.value("sequence").toObject().value("timecodeFromHeader").toBool(), true);

    // A damaged time code is not believed: the number counts instead, at the header's rate.
    QVERIFY(patchBytes(first, 1920, dpx32(0x1A000000u)));
    const QJsonObject damaged = probe({"probe", first});
    QCOMPARE(damaged.value("fps").toDouble(), 25.0);
    QCOMPARE(damaged.value("startTimecode").toString(), QStringLiteral("00:57:36:00"));
    QCOMPARE(damaged.value("sequence").toObject().value("timecodeFromHeader").toBool(), false);

    // A file cut short inside its headers opens with the defaults.
    QFile::resize(first, 1800);
    const QJsonObject cut = probe({"probe", dir.filePath("shot.086401.dpx")});
    QCOMPARE(cut.value("fps").toDouble(), 24.0);
}

void TestCliSequences::fpsOptionOverrides()
{
    const QJsonObject info = probe({"--fps", "25", "probe", sequenceDir("seq_dpx10")});
    QCOMPARE(info.value("fps").toDouble(), 25.0);
    // 86400 at 25 fps.
    QCOMPARE(info.value("startTimecode").toString(), QStringLiteral("00:57:36:00"));
    QCOMPARE(info.value("videoDurationSec").toDouble(), 12.0 / 25.0);
    const CliRun bad = runInProcess({"--fps", "0", "probe", sequenceDir("seq_dpx10")});
    QCOMPARE(bad.exitCode, 1);
    QVERIFY(bad.err.contains("--fps"));
    // The option lasts one command.
    QCOMPARE(probe({"probe", sequenceDir("seq_dpx10")}).value("fps").toDouble(), 24.0);
}

void TestCliSequences::exrRateAttribute()
{
    QTemporaryDir dir;
    QVERIFY(copyFolder(sequenceDir("seq_exr_half"), dir.path()));
    const QString first = dir.filePath("ramp.0001.exr");
    QFile file(first);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray head = file.read(4096);
    file.close();
    const qsizetype at = head.indexOf(QByteArray("framesPerSecond\0rational\0", 25));
    QVERIFY2(at > 0, "the encoder writes framesPerSecond");
    // Same size, new value: 30000/1001.
    const qsizetype value = at + 25 + 4;
    QVERIFY(patchBytes(first, value, QByteArray("\x30\x75\x00\x00\xe9\x03\x00\x00", 8)));
    const QJsonObject info = probe({"probe", dir.path()});
    QVERIFY2(std::abs(info.value("fps").toDouble() - 29.97) < 0.01, qPrintable(QString::number(info.value("fps").toDouble())));
}

// The inspector reads the half floats themselves: the ramp's linear values, as ffmpeg
// decodes them, on every channel.
void TestCliSequences::exrRampReadsLinearValues()
{
    const QString folder = sequenceDir("seq_exr_half");
    const RampRow ramp = exrRampRow(folder);
    QVERIFY(ramp.valid);
    for (const int x : {0, 64, 128, 255}) {
        const double expected = ramp.linear(x);
        const cli::PixelQuery query = cli::inspectPixel(folder, 0, x, 8, 0, QSize());
        QVERIFY2(query.opened, qPrintable(query.error));
        const QString source = query.text.section('\n', 0, 0);
        QVERIFY2(source.contains("RGBF32"), qPrintable(source));
        const QStringList values = source.section(' ', -2, -2).split(',');
        QCOMPARE(values.size(), 3);
        for (const QString &value : values)
            QVERIFY2(std::abs(value.toDouble() - expected) < 1e-3, qPrintable(source + " vs " + QString::number(expected)));
    }
    // The ramp really rises (the check above is not comparing zeros).
    const cli::PixelQuery right = cli::inspectPixel(folder, 0, 255, 8, 0, QSize());
    QVERIFY(right.text.section('\n', 0, 0).section(' ', -2, -2).split(',').value(0).toDouble() > 0.9);
}

// The ramp's linear values (as ffmpeg decodes them) shown through the view transform:
// in the player's picture, the CLI's export and the inspector's converted values, at
// several exposures; the inspector's source values stay linear whatever the exposure.
void TestCliSequences::exrShownThroughTheViewTransform()
{
    const QString folder = sequenceDir("seq_exr_half");
    const RampRow ramp = exrRampRow(folder);
    QVERIFY(ramp.valid);
    const auto linear = [&](int x) { return ramp.linear(x); };
    constexpr int kWidth = RampRow::kWidth;
    constexpr int kHeight = RampRow::kHeight;
    // 46/255 is the ramp's 18 % grey: sRGB code 118, and 162 a stop up (0.36).
    QVERIFY(std::abs(linear(46) - 0.18) < 0.001);
    const QList<int> columns = {0, 3, 10, 46, 100, 128, 200, 255};

    QTemporaryDir dir;
    OpenMedia media(folder);
    QVERIFY(media.waitUntilOpened());
    QVERIFY(media.info().sceneLinear);
    for (const double stops : {0.0, 1.0, -1.5}) {
        media.setExposure(stops);
        const QImage shown = media.frameAsImage(0);
        QVERIFY(!shown.isNull());
        // The CLI's export at the same exposure.
        const QString out = dir.filePath(QStringLiteral("ramp_%1.png").arg(stops));
        const CliRun run = runInProcess({"frame", folder, "0", out, "--exposure", QString::number(stops)});
        QCOMPARE(run.exitCode, 0);
        const QImage exported(out);
        QCOMPARE(exported.size(), QSize(kWidth, kHeight));
        for (const int x : columns) {
            // Exposure is a gain on the linear value before the display encoding.
            const int expected = colour::toByte(colour::sceneLinearToDisplay(linear(x) * std::exp2(stops), 0.0));
            const QString where = QStringLiteral("x %1 at %2 stops").arg(x).arg(stops);
            QCOMPARE(qRed(shown.pixel(x, 8)), expected);
            QCOMPARE(qGreen(shown.pixel(x, 8)), expected);
            QCOMPARE(qBlue(shown.pixel(x, 8)), expected);
            QVERIFY2(exported.pixel(x, 8) == shown.pixel(x, 8), qPrintable(where));
        }
        const QString inspected = media.pixelInspectorSourceConvertText(0, 46, 8, kWidth, kHeight, 0);
        const QString convert = QStringLiteral("Convert: %1,%1,%1").arg(qRed(shown.pixel(46, 8)));
        QVERIFY2(inspected.section('\n', 1, 1) == convert, qPrintable(inspected));
        // The stored value, linear, whatever the exposure.
        const QString stored = QString::number(linear(46), 'f', 4);
        QVERIFY2(inspected.section('\n', 0, 0).contains(QStringLiteral("%1,%1,%1").arg(stored)), qPrintable(inspected));
    }
    media.setExposure(0.0);
    QCOMPARE(qRed(media.frameAsImage(0).pixel(46, 8)), 118);
    media.setExposure(1.0);
    QCOMPARE(qRed(media.frameAsImage(0).pixel(46, 8)), 162);
    // Clipped white a stop up; a stop down the ramp's top is 0.5 linear.
    QCOMPARE(qRed(media.frameAsImage(0).pixel(200, 8)), 255);
    media.setExposure(-1.0);
    QCOMPARE(qRed(media.frameAsImage(0).pixel(255, 8)), colour::toByte(colour::sceneLinearToDisplay(linear(255) / 2, 0.0)));

    const CliRun bad = runInProcess({"frame", folder, "0", dir.filePath("bad.png"), "--exposure", "lots"});
    QCOMPARE(bad.exitCode, 1);
    QVERIFY(bad.err.contains("--exposure"));
}

void TestCliSequences::badFilesAndFolders()
{
    QTemporaryDir dir;
    QVERIFY(copyFolder(sequenceDir("seq_png"), dir.path()));
    // img5.png cut short: its frame is a slate, the next frame a picture again.
    QFile::resize(dir.filePath("img5.png"), 100);
    {
        OpenMedia media(dir.filePath("img1.png"));
        QVERIFY(media.waitUntilOpened());
        QVERIFY(looksLikeSlate(media.frameAsImage(4)));
        QVERIFY(!looksLikeSlate(media.frameAsImage(5)));
    }
    // A second sequence in the folder: a file opens its own.
    for (int n = 100; n < 103; ++n)
        QVERIFY(QFile::copy(dir.filePath("img1.png"), dir.filePath(QStringLiteral("other.%1.png").arg(n))));
    const QJsonObject other = probe({"probe", dir.filePath("other.101.png")});
    QCOMPARE(other.value("sequence").toObject().value("first").toInteger(), 100);
    QCOMPARE(other.value("totalFrames").toInteger(), 3);
    // The folder opens its longest.
    QCOMPARE(probe({"probe", dir.path()}).value("sequence").toObject().value("pattern").toString(),
             QStringLiteral("img%d.png"));

    QTemporaryDir empty;
    const CliRun none = runInProcess({"probe", empty.path()});
    QCOMPARE(none.exitCode, 1);
    QVERIFY2(none.err.contains("avformat_open_input failed.") && none.err.contains("Is a folder, not a media file"),
             qPrintable(none.err));
    // A lone numbered file is a still, as before.
    QVERIFY(QFile::copy(dir.filePath("img1.png"), empty.filePath("lone.0001.png")));
    const QJsonObject lone = probe({"probe", empty.filePath("lone.0001.png")});
    QVERIFY(!lone.contains("sequence"));
    QCOMPARE(lone.value("totalFrames").toInteger(), 1);
}

void TestCliSequences::qcReportsMissingFrames()
{
    const CliRun run = runInProcess({"qc", "--checks", "missingFrame", sequenceDir("seq_dpx10")});
    QCOMPARE(run.exitCode, 0);
    int events = 0;
    for (const QString &line : run.out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
        if (event.value("check").toString() != QLatin1String("missingFrame"))
            continue;
        ++events;
        QCOMPARE(event.value("startFrame").toInteger(), 5);
        QCOMPARE(event.value("endFrame").toInteger(), 5);
        QCOMPARE(event.value("startTimecode").toString(), QStringLiteral("01:00:00:05"));
        QVERIFY(event.value("message").toString().contains("missing"));
    }
    QCOMPARE(events, 1);
}

QTEST_GUILESS_MAIN(TestCliSequences)
#include "tst_cli_sequences.moc"
