#include "decodetestsupport.h"
#include "av/rgbreader.h"
#include "engine/videoengine.h"
#include "state/openmedia.h"
#include "testsupport.h"

#include <QtTest>

#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>

using namespace decodetest;

namespace {

// Frame n as ffmpeg decodes it, converted as the viewer converts pictures (with the colour
// tags of 'like', a frame of the same stream): the engine's picture must be exactly this.
QImage referencePicture(const QString &path, int64_t n, const AVFrame *like)
{
    const QByteArray bytes = referenceFrame(path, n, pixelFormatName(like));
    av::FramePtr frame = av::makeFrame();
    frame->format = like->format;
    frame->width = like->width;
    frame->height = like->height;
    frame->color_range = like->color_range;
    frame->colorspace = like->colorspace;
    frame->chroma_location = like->chroma_location;
    if (bytes.isEmpty()
        || av_image_fill_arrays(frame->data, frame->linesize, reinterpret_cast<const uint8_t *>(bytes.constData()),
                                AVPixelFormat(like->format), like->width, like->height, 1) != bytes.size())
        return {};
    RgbReader reader;
    if (!reader.open(frame.get()))
        return {};
    QImage image(like->width, like->height, QImage::Format_ARGB32);
    reader.toBgra8(image.bits(), image.bytesPerLine());
    return image;
}

} // namespace

namespace {

// The player's arrangement (the window's OpenMedia): the engine on a thread of its own,
// typed requests queued to it, abortCurrentTask called directly. 'frames' records answers
// as the window gets them.
struct ThreadedEngine {
    // Something to run on the engine's thread in between requests; goes after the engine's
    // thread has ended.
    QObject onEngineThread;
    std::unique_ptr<OpenMedia> media;
    std::unique_ptr<QSignalSpy> frames;

    bool open(const QString &path)
    {
        media = std::make_unique<OpenMedia>(path);
        frames = std::make_unique<QSignalSpy>(media.get(), &OpenMedia::frameReady);
        onEngineThread.moveToThread(media->engineThread());
        return media->waitUntilOpened(30000);
    }
};

} // namespace

class TestVideoEngineDecode : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void exactFrames_data();
    void exactFrames();
    void requestFrameDeliversTheReferencePicture_data();
    void requestFrameDeliversTheReferencePicture();
    void frameAsImageIsTheRequestedFrame();

    void streamContainerLastFramesAreReachable_data();
    void streamContainerLastFramesAreReachable();

    void openGopLeadingFramesAreExact_data();
    void openGopLeadingFramesAreExact();
    void openGopReseekOnlyOnOvershoot_data();
    void openGopReseekOnlyOnOvershoot();

    void rawStreamWithoutDurationShowsItsFirstFrame();
    void stalledTimestampsSwitchToCounting();
    void stillImageIsDecodedOnce();
    void abandonedRequestsAnswerInvalidWithTheirId();
    void requestAfterAnInterruptedReadIsExact();
    void abandonDuringReseekStopsWork();
    void abandonIdRules_data();
    void abandonIdRules();
    void fullSizePicturesNeedNoScaler();
    void noOpenMediaGivesInvalidFrames();

private:
    QString openGopPath(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

void TestVideoEngineDecode::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
    const QString source = QStringLiteral("testsrc2=size=320x240:rate=25");
    // HEVC with open GOPs: key frames at 0, 50, 100 are CRA pictures, and the B-frames
    // before 50 and 100 are decoded after them from the previous GOP.
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", source, "-frames:v", "150", "-c:v", "libx265", "-preset", "ultrafast",
                       "-x265-params", "keyint=50:min-keyint=50:open-gop=1:bframes=4:scenecut=0:log-level=error",
                       "-pix_fmt", "yuv420p", openGopPath("open_gop_hevc.mp4")}));
    // H.264 with recovery-point I-frames instead of IDR.
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", source, "-frames:v", "150", "-c:v", "libx264", "-preset", "ultrafast",
                       "-x264-params", "open-gop=1:keyint=50:min-keyint=50:scenecut=0:bframes=3", "-pix_fmt",
                       "yuv420p", openGopPath("open_gop_h264.mp4")}));
    // MPEG-2 without closed GOPs, as broadcast transport streams carry it (start 1.4 s).
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", source, "-frames:v", "150", "-c:v", "mpeg2video", "-g", "50",
                       "-bf", "2", "-q:v", "4", openGopPath("open_gop_mpeg2.ts")}));
    QVERIFY(runFfmpeg({"-i", openGopPath("open_gop_mpeg2.ts"), "-c", "copy", openGopPath("open_gop_mpeg2.mkv")}));
    // 40 frames whose timestamps stay at 0 except the last one (so the file has a duration).
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", QStringLiteral("testsrc2=size=160x120:rate=25"), "-frames:v", "40",
                       "-c:v", "mpeg4", "-g", "1", "-bsf:v", "setts=ts=if(eq(N\\,39)\\,PTS\\,0)",
                       openGopPath("stalled.mkv")}));
}

// Raw decoded planes against ffmpeg's own decode of the same frame, for every generated
// video format: first frames, frames inside a GOP, the last frame and beyond the end.
void TestVideoEngineDecode::exactFrames_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<qint64>("request");
    QTest::addColumn<bool>("beyondEnd");

    const struct {
        const char *clip;
        qint64 request;
        bool beyondEnd;
    } rows[] = {
        {"h264_1080p25.mov", 0, false},       {"h264_1080p25.mov", 37, false},
        {"h264_1080p25.mov", 99, false},      {"h264_1080p25.mov", 200, true},
        {"demo_bars_25p.mov", 263, false},    {"prores_hq_pcm24.mov", 0, false},
        {"prores_hq_pcm24.mov", 31, false},   {"prores_hq_pcm24.mov", 150, true},
        {"prores4444_alpha.mov", 12, false},  {"prores.mxf", 17, false},
        {"prores.mxf", 125, true},            {"dnxhr_hq.mov", 9, false},
        {"dnxhr_444.mov", 24, false},         {"uhd_h264.mp4", 7, false},
        {"uhd_prores.mov", 9, false},         {"uhd_hevc.mp4", 6, false},
        {"uhd_hevc.mp4", 110, true},          {"h264.mkv", 0, false},
        {"h264.mkv", 33, false},              {"h264.mkv", 150, true},
        {"vp9.webm", 29, false},              {"vp9.webm", 150, true},
        {"av1.mkv", 13, false},               {"av1.mkv", 125, true},
        {"bgra.avi", 11, false},              {"still.png", 0, false},
        {"interlaced.mov", 18, false},        {"bt709.mp4", 24, false},
        {"untagged.mp4", 5, false},           {"h264_2997df.mov", 45, false},
        {"five_stereo.mov", 26, false},
    };
    for (const auto &row : rows) {
        QTest::addRow("%s@%lld", row.clip, row.request)
            << QString::fromLatin1(row.clip) << row.request << row.beyondEnd;
    }
}

void TestVideoEngineDecode::exactFrames()
{
    QFETCH(QString, clip);
    QFETCH(qint64, request);
    QFETCH(bool, beyondEnd);

    const QString path = testsupport::mediaPath(clip);
    LocalEngine local;
    QVERIFY(local.open(path));

    int64_t expected = request;
    if (beyondEnd) {
        expected = decodedFrameCount(path) - 1;
        QVERIFY(expected > 0);
        QVERIFY(request > local.totalFrames());
    }

    const av::FramePtr frame = local.engine.decodeFrameAt(request, -1);
    QVERIFY(frame);
    QCOMPARE(local.engine.currentFrameNumber(), expected);
    const QByteArray reference = referenceFrame(path, expected, pixelFormatName(frame.get()));
    QVERIFY2(!reference.isEmpty(), qPrintable(pixelFormatName(frame.get())));
    QVERIFY2(packFrame(frame.get()) == reference, "decoded planes differ from ffmpeg's decode of that frame");
    // Closed GOPs never pay for a second seek.
    QCOMPARE(local.engine.decodeCounters().reseeks, 0);

    // The frame request lands on the same frame and says so.
    const Answer answer = local.request(request, 1);
    QVERIFY(answer.frame.isValid());
    QCOMPARE(answer.frameNumber, expected);
    QCOMPARE(answer.requestId, 1);
}

// MPEG-TS and MPEG-PS seek by decode time: near the end a seek can land where nothing (or
// only later pictures) decodes. The last frames and any frame past the end are still
// delivered, with their real numbers and ffmpeg's pictures, through both exact paths.
void TestVideoEngineDecode::streamContainerLastFramesAreReachable_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<qint64>("request");
    const struct {
        const char *clip;
        qint64 frameCount;
    } clips[] = {
        {"mpeg2_2997df_gop_tc.ts", 240},
        {"h264_opengop.ts", 100},
        {"mpeg2_opengop.mpg", 100},
    };
    for (const auto &clip : clips) {
        for (qint64 n : {clip.frameCount - 4, clip.frameCount - 3, clip.frameCount - 2, clip.frameCount - 1,
                         clip.frameCount, clip.frameCount + 60, clip.frameCount * 100})
            QTest::addRow("%s@%lld", clip.clip, n) << QString::fromLatin1(clip.clip) << n;
    }
}

void TestVideoEngineDecode::streamContainerLastFramesAreReachable()
{
    QFETCH(QString, clip);
    QFETCH(qint64, request);
    const QString path = testsupport::mediaPath(clip);
    const int64_t last = decodedFrameCount(path) - 1;
    QVERIFY(last > 0);
    const int64_t expected = std::min<int64_t>(request, last);

    LocalEngine local;
    QVERIFY(local.open(path));
    const av::FramePtr frame = local.engine.decodeFrameAt(request, -1);
    QVERIFY2(frame, "nothing decoded");
    QCOMPARE(local.engine.currentFrameNumber(), expected);
    const QByteArray reference = referenceFrame(path, expected, pixelFormatName(frame.get()));
    QVERIFY(!reference.isEmpty());
    QVERIFY2(packFrame(frame.get()) == reference, "decoded planes differ from ffmpeg's decode of that frame");

    // From elsewhere in the file, as the player's End key would.
    QVERIFY(local.request(5, 1).frame.isValid());
    const Answer answer = local.request(request, 2);
    QVERIFY(answer.frame.isValid());
    QCOMPARE(answer.frameNumber, expected);
    QCOMPARE(answer.requestId, 2);
}

// The picture handed to the viewer is the decoded frame's own conversion.
void TestVideoEngineDecode::requestFrameDeliversTheReferencePicture_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<qint64>("request");
    QTest::newRow("h264 mid-GOP") << QStringLiteral("h264_1080p25.mov") << qint64(63);
    QTest::newRow("vp9") << QStringLiteral("vp9.webm") << qint64(41);
    QTest::newRow("matroska start offset") << QStringLiteral("h264.mkv") << qint64(12);
}

void TestVideoEngineDecode::requestFrameDeliversTheReferencePicture()
{
    QFETCH(QString, clip);
    QFETCH(qint64, request);
    const QString path = testsupport::mediaPath(clip);
    LocalEngine local;
    QVERIFY(local.open(path));
    // Move the decoder somewhere else first, so the request has to seek back.
    QVERIFY(local.request(request + 20).frame.isValid());

    const Answer answer = local.request(request);
    QCOMPARE(answer.frameNumber, request);
    const QImage shown = bgraPicture(answer.frame);
    QVERIFY(!shown.isNull());
    const av::FramePtr raw = local.engine.decodeFrameAt(request, -1);
    QVERIFY(raw);
    const QImage reference = referencePicture(path, request, raw.get());
    QVERIFY(!reference.isNull());
    QVERIFY(shown == reference);
}

// Picture export: the image is the requested frame, not a neighbour (each frame carries
// its number burnt in, so the neighbours differ where the digits are).
void TestVideoEngineDecode::frameAsImageIsTheRequestedFrame()
{
    const QString path = testsupport::mediaPath(QStringLiteral("prores_hq_pcm24.mov"));
    LocalEngine local;
    QVERIFY(local.open(path));
    const int64_t n = 27;
    const QImage image = local.engine.getFrameAsImage(n);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(1920, 1080));
    QCOMPARE(local.engine.currentFrameNumber(), n);

    const double same = meanAbsoluteDifference(image, referenceImage(path, n, 1920, 1080));
    const double before = meanAbsoluteDifference(image, referenceImage(path, n - 1, 1920, 1080));
    const double after = meanAbsoluteDifference(image, referenceImage(path, n + 1, 1920, 1080));
    QVERIFY(same >= 0 && before >= 0 && after >= 0);
    QVERIFY2(same < before && same < after, qPrintable(QStringLiteral("%1 %2 %3").arg(same).arg(before).arg(after)));
    QVERIFY(same < 3.0);
    QCOMPARE(local.frames.size(), 0); // export emits nothing
}

// Open GOPs: the frames just before a key frame are decoded after it from the previous GOP.
// Every one of them, before two different key frames, through all three exact paths.
void TestVideoEngineDecode::openGopLeadingFramesAreExact_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<qint64>("request");
    // x265 and x264 place their key frames at 50 and 100; the MPEG-2 encoder its I-frames at
    // 51 and 99 (ffprobe shows them). Matroska seeks by presentation time and never lands
    // past a leading frame; MP4 (decode-time index) and MPEG-TS do.
    const struct {
        const char *file;
        qint64 keyFrames[2];
    } clips[] = {
        {"open_gop_hevc.mp4", {50, 100}},
        {"open_gop_h264.mp4", {50, 100}},
        {"open_gop_mpeg2.ts", {51, 99}},
        {"open_gop_mpeg2.mkv", {51, 99}},
    };
    for (const auto &clip : clips) {
        for (qint64 keyFrame : clip.keyFrames) {
            for (qint64 n = keyFrame - 5; n < keyFrame; ++n)
                QTest::addRow("%s@%lld", clip.file, n) << QString::fromLatin1(clip.file) << n;
        }
    }
}

void TestVideoEngineDecode::openGopLeadingFramesAreExact()
{
    QFETCH(QString, file);
    QFETCH(qint64, request);
    const QString path = openGopPath(file);
    LocalEngine local;
    QVERIFY(local.open(path));

    // Start from elsewhere so that every path really seeks.
    QVERIFY(local.request(140).frame.isValid());

    const av::FramePtr raw = local.engine.decodeFrameAt(request, -1);
    QVERIFY(raw);
    QCOMPARE(local.engine.currentFrameNumber(), request);
    const QByteArray reference = referenceFrame(path, request, pixelFormatName(raw.get()));
    QVERIFY(!reference.isEmpty());
    QVERIFY2(packFrame(raw.get()) == reference, "decodeFrameAt: wrong picture");

    const Answer answer = local.request(request, 7);
    QCOMPARE(answer.frameNumber, request);
    QVERIFY2(bgraPicture(answer.frame) == referencePicture(path, request, raw.get()), "requestFrame: wrong picture");

    const QImage image = local.engine.getFrameAsImage(request);
    QCOMPARE(local.engine.currentFrameNumber(), request);
    const QImage expected = referenceImage(path, request, raw->width, raw->height);
    const double same = meanAbsoluteDifference(image, expected);
    const double neighbour = meanAbsoluteDifference(image, referenceImage(path, request + 1, raw->width, raw->height));
    QVERIFY2(same >= 0 && same < neighbour, "getFrameAsImage: wrong picture");
}

// The mend is paid for only when a seek lands past its target: a leading frame costs a
// re-seek (so the test above exercises it), a frame after a key frame does not.
void TestVideoEngineDecode::openGopReseekOnlyOnOvershoot_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<qint64>("leadingFrame");
    QTest::addColumn<QList<qint64>>("plainFrames");
    QTest::newRow("hevc") << QStringLiteral("open_gop_hevc.mp4") << qint64(48) << QList<qint64>{60, 127, 3};
    QTest::newRow("h264") << QStringLiteral("open_gop_h264.mp4") << qint64(49) << QList<qint64>{60, 127, 3};
}

void TestVideoEngineDecode::openGopReseekOnlyOnOvershoot()
{
    QFETCH(QString, file);
    QFETCH(qint64, leadingFrame);
    QFETCH(QList<qint64>, plainFrames);
    LocalEngine local;
    QVERIFY(local.open(openGopPath(file)));
    QCOMPARE(local.request(leadingFrame).frameNumber, leadingFrame);
    QVERIFY(local.engine.decodeCounters().reseeks >= 1);

    const auto before = local.engine.decodeCounters();
    for (qint64 n : plainFrames)
        QCOMPARE(local.request(n).frameNumber, n);
    QCOMPARE(local.engine.decodeCounters().reseeks, before.reseeks);
    QCOMPARE(local.engine.decodeCounters().seeks, before.seeks + plainFrames.size());
}

// A raw H.264 stream declares neither frame count nor duration, so it opens as a single
// frame: every request shows its first picture, decoded once.
void TestVideoEngineDecode::rawStreamWithoutDurationShowsItsFirstFrame()
{
    const QString path = testsupport::mediaPath(QStringLiteral("raw.h264"));
    LocalEngine local;
    QVERIFY(local.open(path));
    QCOMPARE(local.totalFrames(), 1);
    QCOMPARE(local.request(7).frameNumber, 0);
    QCOMPARE(local.next().frameNumber, 0);
    const Answer again = local.request(0);
    QCOMPARE(again.frameNumber, 0);
    const QImage shown = bgraPicture(again.frame);
    const av::FramePtr raw = local.engine.decodeFrameAt(0, -1);
    QVERIFY(raw);
    QVERIFY(!shown.isNull() && shown == referencePicture(path, 0, raw.get()));
    QCOMPARE(local.engine.decodeCounters().seeks, 0);
}

void TestVideoEngineDecode::stalledTimestampsSwitchToCounting()
{
    LogCapture log;
    LocalEngine local;
    QVERIFY(local.open(openGopPath(QStringLiteral("stalled.mkv"))));
    QCOMPARE(local.totalFrames(), 40);

    // In order, as an analysis reads the file (playback would skip frames whose number
    // does not grow).
    QList<int64_t> numbers;
    for (int i = 0; i < 40; ++i) {
        const VideoEngine::SequentialPicture next = local.engine.readNextPicture();
        QVERIFY(next.frame);
        numbers.append(next.frameNumber);
    }
    QVERIFY(!local.engine.readNextPicture().frame);
    // 0 … 30 read 0 from their timestamps, the 32nd is the first suspicious 0 (and keeps
    // it), from then on the count is the number.
    for (int i = 0; i < 40; ++i)
        QCOMPARE(numbers.at(i), int64_t(i <= 31 ? 0 : i));
    QCOMPARE(log.count(QStringLiteral("Stalled timestamp detected after 30 frames. Switching to manual counter.")), 1);
}

void TestVideoEngineDecode::stillImageIsDecodedOnce()
{
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("still.png"))));
    QCOMPARE(local.totalFrames(), 1);
    const QList<Answer> answers = {local.request(0), local.request(5), local.next(), local.request(0)};
    for (const Answer &answer : answers) {
        QVERIFY(answer.frame.isValid());
        QCOMPARE(answer.frameNumber, 0);
        QCOMPARE(answer.frame.size(), QSize(640, 360));
    }
    QVERIFY(local.engine.decodeFrameAt(3, -1));
    QCOMPARE(local.engine.decodeCounters().framesDecoded, 1);
    QCOMPARE(local.engine.decodeCounters().seeks, 0);
}

// The player's way: engine on its own thread, requests queued to it, abortCurrentTask
// called directly while the engine is busy.
void TestVideoEngineDecode::abandonedRequestsAnswerInvalidWithTheirId()
{
    ThreadedEngine threaded;
    QVERIFY(threaded.open(testsupport::mediaPath(QStringLiteral("h264_1080p25.mov"))));
    OpenMedia &media = *threaded.media;
    QSignalSpy &frames = *threaded.frames;

    // Hold the engine so that both requests are queued before either runs.
    QSemaphore gate;
    QMetaObject::invokeMethod(&threaded.onEngineThread, [&gate] { gate.acquire(); }, Qt::QueuedConnection);
    media.requestFrame(37, 5);
    media.requestFrame(41, 6);
    media.abortCurrentTask(6);
    gate.release();

    QTRY_COMPARE_WITH_TIMEOUT(frames.size(), 2, 30000);
    const Answer stale = takeAnswer(frames);
    const Answer fresh = takeAnswer(frames);
    QCOMPARE(stale.requestId, 5);
    QVERIFY(!stale.frame.isValid());
    QCOMPARE(fresh.requestId, 6);
    QVERIFY(fresh.frame.isValid());
    QCOMPARE(fresh.frameNumber, 41);
}

// A request abandoned while its read is under way (the seek bar's press, then its release)
// leaves nothing behind that cuts the next request short: every fresh answer is the frame
// asked for, wherever the interruption landed.
void TestVideoEngineDecode::requestAfterAnInterruptedReadIsExact()
{
    ThreadedEngine threaded;
    QVERIFY(threaded.open(testsupport::mediaPath(QStringLiteral("h264_1080p25.mov"))));
    OpenMedia &media = *threaded.media;
    QSignalSpy &frames = *threaded.frames;

    int id = 1;
    int interrupted = 0;
    for (int delayUs = 0; delayUs < 40000; delayUs += 1500) {
        const int64_t target = delayUs % 3000 == 0 ? 99 : 88;
        frames.clear();
        const int stale = ++id;
        media.requestFrame(target, stale);
        QThread::usleep(delayUs);
        const int fresh = ++id;
        media.abortCurrentTask(fresh);
        media.requestFrame(target, fresh);
        QTRY_COMPARE_WITH_TIMEOUT(frames.size(), 2, 30000);
        if (!takeAnswer(frames).frame.isValid())
            ++interrupted;
        const Answer answer = takeAnswer(frames);
        QCOMPARE(answer.requestId, fresh);
        QVERIFY(answer.frame.isValid());
        QVERIFY2(answer.frameNumber == target,
                 qPrintable(QStringLiteral("after %1 us: frame %2 for %3").arg(delayUs).arg(answer.frameNumber).arg(target)));
    }
    qInfo() << interrupted << "of the first requests were abandoned";
}

// A newer id announced while a re-seek runs ends the request at the next check: no more
// seeks, an invalid picture carrying the old id.
void TestVideoEngineDecode::abandonDuringReseekStopsWork()
{
    LocalEngine local;
    QVERIFY(local.open(openGopPath(QStringLiteral("open_gop_hevc.mp4"))));
    VideoEngine *engine = &local.engine;
    LogCapture log([engine](const QString &line) {
        if (line.startsWith(QStringLiteral("Seek landed past frame")))
            engine->abortCurrentTask(12);
    });
    const Answer answer = local.request(97, 11);
    QCOMPARE(answer.requestId, 11);
    QVERIFY(!answer.frame.isValid());
    QCOMPARE(local.engine.decodeCounters().reseeks, 1);
    QCOMPARE(local.engine.decodeCounters().seeks, 2);
    QCOMPARE(local.engine.decodeCounters().framesConverted, 0);
}

void TestVideoEngineDecode::abandonIdRules_data()
{
    QTest::addColumn<int>("latest");
    QTest::addColumn<int>("requestId");
    QTest::addColumn<bool>("served");
    QTest::newRow("older id") << 10 << 9 << false;
    QTest::newRow("the latest id") << 10 << 10 << true;
    QTest::newRow("a newer id") << 10 << 11 << true;
    QTest::newRow("no id") << 10 << 0 << true;
    QTest::newRow("internal") << 10 << -1 << true;
    QTest::newRow("nothing announced") << 0 << 3 << true;
}

void TestVideoEngineDecode::abandonIdRules()
{
    QFETCH(int, latest);
    QFETCH(int, requestId);
    QFETCH(bool, served);
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("bt709.mp4"))));
    local.engine.abortCurrentTask(latest);

    const Answer answer = local.request(12, requestId);
    QCOMPARE(answer.requestId, requestId);
    QCOMPARE(answer.frame.isValid(), served);
    QCOMPARE(bool(local.engine.decodeFrameAt(12, requestId)), served);
    if (served)
        QCOMPARE(local.engine.currentFrameNumber(), 12);
}

// Full-size pictures are converted without a scaler under every profile, and always
// reach the viewer as B,G,R,A.
void TestVideoEngineDecode::fullSizePicturesNeedNoScaler()
{
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("bt709.mp4"))));
    for (const ConversionProfile profile : {ChannelIsolation, ChannelIsolation, Standard, ScopePercent}) {
        local.engine.setConversionProfile(profile);
        QCOMPARE(local.request(3).frame.pixelFormat(), QVideoFrameFormat::Format_BGRA8888);
        QCOMPARE(local.next().frame.pixelFormat(), QVideoFrameFormat::Format_BGRA8888);
    }
    QCOMPARE(local.engine.conversionContextBuilds(), 0);
}

void TestVideoEngineDecode::noOpenMediaGivesInvalidFrames()
{
    LocalEngine local;
    local.engine.init();
    const QList<Answer> answers = {local.request(0, 4), local.next(4)};
    for (const Answer &answer : answers) {
        QVERIFY(!answer.frame.isValid());
        QCOMPARE(answer.requestId, 4);
    }
    QVERIFY(!local.engine.decodeFrameAt(0, -1));
    QVERIFY(local.engine.getFrameAsImage(0).isNull());

    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("bt709.mp4"))));
    QVERIFY(!local.request(-1).frame.isValid());
}

QTEST_MAIN(TestVideoEngineDecode)
#include "tst_videoengine_decode.moc"
