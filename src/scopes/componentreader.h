#pragma once

// One component of a decoded frame read in place at its own code values: planar,
// semi-planar (NV12, P010) and packed layouts, 8 or 16-bit little-endian storage. The
// vectorscope and the histogram count samples straight from the decoder's planes, so they
// need no 16-bit work copy of the whole frame.

#include "av/ffmpeg.h"
#include "core/colour.h"
#include "core/scoperequest.h"

#include <cstdint>
#include <cstring>
#include <optional>

namespace scopes {

struct ComponentReader {
    const uint8_t *data = nullptr;
    int linesize = 0;
    int step = 0;   // bytes from one sample to the next
    int offset = 0; // bytes to the first sample of a row
    int shift = 0;
    int depth = 8;
    bool wide = false; // 16-bit storage
    int width = 0;     // samples per row of this component (chroma subsampling applied)
    int height = 0;

    // Null for layouts read otherwise: big-endian, bit-packed, palettes, floats, mosaics,
    // hardware frames, or a component the format lacks.
    static std::optional<ComponentReader> make(const AVFrame *frame, int component)
    {
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
        constexpr uint64_t unread = AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL
            | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_FLOAT | AV_PIX_FMT_FLAG_BAYER;
        if (!d || (d->flags & unread) || component >= d->nb_components)
            return std::nullopt;
        const AVComponentDescriptor &c = d->comp[component];
        if (c.depth < 1 || c.depth + c.shift > 16 || !frame->data[c.plane])
            return std::nullopt;
        ComponentReader r;
        r.wide = c.depth + c.shift > 8;
        if (c.step < (r.wide ? 2 : 1))
            return std::nullopt;
        r.data = frame->data[c.plane];
        r.linesize = frame->linesize[c.plane];
        r.step = c.step;
        r.offset = c.offset;
        r.shift = c.shift;
        r.depth = c.depth;
        const bool chroma = (d->flags & AV_PIX_FMT_FLAG_RGB) == 0 && (component == 1 || component == 2);
        r.width = chroma ? AV_CEIL_RSHIFT(frame->width, d->log2_chroma_w) : frame->width;
        r.height = chroma ? AV_CEIL_RSHIFT(frame->height, d->log2_chroma_h) : frame->height;
        return r;
    }

    const uint8_t *row(int y) const { return data + ptrdiff_t(y) * linesize + offset; }

    template <bool Wide>
    uint32_t at(const uint8_t *rowStart, int x) const
    {
        const uint8_t *p = rowStart + ptrdiff_t(x) * step;
        uint32_t v;
        if constexpr (Wide) {
            uint16_t w;
            std::memcpy(&w, p, 2);
            v = w;
        } else {
            v = *p;
        }
        return (v >> shift) & ((1u << depth) - 1u);
    }
};

// The range a YUV frame is read in: the file's override, else the frame's tag, else
// limited (the full-range "J" formats count as full).
inline colour::Range frameRange(const AVFrame *frame, const ScopeRequest &request)
{
    if (request.rangeOverride != 0)
        return colour::rangeForColorRange(request.rangeOverride);
    if (frame->color_range != AVCOL_RANGE_UNSPECIFIED)
        return colour::rangeForColorRange(frame->color_range);
    switch (frame->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
        return colour::Range::Full;
    default:
        return colour::Range::Limited;
    }
}

// The frame's R'G'B' is stored as such (not as Y'CbCr).
inline bool isRgbFrame(const AVFrame *frame)
{
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    return d && (d->flags & AV_PIX_FMT_FLAG_RGB);
}

// R'G'B' the decoder hands over in a Y'CbCr layout (DNxHR 4:4:4): not read in place, the
// engine's 8-bit picture stands in.
inline bool rgbInYuvLayout(const AVFrame *frame, const ScopeRequest &request)
{
    return request.rgbSource && !isRgbFrame(frame);
}

} // namespace scopes
