#include "analysis/planarformat.h"

#include "av/ffmpeg.h"

namespace qc {

bool isDirectYuv(const AVPixFmtDescriptor *desc)
{
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM
                                 | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_FLOAT)))
        return false;
    const int colourComponents = desc->nb_components - ((desc->flags & AV_PIX_FMT_FLAG_ALPHA) ? 1 : 0);
    if (colourComponents != 1 && colourComponents != 3)
        return false;
    const int bytes = desc->comp[0].depth > 8 ? 2 : 1;
    for (int c = 0; c < colourComponents; ++c) {
        const AVComponentDescriptor &comp = desc->comp[c];
        if (comp.plane != c || comp.step != bytes || comp.shift != 0 || comp.offset != 0
            || comp.depth != desc->comp[0].depth)
            return false;
    }
    return desc->comp[0].depth <= 16;
}

} // namespace qc
