#include "decodetestsupport.h"
#include "engine/videoengine.h"
#include "testsupport.h"

#include <QtTest>

#include <QTemporaryDir>
#include <QtEndian>

#include <cmath>

using namespace decodetest;

namespace {

QImage pictureOf(const QVideoFrame &frame)
{
    return frame.isValid() ? frame.toImage().convertToFormat(QImage::Format_ARGB32) : QImage();
}

// The picture audio-only media show: the bundled one, or black when it is missing.
QImage audioOnlyBase()
{
    const QImage bundled(QStringLiteral(":/AudioOnly.png"));
    if (!bundled.isNull())
        return bundled.convertToFormat(QImage::Format_ARGB32);
    QImage black(1280, 720, QImage::Format_ARGB32);
    black.fill(Qt::black);
    return black;
}

QList<qint16> channel(const QByteArray &stereo, int side)
{
    QList<qint16> samples;
    const auto *bytes = reinterpret_cast<const uchar *>(stereo.constData());
    for (qsizetype i = 0; i + 3 < stereo.size(); i += 4)
        samples.append(qFromLittleEndian<qint16>(bytes + i + 2 * side));
    return samples;
}

} // namespace

class TestVideoEnginePlayback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void playbackRunsThroughGopBoundaries();
    void atOrAfterDropsEarlierFramesUnconverted_data();
    void atOrAfterDropsEarlierFramesUnconverted();
    void playbackPastTheEndGivesInvalidPictures();
    void priming_data();
    void priming();
    void catchingUpDecodesOnlyFramesStillDue_data();
    void catchingUpDecodesOnlyFramesStillDue();
    void soundLeadsThePictureByABoundedMargin_data();
    void soundLeadsThePictureByABoundedMargin();
    void playbackStartCarriesTheSoundAskedFor_data();
    void playbackStartCarriesTheSoundAskedFor();

    void primingDeliversLeadingFramesOfOpenGops_data();
    void primingDeliversLeadingFramesOfOpenGops();
    void audioBlockIsRoutedStereoWithFade_data();
    void audioBlockIsRoutedStereoWithFade();

    void audioOnlyPicture_data();
    void audioOnlyPicture();
    void audioOnlyRequestsFollowTheFrameNumber();

private:
    QTemporaryDir m_dir;
};

void TestVideoEnginePlayback::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "anullsrc=r=48000:cl=stereo", "-t", "2", "-c:a", "pcm_s16le",
                       m_dir.filePath(QStringLiteral("silence.wav"))}));
    // UHD long-GOP MPEG-2 in MXF (priming is on for MXF): open GOPs, I-frames at 0, 27, 51.
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=3840x2160:rate=25", "-frames:v", "60", "-c:v",
                       "mpeg2video", "-g", "25", "-bf", "2", "-q:v", "8", "-f", "mxf",
                       m_dir.filePath(QStringLiteral("open_gop_uhd.mxf"))}));
    // The same six seconds with sound, once with every frame on its own, once long-GOP.
    const QStringList sources = {"-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=6", "-f", "lavfi", "-i",
                                 "sine=f=1000:sample_rate=48000:d=6", "-ac", "2", "-c:a", "pcm_s16le"};
    QVERIFY(runFfmpeg(sources + QStringList{"-c:v", "prores_aw", "-profile:v", "3", "-pix_fmt", "yuv422p10le",
                                            m_dir.filePath(QStringLiteral("intra_tone.mov"))}));
    QVERIFY(runFfmpeg(sources + QStringList{"-c:v", "libx264", "-g", "50", "-pix_fmt", "yuv420p",
                                            m_dir.filePath(QStringLiteral("gop_tone.mov"))}));
}

void TestVideoEnginePlayback::playbackRunsThroughGopBoundaries()
{
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("h264_1080p25.mov"))));
    QCOMPARE(local.request(40).frameNumber, 40);
    for (int64_t expected = 41; expected < 75; ++expected) {
        const Answer answer = local.next();
        QVERIFY(answer.frame.isValid());
        QCOMPARE(answer.frameNumber, expected);
    }
    QCOMPARE(local.engine.decodeCounters().seeks, 1);
}

// Catching up: frames before the target leave the queue without being converted, and the
// target is converted once. UHD HEVC plays at preview size, but only under Standard.
void TestVideoEnginePlayback::atOrAfterDropsEarlierFramesUnconverted_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("target");
    QTest::addColumn<int>("profile");
    QTest::addColumn<QSize>("pictureSize");

    QTest::newRow("h264") << QStringLiteral("h264_1080p25.mov") << qint64(10) << qint64(16) << int(Standard)
                          << QSize(1920, 1080);
    QTest::newRow("prores") << QStringLiteral("prores_hq_pcm24.mov") << qint64(3) << qint64(9) << int(Standard)
                            << QSize(1920, 1080);
    QTest::newRow("uhd hevc preview") << QStringLiteral("uhd_hevc.mp4") << qint64(1) << qint64(6) << int(Standard)
                                      << QSize(1280, 720);
    QTest::newRow("uhd hevc isolated") << QStringLiteral("uhd_hevc.mp4") << qint64(1) << qint64(6)
                                       << int(ChannelIsolation) << QSize(3840, 2160);
    QTest::newRow("uhd h264 no preview") << QStringLiteral("uhd_h264.mp4") << qint64(0) << qint64(4) << int(Standard)
                                         << QSize(3840, 2160);
}

void TestVideoEnginePlayback::atOrAfterDropsEarlierFramesUnconverted()
{
    QFETCH(QString, clip);
    QFETCH(qint64, start);
    QFETCH(qint64, target);
    QFETCH(int, profile);
    QFETCH(QSize, pictureSize);

    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(clip)));
    local.engine.setConversionProfile(ConversionProfile(profile));
    const Answer first = local.request(start);
    QCOMPARE(first.frameNumber, start);
    // A single frame request is never downscaled: stepping shows full resolution.
    QCOMPARE(first.frame.size(), QSize(local.info.value("width").toInt(), local.info.value("height").toInt()));
    const auto before = local.engine.decodeCounters();

    const Answer answer = local.atOrAfter(target);
    QVERIFY(answer.frame.isValid());
    QCOMPARE(answer.frameNumber, target);
    QCOMPARE(answer.frame.size(), pictureSize);
    QCOMPARE(local.engine.decodeCounters().framesConverted, before.framesConverted + 1);
    QCOMPARE(local.engine.decodeCounters().seeks, before.seeks);
    const QList<int64_t> queued = local.engine.queuedFrameNumbers();
    if (!queued.isEmpty())
        QVERIFY(queued.first() > target);

    // The next frame follows the target.
    QCOMPARE(local.next().frameNumber, target + 1);
}

void TestVideoEnginePlayback::playbackPastTheEndGivesInvalidPictures()
{
    LogCapture log;
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("h264_1080p25.mov"))));
    QCOMPARE(local.request(97).frameNumber, 97);
    QCOMPARE(local.next().frameNumber, 98);
    const Answer last = local.next();
    QVERIFY(last.frame.isValid());
    QCOMPARE(last.frameNumber, 99);
    for (int i = 0; i < 3; ++i) {
        const Answer after = local.next();
        QVERIFY(!after.frame.isValid());
        QCOMPARE(after.frameNumber, 99);
    }
    const Answer caughtUp = local.atOrAfter(120);
    QVERIFY(!caughtUp.frame.isValid());
    // Every request past the end says so once.
    const QStringList warnings = log.matching(QStringLiteral("Playback: video queue empty"));
    QCOMPARE(warnings.size(), 4);
    QCOMPARE(warnings.first(),
             QStringLiteral("Playback: video queue empty target 100 current 99 total 100 stabilizer true"));
    QCOMPARE(warnings.last(),
             QStringLiteral("Playback: video queue empty target 120 current 99 total 100 stabilizer true"));

    // A seek leaves the end again.
    QCOMPARE(local.request(10).frameNumber, 10);
    QCOMPARE(local.next().frameNumber, 11);
}

// Priming decodes up to the start frame before playback, for UHD ProRes/MXF only.
void TestVideoEnginePlayback::priming_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<qint64>("request");
    QTest::addColumn<int>("requestId");
    QTest::addColumn<qint64>("primedAt"); // -1: nothing happens

    QTest::newRow("1080p h264") << QStringLiteral("h264_1080p25.mov") << qint64(40) << 0 << qint64(-1);
    QTest::newRow("1080p prores") << QStringLiteral("prores_hq_pcm24.mov") << qint64(20) << 0 << qint64(-1);
    QTest::newRow("uhd h264") << QStringLiteral("uhd_h264.mp4") << qint64(5) << 0 << qint64(-1);
    QTest::newRow("uhd hevc") << QStringLiteral("uhd_hevc.mp4") << qint64(5) << 0 << qint64(-1);
    QTest::newRow("uhd prores") << QStringLiteral("uhd_prores.mov") << qint64(6) << 0 << qint64(6);
    QTest::newRow("uhd prores, start") << QStringLiteral("uhd_prores.mov") << qint64(0) << 3 << qint64(0);
    QTest::newRow("uhd prores, beyond the end") << QStringLiteral("uhd_prores.mov") << qint64(40) << 0 << qint64(9);
    QTest::newRow("uhd prores, abandoned") << QStringLiteral("uhd_prores.mov") << qint64(6) << 1 << qint64(-1);
}

void TestVideoEnginePlayback::priming()
{
    QFETCH(QString, clip);
    QFETCH(qint64, request);
    QFETCH(int, requestId);
    QFETCH(qint64, primedAt);

    LogCapture log;
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(clip)));
    QCOMPARE(local.request(2).frameNumber, 2);
    local.engine.abortCurrentTask(2);
    const QList<int64_t> queueBefore = local.engine.queuedFrameNumbers();
    const auto before = local.engine.decodeCounters();

    local.engine.primePlaybackQueue(request, requestId);
    QCOMPARE(local.frames.size(), 0); // priming answers nothing

    if (primedAt < 0) {
        QCOMPARE(local.engine.queuedFrameNumbers(), queueBefore);
        QCOMPARE(local.engine.decodeCounters().seeks, before.seeks);
        QCOMPARE(local.engine.currentFrameNumber(), 2);
        QVERIFY(log.matching(QStringLiteral("Playback stabilizer primed")).isEmpty());
        return;
    }
    QCOMPARE(local.engine.currentFrameNumber(), primedAt);
    const QList<int64_t> queued = local.engine.queuedFrameNumbers();
    QVERIFY(!queued.isEmpty());
    QCOMPARE(queued.first(), primedAt);
    QCOMPARE(log.matching(QStringLiteral("Playback stabilizer primed")),
             QStringList{QStringLiteral("Playback stabilizer primed at frame %1 queue %2").arg(primedAt).arg(queued.size())});

    // Playback then starts from the queue without another seek.
    const Answer answer = local.atOrAfter(primedAt);
    QCOMPARE(answer.frameNumber, primedAt);
    QVERIFY(answer.frame.isValid());
    QCOMPARE(local.engine.decodeCounters().seeks, before.seeks + 1);
}

// Priming seeks like a frame request; the frames just before an I-frame, decoded after it,
// must still be the ones playback starts with.
// A request far beyond the frame on screen (playback fell behind the clock): frames that
// decode on their own are skipped undecoded and the sound is read well ahead, so that a
// file too heavy for the machine keeps its sound whole; long-GOP frames still decode in
// order. Either way the picture is the exact frame.
void TestVideoEnginePlayback::catchingUpDecodesOnlyFramesStillDue_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<bool>("skips");
    QTest::newRow("intra-only") << QStringLiteral("intra_tone.mov") << true;
    QTest::newRow("long GOP") << QStringLiteral("gop_tone.mov") << false;
}

void TestVideoEnginePlayback::catchingUpDecodesOnlyFramesStillDue()
{
    QFETCH(QString, clip);
    QFETCH(bool, skips);
    const QString path = m_dir.filePath(clip);

    LocalEngine local;
    QVERIFY(local.open(path));
    const Answer start = local.request(10);
    QCOMPARE(start.frameNumber, 10);
    const auto before = local.engine.decodeCounters();

    const Answer behind = local.atOrAfter(60);
    QCOMPARE(behind.frameNumber, 60);
    const auto after = local.engine.decodeCounters();
    QCOMPARE(after.seeks, before.seeks);
    if (skips) {
        QVERIFY2(after.framesSkipped - before.framesSkipped >= 45,
                 qPrintable(QString::number(after.framesSkipped - before.framesSkipped)));
        QVERIFY2(after.framesDecoded - before.framesDecoded <= 2,
                 qPrintable(QString::number(after.framesDecoded - before.framesDecoded)));
        // Sound from frame 10 to at least 0.6 s beyond frame 60 (2.4 s + 0.6 s).
        const double heard = double(start.audio.size() + behind.audio.size()) / 4.0 / 48000.0;
        QVERIFY2(heard >= 2.6, qPrintable(QString::number(heard)));
    } else {
        QCOMPARE(after.framesSkipped, before.framesSkipped);
    }

    // The exact frame, as a plain request decodes it; then playback goes on frame by frame
    // from the packets held back.
    LocalEngine exact;
    QVERIFY(exact.open(path));
    QCOMPARE(pictureOf(behind.frame), pictureOf(exact.request(60).frame));
    for (int64_t n = 61; n < 66; ++n) {
        const Answer answer = local.atOrAfter(n);
        QCOMPARE(answer.frameNumber, n);
        QCOMPARE(pictureOf(answer.frame), pictureOf(exact.request(n).frame));
    }
    // This small picture decodes in a fraction of a frame period: after a second of such
    // requests the engine decodes ahead again.
    for (int64_t n = 66; n < 96; ++n)
        QCOMPARE(local.atOrAfter(n).frameNumber, n);
    QVERIFY(!local.engine.queuedFrameNumbers().isEmpty());
    // A seek leaves nothing held back: the next frames follow the new position.
    QCOMPARE(local.request(5).frameNumber, 5);
    QCOMPARE(local.atOrAfter(6).frameNumber, 6);
    QCOMPARE(pictureOf(local.atOrAfter(7).frame), pictureOf(exact.request(7).frame));
}

// Frame after frame, the sound handed out keeps ahead of the picture (an output fed from
// it never starves) but only by a little: the output keeps no more than two seconds, and
// sound read beyond that is lost.
void TestVideoEnginePlayback::soundLeadsThePictureByABoundedMargin_data()
{
    catchingUpDecodesOnlyFramesStillDue_data();
}

void TestVideoEnginePlayback::soundLeadsThePictureByABoundedMargin()
{
    QFETCH(QString, clip);
    LocalEngine local;
    QVERIFY(local.open(m_dir.filePath(clip)));
    double delivered = double(local.request(0).audio.size()) / 4.0 / 48000.0;
    double least = 1e9;
    double most = 0.0;
    for (int64_t n = 1; n <= 120; ++n) {
        const Answer answer = local.atOrAfter(n);
        QCOMPARE(answer.frameNumber, n);
        delivered += double(answer.audio.size()) / 4.0 / 48000.0;
        const double lead = delivered - double(n + 1) / 25.0;
        least = std::min(least, lead);
        most = std::max(most, lead);
    }
    const QString range = QStringLiteral("lead %1 ... %2 s").arg(least).arg(most);
    QVERIFY2(least >= 0.2 && most <= 1.5, qPrintable(range));
}

// The answer that starts playback carries the sound asked for, read ahead with the video
// held back; the frames after it still come in order and exact, and the sound handed out
// is the same, sample for sample, as a plain frame request and its followers give.
void TestVideoEnginePlayback::playbackStartCarriesTheSoundAskedFor_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<double>("soundSeconds");
    QTest::newRow("intra-only") << QStringLiteral("intra_tone.mov") << 0.55;
    QTest::newRow("long GOP") << QStringLiteral("gop_tone.mov") << 0.55;
    QTest::newRow("long GOP, a second") << QStringLiteral("gop_tone.mov") << 1.0;
    QTest::newRow("long GOP, nothing extra") << QStringLiteral("gop_tone.mov") << 0.0;
}

void TestVideoEnginePlayback::playbackStartCarriesTheSoundAskedFor()
{
    QFETCH(QString, clip);
    QFETCH(double, soundSeconds);
    const QString path = m_dir.filePath(clip);
    constexpr double bytesPerSecond = 4.0 * 48000.0;

    LocalEngine started;
    QVERIFY(started.open(path));
    started.engine.requestPlaybackStart(12, soundSeconds, 0);
    const Answer first = started.take();
    QCOMPARE(first.frameNumber, 12);
    const double carried = double(first.audio.size()) / bytesPerSecond;
    QVERIFY2(carried >= soundSeconds, qPrintable(QString::number(carried)));
    // No more than the read-ahead's last packet beyond what was asked.
    QVERIFY2(carried <= std::max(soundSeconds, 0.1) + 0.1, qPrintable(QString::number(carried)));

    LocalEngine plain;
    QVERIFY(plain.open(path));
    const Answer plainFirst = plain.request(12);
    QCOMPARE(plainFirst.frameNumber, 12);
    QByteArray soundStarted = first.audio;
    QByteArray soundPlain = plainFirst.audio;
    for (int64_t n = 13; n < 50; ++n) {
        const Answer answer = started.atOrAfter(n);
        QCOMPARE(answer.frameNumber, n);
        const Answer reference = plain.atOrAfter(n);
        QCOMPARE(pictureOf(answer.frame), pictureOf(reference.frame));
        soundStarted += answer.audio;
        soundPlain += reference.audio;
    }
    const qsizetype common = std::min(soundStarted.size(), soundPlain.size());
    QVERIFY2(common >= qsizetype(1.4 * bytesPerSecond), qPrintable(QString::number(common)));
    QVERIFY(soundStarted.left(common) == soundPlain.left(common));
}

void TestVideoEnginePlayback::primingDeliversLeadingFramesOfOpenGops_data()
{
    QTest::addColumn<qint64>("start");
    for (qint64 n : {25, 26, 49, 50})
        QTest::addRow("frame %lld", n) << n;
}

void TestVideoEnginePlayback::primingDeliversLeadingFramesOfOpenGops()
{
    QFETCH(qint64, start);
    const QString path = m_dir.filePath(QStringLiteral("open_gop_uhd.mxf"));
    LocalEngine local;
    QVERIFY(local.open(path));
    QVERIFY(local.engine.playbackPrimingEnabled());
    // Full-size BGRA, so the picture can be compared with ffmpeg's.
    local.engine.setConversionProfile(ChannelIsolation);
    local.engine.primePlaybackQueue(start, 0);
    QCOMPARE(local.engine.queuedFrameNumbers().value(0, -1), start);

    const Answer answer = local.atOrAfter(start);
    QCOMPARE(answer.frameNumber, start);
    const QImage picture = pictureOf(answer.frame);
    // ffmpeg reads the untagged MPEG-2 as BT.601, the engine as BT.709, so the colours
    // differ a little everywhere; the nearest of the three frames is still unmistakable.
    const double same = meanAbsoluteDifference(picture, referenceImage(path, start, 3840, 2160));
    const double before = meanAbsoluteDifference(picture, referenceImage(path, start - 1, 3840, 2160));
    const double after = meanAbsoluteDifference(picture, referenceImage(path, start + 1, 3840, 2160));
    QVERIFY2(same >= 0 && same < before && same < after,
             qPrintable(QStringLiteral("%1 %2 %3").arg(same).arg(before).arg(after)));
}

// The audio handed out with a picture after a seek starts exactly at that picture's time
// and fades in over 20 ms; left and right are the routed source channels. The clip has
// 0.1 × sin(2π·1000·t) on channel 0 and 0.1 × sin(2π·400·t) on channel 1, so at every
// frame time both start at phase 0.
void TestVideoEnginePlayback::audioBlockIsRoutedStereoWithFade_data()
{
    QTest::addColumn<int>("leftSource");
    QTest::addColumn<int>("rightSource");
    QTest::addColumn<double>("leftHz");  // 0: silence
    QTest::addColumn<double>("rightHz");
    QTest::newRow("straight") << 0 << 1 << 1000.0 << 400.0;
    QTest::newRow("swapped") << 1 << 0 << 400.0 << 1000.0;
    QTest::newRow("left muted") << -1 << 1 << 0.0 << 400.0;
    QTest::newRow("both from channel 0") << 0 << 0 << 1000.0 << 1000.0;
}

void TestVideoEnginePlayback::audioBlockIsRoutedStereoWithFade()
{
    QFETCH(int, leftSource);
    QFETCH(int, rightSource);
    QFETCH(double, leftHz);
    QFETCH(double, rightHz);

    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("demo_bars_25p.mov"))));
    local.engine.setAudioRouting(leftSource, rightSource);
    QCOMPARE(local.request(400).frameNumber, 400); // elsewhere first, then seek back
    const Answer answer = local.request(137);
    QCOMPARE(answer.frameNumber, 137);
    QCOMPARE(answer.levels.size(), 2);
    QByteArray audio = answer.audio;
    QVERIFY(!audio.isEmpty());
    for (int i = 0; i < 10 && audio.size() < 6000 * 4; ++i)
        audio += local.next().audio;
    QVERIFY(audio.size() >= 6000 * 4);

    const int rate = 48000;
    const int fade = rate / 50;
    const double amplitude = 0.1 * 32767;
    const QList<double> hz = {leftHz, rightHz};
    for (int side = 0; side < 2; ++side) {
        const QList<qint16> samples = channel(audio, side);
        for (int k = 0; k < 6000; ++k) {
            const double tone = hz[side] > 0 ? amplitude * std::sin(2 * M_PI * hz[side] * k / rate) : 0.0;
            const double expected = k < fade ? tone * k / fade : tone;
            // Fade formulas differ by a sample at most; the tone itself is exact.
            const double tolerance = k < fade ? amplitude / fade + 3 : 3;
            if (std::abs(samples[k] - expected) > tolerance)
                QFAIL(qPrintable(QStringLiteral("side %1 sample %2: %3, expected %4").arg(side).arg(k).arg(samples[k]).arg(expected)));
        }
    }
}

// Audio-only media show the fixed picture whatever the sound (the trace is drawn over it
// in the viewer, from what the device plays).
void TestVideoEnginePlayback::audioOnlyPicture_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("tone") << testsupport::mediaPath(QStringLiteral("audio.flac"));
    QTest::newRow("aac tone") << testsupport::mediaPath(QStringLiteral("audio.m4a"));
    QTest::newRow("silence") << m_dir.filePath(QStringLiteral("silence.wav"));
}

void TestVideoEnginePlayback::audioOnlyPicture()
{
    QFETCH(QString, file);

    LocalEngine local;
    QVERIFY(local.open(file));
    QVERIFY(local.info.value(QStringLiteral("isAudioOnly")).toBool());
    const Answer answer = local.request(30);
    QCOMPARE(answer.frameNumber, 30);
    QVERIFY(!answer.audio.isEmpty());
    const QImage picture = pictureOf(answer.frame);
    QCOMPARE(picture.size(), QSize(1280, 720));
    QVERIFY(picture == audioOnlyBase());
    QVERIFY(pictureOf(local.next().frame) == audioOnlyBase());
}

void TestVideoEnginePlayback::audioOnlyRequestsFollowTheFrameNumber()
{
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("audio.flac"))));
    QCOMPARE(local.info.value(QStringLiteral("totalFrames")).toLongLong(), 301);

    QCOMPARE(local.request(60).frameNumber, 60);
    QCOMPARE(local.next().frameNumber, 61);
    QCOMPARE(local.atOrAfter(90).frameNumber, 90);
    QCOMPARE(local.request(5000).frameNumber, 300);
    QCOMPARE(local.next().frameNumber, 300);
    QCOMPARE(local.request(-4).frameNumber, 0);

    // Seconds of audio handed out follow the frames: 2 s of playback give about 2 s.
    QCOMPARE(local.request(0).frameNumber, 0);
    qsizetype bytes = 0;
    for (int i = 0; i < 60; ++i)
        bytes += local.next().audio.size();
    const double seconds = double(bytes) / 4 / 48000;
    QVERIFY2(seconds > 1.7 && seconds < 2.3, qPrintable(QString::number(seconds)));

    const QImage exported = local.engine.getFrameAsImage(45);
    QCOMPARE(exported.size(), QSize(1280, 720));
    QCOMPARE(local.engine.currentFrameNumber(), 45);
}

QTEST_MAIN(TestVideoEnginePlayback)
#include "tst_videoengine_playback.moc"
