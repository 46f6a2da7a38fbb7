#include "decodetestsupport.h"
#include "av/ffmpeg.h"
#include "engine/videoengine.h"
#include "testsupport.h"

#include <QtTest>

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

using namespace decodetest;

namespace {

// The colour range a file's first video stream declares, as the engine words it.
QString declaredRangeText(const QString &path)
{
    av::FormatContextPtr format;
    if (av::openInput(format, QFile::encodeName(path).constData()) < 0
        || avformat_find_stream_info(format.get(), nullptr) < 0)
        return QStringLiteral("(unreadable)");
    const int video = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0)
        return QStringLiteral("(no video)");
    switch (format.get()->streams[video]->codecpar->color_range) {
    case AVCOL_RANGE_MPEG: return QStringLiteral("Video Range");
    case AVCOL_RANGE_JPEG: return QStringLiteral("Full Range");
    default: return QStringLiteral("---");
    }
}

// --- tiny purpose-made clips ---------------------------------------------------------

bool replaceBytes(const QString &from, const QString &to, const QByteArray &before, const QByteArray &after)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QByteArray data = in.readAll();
    if (!data.contains(before))
        return false;
    data.replace(before, after);
    QFile out(to);
    return out.open(QIODevice::WriteOnly) && out.write(data) == data.size();
}

// Compares with the exact QVariant type: an int where a qint64 is promised is a fault
// QVariant's numeric equality would hide.
void compareValue(const QVariantMap &info, const QString &key, const QVariant &expected)
{
    QVERIFY2(info.contains(key), qPrintable(QStringLiteral("missing key ") + key));
    const QVariant actual = info.value(key);
    QVERIFY2(actual.metaType() == expected.metaType(),
             qPrintable(QStringLiteral("%1: type %2, expected %3")
                            .arg(key, QString::fromLatin1(actual.typeName()),
                                 QString::fromLatin1(expected.typeName()))));
    if (expected.metaType().id() == QMetaType::Double) {
        QVERIFY2(qAbs(actual.toDouble() - expected.toDouble()) < 1e-6,
                 qPrintable(QStringLiteral("%1: %2, expected %3").arg(key).arg(actual.toDouble()).arg(expected.toDouble())));
    } else {
        QVERIFY2(actual == expected,
                 qPrintable(QStringLiteral("%1: '%2', expected '%3'").arg(key, actual.toString(), expected.toString())));
    }
}

QVariant i64(qint64 value) { return QVariant::fromValue<qint64>(value); }

} // namespace

class TestVideoEngineOpen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void generatedMedia_data();
    void generatedMedia();
    void keyTypes_data();
    void keyTypes();
    void playbackFlags_data();
    void playbackFlags();
    void matroskaFrameCountFromDuration_data();
    void matroskaFrameCountFromDuration();
    void abnormalFrameRate_data();
    void abnormalFrameRate();
    void rangeSource_data();
    void rangeSource();
    void audioVideoDifference();
    void timeReference_data();
    void timeReference();
    void audioOnlyFrameCount_data();
    void audioOnlyFrameCount();
    void scanType_data();
    void scanType();
    void failures_data();
    void failures();
    void videoLogBlock();
    void audioOnlyLogBlock();
    void av1DecoderIsSoftware();

private:
    QTemporaryDir scratch; // clips made once and shared by the rows of a table
};

void TestVideoEngineOpen::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(scratch.isValid());
}

void TestVideoEngineOpen::generatedMedia_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QVariantMap>("expected");

    QTest::newRow("h264 1080p25, two stereo AAC") << "h264_1080p25.mov" << QVariantMap{
        {"isAudioOnly", false}, {"width", 1920}, {"height", 1080}, {"fps", 25.0},
        {"totalFrames", i64(100)}, {"startTimecode", "01:00:00:00"}, {"codecDisplayName", "H264/AVC"},
        {"videoRangeInfo", "Video Range"}, {"scanType", "p"}, {"hasAlpha", false},
        {"audioChannelCount", 4}, {"videoDurationSec", 4.0}};
    QTest::newRow("demo bars") << "demo_bars_25p.mov" << QVariantMap{
        {"totalFrames", i64(500)}, {"fps", 25.0}, {"startTimecode", "01:00:00:00"},
        {"audioChannelCount", 2}};
    QTest::newRow("prores hq with pcm24") << "prores_hq_pcm24.mov" << QVariantMap{
        {"codecDisplayName", "ProRes422HQ"}, {"videoRangeInfo", "Video Range"}, {"totalFrames", i64(50)},
        {"audioInfo", "PCM,24bit,48kHz"}, {"audioChannelCount", 2}, {"hasAlpha", false}};
    QTest::newRow("prores 4444 alpha") << "prores4444_alpha.mov" << QVariantMap{
        {"codecDisplayName", "ProRes4444"}, {"hasAlpha", true}, {"totalFrames", i64(25)}};
    QTest::newRow("dnxhr hq") << "dnxhr_hq.mov" << QVariantMap{{"codecDisplayName", "DNxHR HQ"}, {"hasAlpha", false}};
    QTest::newRow("dnxhr 444") << "dnxhr_444.mov" << QVariantMap{{"codecDisplayName", "DNxHR 444"}};
    QTest::newRow("uhd h264") << "uhd_h264.mp4" << QVariantMap{
        {"width", 3840}, {"height", 2160}, {"totalFrames", i64(10)}};
    QTest::newRow("bgra avi") << "bgra.avi" << QVariantMap{
        {"codecDisplayName", "Uncomp BGRA 8-bit"}, {"videoRangeInfo", "Full Range"},
        {"width", 320}, {"height", 240}, {"totalFrames", i64(25)}};
    QTest::newRow("png still") << "still.png" << QVariantMap{
        {"totalFrames", i64(1)}, {"width", 640}, {"height", 360}, {"codecDisplayName", "PNG"}};
    // No frame count and no duration anywhere.
    QTest::newRow("raw h264 stream") << "raw.h264" << QVariantMap{{"totalFrames", i64(1)}};
    QTest::newRow("bt709 tagged") << "bt709.mp4" << QVariantMap{{"colorSpaceInfo", "CICP 1-1-1"}};
    QTest::newRow("untagged") << "untagged.mp4" << QVariantMap{{"colorSpaceInfo", "---"}};
    QTest::newRow("interlaced") << "interlaced.mov" << QVariantMap{{"scanType", "i"}};
    QTest::newRow("drop-frame timecode") << "h264_2997df.mov" << QVariantMap{
        {"startTimecode", "01:00:00;00"}, {"fps", 30000.0 / 1001.0}};
    QTest::newRow("vp9") << "vp9.webm" << QVariantMap{{"codecDisplayName", "VP9"}};
    QTest::newRow("mono") << "mono.mov" << QVariantMap{{"audioChannelCount", 1}};
    QTest::newRow("five stereo streams") << "five_stereo.mov" << QVariantMap{{"audioChannelCount", 8}};
    QTest::newRow("one 6-channel stream") << "video_6ch.mov" << QVariantMap{{"audioChannelCount", 6}};
    QTest::newRow("two 6-channel streams") << "twelve_ch.mov" << QVariantMap{{"audioChannelCount", 8}};
    QTest::newRow("no audio") << "uhd_prores.mov" << QVariantMap{
        {"audioChannelCount", 0}, {"audioInfo", "---"}};

    QTest::newRow("bwf wav") << "bwf_tc.wav" << QVariantMap{
        {"isAudioOnly", true}, {"fps", 30.0}, {"totalFrames", i64(301)}, {"width", 1280}, {"height", 720},
        {"hasAudioTimeReference", true}, {"audioTimeReferenceSec", 3600.0}, {"audioInfo", "PCM,24bit,48kHz"},
        {"codecDisplayName", "PCM"}, {"startTimecode", ""}, {"scanType", ""}, {"hasAlpha", false},
        {"colorSpaceInfo", "---"}, {"videoRangeInfo", "---"}, {"videoDurationSec", 10.0},
        {"audioChannelCount", 2}, {"audioSampleRate", 48000}};
    QTest::newRow("flac") << "audio.flac" << QVariantMap{
        {"isAudioOnly", true}, {"fps", 30.0}, {"totalFrames", i64(301)}, {"codecDisplayName", "FLAC"},
        {"hasAudioTimeReference", false}, {"audioTimeReferenceSec", 0.0}};
    QTest::newRow("aac m4a") << "audio.m4a" << QVariantMap{{"isAudioOnly", true}, {"codecDisplayName", "AAC"}};
    QTest::newRow("opus") << "audio.opus" << QVariantMap{{"isAudioOnly", true}, {"codecDisplayName", "OPUS"}};
    QTest::newRow("2 s tone") << "tone_1k_-18dbfs.wav" << QVariantMap{{"totalFrames", i64(61)}};
}

void TestVideoEngineOpen::generatedMedia()
{
    QFETCH(QString, file);
    QFETCH(QVariantMap, expected);
    EngineOnThread engine;
    const QString path = testsupport::mediaPath(file);
    const OpenAnswer answer = engine.open(path);
    QCOMPARE(answer.answers, 1);
    QVERIFY2(answer.success, qPrintable(answer.error));
    QCOMPARE(answer.error, QString());
    compareValue(answer.info, QStringLiteral("filePath"), path);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        compareValue(answer.info, it.key(), it.value());
        if (QTest::currentTestFailed())
            return;
    }
}

void TestVideoEngineOpen::keyTypes_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("audioOnly");
    QTest::addColumn<bool>("hasAudioStream");

    QTest::newRow("video with audio") << "h264_1080p25.mov" << false << true;
    QTest::newRow("video without audio") << "dnxhr_hq.mov" << false << false;
    QTest::newRow("still") << "still.png" << false << false;
    QTest::newRow("audio only") << "bwf_tc.wav" << true << true;
    QTest::newRow("audio only, compressed") << "audio.m4a" << true << true;
}

void TestVideoEngineOpen::keyTypes()
{
    QFETCH(QString, file);
    QFETCH(bool, audioOnly);
    QFETCH(bool, hasAudioStream);
    EngineOnThread engine;
    const OpenAnswer answer = engine.open(testsupport::mediaPath(file));
    QVERIFY2(answer.success, qPrintable(answer.error));

    const QHash<QString, QMetaType::Type> always = {
        {"filePath", QMetaType::QString}, {"isAudioOnly", QMetaType::Bool}, {"width", QMetaType::Int},
        {"height", QMetaType::Int}, {"fps", QMetaType::Double}, {"totalFrames", QMetaType::LongLong},
        {"videoStartSec", QMetaType::Double}, {"videoDurationSec", QMetaType::Double},
        {"startTimecode", QMetaType::QString}, {"hasAlpha", QMetaType::Bool}, {"scanType", QMetaType::QString},
        {"codecDisplayName", QMetaType::QString}, {"colorSpaceInfo", QMetaType::QString},
        {"videoRangeInfo", QMetaType::QString}, {"audioChannelCount", QMetaType::Int},
        {"audioInfo", QMetaType::QString}, {"audioSampleRate", QMetaType::Int}};
    const QHash<QString, QMetaType::Type> videoOnly = {
        {"playbackStabilized", QMetaType::Bool}, {"playbackPrimingEnabled", QMetaType::Bool}};
    const QHash<QString, QMetaType::Type> withAudioStream = {
        {"avStartDiffFrames", QMetaType::Double}, {"avDurationDiffFrames", QMetaType::Double}};
    const QHash<QString, QMetaType::Type> audioOnlyKeys = {
        {"hasAudioTimeReference", QMetaType::Bool}, {"audioTimeReferenceSec", QMetaType::Double}};

    QHash<QString, QMetaType::Type> present = always;
    QStringList absent;
    auto require = [&](const QHash<QString, QMetaType::Type> &keys, bool wanted) {
        for (auto it = keys.cbegin(); it != keys.cend(); ++it) {
            if (wanted)
                present.insert(it.key(), it.value());
            else
                absent.append(it.key());
        }
    };
    require(videoOnly, !audioOnly);
    require(withAudioStream, !audioOnly && hasAudioStream);
    require(audioOnlyKeys, audioOnly);

    for (auto it = present.cbegin(); it != present.cend(); ++it) {
        QVERIFY2(answer.info.contains(it.key()), qPrintable(it.key()));
        QCOMPARE(answer.info.value(it.key()).metaType().id(), int(it.value()));
    }
    for (const QString &key : absent)
        QVERIFY2(!answer.info.contains(key), qPrintable(key));
    QCOMPARE(answer.info.size(), present.size());
    QVERIFY(answer.info.value("totalFrames").toLongLong() >= 1);
}

void TestVideoEngineOpen::playbackFlags_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("stabilized");
    QTest::addColumn<bool>("priming");
    QTest::addColumn<bool>("downscale");

    QTest::newRow("uhd h264") << "uhd_h264.mp4" << false << false << false;
    QTest::newRow("uhd prores") << "uhd_prores.mov" << true << true << true;
    QTest::newRow("uhd hevc") << "uhd_hevc.mp4" << true << false << true;
    QTest::newRow("1080p h264") << "h264_1080p25.mov" << true << false << false;
    QTest::newRow("1080p prores") << "prores_hq_pcm24.mov" << true << false << false;
    QTest::newRow("1080p prores in mxf") << "prores.mxf" << true << false << false;
}

void TestVideoEngineOpen::playbackFlags()
{
    QFETCH(QString, file);
    QFETCH(bool, stabilized);
    QFETCH(bool, priming);
    QFETCH(bool, downscale);
    EngineOnThread engine;
    LogCapture log({}, LogCapture::Echo::Everything);
    const OpenAnswer answer = engine.open(testsupport::mediaPath(file));
    QVERIFY2(answer.success, qPrintable(answer.error));
    compareValue(answer.info, "playbackStabilized", stabilized);
    compareValue(answer.info, "playbackPrimingEnabled", priming);
    QCOMPARE(log.lines().contains(" - Playback Preview Downscale: enabled"), downscale);
    QCOMPARE(log.lines().contains(" - Playback Stabilizer: enabled"), stabilized);
}

void TestVideoEngineOpen::matroskaFrameCountFromDuration_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("duration");
    QTest::addColumn<qint64>("frames");

    QTest::newRow("2 s at 25") << "25" << "2" << qint64(50);
    QTest::newRow("1.5 s at 24") << "24" << "1.5" << qint64(36);
    QTest::newRow("1 s at 50") << "50" << "1" << qint64(50);
}

void TestVideoEngineOpen::matroskaFrameCountFromDuration()
{
    // Matroska has no reliable per-stream frame count; the duration decides.
    QFETCH(QString, rate);
    QFETCH(QString, duration);
    QFETCH(qint64, frames);
    QTemporaryDir dir;
    const QString path = dir.filePath("clip.mkv");
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=" + rate + ":duration=" + duration,
                       "-c:v", "libx264", "-preset", "ultrafast", path}));
    EngineOnThread engine;
    const OpenAnswer answer = engine.open(path);
    QVERIFY2(answer.success, qPrintable(answer.error));
    compareValue(answer.info, "totalFrames", i64(frames));
    compareValue(answer.info, "fps", rate.toDouble());
    // The range is the one the file declares: none when FFmpeg 5.1 made it, video range
    // when 7.1 did (its H.264 in Matroska always says so).
    compareValue(answer.info, "videoRangeInfo", declaredRangeText(path));
}

void TestVideoEngineOpen::abnormalFrameRate_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("fps");
    QTest::addColumn<qint64>("frames");

    // Matroska's default duration sets avg_frame_rate; the block timestamps set r_frame_rate.
    QTest::newRow("avg 1000, real 25") << "avg1000_r25.mkv" << 25.0 << qint64(25);
    QTest::newRow("avg and real 1000") << "r1000.mp4" << 30.0 << qint64(20);
    QTest::newRow("normal 25") << "normal25.mkv" << 25.0 << qint64(25);
}

void TestVideoEngineOpen::abnormalFrameRate()
{
    QFETCH(QString, name);
    QFETCH(double, fps);
    QFETCH(qint64, frames);

    const QString normal = scratch.filePath("normal25.mkv");
    if (!QFile::exists(normal)) {
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=1", "-c:v", "libx264",
                           "-preset", "ultrafast", normal}));
        // DefaultDuration 40 000 000 ns (25 fps) becomes 1 000 000 ns (1000 fps).
        QVERIFY(replaceBytes(normal, scratch.filePath("avg1000_r25.mkv"),
                             QByteArray::fromHex("23E3838402625A00"), QByteArray::fromHex("23E38384000F4240")));
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=1000", "-frames:v", "20",
                           "-c:v", "libx264", "-preset", "ultrafast", "-bf", "0", scratch.filePath("r1000.mp4")}));
    }

    EngineOnThread engine;
    LogCapture log({}, LogCapture::Echo::Everything);
    const OpenAnswer answer = engine.open(scratch.filePath(name));
    QVERIFY2(answer.success, qPrintable(answer.error));
    compareValue(answer.info, "fps", fps);
    compareValue(answer.info, "totalFrames", i64(frames));
    const QStringList abnormalLines = log.lines().filter("Abnormal FPS");
    if (name == QLatin1String("normal25.mkv"))
        QVERIFY(abnormalLines.isEmpty());
    else
        QCOMPARE(abnormalLines, QStringList{QStringLiteral("Abnormal FPS detected. Using corrected FPS: %1").arg(fps)});
}

void TestVideoEngineOpen::rangeSource_data()
{
    QTest::addColumn<QStringList>("encode");
    QTest::addColumn<QString>("range");
    QTest::addColumn<QString>("codec");

    // A ProRes HQ header claiming full range is overridden by its FourCC.
    QTest::newRow("apch header says full") << QStringList{"-c:v", "prores_ks", "-profile:v", "3", "-color_range", "pc", "x.mov"}
                                           << "Video Range" << "ProRes422HQ";
    // Without a FourCC rule the stream's own range stands.
    QTest::newRow("mkv h264 full range") << QStringList{"-c:v", "libx264", "-preset", "ultrafast", "-color_range", "pc", "x.mkv"}
                                         << "Full Range" << "H264/AVC";
    QTest::newRow("mkv h264 video range") << QStringList{"-c:v", "libx264", "-preset", "ultrafast", "-color_range", "tv", "x.mkv"}
                                          << "Video Range" << "H264/AVC";
}

void TestVideoEngineOpen::rangeSource()
{
    QFETCH(QStringList, encode);
    QFETCH(QString, range);
    QFETCH(QString, codec);
    QTemporaryDir dir;
    const QString path = dir.filePath(encode.takeLast());
    QVERIFY(runFfmpeg(QStringList{"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-frames:v", "2"} + encode + QStringList{path}));

    EngineOnThread engine;
    LogCapture log({}, LogCapture::Echo::Everything);
    const OpenAnswer answer = engine.open(path);
    QVERIFY2(answer.success, qPrintable(answer.error));
    compareValue(answer.info, "videoRangeInfo", range);
    compareValue(answer.info, "codecDisplayName", codec);
    const bool overridden = codec.startsWith("ProRes");
    QCOMPARE(log.lines().contains("FourCC override: Forcing Video Range for " + codec), overridden);
}

void TestVideoEngineOpen::audioVideoDifference()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("late_audio.mov");
    // Audio starts 0.2 s (5 frames) after the picture and runs 0.2 s longer.
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=1", "-itsoffset", "0.2",
                       "-f", "lavfi", "-i", "sine=duration=1.2:sample_rate=48000", "-c:v", "libx264",
                       "-preset", "ultrafast", "-c:a", "pcm_s16le", path}));
    EngineOnThread engine;
    LogCapture log({}, LogCapture::Echo::Everything);
    const OpenAnswer answer = engine.open(path);
    QVERIFY2(answer.success, qPrintable(answer.error));
    compareValue(answer.info, "avStartDiffFrames", 5.0);
    compareValue(answer.info, "avDurationDiffFrames", 5.0);
    QVERIFY2(log.lines().filter(QRegularExpression("^ - A/V Timeline: audio start 0\\.2 sec, duration 1\\.2 sec, "
                                                   "start diff 5 frames, duration diff 5 frames$")).size() == 1,
             qPrintable(log.lines().join('\n')));
}

void TestVideoEngineOpen::timeReference_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("has");
    QTest::addColumn<double>("seconds");

    QTest::newRow("two seconds at 48 kHz") << "96000" << true << 2.0;
    QTest::newRow("surrounding blanks trimmed") << " 48000 " << true << 1.0;
    QTest::newRow("zero is a valid reference") << "0" << true << 0.0;
    QTest::newRow("not a number") << "abc" << false << 0.0;
    QTest::newRow("negative") << "-48000" << false << 0.0;
    QTest::newRow("trailing garbage") << "48000x" << false << 0.0;
}

void TestVideoEngineOpen::timeReference()
{
    QFETCH(QString, value);
    QFETCH(bool, has);
    QFETCH(double, seconds);
    QTemporaryDir dir;
    const QString path = dir.filePath("tr.flac");
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "sine=duration=0.1:sample_rate=48000", "-metadata",
                       "time_reference=" + value, path}));
    EngineOnThread engine;
    LogCapture log({}, LogCapture::Echo::Everything);
    const OpenAnswer answer = engine.open(path);
    QVERIFY2(answer.success, qPrintable(answer.error));
    compareValue(answer.info, "hasAudioTimeReference", has);
    compareValue(answer.info, "audioTimeReferenceSec", seconds);
    QCOMPARE(log.lines().filter(" - BWF time_reference:").size(), has ? 1 : 0);
}

void TestVideoEngineOpen::audioOnlyFrameCount_data()
{
    QTest::addColumn<int>("samples");
    QTest::addColumn<qint64>("frames");

    // ceil(seconds x 30) + 1, at least 2; 48 kHz, so 1600 samples per frame.
    QTest::newRow("10 ms") << 480 << qint64(2);
    QTest::newRow("exactly 3 frames") << 4800 << qint64(4);
    QTest::newRow("just over 3 frames") << 5280 << qint64(5);
    QTest::newRow("one second") << 48000 << qint64(31);
    // 200000 x (1/48000) x 30 lands a hair above 125 in binary floating point.
    QTest::newRow("exactly 125 frames") << 200000 << qint64(126);
}

void TestVideoEngineOpen::audioOnlyFrameCount()
{
    QFETCH(int, samples);
    QFETCH(qint64, frames);
    QTemporaryDir dir;
    const QString path = dir.filePath("tone.wav");
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "sine=sample_rate=48000", "-af",
                       QStringLiteral("atrim=end_sample=%1").arg(samples), "-c:a", "pcm_s16le", path}));
    EngineOnThread engine;
    const OpenAnswer answer = engine.open(path);
    QVERIFY2(answer.success, qPrintable(answer.error));
    compareValue(answer.info, "videoDurationSec", samples / 48000.0);
    compareValue(answer.info, "totalFrames", i64(frames));
    compareValue(answer.info, "fps", 30.0);
}

void TestVideoEngineOpen::scanType_data()
{
    QTest::addColumn<QStringList>("encode");
    QTest::addColumn<QString>("scanType");

    const QStringList h264 = {"-c:v", "libx264", "-preset", "ultrafast"};
    const QStringList mpeg2 = {"-c:v", "mpeg2video"};
    QTest::newRow("top field first") << h264 + QStringList{"-flags", "+ilme+ildct", "-field_order", "tt"} << "i";
    QTest::newRow("bottom field first") << mpeg2 + QStringList{"-flags", "+ilme+ildct", "-top", "0", "-field_order", "bb"}
                                        << "i";
    QTest::newRow("progressive") << h264 + QStringList{"-field_order", "progressive"} << "p";
    QTest::newRow("unknown order") << h264 << "p";
}

void TestVideoEngineOpen::scanType()
{
    QFETCH(QStringList, encode);
    QFETCH(QString, scanType);
    QTemporaryDir dir;
    const QString path = dir.filePath("fields.mov");
    QVERIFY(runFfmpeg(QStringList{"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-frames:v", "2"} + encode
                      + QStringList{path}));
    EngineOnThread engine;
    const OpenAnswer answer = engine.open(path);
    QVERIFY2(answer.success, qPrintable(answer.error));
    compareValue(answer.info, "scanType", scanType);
}

void TestVideoEngineOpen::failures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error");

    QTest::newRow("missing file") << "does_not_exist.mov" << "avformat_open_input failed.";
    QTest::newRow("not media") << "noise.xyz" << "avformat_open_input failed.";
    QTest::newRow("subtitles only") << "subtitles.srt" << "No video stream found.";
    QTest::newRow("video without decoder") << "unknown_video.mov" << "avcodec_open2 failed.";
    QTest::newRow("audio without decoder") << "unknown_audio.mov" << "Audio decoder initialization failed.";
}

void TestVideoEngineOpen::failures()
{
    QFETCH(QString, name);
    QFETCH(QString, error);

    QTemporaryDir dir;
    {
        QFile noise(dir.filePath("noise.xyz"));
        QVERIFY(noise.open(QIODevice::WriteOnly));
        QByteArray bytes(4096, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 7919 + 13) % 251);
        noise.write(bytes);
    }
    {
        QFile srt(dir.filePath("subtitles.srt"));
        QVERIFY(srt.open(QIODevice::WriteOnly));
        srt.write("1\n00:00:00,000 --> 00:00:01,000\nhello\n\n");
    }
    if (name == "unknown_video.mov") {
        // H.264 relabelled with a FourCC no decoder claims: demuxable, not decodable.
        const QString source = dir.filePath("h264.mov");
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-frames:v", "3",
                           "-c:v", "libx264", "-preset", "ultrafast", source}));
        QVERIFY(replaceBytes(source, dir.filePath(name), "avc1", "zzzz"));
    } else if (name == "unknown_audio.mov") {
        const QString source = dir.filePath("pcm.mov");
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "sine=duration=0.2:sample_rate=48000", "-c:a", "pcm_s16le", source}));
        QVERIFY(replaceBytes(source, dir.filePath(name), "sowt", "zzzz"));
    }

    EngineOnThread engine;
    // A good file first: the failure must not report stale properties.
    QVERIFY(engine.open(testsupport::mediaPath("h264.mkv")).success);
    const OpenAnswer failed = engine.open(dir.filePath(name));
    QCOMPARE(failed.answers, 1);
    QCOMPARE(failed.success, false);
    // Callers match the first line; a second one may say why (tst_videoengine_damaged).
    QCOMPARE(failed.error.section(QLatin1Char('\n'), 0, 0), error);
    QVERIFY(failed.info.isEmpty());

    // The engine recovers for the next file.
    const OpenAnswer again = engine.open(testsupport::mediaPath("bt709.mp4"));
    QVERIFY2(again.success, qPrintable(again.error));
    compareValue(again.info, "colorSpaceInfo", QStringLiteral("CICP 1-1-1"));
}

void TestVideoEngineOpen::videoLogBlock()
{
    EngineOnThread engine;
    LogCapture log({}, LogCapture::Echo::Everything);
    const QString path = testsupport::mediaPath("prores_hq_pcm24.mov");
    const OpenAnswer answer = engine.open(path);
    QVERIFY2(answer.success, qPrintable(answer.error));
    const QStringList lines = log.lines();
    const QString audio = answer.info.value("audioInfo").toString();

    const QStringList expectedInOrder = {
        "Video decoder: prores",
        "FourCC override: Forcing Video Range for ProRes422HQ",
        "Media opened: " + path,
        " - Resolution: 1920 x 1080",
        " - FPS: 25",
        " - Total Frames: 50",
        " - Codec: ProRes422HQ (Profile: 3 )",
        " - Color Space: " + answer.info.value("colorSpaceInfo").toString(),
        " - Range: Video Range",
        " - Video Timeline: start 0 sec, duration 2 sec",
        " - Playback Stabilizer: enabled",
        " - Audio: PCM,24bit,48kHz @ 48000 Hz",
    };
    qsizetype from = 0;
    for (const QString &line : expectedInOrder) {
        const qsizetype at = lines.indexOf(line, from);
        QVERIFY2(at >= 0, qPrintable("missing or out of order: '" + line + "' in\n" + lines.join('\n')));
        from = at + 1;
    }
    QCOMPARE(audio, QStringLiteral("PCM,24bit,48kHz"));
    QCOMPARE(lines.filter(QRegularExpression("^ - A/V Timeline: audio start \\S+ sec, duration \\S+ sec, "
                                             "start diff \\S+ frames, duration diff \\S+ frames$")).size(), 1);
    QCOMPARE(lines.filter("Playback Preview Downscale").size(), 0);
}

void TestVideoEngineOpen::audioOnlyLogBlock()
{
    EngineOnThread engine;
    LogCapture log({}, LogCapture::Echo::Everything);
    const QString path = testsupport::mediaPath("bwf_tc.wav");
    const OpenAnswer answer = engine.open(path);
    QVERIFY2(answer.success, qPrintable(answer.error));
    const QStringList expectedInOrder = {
        "Audio-only media opened: " + path,
        " - Audio Codec: PCM",
        " - Audio: PCM,24bit,48kHz @ 48000 Hz",
        " - Timeline: start 0 sec, duration 10 sec",
        " - BWF time_reference: 3600 sec",
    };
    qsizetype from = 0;
    for (const QString &line : expectedInOrder) {
        const qsizetype at = log.lines().indexOf(line, from);
        QVERIFY2(at >= 0, qPrintable("missing or out of order: '" + line + "' in\n" + log.lines().join('\n')));
        from = at + 1;
    }
    QCOMPARE(log.lines().filter("Media opened:").size(), 0);
}

void TestVideoEngineOpen::av1DecoderIsSoftware()
{
    EngineOnThread engine;
    LogCapture log({}, LogCapture::Echo::Everything);
    const OpenAnswer answer = engine.open(testsupport::mediaPath("av1.mkv"));
    QVERIFY2(answer.success, qPrintable(answer.error));
    compareValue(answer.info, "codecDisplayName", QStringLiteral("AV1"));
    const QStringList decoderLines = log.lines().filter(QRegularExpression("^Video decoder: "));
    QCOMPARE(decoderLines.size(), 1);
    const QString chosen = decoderLines.first().mid(QStringLiteral("Video decoder: ").size());
    QVERIFY2(QStringList({"libdav1d", "libaom-av1", "av1"}).contains(chosen), qPrintable(chosen));
    // The preferred order: dav1d first when this FFmpeg has it.
    if (avcodec_find_decoder_by_name("libdav1d"))
        QCOMPARE(chosen, QStringLiteral("libdav1d"));
}

QTEST_GUILESS_MAIN(TestVideoEngineOpen)
#include "tst_videoengine_open.moc"
