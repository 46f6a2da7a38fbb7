#include "core/imagesequence.h"
#include "core/pictureheader.h"

#include <QtTest>

#include <cstring>

using imagesequence::Sequence;

namespace {

QStringList numbered(const QString &prefix, int first, int last, int padding, const QString &suffix,
                     const QList<int> &skip = {})
{
    QStringList names;
    for (int n = first; n <= last; ++n) {
        if (skip.contains(n))
            continue;
        const QString digits = padding > 0 ? QStringLiteral("%1").arg(n, padding, 10, QLatin1Char('0')) : QString::number(n);
        names << prefix + digits + suffix;
    }
    return names;
}

QString numbersText(const std::vector<int64_t> &numbers)
{
    QStringList parts;
    for (int64_t n : numbers)
        parts << QString::number(n);
    return parts.join(QLatin1Char(','));
}

// A DPX file head: big- or little-endian magic, picture at 'imageOffset', the film and
// television frame rates and the SMPTE time code where DPX keeps them.
QByteArray dpxHead(bool bigEndian, uint32_t imageOffset, float filmFps, float tvFps, uint32_t timecode)
{
    QByteArray head(2048, '\xff');
    const auto put = [&](int offset, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            const int shift = bigEndian ? 24 - 8 * i : 8 * i;
            head[offset + i] = char((value >> shift) & 0xFF);
        }
    };
    const auto putFloat = [&](int offset, float value) {
        uint32_t bits = 0;
        std::memcpy(&bits, &value, 4);
        put(offset, bits);
    };
    put(0, 0x53445058u);
    put(4, imageOffset);
    if (filmFps > 0)
        putFloat(1724, filmFps);
    if (tvFps > 0)
        putFloat(1940, tvFps);
    put(1920, timecode);
    return head;
}

QByteArray exrAttribute(const char *name, const char *type, const QByteArray &value)
{
    QByteArray bytes;
    bytes += QByteArray(name) + '\0' + QByteArray(type) + '\0';
    const uint32_t size = uint32_t(value.size());
    for (int i = 0; i < 4; ++i)
        bytes += char((size >> (8 * i)) & 0xFF);
    return bytes + value;
}

QByteArray le32(uint32_t a, uint32_t b)
{
    QByteArray bytes;
    for (uint32_t v : {a, b})
        for (int i = 0; i < 4; ++i)
            bytes += char((v >> (8 * i)) & 0xFF);
    return bytes;
}

QByteArray exrHead(const QList<QByteArray> &attributes)
{
    QByteArray head = le32(20000630u, 2u);
    for (const QByteArray &a : attributes)
        head += a;
    return head + '\0';
}

// The facts read from the row's head against its fps (0: none) and timecode columns.
void compareFacts()
{
    QFETCH(QByteArray, head);
    QFETCH(double, fps);
    QFETCH(QString, timecode);
    const pictureheader::Facts facts = pictureheader::read(head);
    QCOMPARE(facts.fps.has_value(), fps > 0);
    if (facts.fps)
        QVERIFY2(std::abs(*facts.fps - fps) < 1e-3, qPrintable(QString::number(*facts.fps)));
    QCOMPARE(facts.timecode, timecode);
}

} // namespace

class TestImageSequence : public QObject
{
    Q_OBJECT

private slots:
    void splitting_data();
    void splitting();
    void detection_data();
    void detection();
    void folders();
    void patternsAndNames();
    void dpxHeaders_data();
    void dpxHeaders();
    void exrHeaders_data();
    void exrHeaders();
};

void TestImageSequence::splitting_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("numbered");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("digits");
    QTest::addColumn<QString>("suffix");
    QTest::newRow("dotted") << "shot_v003.086400.dpx" << true << "shot_v003." << "086400" << ".dpx";
    QTest::newRow("underscore") << "plate_1001.tif" << true << "plate_" << "1001" << ".tif";
    QTest::newRow("no prefix") << "0001.exr" << true << "" << "0001" << ".exr";
    QTest::newRow("upper-case extension") << "a12.PNG" << true << "a" << "12" << ".PNG";
    QTest::newRow("movie is not a sequence") << "clip01.mov" << false << "" << "" << "";
    // Only the folder can tell a version from a frame: alone it stays a still.
    QTest::newRow("digits before the extension") << "shot_v003.dpx" << true << "shot_v" << "003" << ".dpx";
    QTest::newRow("no digits before the extension") << "shot_v3a.dpx" << false << "" << "" << "";
    QTest::newRow("ten digits is not a frame") << "f1234567890.png" << false << "" << "" << "";
    QTest::newRow("no extension") << "frame0001" << false << "" << "" << "";
}

void TestImageSequence::splitting()
{
    QFETCH(QString, name);
    QFETCH(bool, numbered);
    const std::optional<imagesequence::NumberedName> split = imagesequence::splitNumbered(name);
    QCOMPARE(split.has_value(), numbered);
    if (!split)
        return;
    QFETCH(QString, prefix);
    QFETCH(QString, digits);
    QFETCH(QString, suffix);
    QCOMPARE(split->prefix, prefix);
    QCOMPARE(split->digits, digits);
    QCOMPARE(split->suffix, suffix);
}

void TestImageSequence::detection_data()
{
    QTest::addColumn<QStringList>("folder");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<QString>("missing");

    QTest::newRow("padded from 86400")
        << numbered("shot.", 86400, 86519, 6, ".dpx") << "shot.086450.dpx" << true << "shot.%06d.dpx"
        << qint64(86400) << qint64(86519) << "";
    QTest::newRow("gap keeps its numbers")
        << numbered("shot.", 86400, 86519, 6, ".dpx", {86410}) << "shot.086400.dpx" << true << "shot.%06d.dpx"
        << qint64(86400) << qint64(86519) << "86410";
    QTest::newRow("gap right after the first")
        << numbered("a_", 1001, 1010, 4, ".exr", {1002, 1003}) << "a_1010.exr" << true << "a_%04d.exr"
        << qint64(1001) << qint64(1010) << "1002,1003";
    QTest::newRow("unpadded")
        << numbered("img", 1, 12, 0, ".png") << "img7.png" << true << "img%d.png" << qint64(1) << qint64(12) << "";
    QTest::newRow("same width without zeros is padded")
        << numbered("f.", 1001, 1100, 0, ".tif") << "f.1001.tif" << true << "f.%04d.tif" << qint64(1001)
        << qint64(1100) << "";
    QTest::newRow("padding crosses a power of ten")
        << numbered("f.", 995, 1004, 4, ".tif") << "f.1000.tif" << true << "f.%04d.tif" << qint64(995)
        << qint64(1004) << "";
    QTest::newRow("mixed prefixes: the chosen one's run")
        << numbered("bg.", 1, 20, 4, ".png") + numbered("fg.", 5, 9, 4, ".png") << "fg.0007.png" << true
        << "fg.%04d.png" << qint64(5) << qint64(9) << "";
    QTest::newRow("other widths stay apart")
        << numbered("x.", 1, 5, 4, ".png") + numbered("x.", 1, 5, 6, ".png") << "x.000003.png" << true
        << "x.%06d.png" << qint64(1) << qint64(5) << "";
    QTest::newRow("other extension stays apart")
        << numbered("x.", 1, 5, 4, ".png") + numbered("x.", 6, 9, 4, ".dpx") << "x.0001.png" << true << "x.%04d.png"
        << qint64(1) << qint64(5) << "";
    QTest::newRow("a lone numbered file")
        << (QStringList() << "still.0001.png" << "other.png") << "still.0001.png" << false << "" << qint64(0)
        << qint64(0) << "";
    QTest::newRow("chosen file not in the folder list")
        << numbered("s.", 1, 3, 4, ".png") << "s.0009.png" << false << "" << qint64(0) << qint64(0) << "";
    QTest::newRow("percent in the name")
        << numbered("100%_", 1, 3, 2, ".png") << "100%_02.png" << true << "100%%_%02d.png" << qint64(1) << qint64(3)
        << "";
}

void TestImageSequence::detection()
{
    QFETCH(QStringList, folder);
    QFETCH(QString, chosen);
    QFETCH(bool, found);
    const std::optional<Sequence> sequence = imagesequence::detect(chosen, folder);
    QCOMPARE(sequence.has_value(), found);
    if (!sequence)
        return;
    QFETCH(QString, pattern);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(QString, missing);
    QCOMPARE(sequence->pattern(), pattern);
    QCOMPARE(sequence->first(), first);
    QCOMPARE(sequence->last(), last);
    QCOMPARE(sequence->frameCount(), last - first + 1);
    QCOMPARE(numbersText(sequence->missingNumbers()), missing);
    // Every name the sequence makes for a present number is one of the folder's.
    for (int64_t n : sequence->present)
        QVERIFY2(folder.contains(sequence->fileName(n)), qPrintable(sequence->fileName(n)));
}

void TestImageSequence::folders()
{
    // The longest run wins; a lone numbered file and other files are no sequence.
    const QStringList folder = numbered("bg.", 1, 20, 4, ".png") + numbered("fg.", 5, 9, 4, ".png")
        + QStringList{"notes.txt", "lone.0001.exr", "clip01.mov"};
    const std::vector<Sequence> found = imagesequence::detectInFolder(folder);
    QCOMPARE(found.size(), size_t(2));
    QCOMPARE(found[0].pattern(), QStringLiteral("bg.%04d.png"));
    QCOMPARE(found[1].pattern(), QStringLiteral("fg.%04d.png"));
    QVERIFY(imagesequence::detectInFolder({"notes.txt", "lone.0001.exr"}).empty());

    // On disk: a folder without one says so; a file opens its own run.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const imagesequence::Found empty = imagesequence::find(dir.path());
    QVERIFY(!empty.sequence);
    QCOMPARE(empty.error, QStringLiteral("No image sequence in this folder."));
    for (const QString &name : numbered("a.", 7, 9, 3, ".dpx") + numbered("b.", 1, 4, 3, ".dpx")) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const imagesequence::Found byFile = imagesequence::find(dir.filePath("a.008.dpx"));
    QVERIFY(byFile.sequence);
    QCOMPARE(byFile.sequence->first(), 7);
    QCOMPARE(byFile.sequence->filePath(9), QDir(dir.path()).filePath("a.009.dpx"));
    const imagesequence::Found byFolder = imagesequence::find(dir.path());
    QVERIFY(byFolder.sequence);
    QCOMPARE(byFolder.sequencesInFolder, 2);
    QCOMPARE(byFolder.sequence->prefix, QStringLiteral("b."));
    QVERIFY(!imagesequence::find(dir.filePath("missing.mov")).sequence);
}

void TestImageSequence::patternsAndNames()
{
    Sequence s;
    s.prefix = QStringLiteral("shot.");
    s.suffix = QStringLiteral(".dpx");
    s.padding = 6;
    s.present = {86400, 86401, 86405, 86406, 86410};
    QCOMPARE(s.fileName(86400), QStringLiteral("shot.086400.dpx"));
    QCOMPARE(numbersText(s.missingNumbers()), QStringLiteral("86402,86403,86404,86407,86408,86409"));
    QCOMPARE(numbersText(s.missingNumbers(2)), QStringLiteral("86402,86403"));
    QCOMPARE(s.gaps().size(), size_t(2));
    QVERIFY(s.has(86405));
    QVERIFY(!s.has(86404));
    s.padding = 0;
    QCOMPARE(s.fileName(7), QStringLiteral("shot.7.dpx"));
}

void TestImageSequence::dpxHeaders_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<double>("fps");
    QTest::addColumn<QString>("timecode");
    QTest::newRow("television rate and code")
        << dpxHead(true, 2048, 24.0f, 25.0f, 0x10000000u) << 25.0 << "10:00:00:00";
    QTest::newRow("film rate when television has none")
        << dpxHead(true, 2048, 23.976f, 0, 0x01000012u) << 23.976 << "01:00:00:12";
    QTest::newRow("little-endian file") << [] {
        QByteArray h = dpxHead(false, 2048, 0, 48.0f, 0x00593023u);
        h.replace(0, 4, "XPDS");
        return h;
    }() << 48.0 << "00:59:30:23";
    QTest::newRow("unset fields") << dpxHead(true, 2048, 0, 0, 0xFFFFFFFFu) << 0.0 << "";
    QTest::newRow("bad BCD digit") << dpxHead(true, 2048, 0, 0, 0x0A000000u) << 0.0 << "";
    QTest::newRow("minutes out of range") << dpxHead(true, 2048, 0, 0, 0x00600000u) << 0.0 << "";
    QTest::newRow("NaN and absurd rates") << dpxHead(true, 2048, std::numeric_limits<float>::quiet_NaN(), 5000.0f,
                                                     0xFFFFFFFFu)
                                          << 0.0 << "";
    QTest::newRow("truncated before the television header")
        << dpxHead(true, 2048, 0, 25.0f, 0x10000000u).left(1922) << 0.0 << "";
    QTest::newRow("picture starts before the headers end")
        << dpxHead(true, 1800, 0, 25.0f, 0x10000000u) << 0.0 << "";
    QTest::newRow("not a DPX") << QByteArray("JUNKJUNK") << 0.0 << "";
    QTest::newRow("empty") << QByteArray() << 0.0 << "";
}

void TestImageSequence::dpxHeaders()
{
    compareFacts();
}

void TestImageSequence::exrHeaders_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<double>("fps");
    QTest::addColumn<QString>("timecode");
    const QByteArray channels = exrAttribute("channels", "chlist", QByteArray(18, 'x'));
    const QByteArray rate = exrAttribute("framesPerSecond", "rational", le32(24000, 1001));
    // 01:02:03:04 with the drop-frame bit set.
    const QByteArray dropCode = exrAttribute("timeCode", "timecode", le32(0x01020304u | 0x40u, 0));
    QTest::newRow("rate and drop-frame code") << exrHead({channels, rate, dropCode}) << 23.976 << "01:02:03;04";
    QTest::newRow("code without rate")
        << exrHead({exrAttribute("timeCode", "timecode", le32(0x23595923u, 0))}) << 0.0 << "23:59:59:23";
    QTest::newRow("zero denominator") << exrHead({exrAttribute("framesPerSecond", "rational", le32(24, 0))}) << 0.0
                                      << "";
    QTest::newRow("wrong type is ignored")
        << exrHead({exrAttribute("framesPerSecond", "float", QByteArray(4, '\0'))}) << 0.0 << "";
    QTest::newRow("size past the end") << [&] {
        QByteArray h = exrHead({channels, rate});
        const int sizeAt = h.indexOf("rational") + 9;
        h[sizeAt + 3] = '\x7f';
        return h;
    }() << 0.0 << "";
    QTest::newRow("truncated inside an attribute") << exrHead({channels, rate}).left(40) << 0.0 << "";
    QTest::newRow("name without end") << le32(20000630u, 2u) + QByteArray("framesPerSecond") << 0.0 << "";
    QTest::newRow("bad magic") << exrHead({rate}).replace(0, 1, "X") << 0.0 << "";
}

void TestImageSequence::exrHeaders()
{
    compareFacts();
}

QTEST_GUILESS_MAIN(TestImageSequence)
#include "tst_imagesequence.moc"
