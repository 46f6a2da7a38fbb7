// Damaged and odd inputs through the whole open path and frame requests: what must be
// refused (and how it is explained), which stated facts must be corrected, and that frame
// numbers of damaged files stay inside the file.

#include "decodetestsupport.h"
#include "testsupport.h"

#include <QtTest>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

using namespace decodetest;

namespace {

// openFile on the engine's own thread, as the window's OpenMedia queues it; gives up after
// 10 s.
OpenAnswer openOnThread(const QString &path)
{
    EngineOnThread threaded;
    const OpenAnswer answer = threaded.open(path, 10000);
    if (answer.answers == 0) {
        // A reader stuck on a named pipe is released by a writer that closes at once.
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    }
    return answer;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

void putBigEndian32(QByteArray &bytes, qsizetype at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (24 - 8 * i));
}

void putLittleEndian32(QByteArray &bytes, qsizetype at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (8 * i));
}

// Flips bit 30 of the PTS of the n-th (1-based) video PES of a transport stream: that
// frame's time jumps some 12000 s ahead, as a bit error in a recording does.
bool flipTransportStreamPts(QByteArray &ts, int n)
{
    int seen = 0;
    for (qsizetype at = 0; at + 188 <= ts.size(); at += 188) {
        const auto *p = reinterpret_cast<const unsigned char *>(ts.constData() + at);
        if (p[0] != 0x47 || !(p[1] & 0x40))
            continue;
        int payload = 4;
        if (p[3] & 0x20)
            payload += 1 + p[4];
        if (payload + 14 > 188 || std::memcmp(p + payload, "\x00\x00\x01\xe0", 4) != 0)
            continue;
        if (++seen < n)
            continue;
        if (!(p[payload + 7] & 0x80))
            return false;
        ts[at + payload + 9] = char(ts[at + payload + 9] ^ 0x02);
        if (p[payload + 7] & 0x40)
            ts[at + payload + 14] = char(ts[at + payload + 14] ^ 0x02);
        return true;
    }
    return false;
}

} // namespace

class TestVideoEngineDamaged : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusedInputs_data();
    void refusedInputs();
    void implausibleFacts_data();
    void implausibleFacts();
    void framesOfDamagedFiles_data();
    void framesOfDamagedFiles();

private:
    QTemporaryDir scratch;
};

void TestVideoEngineDamaged::initTestCase()
{
    testsupport::registerMetaTypes();
    av_log_set_level(AV_LOG_QUIET);
    QVERIFY(scratch.isValid());
    const QDir dir(scratch.path());

    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("pipe.mov")).constData(), 0600) == 0);
    QVERIFY(dir.mkdir("folder.mov"));
    QVERIFY(QFile::link(dir.filePath("gone.mov"), dir.filePath("dangling.mov")));
    QVERIFY(writeAll(dir.filePath("empty.mov"), {}));
    QVERIFY(writeAll(dir.filePath("text.mov"), "This is a note, not a movie.\n"));
    QVERIFY(writeAll(dir.filePath("unreadable.mov"), "data"));
    QVERIFY(QFile::setPermissions(dir.filePath("unreadable.mov"), QFileDevice::WriteOwner));
    // PCM carrying an MP3 frame header every 417 bytes.
    QByteArray pcm;
    for (int frame = 0; frame < 3; ++frame) {
        pcm += QByteArray::fromHex("fffb90c4");
        for (int i = 0; i < 413; ++i)
            pcm += char((i * 37 + frame * 11) & 0x7f);
    }
    QVERIFY(writeAll(dir.filePath("pcm.wav"), pcm));

    // PNG whose signature is broken: a video stream without a picture size.
    QByteArray png = readAll(testsupport::mediaPath("still.png"));
    QVERIFY(png.size() > 8);
    png[1] = '\0';
    QVERIFY(writeAll(dir.filePath("signature.png"), png));

    // AVI: stream header length and main header frame count 2^32 - 1.
    QByteArray avi = readAll(testsupport::mediaPath("bgra.avi"));
    const qsizetype strh = avi.indexOf("strh");
    const qsizetype avih = avi.indexOf("avih");
    QVERIFY(strh > 0 && avih > 0);
    putLittleEndian32(avi, strh + 40, 0xffffffffu);
    putLittleEndian32(avi, avih + 24, 0xffffffffu);
    QVERIFY(writeAll(dir.filePath("length.avi"), avi));

    // MOV/MP4: the first time-to-sample entry claims 2^31 - 1 samples.
    QByteArray mp4 = readAll(testsupport::mediaPath("untagged.mp4"));
    const qsizetype stts = mp4.indexOf("stts");
    QVERIFY(stts > 0);
    putBigEndian32(mp4, stts + 12, 0x7fffffffu);
    QVERIFY(writeAll(dir.filePath("samples.mp4"), mp4));

    // MP4 without an edit list whose media time scale is 0 (FFmpeg reads it as 1).
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=1", "-c:v", "libx264",
                       "-preset", "ultrafast", "-bf", "0", "-use_editlist", "0", dir.filePath("scale.mp4")}));
    QByteArray scaled = readAll(dir.filePath("scale.mp4"));
    const qsizetype mdhd = scaled.indexOf("mdhd");
    QVERIFY(mdhd > 0);
    putBigEndian32(scaled, mdhd + 16, 0);
    QVERIFY(writeAll(dir.filePath("scale0.mp4"), scaled));
    // The same with B-frames and so an edit list, as encoders write by default: in ticks of
    // a second the edit list keeps only the first picture.
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=1", "-c:v", "libx264",
                       "-preset", "ultrafast", "-bf", "2", dir.filePath("scale_edit.mp4")}));
    QByteArray edited = readAll(dir.filePath("scale_edit.mp4"));
    const qsizetype editMdhd = edited.indexOf("mdhd");
    QVERIFY(editMdhd > 0 && edited.indexOf("elst") > 0);
    putBigEndian32(edited, editMdhd + 16, 0);
    QVERIFY(writeAll(dir.filePath("scale0_edit.mp4"), edited));

    // BWF whose time reference says 3.8e14 s (1.824e19 samples), written into the bext
    // chunk by hand: FFmpeg's muxer caps the value at 2^63 - 1.
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "sine=duration=0.2:sample_rate=48000", "-c:a", "pcm_s16le",
                       "-write_bext", "1", "-metadata", "time_reference=1", dir.filePath("reference1.wav")}));
    QByteArray wav = readAll(dir.filePath("reference1.wav"));
    const qsizetype bext = wav.indexOf("bext");
    QVERIFY(bext > 0);
    const quint64 reference = 18240000000000000000ULL;
    putLittleEndian32(wav, bext + 346, quint32(reference));
    putLittleEndian32(wav, bext + 350, quint32(reference >> 32));
    QVERIFY(writeAll(dir.filePath("reference.wav"), wav));

    // Transport stream with one flipped timestamp in frame 40.
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=4", "-c:v", "libx264",
                       "-preset", "ultrafast", "-bf", "0", "-g", "25", "-f", "mpegts", dir.filePath("clean.ts")}));
    QByteArray ts = readAll(dir.filePath("clean.ts"));
    QVERIFY(flipTransportStreamPts(ts, 40));
    QVERIFY(writeAll(dir.filePath("jump.ts"), ts));
}

void TestVideoEngineDamaged::refusedInputs_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");

    QTest::newRow("named pipe") << "pipe.mov" << "Is a named pipe, not a media file";
    QTest::newRow("folder") << "folder.mov" << "Is a folder, not a media file";
    QTest::newRow("missing file") << "missing.mov" << "No such file or directory";
    QTest::newRow("dangling link") << "dangling.mov" << "No such file or directory";
    QTest::newRow("empty file") << "empty.mov" << "The file is empty";
    QTest::newRow("text file") << "text.mov" << "Invalid data found when processing input";
    QTest::newRow("pcm taken for mp3") << "pcm.wav" << "Not recognised as media (looks like mp3 only with score 1 of 100)";
    QTest::newRow("picture without a size") << "signature.png" << "";
    // Root reads everything, so the row only means something for other users.
    if (::geteuid() != 0)
        QTest::newRow("unreadable file") << "unreadable.mov" << "Permission denied";
}

void TestVideoEngineDamaged::refusedInputs()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    const QString path = QDir(scratch.path()).filePath(name);
    const OpenAnswer answer = openOnThread(path);
    QVERIFY2(answer.answers > 0, "no answer within 10 s");
    QVERIFY(!answer.success);
    QVERIFY(answer.info.isEmpty());
    // The first line is the one callers match on; the second says why and which file.
    if (reason.isEmpty())
        QCOMPARE(answer.error, QStringLiteral("avcodec_open2 failed.\nNo picture size in the stream (0 x 0): %1").arg(path));
    else
        QCOMPARE(answer.error, QStringLiteral("avformat_open_input failed.\n%1: %2").arg(reason, path));
}

void TestVideoEngineDamaged::implausibleFacts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariantMap>("expected");

    QTest::newRow("avi claiming 2^32 - 1 frames") << "length.avi" << QVariantMap{
        {"totalFrames", qint64(25)}, {"videoDurationSec", 1.0}, {"fps", 25.0}};
    QTest::newRow("mp4 claiming 2^31 - 1 samples") << "samples.mp4" << QVariantMap{
        {"totalFrames", qint64(25)}, {"videoDurationSec", 1.0}, {"fps", 25.0}};
    QTest::newRow("time scale 0") << "scale0.mp4" << QVariantMap{
        {"totalFrames", qint64(25)}, {"videoDurationSec", 25.0 / 30.0}, {"fps", 30.0}};
    QTest::newRow("time reference of 3.8e14 s") << "reference.wav" << QVariantMap{
        {"hasAudioTimeReference", true},
        {"audioTimeReferenceSec", double((18240000000000000000ULL % (86400ULL * 48000)) / 48000ULL)
                                      + double((18240000000000000000ULL % (86400ULL * 48000)) % 48000ULL) / 48000.0}};
}

void TestVideoEngineDamaged::implausibleFacts()
{
    QFETCH(QString, name);
    QFETCH(QVariantMap, expected);
    LocalEngine local;
    QVERIFY(local.open(QDir(scratch.path()).filePath(name)));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QVariant actual = local.info.value(it.key());
        if (it.value().metaType().id() == QMetaType::Double) {
            QVERIFY2(qAbs(actual.toDouble() - it.value().toDouble()) < 1e-6,
                     qPrintable(QStringLiteral("%1: %2, expected %3").arg(it.key()).arg(actual.toDouble(), 0, 'g', 17)
                                    .arg(it.value().toDouble(), 0, 'g', 17)));
        } else {
            QCOMPARE(actual, it.value());
        }
    }
    if (!local.info.value("isAudioOnly").toBool()) {
        const double fps = local.info.value("fps").toDouble();
        QVERIFY(fps >= 1.0 && fps <= 120.0);
    }
}

void TestVideoEngineDamaged::framesOfDamagedFiles_data()
{
    QTest::addColumn<QString>("damaged");
    QTest::addColumn<QString>("clean"); // the same pictures, undamaged, for ffmpeg's reference
    QTest::addColumn<QList<qint64>>("frames");

    // Frame 39 carries the flipped timestamp; 38 and 40 are its neighbours.
    QTest::newRow("transport stream timestamp jump") << "jump.ts" << "clean.ts"
                                                     << QList<qint64>{5, 38, 39, 40, 41, 60};
    QTest::newRow("time scale 0") << "scale0.mp4" << "scale.mp4" << QList<qint64>{0, 5, 20, 24};
    QTest::newRow("time scale 0 with an edit list") << "scale0_edit.mp4" << "scale_edit.mp4"
                                                    << QList<qint64>{20, 0, 24, 5, 21};
}

void TestVideoEngineDamaged::framesOfDamagedFiles()
{
    QFETCH(QString, damaged);
    QFETCH(QString, clean);
    QFETCH(QList<qint64>, frames);
    const QDir dir(scratch.path());
    LocalEngine local;
    QVERIFY(local.open(dir.filePath(damaged)));
    const qint64 total = local.totalFrames();
    for (const qint64 n : frames) {
        const QImage image = local.engine.getFrameAsImage(n);
        QVERIFY2(!image.isNull(), qPrintable(QStringLiteral("frame %1").arg(n)));
        const qint64 delivered = local.engine.currentFrameNumber();
        QVERIFY2(delivered >= 0 && delivered < total,
                 qPrintable(QStringLiteral("frame %1 delivered as %2 of %3").arg(n).arg(delivered).arg(total)));
        QCOMPARE(delivered, n);
        // Closer to ffmpeg's frame n than to its neighbours: the picture is the one numbered.
        const QString reference = dir.filePath(clean);
        const double same = meanAbsoluteDifference(image, referenceImage(reference, n, 320, 240));
        QVERIFY2(same >= 0, qPrintable(QStringLiteral("no reference for frame %1").arg(n)));
        for (const qint64 neighbour : {n - 1, n + 1}) {
            if (neighbour < 0 || neighbour >= total)
                continue;
            const double other = meanAbsoluteDifference(image, referenceImage(reference, neighbour, 320, 240));
            QVERIFY2(same < other, qPrintable(QStringLiteral("frame %1: %2 from itself, %3 from frame %4")
                                                  .arg(n).arg(same).arg(other).arg(neighbour)));
        }
    }
}

QTEST_GUILESS_MAIN(TestVideoEngineDamaged)
#include "tst_videoengine_damaged.moc"
