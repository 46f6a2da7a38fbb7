#include "decodetestsupport.h"
#include "engine/framecache.h"
#include "engine/videoengine.h"
#include "testsupport.h"

#include <QtTest>

#include <QTemporaryDir>

using namespace decodetest;

namespace {

// A frame with real buffers of roughly 'bytes', flagged key or not.
av::FramePtr syntheticFrame(int bytes, bool key)
{
    av::FramePtr frame = av::makeFrame();
    frame->format = AV_PIX_FMT_GRAY8;
    frame->width = bytes / 16;
    frame->height = 16;
    if (av_frame_get_buffer(frame.get(), 1) < 0)
        return {};
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
    if (key)
        frame->flags |= AV_FRAME_FLAG_KEY;
#else
    frame->key_frame = key ? 1 : 0;
#endif
    return frame;
}

QList<int64_t> heldNumbers(const FrameCache &cache, int64_t from, int64_t to)
{
    QList<int64_t> held;
    for (int64_t n = from; n <= to; ++n) {
        if (cache.contains(n))
            held.append(n);
    }
    return held;
}

} // namespace

class TestFrameCache : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void boundFromEnvironment_data();
    void boundFromEnvironment();
    void evictsFarthestFromTheCentreWithinTheBound_data();
    void evictsFarthestFromTheCentreWithinTheBound();
    void keepsNothingBeforeTheFirstKeyFrameOfARun();
    void repeatedNumbersSwitchItOffUntilCleared();

    void stepsBackAreExactFromTheCache_data();
    void stepsBackAreExactFromTheCache();
    void stepsBackAcrossTheBoundStayExactAndBounded();
    void stepsBackReadTheStretchBeforeAhead();
    void forwardStepsDoNotSeek();
    void emptiedOnCloseAndOpen();
    void seekElsewhereServesNoStaleFrame();
    void playbackAfterStepsFollowsOnWithSound_data();
    void playbackAfterStepsFollowsOnWithSound();
    void skippedUnreferencedFramesLeaveTargetsExact_data();
    void skippedUnreferencedFramesLeaveTargetsExact();

private:
    QString clip(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestFrameCache::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
    const QString source = QStringLiteral("testsrc2=size=320x240:rate=25");
    // B-pyramid: the middle B-frames are references, the outer ones are not.
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", source, "-frames:v", "150", "-c:v", "libx264", "-preset", "ultrafast",
                       "-x264-params", "keyint=50:min-keyint=50:scenecut=0:bframes=3:b-pyramid=normal:b-adapt=0",
                       "-pix_fmt", "yuv420p", clip("pyramid_h264.mp4")}));
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", source, "-frames:v", "150", "-c:v", "libx265", "-preset", "ultrafast",
                       "-x265-params",
                       "keyint=50:min-keyint=50:open-gop=1:bframes=4:b-pyramid=1:scenecut=0:log-level=error",
                       "-pix_fmt", "yuv420p", clip("open_gop_hevc.mp4")}));
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", source, "-frames:v", "150", "-c:v", "libx264", "-preset", "ultrafast",
                       "-x264-params", "open-gop=1:keyint=50:min-keyint=50:scenecut=0:bframes=3", "-pix_fmt",
                       "yuv420p", clip("open_gop_h264.mp4")}));
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", source, "-frames:v", "150", "-c:v", "mpeg2video", "-g", "50", "-bf",
                       "2", "-q:v", "4", clip("open_gop_mpeg2.ts")}));
}

void TestFrameCache::boundFromEnvironment_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("unset") << QByteArray() << qint64(FrameCache::DefaultBoundBytes);
    QTest::newRow("64 MiB") << QByteArray("64") << (qint64(64) << 20);
    QTest::newRow("off") << QByteArray("0") << qint64(0);
    QTest::newRow("spaces") << QByteArray(" 8 ") << (qint64(8) << 20);
    QTest::newRow("negative") << QByteArray("-5") << qint64(FrameCache::DefaultBoundBytes);
    QTest::newRow("text") << QByteArray("lots") << qint64(FrameCache::DefaultBoundBytes);
}

void TestFrameCache::boundFromEnvironment()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, bytes);
    const QByteArray saved = qgetenv(FrameCache::BoundVariable);
    if (value.isNull())
        qunsetenv(FrameCache::BoundVariable);
    else
        qputenv(FrameCache::BoundVariable, value);
    const int64_t bound = FrameCache::boundFromEnvironment();
    if (saved.isNull())
        qunsetenv(FrameCache::BoundVariable);
    else
        qputenv(FrameCache::BoundVariable, saved);
    QCOMPARE(qint64(bound), bytes);
}

// Ten frames of 4 KiB offered under a bound of four: the four nearest the centre stay.
void TestFrameCache::evictsFarthestFromTheCentreWithinTheBound_data()
{
    QTest::addColumn<qint64>("centre");
    QTest::addColumn<QList<int64_t>>("kept");
    QTest::newRow("centre at the end") << qint64(9) << QList<int64_t>{6, 7, 8, 9};
    QTest::newRow("centre at the start") << qint64(0) << QList<int64_t>{0, 1, 2, 3};
    QTest::newRow("centre in the middle") << qint64(4) << QList<int64_t>{2, 3, 4, 5};
}

void TestFrameCache::evictsFarthestFromTheCentreWithinTheBound()
{
    QFETCH(qint64, centre);
    QFETCH(QList<int64_t>, kept);
    const int frameSize = 4096;
    const int64_t oneFrame = FrameCache::frameBytes(syntheticFrame(frameSize, true).get());
    QVERIFY(oneFrame >= frameSize);
    FrameCache cache(4 * oneFrame);
    cache.setCentre(centre);
    cache.startRun();
    for (int64_t n = 0; n < 10; ++n) {
        const av::FramePtr frame = syntheticFrame(frameSize, n == 0);
        cache.offer(frame.get(), n);
        QVERIFY(cache.bytesHeld() <= cache.boundBytes());
    }
    QCOMPARE(heldNumbers(cache, 0, 9), kept);
    QCOMPARE(cache.bytesHeld(), 4 * oneFrame);

    // A smaller bound evicts at once; a bound of 0 holds nothing.
    cache.setBoundBytes(2 * oneFrame);
    QCOMPARE(int(cache.size()), 2);
    cache.setBoundBytes(0);
    QVERIFY(cache.isEmpty());
    QCOMPARE(cache.bytesHeld(), 0);
}

void TestFrameCache::keepsNothingBeforeTheFirstKeyFrameOfARun()
{
    FrameCache cache(int64_t(64) << 20);
    cache.startRun();
    const QList<bool> keys = {false, false, true, false, false};
    for (int i = 0; i < keys.size(); ++i)
        cache.offer(syntheticFrame(1024, keys[i]).get(), 10 + i);
    QCOMPARE(heldNumbers(cache, 0, 20), (QList<int64_t>{12, 13, 14}));
    // After the next seek, the leading frames are refused again.
    cache.startRun();
    cache.offer(syntheticFrame(1024, false).get(), 5);
    cache.offer(syntheticFrame(1024, true).get(), 6);
    QCOMPARE(heldNumbers(cache, 0, 20), (QList<int64_t>{6, 12, 13, 14}));
    QVERIFY(cache.find(6));
    QVERIFY(!cache.find(5));
}

void TestFrameCache::repeatedNumbersSwitchItOffUntilCleared()
{
    FrameCache cache(int64_t(64) << 20);
    cache.startRun();
    cache.offer(syntheticFrame(1024, true).get(), 0);
    cache.offer(syntheticFrame(1024, false).get(), 0);
    QVERIFY(cache.isOff());
    QVERIFY(cache.isEmpty());
    cache.offer(syntheticFrame(1024, true).get(), 1);
    QVERIFY(cache.isEmpty());
    cache.clear();
    QVERIFY(!cache.isOff());
    cache.offer(syntheticFrame(1024, true).get(), 1);
    QVERIFY(cache.contains(1));
}

// Held Left: every step back, across a key frame too, is ffmpeg's picture, and only the
// first request and the crossing of a key frame seek.
void TestFrameCache::stepsBackAreExactFromTheCache_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("to");
    QTest::newRow("h264 b-pyramid") << QStringLiteral("pyramid_h264.mp4") << qint64(58) << qint64(44);
    QTest::newRow("hevc open gop") << QStringLiteral("open_gop_hevc.mp4") << qint64(56) << qint64(43);
    QTest::newRow("h264 open gop") << QStringLiteral("open_gop_h264.mp4") << qint64(105) << qint64(93);
    QTest::newRow("mpeg2 ts open gop") << QStringLiteral("open_gop_mpeg2.ts") << qint64(57) << qint64(45);
}

void TestFrameCache::stepsBackAreExactFromTheCache()
{
    QFETCH(QString, file);
    QFETCH(qint64, from);
    QFETCH(qint64, to);
    const QString path = clip(file);
    LocalEngine local;
    QVERIFY(local.open(path));
    for (int64_t n = from; n >= to; --n) {
        const av::FramePtr frame = local.engine.decodeFrameAt(n, -1);
        QVERIFY(frame);
        QCOMPARE(local.engine.currentFrameNumber(), n);
        QVERIFY2(packFrame(frame.get()) == referenceFrame(path, n, pixelFormatName(frame.get())),
                 qPrintable(QStringLiteral("frame %1 differs from ffmpeg's").arg(n)));
    }
    const auto counters = local.engine.decodeCounters();
    QVERIFY(counters.cacheHits >= (from - to) - 2);
    // The first request, one more across the key frame (plus a re-seek for a leading frame).
    QVERIFY2(counters.seeks - counters.reseeks <= 2, qPrintable(QString::number(counters.seeks)));
}

// A cache of 12 frames while stepping back 40: the bound holds after every step, frames
// evicted come back exactly, and the bytes counted are those of the frames held.
void TestFrameCache::stepsBackAcrossTheBoundStayExactAndBounded()
{
    const QString path = clip(QStringLiteral("pyramid_h264.mp4"));
    LocalEngine local;
    QVERIFY(local.open(path));
    const av::FramePtr first = local.engine.decodeFrameAt(140, -1);
    QVERIFY(first);
    const int64_t oneFrame = FrameCache::frameBytes(first.get());
    QVERIFY(oneFrame > 0);
    local.engine.setFrameCacheBound(12 * oneFrame);
    for (int64_t n = 139; n >= 100; --n) {
        const Answer answer = local.request(n);
        QCOMPARE(answer.frameNumber, n);
        const FrameCache &cache = local.engine.decodedFrameCache();
        QVERIFY(cache.bytesHeld() <= cache.boundBytes());
        QVERIFY(cache.size() <= 12);
        QCOMPARE(cache.bytesHeld(), int64_t(cache.size()) * oneFrame);
        const av::FramePtr frame = local.engine.decodeFrameAt(n, -1);
        QVERIFY2(packFrame(frame.get()) == referenceFrame(path, n, pixelFormatName(frame.get())),
                 qPrintable(QStringLiteral("frame %1 differs from ffmpeg's").arg(n)));
    }
    QVERIFY(local.engine.decodeCounters().cacheHits > 40);
}

// Stepping back near the first frame held, the engine reads the stretch before it between
// requests: the step across the key frame then comes from the cache, exact.
void TestFrameCache::stepsBackReadTheStretchBeforeAhead()
{
    const QString path = clip(QStringLiteral("pyramid_h264.mp4"));
    LocalEngine local;
    QVERIFY(local.open(path));
    QCOMPARE(local.request(110).frameNumber, 110);
    QCOMPARE(local.request(109).frameNumber, 109);
    QVERIFY(!local.engine.decodedFrameCache().contains(99));
    QTRY_VERIFY_WITH_TIMEOUT(local.engine.decodedFrameCache().contains(99)
                                 && local.engine.decodedFrameCache().contains(50),
                             30000);
    const auto before = local.engine.decodeCounters();
    for (int64_t n = 108; n >= 90; --n)
        QCOMPARE(local.request(n).frameNumber, n);
    QCOMPARE(local.engine.decodeCounters().cacheHits, before.cacheHits + 19);
    for (int64_t n : {99, 97, 90}) {
        const av::FramePtr frame = local.engine.decodeFrameAt(n, -1);
        QVERIFY2(packFrame(frame.get()) == referenceFrame(path, n, pixelFormatName(frame.get())),
                 qPrintable(QStringLiteral("frame %1 differs from ffmpeg's").arg(n)));
    }
    // Playing on from there starts at the right frame.
    QCOMPARE(local.atOrAfter(91).frameNumber, 91);
    QCOMPARE(local.next().frameNumber, 92);
}

// Held Right: after the first request every step is the decoder's next output.
void TestFrameCache::forwardStepsDoNotSeek()
{
    const QString path = clip(QStringLiteral("pyramid_h264.mp4"));
    LocalEngine local;
    QVERIFY(local.open(path));
    QCOMPARE(local.request(30).frameNumber, 30);
    const auto before = local.engine.decodeCounters();
    for (int64_t n = 31; n <= 75; ++n) {
        const Answer answer = local.request(n);
        QCOMPARE(answer.frameNumber, n);
        if (n % 11 == 0) {
            const av::FramePtr frame = local.engine.decodeFrameAt(n, -1);
            QVERIFY(packFrame(frame.get()) == referenceFrame(path, n, pixelFormatName(frame.get())));
        }
    }
    const auto after = local.engine.decodeCounters();
    QCOMPARE(after.seeks, before.seeks);
    // Each frame decoded once, give or take the few decoded ahead.
    QVERIFY(after.framesDecoded - before.framesDecoded <= 45 + 5);
}

void TestFrameCache::emptiedOnCloseAndOpen()
{
    LocalEngine local;
    QVERIFY(local.open(clip(QStringLiteral("pyramid_h264.mp4"))));
    QCOMPARE(local.request(20).frameNumber, 20);
    QVERIFY(!local.engine.decodedFrameCache().isEmpty());

    // Another file: nothing of the first may answer, even for the same number.
    QVERIFY(local.engine.decodedFrameCache().contains(20));
    QVERIFY(local.open(clip(QStringLiteral("open_gop_hevc.mp4"))));
    QVERIFY(local.engine.decodedFrameCache().isEmpty());
    const av::FramePtr frame = local.engine.decodeFrameAt(20, -1);
    QVERIFY(packFrame(frame.get())
            == referenceFrame(clip(QStringLiteral("open_gop_hevc.mp4")), 20, pixelFormatName(frame.get())));
    QVERIFY(!local.engine.decodedFrameCache().isEmpty());

    local.engine.closeFile();
    QVERIFY(local.engine.decodedFrameCache().isEmpty());
    QCOMPARE(local.engine.decodedFrameCache().bytesHeld(), 0);
}

// After a jump elsewhere, a step back is that frame, never one kept from before the jump.
void TestFrameCache::seekElsewhereServesNoStaleFrame()
{
    const QString path = clip(QStringLiteral("pyramid_h264.mp4"));
    LocalEngine local;
    QVERIFY(local.open(path));
    QCOMPARE(local.request(45).frameNumber, 45);
    QCOMPARE(local.request(44).frameNumber, 44);
    QCOMPARE(local.request(130).frameNumber, 130);
    QVERIFY(!local.engine.decodedFrameCache().contains(44));
    for (int64_t n : {129, 128, 44, 43}) {
        const Answer answer = local.request(n);
        QCOMPARE(answer.frameNumber, n);
        const av::FramePtr frame = local.engine.decodeFrameAt(n, -1);
        QVERIFY2(packFrame(frame.get()) == referenceFrame(path, n, pixelFormatName(frame.get())),
                 qPrintable(QStringLiteral("frame %1 differs from ffmpeg's").arg(n)));
    }
}

// Playing on after steps that did not seek (from the cache, or the decoder's next output)
// starts at the next frame, and its sound starts there too instead of with padding: the
// clip's left channel is a 1 kHz tone at 0.1 of full scale.
void TestFrameCache::playbackAfterStepsFollowsOnWithSound_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("step");
    QTest::addColumn<bool>("fromCache");
    QTest::newRow("step back from the cache") << qint64(140) << qint64(137) << true;
    QTest::newRow("step forward without a seek") << qint64(140) << qint64(141) << false;
}

void TestFrameCache::playbackAfterStepsFollowsOnWithSound()
{
    QFETCH(qint64, first);
    QFETCH(qint64, step);
    QFETCH(bool, fromCache);
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("demo_bars_25p.mov"))));
    local.engine.setAudioRouting(0, 1);
    QCOMPARE(local.request(first).frameNumber, first);
    // A step, as the window asks for it: no seek, and so no sound.
    const auto before = local.engine.decodeCounters();
    QCOMPARE(local.silently(step).frameNumber, step);
    QCOMPARE(local.engine.decodeCounters().cacheHits, before.cacheHits + (fromCache ? 1 : 0));
    QCOMPARE(local.engine.decodeCounters().seeks, before.seeks);

    // Playback starts as the controller starts it: the frame on screen again, with its
    // sound, then on.
    const Answer again = local.request(step);
    QCOMPARE(again.frameNumber, step);
    QByteArray audio = again.audio;
    const Answer played = local.atOrAfter(step + 1);
    QCOMPARE(played.frameNumber, step + 1);
    audio += played.audio;
    for (int64_t n = step + 2; n < step + 12; ++n) {
        const Answer next = local.next();
        QCOMPARE(next.frameNumber, n);
        audio += next.audio;
    }
    // Left is 0.1 × sin(2π·1000·t), phase 0 at every frame time: the sound handed out
    // starts at the picture's time (after the 20 ms fade), with no padding before it.
    const int rate = 48000;
    const int fade = rate / 50;
    QVERIFY(audio.size() >= 6000 * 4);
    for (int k = fade; k < 6000; ++k) {
        const double expected = 0.1 * 32767 * std::sin(2 * M_PI * 1000.0 * k / rate);
        const int sample = qFromLittleEndian<qint16>(audio.constData() + k * 4);
        if (std::abs(sample - expected) > 3)
            QFAIL(qPrintable(QStringLiteral("sample %1: %2, expected %3").arg(k).arg(sample).arg(expected)));
    }
}

// With the cache off nothing is kept for steps back, so on the way to a target the frames
// no other frame refers to are not decoded; the targets are still ffmpeg's pictures, and a
// target past the end is still the last frame.
void TestFrameCache::skippedUnreferencedFramesLeaveTargetsExact_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("pastTheEnd");
    // One-shot (the CLI's export): nothing after the target is decoded either, and the
    // decoder is drained once the target's packet is in.
    QTest::addColumn<bool>("oneShot");
    for (const bool oneShot : {false, true}) {
        const char *mode = oneShot ? ", one-shot" : "";
        QTest::addRow("h264 b-pyramid%s", mode) << QStringLiteral("pyramid_h264.mp4") << true << oneShot;
        QTest::addRow("h264 open gop%s", mode) << QStringLiteral("open_gop_h264.mp4") << true << oneShot;
        QTest::addRow("hevc open gop%s", mode) << QStringLiteral("open_gop_hevc.mp4") << true << oneShot;
        // A seek near the end of a transport stream decodes nothing yet (a fix of its own).
        QTest::addRow("mpeg2 ts open gop%s", mode) << QStringLiteral("open_gop_mpeg2.ts") << false << oneShot;
    }
}

void TestFrameCache::skippedUnreferencedFramesLeaveTargetsExact()
{
    QFETCH(QString, file);
    QFETCH(bool, pastTheEnd);
    QFETCH(bool, oneShot);
    const QString path = clip(file);
    const int64_t last = 149; // every clip here is 150 frames
    int64_t decodedSkipping = 0;
    int64_t decodedFully = 0;
    for (int64_t target : {0, 47, 48, 49, 50, 97, 98, 99, 121, 136, 149}) {
        LocalEngine skipping;
        skipping.engine.setFrameCacheBound(0);
        skipping.engine.setOneShot(oneShot);
        QVERIFY(skipping.open(path));
        const av::FramePtr frame = skipping.engine.decodeFrameAt(target, -1);
        QVERIFY(frame);
        QCOMPARE(skipping.engine.currentFrameNumber(), target);
        QVERIFY2(packFrame(frame.get()) == referenceFrame(path, target, pixelFormatName(frame.get())),
                 qPrintable(QStringLiteral("frame %1 differs from ffmpeg's").arg(target)));
        // Every clip here has a key frame each 50 frames; a target just after one has
        // nothing before it to skip.
        if (target % 50 > 2)
            QVERIFY(skipping.engine.decodeCounters().skippablePackets > 0);
        QCOMPARE(skipping.engine.decodeCounters().cacheHits, 0);
        decodedSkipping += skipping.engine.decodeCounters().framesDecoded;

        // The same request with the cache on decodes every frame on the way.
        LocalEngine full;
        QVERIFY(full.open(path));
        QVERIFY(full.engine.decodeFrameAt(target, -1));
        QCOMPARE(full.engine.decodeCounters().skippablePackets, 0);
        decodedFully += full.engine.decodeCounters().framesDecoded;
    }
    QVERIFY2(decodedSkipping < decodedFully,
             qPrintable(QStringLiteral("%1 frames decoded skipping, %2 without").arg(decodedSkipping).arg(decodedFully)));
    qInfo().noquote() << file << ": frames decoded" << decodedSkipping << "skipping," << decodedFully << "without";

    if (!pastTheEnd)
        return;
    // Past the end: the last frame, even when it is one that would have been skipped.
    LocalEngine local;
    local.engine.setFrameCacheBound(0);
    local.engine.setOneShot(oneShot);
    QVERIFY(local.open(path));
    const av::FramePtr end = local.engine.decodeFrameAt(last + 40, -1);
    QVERIFY(end);
    QCOMPARE(local.engine.currentFrameNumber(), last);
    QVERIFY(packFrame(end.get()) == referenceFrame(path, last, pixelFormatName(end.get())));
}

QTEST_MAIN(TestFrameCache)
#include "tst_framecache.moc"
