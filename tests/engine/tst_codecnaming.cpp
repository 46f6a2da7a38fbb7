#include "engine/codecnaming.h"
#include "av/ffmpeg.h"
#include "testsupport.h"

#include <QtTest>

using codecnaming::FullRange;
using codecnaming::NoForcedRange;
using codecnaming::VideoCodecFacts;
using codecnaming::VideoRange;

Q_DECLARE_METATYPE(VideoCodecFacts)

namespace {

constexpr int kUnknownProfile = -99;

VideoCodecFacts facts(int codecId, uint32_t tag, int profile = kUnknownProfile, int format = -1,
                      const char *decoder = nullptr)
{
    VideoCodecFacts f;
    f.codecId = codecId;
    f.codecTag = tag;
    f.profile = profile;
    f.format = format;
    f.decoderName = decoder ? QString::fromLatin1(decoder) : QString();
    return f;
}

uint32_t tagOf(const char *text)
{
    return MKTAG(text[0], text[1], text[2], text[3]);
}

struct ProbedVideo {
    av::FormatContextPtr format;
    const AVCodecParameters *par = nullptr;
    const AVCodec *decoder = nullptr;
};

ProbedVideo probeBest(const QString &path, AVMediaType type)
{
    ProbedVideo result;
    if (av::openInput(result.format, path.toUtf8().constData()) < 0)
        return result;
    if (avformat_find_stream_info(result.format.get(), nullptr) < 0)
        return result;
    const AVCodec *decoder = nullptr;
    const int index = av_find_best_stream(result.format.get(), type, -1, -1, &decoder, 0);
    if (index < 0)
        return result;
    result.par = result.format->streams[index]->codecpar;
    result.decoder = decoder;
    return result;
}

} // namespace

class TestCodecNaming : public QObject
{
    Q_OBJECT

private slots:
    void fourccPacksLittleEndian();
    void videoNaming_data();
    void videoNaming();
    void tablesHaveUniqueKeys();
    void audioNaming_data();
    void audioNaming();
    void audioNamingWithoutParameters();
    void generatedVideo_data();
    void generatedVideo();
    void proresInMxfNamedHq();
    void generatedAudio_data();
    void generatedAudio();
};

void TestCodecNaming::fourccPacksLittleEndian()
{
    QCOMPARE(codecnaming::fourcc("apch"), uint32_t(MKTAG('a', 'p', 'c', 'h')));
    QCOMPARE(codecnaming::fourcc("rle "), uint32_t(0x20656c72));
}

void TestCodecNaming::videoNaming_data()
{
    QTest::addColumn<VideoCodecFacts>("input");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("range");

    // Every row of the video-range FourCC table, whatever the codec id says.
    const struct { const char *tag; const char *name; } videoRows[] = {
        {"apco", "ProRes422Proxy"}, {"apcs", "ProRes422LT"}, {"apcn", "ProRes422"},
        {"apch", "ProRes422HQ"}, {"ap4h", "ProRes4444"}, {"ap4x", "ProRes4444XQ"},
        {"AVdn", "DNxHD"}, {"AVlb", "DNxHR LB"}, {"AVsq", "DNxHR SQ"}, {"AVhq", "DNxHR HQ"},
        {"avc1", "H264/AVC"}, {"hvc1", "H265/HEVC"}, {"hev1", "H265/HEVC"},
        {"mp4v", "MPEG-4 Video"}, {"WMV3", "WMV9"}, {"WVC1", "VC-1"}, {"xd5b", "XDCAM HD422"},
        {"SRGC", "HDCAM SR"}, {"dvhp", "DVCPRO HD"}, {"AVin", "AVC-Intra"},
    };
    for (const auto &row : videoRows) {
        QTest::addRow("video-range %s", row.tag)
            << facts(AV_CODEC_ID_PRORES, tagOf(row.tag), ORVEL_PROFILE(PRORES_4444))
            << QString::fromLatin1(row.name) << int(VideoRange);
    }
    const struct { const char *tag; const char *name; } fullRows[] = {
        {"bgra", "Uncomp BGRA 8-bit"}, {"r210", "Uncomp RGB 10-bit"}, {"rle ", "Animation RLE"},
        {"r10k", "BMD 10-bit RGB"}, {"AV44", "DNxHR 444"}, {"png ", "PNG"}, {"tiff", "TIFF"},
    };
    for (const auto &row : fullRows) {
        QTest::addRow("full-range %s", row.tag)
            << facts(AV_CODEC_ID_RAWVIDEO, tagOf(row.tag), kUnknownProfile, AV_PIX_FMT_YUV420P, "rawvideo")
            << QString::fromLatin1(row.name) << int(FullRange);
    }

    // A tag is matched whole: "rle" without its trailing space is a different key.
    QTest::newRow("rle without space is unknown")
        << facts(AV_CODEC_ID_QTRLE, MKTAG('r', 'l', 'e', 0), kUnknownProfile, -1, "qtrle")
        << "QTRLE" << int(NoForcedRange);
    QTest::newRow("tag case matters")
        << facts(AV_CODEC_ID_PRORES, tagOf("APCH"), ORVEL_PROFILE(PRORES_LT))
        << "ProRes422LT" << int(NoForcedRange);

    QTest::newRow("untagged raw BGRA")
        << facts(AV_CODEC_ID_RAWVIDEO, 0, kUnknownProfile, AV_PIX_FMT_BGRA, "rawvideo")
        << "Uncomp BGRA 8-bit" << int(FullRange);
    QTest::newRow("untagged raw RGBA is not BGRA")
        << facts(AV_CODEC_ID_RAWVIDEO, 0, kUnknownProfile, AV_PIX_FMT_RGBA, "rawvideo")
        << "RAWVIDEO" << int(NoForcedRange);
    QTest::newRow("BGRA format but not raw video")
        << facts(AV_CODEC_ID_PNG, 0, kUnknownProfile, AV_PIX_FMT_BGRA, "png")
        << "PNG" << int(NoForcedRange);

    // By codec id, no forced range.
    QTest::newRow("mpeg2") << facts(AV_CODEC_ID_MPEG2VIDEO, 0, 4, -1, "mpeg2video")
                           << "MPEG-2 Video" << int(NoForcedRange);
    QTest::newRow("h264 in mkv") << facts(AV_CODEC_ID_H264, 0, 100, -1, "h264")
                                 << "H264/AVC" << int(NoForcedRange);
    QTest::newRow("hevc untagged") << facts(AV_CODEC_ID_HEVC, 0, 1, -1, "hevc")
                                   << "H265/HEVC" << int(NoForcedRange);
    QTest::newRow("hevc unknown tag") << facts(AV_CODEC_ID_HEVC, tagOf("dvh1"), 1, -1, "hevc")
                                      << "H265/HEVC" << int(NoForcedRange);
    QTest::newRow("av1 via libdav1d") << facts(AV_CODEC_ID_AV1, tagOf("av01"), 0, -1, "libdav1d")
                                      << "AV1" << int(NoForcedRange);

    const struct { int profile; const char *name; } dnx[] = {
        {ORVEL_PROFILE(DNXHD), "DNxHD"}, {ORVEL_PROFILE(DNXHR_LB), "DNxHR LB"},
        {ORVEL_PROFILE(DNXHR_SQ), "DNxHR SQ"}, {ORVEL_PROFILE(DNXHR_HQ), "DNxHR HQ"},
        {ORVEL_PROFILE(DNXHR_HQX), "DNxHR HQX"}, {ORVEL_PROFILE(DNXHR_444), "DNxHR 444"},
        {6, "DNxHD HR"}, {kUnknownProfile, "DNxHD HR"},
    };
    for (const auto &row : dnx) {
        QTest::addRow("dnxhd profile %d", row.profile)
            << facts(AV_CODEC_ID_DNXHD, tagOf("AVdh"), row.profile, -1, "dnxhd")
            << QString::fromLatin1(row.name) << int(NoForcedRange);
    }
    const struct { int profile; const char *name; } prores[] = {
        {ORVEL_PROFILE(PRORES_PROXY), "ProRes422Proxy"}, {ORVEL_PROFILE(PRORES_LT), "ProRes422LT"},
        {ORVEL_PROFILE(PRORES_STANDARD), "ProRes422"}, {ORVEL_PROFILE(PRORES_HQ), "ProRes422HQ"},
        {ORVEL_PROFILE(PRORES_4444), "ProRes4444"}, {ORVEL_PROFILE(PRORES_XQ), "ProRes4444XQ"},
        {kUnknownProfile, "ProRes422"}, {7, "ProRes422"},
    };
    for (const auto &row : prores) {
        QTest::addRow("prores profile %d", row.profile)
            << facts(AV_CODEC_ID_PRORES, 0, row.profile, -1, "prores")
            << QString::fromLatin1(row.name) << int(NoForcedRange);
    }

    QTest::newRow("other codec uses decoder name") << facts(AV_CODEC_ID_VP9, 0, 0, -1, "vp9")
                                                   << "VP9" << int(NoForcedRange);
    QTest::newRow("decoder name, not codec name") << facts(AV_CODEC_ID_VP9, 0, 0, -1, "libvpx-vp9")
                                                  << "LIBVPX-VP9" << int(NoForcedRange);
    QTest::newRow("no decoder falls back to codec name") << facts(AV_CODEC_ID_VP8, 0)
                                                         << "VP8" << int(NoForcedRange);
}

void TestCodecNaming::videoNaming()
{
    QFETCH(VideoCodecFacts, input);
    QFETCH(QString, name);
    QFETCH(int, range);
    const codecnaming::VideoCodecName result = codecnaming::videoCodecName(input);
    QCOMPARE(result.name, name);
    QCOMPARE(result.forcedRange, range);
}

void TestCodecNaming::tablesHaveUniqueKeys()
{
    // A tag in both tables would make the full-range row unreachable.
    QSet<uint32_t> seen;
    for (const auto table : {codecnaming::videoRangeFourccs(), codecnaming::fullRangeFourccs()}) {
        for (const auto &entry : table) {
            QVERIFY2(!seen.contains(entry.tag), entry.name);
            seen.insert(entry.tag);
        }
    }
    QCOMPARE(seen.size(), 27);
}

void TestCodecNaming::audioNaming_data()
{
    QTest::addColumn<int>("codecId");
    QTest::addColumn<QString>("name");

    QTest::newRow("pcm s16le") << int(AV_CODEC_ID_PCM_S16LE) << "PCM";
    QTest::newRow("pcm s24le") << int(AV_CODEC_ID_PCM_S24LE) << "PCM";
    QTest::newRow("pcm f32be") << int(AV_CODEC_ID_PCM_F32BE) << "PCM";
    QTest::newRow("pcm mulaw") << int(AV_CODEC_ID_PCM_MULAW) << "PCM";
    QTest::newRow("aac") << int(AV_CODEC_ID_AAC) << "AAC";
    QTest::newRow("mp3") << int(AV_CODEC_ID_MP3) << "MP3";
    QTest::newRow("flac") << int(AV_CODEC_ID_FLAC) << "FLAC";
    QTest::newRow("alac") << int(AV_CODEC_ID_ALAC) << "ALAC";
    QTest::newRow("opus") << int(AV_CODEC_ID_OPUS) << "OPUS";
    QTest::newRow("ac3") << int(AV_CODEC_ID_AC3) << "AC3";
    // Only the "PCM_" prefix folds; ADPCM keeps its own name.
    QTest::newRow("adpcm ima wav") << int(AV_CODEC_ID_ADPCM_IMA_WAV) << "ADPCM_IMA_WAV";
}

void TestCodecNaming::audioNaming()
{
    QFETCH(int, codecId);
    QFETCH(QString, name);
    QCOMPARE(codecnaming::audioCodecNameForId(codecId), name);

    AVCodecParameters *raw = avcodec_parameters_alloc();
    QVERIFY(raw);
    raw->codec_type = AVMEDIA_TYPE_AUDIO;
    raw->codec_id = AVCodecID(codecId);
    const QString fromParameters = codecnaming::audioCodecName(raw);
    avcodec_parameters_free(&raw);
    QCOMPARE(fromParameters, name);
}

void TestCodecNaming::audioNamingWithoutParameters()
{
    QCOMPARE(codecnaming::audioCodecName(nullptr), QStringLiteral("Audio"));
}

void TestCodecNaming::generatedVideo_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("range");

    QTest::newRow("prores hq apch") << "prores_hq_pcm24.mov" << "ProRes422HQ" << int(VideoRange);
    QTest::newRow("prores 4444 ap4h") << "prores4444_alpha.mov" << "ProRes4444" << int(VideoRange);
    QTest::newRow("dnxhr hq") << "dnxhr_hq.mov" << "DNxHR HQ" << int(NoForcedRange);
    QTest::newRow("dnxhr 444") << "dnxhr_444.mov" << "DNxHR 444" << int(NoForcedRange);
    QTest::newRow("h264 mov avc1") << "h264_1080p25.mov" << "H264/AVC" << int(VideoRange);
    QTest::newRow("h264 mkv") << "h264.mkv" << "H264/AVC" << int(NoForcedRange);
    QTest::newRow("hevc mp4") << "uhd_hevc.mp4" << "H265/HEVC" << int(VideoRange);
    QTest::newRow("bgra avi") << "bgra.avi" << "Uncomp BGRA 8-bit" << int(FullRange);
    QTest::newRow("vp9 webm") << "vp9.webm" << "VP9" << int(NoForcedRange);
    QTest::newRow("png still") << "still.png" << "PNG" << int(NoForcedRange);
}

void TestCodecNaming::generatedVideo()
{
    QFETCH(QString, file);
    QFETCH(QString, name);
    QFETCH(int, range);
    const ProbedVideo probed = probeBest(testsupport::mediaPath(file), AVMEDIA_TYPE_VIDEO);
    QVERIFY2(probed.par, qPrintable(file));
    const codecnaming::VideoCodecName result = codecnaming::videoCodecName(probed.par, probed.decoder);
    QCOMPARE(result.name, name);
    QCOMPARE(result.forcedRange, range);
}

void TestCodecNaming::proresInMxfNamedHq()
{
    // MXF carries no QuickTime sample description; whether FFmpeg reconstructs a tag or
    // not, an HQ essence must be named HQ.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("hq.mxf"));
    const int rc = QProcess::execute(QStringLiteral("ffmpeg"),
        {"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
         "testsrc2=size=1920x1080:rate=25", "-frames:v", "1", "-c:v", "prores_aw",
         "-profile:v", "3", path});
    QCOMPARE(rc, 0);
    const ProbedVideo probed = probeBest(path, AVMEDIA_TYPE_VIDEO);
    QVERIFY(probed.par);
    QCOMPARE(codecnaming::videoCodecName(probed.par, probed.decoder).name, QStringLiteral("ProRes422HQ"));
}

void TestCodecNaming::generatedAudio_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("name");

    QTest::newRow("pcm 24-bit in mov") << "prores_hq_pcm24.mov" << "PCM";
    QTest::newRow("bwf wav") << "bwf_tc.wav" << "PCM";
    QTest::newRow("aac m4a") << "audio.m4a" << "AAC";
    QTest::newRow("aac in mov") << "h264_1080p25.mov" << "AAC";
    QTest::newRow("flac") << "audio.flac" << "FLAC";
    QTest::newRow("opus") << "audio.opus" << "OPUS";
}

void TestCodecNaming::generatedAudio()
{
    QFETCH(QString, file);
    QFETCH(QString, name);
    const ProbedVideo probed = probeBest(testsupport::mediaPath(file), AVMEDIA_TYPE_AUDIO);
    QVERIFY2(probed.par, qPrintable(file));
    QCOMPARE(codecnaming::audioCodecName(probed.par), name);
}

QTEST_GUILESS_MAIN(TestCodecNaming)
#include "tst_codecnaming.moc"
