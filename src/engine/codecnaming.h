#pragma once

// Editor-facing codec names ("ProRes422HQ", "DNxHR SQ", "H264/AVC") and the signal range
// that some professional FourCCs imply whatever their headers claim.

#include <QString>

#include <cstdint>
#include <span>

struct AVCodec;
struct AVCodecParameters;

namespace codecnaming {

// AVColorRange values; kept here so callers without FFmpeg headers can compare.
inline constexpr int NoForcedRange = 0;
inline constexpr int VideoRange = 1; // AVCOL_RANGE_MPEG
inline constexpr int FullRange = 2;  // AVCOL_RANGE_JPEG

// FourCC as FFmpeg stores codec_tag: first character in the lowest byte.
constexpr uint32_t fourcc(const char (&text)[5])
{
    return uint32_t(uint8_t(text[0])) | (uint32_t(uint8_t(text[1])) << 8)
        | (uint32_t(uint8_t(text[2])) << 16) | (uint32_t(uint8_t(text[3])) << 24);
}

struct FourccEntry {
    uint32_t tag;
    const char *name;
};

// The two constant tables: FourCCs stored in video (limited) range and in full range.
std::span<const FourccEntry> videoRangeFourccs();
std::span<const FourccEntry> fullRangeFourccs();

struct VideoCodecName {
    QString name;
    int forcedRange = NoForcedRange; // NoForcedRange, VideoRange or FullRange
};

// The plain facts the naming looks at, so tests can drive every rule without a file.
struct VideoCodecFacts {
    int codecId = 0;          // AVCodecID
    uint32_t codecTag = 0;    // AVCodecParameters::codec_tag
    int profile = -99;        // AVCodecParameters::profile (FFmpeg's "unknown" is -99)
    int format = -1;          // AVPixelFormat of the parameters
    QString decoderName;      // AVCodec::name of the chosen decoder; empty when none
};

// First match wins: video-range FourCC, full-range FourCC, untagged raw BGRA, then the
// codec id (ProRes/DNxHD by profile), else the decoder's short name in upper case.
VideoCodecName videoCodecName(const VideoCodecFacts &facts);
VideoCodecName videoCodecName(const AVCodecParameters *par, const AVCodec *decoder);

// Upper-case codec name with every PCM layout folded into "PCM"; "Audio" for null.
QString audioCodecName(const AVCodecParameters *par);
// Same from a bare AVCodecID.
QString audioCodecNameForId(int codecId);

} // namespace codecnaming
