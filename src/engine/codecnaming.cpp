#include "engine/codecnaming.h"

#include "av/ffmpeg.h"

#include <array>

namespace codecnaming {

namespace {

constexpr std::array<FourccEntry, 20> kVideoRange{{
    {fourcc("apco"), "ProRes422Proxy"},
    {fourcc("apcs"), "ProRes422LT"},
    {fourcc("apcn"), "ProRes422"},
    {fourcc("apch"), "ProRes422HQ"},
    {fourcc("ap4h"), "ProRes4444"},
    {fourcc("ap4x"), "ProRes4444XQ"},
    {fourcc("AVdn"), "DNxHD"},
    {fourcc("AVlb"), "DNxHR LB"},
    {fourcc("AVsq"), "DNxHR SQ"},
    {fourcc("AVhq"), "DNxHR HQ"},
    {fourcc("avc1"), "H264/AVC"},
    {fourcc("hvc1"), "H265/HEVC"},
    {fourcc("hev1"), "H265/HEVC"},
    {fourcc("mp4v"), "MPEG-4 Video"},
    {fourcc("WMV3"), "WMV9"},
    {fourcc("WVC1"), "VC-1"},
    {fourcc("xd5b"), "XDCAM HD422"},
    {fourcc("SRGC"), "HDCAM SR"},
    {fourcc("dvhp"), "DVCPRO HD"},
    {fourcc("AVin"), "AVC-Intra"},
}};

constexpr std::array<FourccEntry, 7> kFullRange{{
    {fourcc("bgra"), "Uncomp BGRA 8-bit"},
    {fourcc("r210"), "Uncomp RGB 10-bit"},
    {fourcc("rle "), "Animation RLE"},
    {fourcc("r10k"), "BMD 10-bit RGB"},
    {fourcc("AV44"), "DNxHR 444"},
    {fourcc("png "), "PNG"},
    {fourcc("tiff"), "TIFF"},
}};

const char *find(std::span<const FourccEntry> table, uint32_t tag)
{
    for (const FourccEntry &entry : table) {
        if (entry.tag == tag)
            return entry.name;
    }
    return nullptr;
}

QString dnxhdName(int profile)
{
    switch (profile) {
    case ORVEL_PROFILE(DNXHD): return QStringLiteral("DNxHD");
    case ORVEL_PROFILE(DNXHR_LB): return QStringLiteral("DNxHR LB");
    case ORVEL_PROFILE(DNXHR_SQ): return QStringLiteral("DNxHR SQ");
    case ORVEL_PROFILE(DNXHR_HQ): return QStringLiteral("DNxHR HQ");
    case ORVEL_PROFILE(DNXHR_HQX): return QStringLiteral("DNxHR HQX");
    case ORVEL_PROFILE(DNXHR_444): return QStringLiteral("DNxHR 444");
    default: return QStringLiteral("DNxHD HR");
    }
}

QString proresName(int profile)
{
    switch (profile) {
    case ORVEL_PROFILE(PRORES_PROXY): return QStringLiteral("ProRes422Proxy");
    case ORVEL_PROFILE(PRORES_LT): return QStringLiteral("ProRes422LT");
    case ORVEL_PROFILE(PRORES_HQ): return QStringLiteral("ProRes422HQ");
    case ORVEL_PROFILE(PRORES_4444): return QStringLiteral("ProRes4444");
    case ORVEL_PROFILE(PRORES_XQ): return QStringLiteral("ProRes4444XQ");
    default: return QStringLiteral("ProRes422"); // standard and unknown profiles
    }
}

} // namespace

std::span<const FourccEntry> videoRangeFourccs() { return kVideoRange; }
std::span<const FourccEntry> fullRangeFourccs() { return kFullRange; }

VideoCodecName videoCodecName(const VideoCodecFacts &facts)
{
    if (facts.codecTag != 0) {
        if (const char *name = find(kVideoRange, facts.codecTag))
            return {QString::fromLatin1(name), VideoRange};
        if (const char *name = find(kFullRange, facts.codecTag))
            return {QString::fromLatin1(name), FullRange};
    }
    if (facts.codecId == AV_CODEC_ID_RAWVIDEO && facts.format == AV_PIX_FMT_BGRA)
        return {QString::fromLatin1(find(kFullRange, fourcc("bgra"))), FullRange};

    switch (facts.codecId) {
    case AV_CODEC_ID_MPEG2VIDEO: return {QStringLiteral("MPEG-2 Video")};
    case AV_CODEC_ID_H264: return {QStringLiteral("H264/AVC")};
    case AV_CODEC_ID_HEVC: return {QStringLiteral("H265/HEVC")};
    case AV_CODEC_ID_AV1: return {QStringLiteral("AV1")};
    case AV_CODEC_ID_DNXHD: return {dnxhdName(facts.profile)};
    case AV_CODEC_ID_PRORES: return {proresName(facts.profile)};
    default: break;
    }
    if (!facts.decoderName.isEmpty())
        return {facts.decoderName.toUpper()};
    // Without a decoder opening fails anyway; FFmpeg's codec name still beats nothing.
    return {QString::fromLatin1(avcodec_get_name(AVCodecID(facts.codecId))).toUpper()};
}

VideoCodecName videoCodecName(const AVCodecParameters *par, const AVCodec *decoder)
{
    if (!par)
        return {};
    VideoCodecFacts facts;
    facts.codecId = par->codec_id;
    facts.codecTag = par->codec_tag;
    facts.profile = par->profile;
    facts.format = par->format;
    if (decoder && decoder->name)
        facts.decoderName = QString::fromLatin1(decoder->name);
    return videoCodecName(facts);
}

QString audioCodecNameForId(int codecId)
{
    const AVCodecDescriptor *descriptor = avcodec_descriptor_get(AVCodecID(codecId));
    const char *raw = (descriptor && descriptor->name) ? descriptor->name
                                                       : avcodec_get_name(AVCodecID(codecId));
    const QString name = QString::fromLatin1(raw).toUpper();
    if (name.startsWith(QLatin1String("PCM_")))
        return QStringLiteral("PCM");
    return name;
}

QString audioCodecName(const AVCodecParameters *par)
{
    if (!par)
        return QStringLiteral("Audio");
    return audioCodecNameForId(par->codec_id);
}

} // namespace codecnaming
