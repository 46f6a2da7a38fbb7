#include "engine/picturetimecode.h"

extern "C" {
#include <libavutil/timecode.h>
}

#include <cstring>

namespace picturetimecode {

bool codecMayCarryTimecode(AVCodecID codecId)
{
    switch (codecId) {
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_HEVC:
        return true;
    default:
        return false;
    }
}

std::optional<Found> fromFrame(const AVFrame *frame, AVRational frameRate)
{
    if (!frame)
        return std::nullopt;
    char buffer[AV_TIMECODE_STR_SIZE] = {};

    if (const AVFrameSideData *gop = av_frame_get_side_data(frame, AV_FRAME_DATA_GOP_TIMECODE);
        gop && gop->size >= int(sizeof(int64_t))) {
        int64_t packed = 0;
        std::memcpy(&packed, gop->data, sizeof(packed));
        av_timecode_make_mpeg_tc_string(buffer, uint32_t(packed));
        return Found{QString::fromLatin1(buffer), QStringLiteral("GOP timecode")};
    }

    // uint32_t count, then up to three SMPTE 12M timecodes (one per field or frame).
    if (const AVFrameSideData *smpte = av_frame_get_side_data(frame, AV_FRAME_DATA_S12M_TIMECODE);
        smpte && smpte->size >= int(2 * sizeof(uint32_t)) && frameRate.num > 0 && frameRate.den > 0) {
        uint32_t values[2] = {};
        std::memcpy(values, smpte->data, sizeof(values));
        if (values[0] >= 1) {
            av_timecode_make_smpte_tc_string2(buffer, frameRate, values[1], 0, 0);
            return Found{QString::fromLatin1(buffer), QStringLiteral("SMPTE timecode")};
        }
    }

    if (const AVDictionaryEntry *tag = av_dict_get(frame->metadata, "timecode", nullptr, 0);
        tag && tag->value && *tag->value)
        return Found{QString::fromUtf8(tag->value), QStringLiteral("frame timecode tag")};

    return std::nullopt;
}

} // namespace picturetimecode
