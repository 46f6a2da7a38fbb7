#pragma once

// Frames of any pixel format filled from a function, for the scope renderers' tests.

#include "av/ffmpeg.h"
#include "av/ffmpegptr.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace patternframe {

// value(component, x, y) in the component's own bit depth; components in descriptor order
// (Y, Cb, Cr, A for YUV; R, G, B, A for RGB formats); x, y in that component's plane.
using Pattern = std::function<int(int component, int x, int y)>;

inline av::FramePtr makeFrame(AVPixelFormat format, int width, int height, const Pattern &value,
                              AVColorRange range = AVCOL_RANGE_MPEG, AVColorSpace space = AVCOL_SPC_BT709)
{
    av::FramePtr frame = av::makeFrame();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    frame->color_range = range;
    frame->colorspace = space;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    // av_write_image_line2 ORs the bits into place.
    for (AVBufferRef *buffer : frame->buf) {
        if (buffer)
            std::fill_n(buffer->data, buffer->size, 0);
    }
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    std::vector<uint16_t> line(static_cast<size_t>(width));
    for (int c = 0; c < d->nb_components; ++c) {
        const bool chroma = (d->flags & AV_PIX_FMT_FLAG_RGB) == 0 && (c == 1 || c == 2);
        const int w = chroma ? AV_CEIL_RSHIFT(width, d->log2_chroma_w) : width;
        const int h = chroma ? AV_CEIL_RSHIFT(height, d->log2_chroma_h) : height;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x)
                line[size_t(x)] = uint16_t(value(c, x, y));
            av_write_image_line2(line.data(), frame->data, frame->linesize, d, 0, y, c, w, 2);
        }
    }
    return frame;
}

} // namespace patternframe
