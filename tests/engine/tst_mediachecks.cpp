#include "av/ffmpeg.h"
#include "engine/mediachecks.h"
#include "testsupport.h"

#include <QtTest>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

using namespace mediachecks;

Q_DECLARE_METATYPE(mediachecks::LengthFacts)

namespace {

LengthFacts facts(int64_t declared, double streamSec, double formatSec, double fps, int64_t index, int64_t bytes,
                  bool preferDuration = false)
{
    LengthFacts f;
    f.declaredFrames = declared;
    f.streamDurationSec = streamSec;
    f.formatDurationSec = formatSec;
    f.fps = fps;
    f.indexEntries = index;
    f.fileBytes = bytes;
    f.preferDuration = preferDuration;
    return f;
}

} // namespace

class TestMediaChecks : public QObject
{
    Q_OBJECT

private slots:
    void frameRate_data();
    void frameRate();
    void coarseTicks_data();
    void coarseTicks();
    void length_data();
    void length();
    void timeReference_data();
    void timeReference();
    void localFiles_data();
    void localFiles();
    void urls();
    void lowProbeScoreRefused();
    void interrupterFollowsRequests_data();
    void interrupterFollowsRequests();
    void shutdownEndsBlockedOpen();
};

void TestMediaChecks::frameRate_data()
{
    QTest::addColumn<double>("average");
    QTest::addColumn<double>("real");
    QTest::addColumn<double>("fps");
    QTest::addColumn<bool>("corrected");

    QTest::newRow("normal") << 25.0 << 25.0 << 25.0 << false;
    QTest::newRow("exactly 1 fps") << 1.0 << 1.0 << 1.0 << false;
    QTest::newRow("exactly 120 fps") << 120.0 << 120.0 << 120.0 << false;
    // A MOV whose media time scale is 0 (read as 1): 1/512 fps.
    QTest::newRow("time scale 0") << 1.0 / 512 << 1.0 / 512 << 30.0 << true;
    QTest::newRow("damaged HEVC MP4") << 2.4e-5 << 2.4e-5 << 30.0 << true;
    QTest::newRow("below 1, real rate fine") << 0.5 << 25.0 << 25.0 << true;
    QTest::newRow("avg 1000, real 25") << 1000.0 << 25.0 << 25.0 << true;
    QTest::newRow("both 1000") << 1000.0 << 1000.0 << 30.0 << true;
    QTest::newRow("real exactly 120 is not taken") << 1000.0 << 120.0 << 30.0 << true;
    QTest::newRow("zero") << 0.0 << 0.0 << 30.0 << true;
    QTest::newRow("not a number") << qQNaN() << 24.0 << 24.0 << true;
}

void TestMediaChecks::frameRate()
{
    QFETCH(double, average);
    QFETCH(double, real);
    QFETCH(double, fps);
    QFETCH(bool, corrected);
    const FrameRateChoice choice = chooseFrameRate(average, real, 30.0);
    QCOMPARE(choice.fps, fps);
    QCOMPARE(choice.corrected, corrected);
}

void TestMediaChecks::coarseTicks_data()
{
    QTest::addColumn<int>("num");
    QTest::addColumn<int>("den");
    QTest::addColumn<double>("fps");
    QTest::addColumn<bool>("coarse");

    QTest::newRow("time scale 0, read as 1") << 1 << 1 << 30.0 << true;
    QTest::newRow("one tick per two frames") << 1 << 12 << 25.0 << true;
    QTest::newRow("one tick per frame (AVI)") << 1 << 25 << 25.0 << false;
    QTest::newRow("NTSC AVI") << 1001 << 30000 << 29.97 << false;
    QTest::newRow("MPEG-TS") << 1 << 90000 << 25.0 << false;
    QTest::newRow("Matroska") << 1 << 1000 << 120.0 << false;
    QTest::newRow("no time base") << 0 << 1 << 25.0 << false;
    QTest::newRow("no rate") << 1 << 1 << 0.0 << false;
}

void TestMediaChecks::coarseTicks()
{
    QFETCH(int, num);
    QFETCH(int, den);
    QFETCH(double, fps);
    QFETCH(bool, coarse);
    QCOMPARE(ticksCoarserThanFrames(num, den, fps), coarse);
}

void TestMediaChecks::length_data()
{
    QTest::addColumn<LengthFacts>("input");
    QTest::addColumn<qint64>("frames");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<bool>("corrected");

    QTest::newRow("consistent mov") << facts(100, 4, 4, 25, 100, 3000000) << qint64(100) << 4.0 << false;
    QTest::newRow("no declared count") << facts(0, 2, 2, 25, 0, 50000) << qint64(50) << 2.0 << false;
    QTest::newRow("only the format duration") << facts(0, 0, 3, 25, 0, 0) << qint64(75) << 3.0 << false;
    QTest::newRow("nothing known") << facts(0, 0, 0, 25, 0, 1000) << qint64(1) << 0.04 << false;
    QTest::newRow("matroska prefers duration") << facts(60, 2, 2, 25, 2, 90000, true) << qint64(50) << 2.0 << false;
    // An AVI stream header claiming 2^32 - 1 frames (and a duration derived from it).
    QTest::newRow("avi dwLength 4294967295")
        << facts(4294967295LL, 171798691.8, 171798691.8, 25, 25, 5800000) << qint64(25) << 1.0 << true;
    // A MOV sample table claiming 2^31 - 1 samples, duration intact.
    QTest::newRow("mov stts 2147483647") << facts(2147483647LL, 1, 1, 25, 25, 60000) << qint64(25) << 1.0 << true;
    // Time scale 0 read as 1 s per tick: duration 12800 s against 25 real frames.
    QTest::newRow("time scale 0") << facts(25, 12800, 12800, 30, 25, 60000) << qint64(25) << 25.0 / 30 << true;
    // Declared and duration disagree, no index to decide: the stated count stands.
    QTest::newRow("disagreement without index") << facts(20, 0.02, 0.02, 30, 0, 90000) << qint64(20) << 0.02 << false;
    QTest::newRow("disagreement, index sides with the count")
        << facts(20, 0.02, 0.02, 30, 20, 90000) << qint64(20) << 20.0 / 30 << true;
    QTest::newRow("disagreement, index sides with the duration")
        << facts(5000, 2, 2, 25, 50, 900000) << qint64(50) << 2.0 << true;
    QTest::newRow("size unknown: no byte bound") << facts(4000000, 160000, 160000, 25, 0, 0)
                                                 << qint64(4000000) << 160000.0 << false;
    QTest::newRow("everything impossible, no index") << facts(1LL << 40, 1e12, 1e12, 25, 0, 1000)
                                                     << qint64(1) << 0.04 << true;
}

void TestMediaChecks::length()
{
    QFETCH(LengthFacts, input);
    QFETCH(qint64, frames);
    QFETCH(double, seconds);
    QFETCH(bool, corrected);
    const Length result = plausibleLength(input);
    QCOMPARE(qint64(result.totalFrames), frames);
    QVERIFY2(qAbs(result.durationSec - seconds) < 1e-9,
             qPrintable(QStringLiteral("%1 s, expected %2").arg(result.durationSec).arg(seconds)));
    QCOMPARE(result.corrected, corrected);
}

void TestMediaChecks::timeReference_data()
{
    QTest::addColumn<quint64>("samples");
    QTest::addColumn<int>("rate");
    QTest::addColumn<double>("seconds"); // -1: no reference

    QTest::newRow("one hour at 48 kHz") << quint64(172800000) << 48000 << 3600.0;
    QTest::newRow("zero") << quint64(0) << 48000 << 0.0;
    QTest::newRow("last sample of the day") << quint64(86400ULL * 48000 - 1) << 48000 << 86400.0 - 1.0 / 48000;
    QTest::newRow("one day wraps to midnight") << quint64(86400ULL * 48000) << 48000 << 0.0;
    QTest::newRow("25 hours") << quint64(25ULL * 3600 * 48000) << 48000 << 3600.0;
    // 1.824e19 samples: 3.8e14 s as the damaged header stated it.
    QTest::newRow("3.8e14 s") << quint64(18240000000000000000ULL) << 48000
                              << double((18240000000000000000ULL % (86400ULL * 48000)) / 48000ULL)
                                     + double((18240000000000000000ULL % (86400ULL * 48000)) % 48000ULL) / 48000;
    QTest::newRow("largest value") << quint64(UINT64_MAX) << 44100
                                   << double((UINT64_MAX % (86400ULL * 44100)) / 44100ULL)
                                          + double((UINT64_MAX % (86400ULL * 44100)) % 44100ULL) / 44100;
    QTest::newRow("no rate") << quint64(48000) << 0 << -1.0;
}

void TestMediaChecks::timeReference()
{
    QFETCH(quint64, samples);
    QFETCH(int, rate);
    QFETCH(double, seconds);
    const std::optional<double> result = timeReferenceSeconds(samples, rate);
    QCOMPARE(result.has_value(), seconds >= 0);
    if (result) {
        QVERIFY(*result >= 0 && *result < 86400);
        QVERIFY2(qAbs(*result - seconds) < 1e-6, qPrintable(QString::number(*result, 'f', 6)));
    }
}

void TestMediaChecks::localFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("problem"); // empty: may be opened

    QTest::newRow("regular file") << "clip.mov" << "";
    QTest::newRow("link to a file") << "link.mov" << "";
    QTest::newRow("missing") << "missing.mov" << "No such file or directory";
    QTest::newRow("dangling link") << "dangling.mov" << "No such file or directory";
    QTest::newRow("folder") << "folder" << "Is a folder, not a media file";
    QTest::newRow("named pipe") << "pipe.mov" << "Is a named pipe, not a media file";
    QTest::newRow("empty file") << "empty.mov" << "The file is empty";
    QTest::newRow("device") << "/dev/null" << "Is a device, not a media file";
}

void TestMediaChecks::localFiles()
{
    QFETCH(QString, name);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile clip(dir.filePath("clip.mov"));
    QVERIFY(clip.open(QIODevice::WriteOnly) && clip.write("not empty") > 0);
    clip.close();
    QFile empty(dir.filePath("empty.mov"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QVERIFY(QFile::link(dir.filePath("clip.mov"), dir.filePath("link.mov")));
    QVERIFY(QFile::link(dir.filePath("gone.mov"), dir.filePath("dangling.mov")));
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("pipe.mov")).constData(), 0600), 0);

    const QString path = name.startsWith('/') ? name : dir.filePath(name);
    QCOMPARE(localFileProblem(path), problem);
}

void TestMediaChecks::urls()
{
    QVERIFY(isUrl("tcp://127.0.0.1:1234"));
    QVERIFY(isUrl("https://example.org/a.mp4"));
    QVERIFY(!isUrl("/media/x.mov"));
    QVERIFY(!isUrl("C:/media/x.mov"));
    QVERIFY(!isUrl("relative/name:with/colon.mov"));
}

// PCM that happens to carry MP3 frame headers every 417 bytes: FFmpeg takes it for MP3
// with a score of 1 and decodes noise.
void TestMediaChecks::lowProbeScoreRefused()
{
    QTemporaryDir dir;
    QByteArray bytes;
    for (int frame = 0; frame < 3; ++frame) {
        bytes += QByteArray::fromHex("fffb90c4");
        for (int i = 0; i < 413; ++i)
            bytes += char((i * 37 + frame * 11) & 0x7f);
    }
    const QString path = dir.filePath("pcm.wav");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();

    const std::atomic<int> latest{0};
    ReadInterrupter interrupter(latest);
    av::FormatContextPtr context;
    av_log_set_level(AV_LOG_QUIET);
    const QString error = openInput(context, path, interrupter);
    QVERIFY(!context);
    QCOMPARE(error, QStringLiteral("avformat_open_input failed.\nNot recognised as media (looks like mp3 only with "
                                   "score 1 of 100): ") + path);
}

void TestMediaChecks::interrupterFollowsRequests_data()
{
    QTest::addColumn<int>("active");
    QTest::addColumn<int>("latest");
    QTest::addColumn<bool>("shutdown");
    QTest::addColumn<bool>("interrupt");

    QTest::newRow("idle") << 0 << 9 << false << false;
    QTest::newRow("current request") << 7 << 7 << false << false;
    QTest::newRow("abandoned request") << 6 << 7 << false << true;
    QTest::newRow("internal work is never abandoned") << -1 << 7 << false << false;
    QTest::newRow("shutdown stops everything") << 0 << 0 << true << true;
}

void TestMediaChecks::interrupterFollowsRequests()
{
    QFETCH(int, active);
    QFETCH(int, latest);
    QFETCH(bool, shutdown);
    QFETCH(bool, interrupt);
    std::atomic<int> latestId{latest};
    ReadInterrupter interrupter(latestId);
    interrupter.setActiveRequest(active);
    if (shutdown)
        interrupter.requestShutdown();
    QCOMPARE(interrupter.shouldInterrupt(), interrupt);
    const AVIOInterruptCB callback = interruptCallback(interrupter);
    QCOMPARE(callback.callback(callback.opaque) != 0, interrupt);
}

// An open that waits for bytes that never come ends as soon as shutdown is asked for.
void TestMediaChecks::shutdownEndsBlockedOpen()
{
    testsupport::SilentServer server;
    QVERIFY(server.port() > 0);
    const std::atomic<int> latest{0};
    ReadInterrupter interrupter(latest);
    const QString url = QStringLiteral("tcp://127.0.0.1:%1").arg(server.port());

    auto opening = std::async(std::launch::async, [&] {
        av::FormatContextPtr context;
        return openInput(context, url, interrupter);
    });
    QVERIFY2(opening.wait_for(std::chrono::milliseconds(500)) == std::future_status::timeout,
             "the open should be waiting for data");
    QElapsedTimer clock;
    clock.start();
    interrupter.requestShutdown();
    if (opening.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Still blocked: nothing can end the thread, so end the test process here.
        std::fprintf(stderr, "FAIL: the open ignored the shutdown request\n");
        std::_Exit(1);
    }
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    const QString error = opening.get();
    QVERIFY2(error.startsWith(QStringLiteral("avformat_open_input failed.\n")), qPrintable(error));
    QVERIFY2(error.endsWith(QStringLiteral(": ") + url), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestMediaChecks)
#include "tst_mediachecks.moc"
