#include "av/rgbreader.h"

#include "av/ffmpeg.h"

extern "C" {
#include <libavutil/intreadwrite.h>
}

#include "core/parallelrows.h"

#include <QDebug>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>

// Packed B,G,R,A words are written as one 32-bit value per pixel.
static_assert(std::endian::native == std::endian::little, "BGRA byte order assumed");

namespace {

constexpr int kMinRowsPerBand = 32;

// Reading the "J" formats as their plain layouts; they are full range by definition.
int plainTwinOf(int format)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
    default: return AV_PIX_FMT_NONE;
    }
}

int dnxhrRgbFormatFor(int format)
{
    switch (format) {
    case AV_PIX_FMT_YUV444P: return AV_PIX_FMT_GBRP;
    case AV_PIX_FMT_YUV444P10LE: return AV_PIX_FMT_GBRP10LE;
    case AV_PIX_FMT_YUV444P12LE: return AV_PIX_FMT_GBRP12LE;
    default: return AV_PIX_FMT_NONE;
    }
}

// Layouts read sample by sample from the descriptor; everything else is unpacked by
// swscale first (palettes, bit-packed and mosaic layouts, half floats, XYZ).
bool readableInPlace(const AVPixFmtDescriptor *desc)
{
    if (desc->flags & (AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BAYER))
        return false;
    if (std::strncmp(desc->name, "xyz", 3) == 0)
        return false;
    for (int c = 0; c < desc->nb_components; ++c) {
        const AVComponentDescriptor &comp = desc->comp[c];
        if (comp.plane >= 4 || comp.depth <= 0)
            return false;
        if ((desc->flags & AV_PIX_FMT_FLAG_FLOAT) ? comp.depth != 32 : comp.depth > 16)
            return false;
    }
    return desc->nb_components > 0;
}

// Once per tag and process: a picture whose matrix is unknown is shown all the same, by
// the untagged rule, and the log says which tag it was.
void noteUnknownColourSpace(int tag)
{
    static std::mutex mutex;
    static std::set<int> named;
    const std::lock_guard lock(mutex);
    if (!named.insert(tag).second)
        return;
    const char *name = av_color_space_name(AVColorSpace(tag));
    qWarning().noquote() << QStringLiteral("Unknown colour space tag \"%1\" (%2): read with the %3 matrix")
                                .arg(QString::fromLatin1(name ? name : "?"))
                                .arg(tag)
                                .arg(QString::fromLatin1(colour::matrixName(colour::Matrix::BT709).data()));
}

// v already holds the rounding half. Written as the comparisons the vector units' min
// and max instructions make (NaN gives 0), so the loops below vectorise.
inline uint32_t clampedByte(float v)
{
    v = v > 0.0f ? v : 0.0f;
    v = v < 255.0f ? v : 255.0f;
    return uint32_t(int(v));
}

} // namespace

namespace rgbreader {

colour::MatrixChoice matrixFor(int avColorSpace)
{
    const colour::MatrixChoice choice = colour::matrixForColorSpace(avColorSpace);
    if (!choice.recognised)
        noteUnknownColourSpace(avColorSpace);
    return choice;
}

av::FramePtr sourceView(const AVFrame *frame, const ConversionSource &source)
{
    if (!frame || frame->width <= 0 || frame->height <= 0 || frame->format < 0
        || !av_pix_fmt_desc_get(AVPixelFormat(frame->format)))
        return {};
    av::FramePtr view = av::makeFrame();
    if (!view || av_frame_ref(view.get(), frame) < 0)
        return {};

    bool impliedFull = false;
    if (const int twin = plainTwinOf(frame->format); twin != AV_PIX_FMT_NONE) {
        view->format = twin;
        impliedFull = true;
    }
    bool reorder = false;
    if (source.dnxhrPlanesInRgbOrder) {
        const bool gbr = frame->format == AV_PIX_FMT_GBRP || frame->format == AV_PIX_FMT_GBRP10LE
                         || frame->format == AV_PIX_FMT_GBRP12LE;
        if (source.codecId == AV_CODEC_ID_DNXHD && gbr) {
            reorder = true;
        } else if (source.codecProfile == ORVEL_PROFILE(DNXHR_444)) {
            const int rgbFormat = dnxhrRgbFormatFor(frame->format);
            if (rgbFormat != AV_PIX_FMT_NONE) {
                view->format = rgbFormat;
                reorder = true;
            }
        }
    }
    if (reorder) {
        // R,G,B planes presented in GBR order.
        static constexpr int order[3] = {1, 2, 0};
        for (int p = 0; p < 3; ++p) {
            view->data[p] = frame->data[order[p]];
            view->linesize[p] = frame->linesize[order[p]];
        }
    }

    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(view->format));
    const bool isRgb = reorder || (desc->flags & AV_PIX_FMT_FLAG_RGB);
    if (source.rangeOverride != AVCOL_RANGE_UNSPECIFIED)
        view->color_range = AVColorRange(source.rangeOverride);
    else if (frame->color_range == AVCOL_RANGE_UNSPECIFIED)
        view->color_range = isRgb || impliedFull ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    // JPEG places chroma between the luma samples it covers.
    if (impliedFull && frame->chroma_location == AVCHROMA_LOC_UNSPECIFIED)
        view->chroma_location = AVCHROMA_LOC_CENTER;
    return view;
}

} // namespace rgbreader

struct RgbReader::Scratch {
    std::vector<float> c0, c1, c2, a; // one picture row
    std::vector<float> t0, t1;        // chroma rows, one sample of padding at each end

    Scratch(int width, int chromaWidth)
        : c0(size_t(width)), c1(size_t(width)), c2(size_t(width)), a(size_t(width)),
          t0(size_t(chromaWidth) + 2), t1(size_t(chromaWidth) + 2)
    {
    }
};

RgbReader::RgbReader() = default;
RgbReader::~RgbReader() = default;

bool RgbReader::open(const AVFrame *frame, const ConversionSource &source)
{
    m_open = false;
    m_unpacked.reset();
    m_view = rgbreader::sourceView(frame, source);
    if (!m_view)
        return false;
    m_open = prepare(m_view.get());
    if (!m_open || !m_facts.sceneLinear)
        m_sceneLinearView.reset();
    else if (!m_sceneLinearView || m_sceneLinearView->exposureStops() != source.exposureStops)
        m_sceneLinearView.emplace(source.exposureStops);
    return m_open;
}

bool RgbReader::prepare(const AVFrame *view)
{
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(view->format));
    if (!desc || (desc->flags & AV_PIX_FMT_FLAG_HWACCEL))
        return false;
    const bool sourceAlpha = desc->flags & AV_PIX_FMT_FLAG_ALPHA;
    if (!readableInPlace(desc)) {
        // No Y'CbCr matrix is involved in any of these layouts.
        av::FramePtr unpacked = av::makeFrame();
        if (!unpacked)
            return false;
        unpacked->format = AV_PIX_FMT_RGBA64LE;
        unpacked->width = view->width;
        unpacked->height = view->height;
        if (av_frame_get_buffer(unpacked.get(), 0) < 0)
            return false;
        av::SwsContextPtr scaler(sws_getContext(view->width, view->height, AVPixelFormat(view->format),
                                                view->width, view->height, AV_PIX_FMT_RGBA64LE,
                                                SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr,
                                                nullptr));
        if (!scaler
            || sws_scale(scaler.get(), view->data, view->linesize, 0, view->height, unpacked->data,
                         unpacked->linesize) != view->height)
            return false;
        m_unpacked = std::move(unpacked);
        view = m_unpacked.get();
        desc = av_pix_fmt_desc_get(AV_PIX_FMT_RGBA64LE);
    }

    m_width = view->width;
    m_height = view->height;
    m_facts = Facts();
    m_facts.colorSpaceTag = view->colorspace;
    m_facts.depth = desc->comp[0].depth;
    const bool isFloat = desc->flags & AV_PIX_FMT_FLAG_FLOAT;
    const int count = desc->nb_components;
    for (int c = 0; c < count; ++c) {
        const AVComponentDescriptor &comp = desc->comp[c];
        Component &out = m_components[size_t(c)];
        out.data = view->data[comp.plane];
        out.stride = view->linesize[comp.plane];
        if (!out.data)
            return false;
        out.step = std::max(comp.step, 1);
        out.offset = comp.offset;
        out.shift = comp.shift;
        out.depth = comp.depth;
        out.isFloat = isFloat;
        out.bigEndian = desc->flags & AV_PIX_FMT_FLAG_BE;
        out.unit = isFloat || comp.shift + comp.depth > 16 ? 4 : comp.shift + comp.depth > 8 ? 2 : 1;
        out.mask = comp.depth >= 32 ? 0xffffffffu : (1u << comp.depth) - 1u;
        // The descriptor's offsets of big-endian words address their low byte.
        if (out.unit == 1 && out.bigEndian)
            out.offset += 1;
    }
    const auto fullScale = [isFloat](const Component &c) {
        return isFloat ? 1.0f : float(1.0 / (std::ldexp(1.0, c.depth) - 1.0));
    };

    m_alphaComponent = sourceAlpha ? count - 1 : -1;
    m_facts.alpha = sourceAlpha;
    if (m_alphaComponent >= 0)
        m_alphaScale = fullScale(m_components[size_t(m_alphaComponent)]);

    const bool rgb = desc->flags & AV_PIX_FMT_FLAG_RGB;
    const int colourComponents = count - (sourceAlpha ? 1 : 0);
    m_log2ChromaW = 0;
    m_log2ChromaH = 0;
    if (rgb || (colourComponents >= 3 && view->colorspace == AVCOL_SPC_RGB && desc->log2_chroma_w == 0
                && desc->log2_chroma_h == 0)) {
        // A YUV layout tagged RGB holds G, B, R in its Y, Cb, Cr places.
        m_mode = Mode::Rgb;
        m_rgbOrder = rgb ? std::array<int, 3>{0, 1, 2} : std::array<int, 3>{2, 0, 1};
        m_facts.rgb = true;
        m_facts.range = colour::Range::Full;
        m_facts.sceneLinear = isFloat;
        for (int i = 0; i < 3; ++i)
            m_scale[size_t(i)] = fullScale(m_components[size_t(m_rgbOrder[size_t(i)])]);
        return true;
    }

    m_facts.range = colour::rangeForColorRange(view->color_range);
    if (colourComponents < 3) {
        m_mode = Mode::Grey;
        m_facts.sceneLinear = isFloat;
        if (isFloat) {
            m_scale[0] = 1.0f;
            m_offset[0] = 0.0f;
        } else {
            const colour::CodeLevels levels = colour::codeLevels(m_facts.range, m_facts.depth);
            m_scale[0] = float(1.0 / levels.lumaSpan);
            m_offset[0] = float(-levels.lumaBlack / levels.lumaSpan);
        }
        return true;
    }

    m_mode = Mode::Yuv;
    const colour::MatrixChoice choice = rgbreader::matrixFor(view->colorspace);
    m_facts.matrix = choice.matrix;
    m_facts.tagRecognised = choice.recognised;
    const colour::YuvToRgb toRgb = colour::yuvToRgb(choice.matrix, m_facts.range, m_facts.depth);
    for (size_t i = 0; i < 3; ++i) {
        for (size_t j = 0; j < 3; ++j)
            m_matrix[i][j] = float(toRgb.m[i][j]);
        m_offset[i] = float(toRgb.offset[i]);
    }

    m_log2ChromaW = desc->log2_chroma_w;
    m_log2ChromaH = desc->log2_chroma_h;
    m_chromaWidth = AV_CEIL_RSHIFT(m_width, m_log2ChromaW);
    m_chromaHeight = AV_CEIL_RSHIFT(m_height, m_log2ChromaH);
    // Chroma siting, in luma samples from the first luma sample; unspecified is MPEG's
    // (co-sited horizontally, centred vertically).
    const int fx = 1 << m_log2ChromaW;
    const int fy = 1 << m_log2ChromaH;
    switch (view->chroma_location) {
    case AVCHROMA_LOC_CENTER: m_chromaOffsetX = (fx - 1) / 2.0; m_chromaOffsetY = (fy - 1) / 2.0; break;
    case AVCHROMA_LOC_TOPLEFT: m_chromaOffsetX = 0.0; m_chromaOffsetY = 0.0; break;
    case AVCHROMA_LOC_TOP: m_chromaOffsetX = (fx - 1) / 2.0; m_chromaOffsetY = 0.0; break;
    case AVCHROMA_LOC_BOTTOMLEFT: m_chromaOffsetX = 0.0; m_chromaOffsetY = fy - 1.0; break;
    case AVCHROMA_LOC_BOTTOM: m_chromaOffsetX = (fx - 1) / 2.0; m_chromaOffsetY = fy - 1.0; break;
    default: m_chromaOffsetX = 0.0; m_chromaOffsetY = (fy - 1) / 2.0; break;
    }
    m_chromaIndex0.clear();
    m_chromaIndex1.clear();
    m_chromaWeight.clear();
    if (fx > 2) {
        m_chromaIndex0.resize(size_t(m_width));
        m_chromaIndex1.resize(size_t(m_width));
        m_chromaWeight.resize(size_t(m_width));
        for (int x = 0; x < m_width; ++x) {
            const double u = (x - m_chromaOffsetX) / fx;
            const int i0 = int(std::floor(u));
            m_chromaIndex0[size_t(x)] = std::clamp(i0, 0, m_chromaWidth - 1);
            m_chromaIndex1[size_t(x)] = std::clamp(i0 + 1, 0, m_chromaWidth - 1);
            m_chromaWeight[size_t(x)] = float(u - i0);
        }
    }
    return true;
}

void RgbReader::readComponent(const Component &c, int row, int count, float *out) const
{
    const uint8_t *p = c.data + ptrdiff_t(row) * c.stride + c.offset;
    if (c.isFloat) {
        for (int i = 0; i < count; ++i, p += c.step) {
            const uint32_t bits = c.bigEndian ? AV_RB32(p) : AV_RL32(p);
            out[i] = std::bit_cast<float>(bits);
        }
        return;
    }
    if (c.unit == 1) {
        if (c.step == 1 && c.shift == 0 && c.depth == 8) {
            for (int i = 0; i < count; ++i)
                out[i] = float(p[i]);
        } else {
            for (int i = 0; i < count; ++i, p += c.step)
                out[i] = float((uint32_t(*p) >> c.shift) & c.mask);
        }
        return;
    }
    if (c.unit == 2) {
        if (!c.bigEndian && c.step == 2 && c.shift == 0) {
            const auto *words = reinterpret_cast<const uint16_t *>(p);
            const uint16_t mask = uint16_t(c.mask);
            for (int i = 0; i < count; ++i)
                out[i] = float(words[i] & mask);
        } else {
            for (int i = 0; i < count; ++i, p += c.step) {
                const uint32_t word = c.bigEndian ? AV_RB16(p) : AV_RL16(p);
                out[i] = float((word >> c.shift) & c.mask);
            }
        }
        return;
    }
    for (int i = 0; i < count; ++i, p += c.step) {
        const uint32_t word = c.bigEndian ? AV_RB32(p) : AV_RL32(p);
        out[i] = float((word >> c.shift) & c.mask);
    }
}

void RgbReader::readChroma(int c, int y, float *out, Scratch &scratch) const
{
    const Component &comp = m_components[size_t(c)];
    const int n = m_chromaWidth;
    if (m_log2ChromaW == 0 && m_log2ChromaH == 0) {
        readComponent(comp, y, m_width, out);
        return;
    }

    // Vertically: the two chroma rows around this picture row, linearly weighted.
    float *row = scratch.t0.data() + 1;
    if (m_log2ChromaH == 0) {
        readComponent(comp, y, n, row);
    } else {
        const double v = (y - m_chromaOffsetY) / (1 << m_log2ChromaH);
        const int r0 = int(std::floor(v));
        const float w = float(v - r0);
        const int first = std::clamp(r0, 0, m_chromaHeight - 1);
        const int second = std::clamp(r0 + 1, 0, m_chromaHeight - 1);
        readComponent(comp, first, n, row);
        if (w > 0.0f && second != first) {
            float *other = scratch.t1.data() + 1;
            readComponent(comp, second, n, other);
            for (int j = 0; j < n; ++j)
                row[j] += w * (other[j] - row[j]);
        }
    }

    // Horizontally.
    if (m_log2ChromaW == 0) {
        std::copy_n(row, m_width, out);
        return;
    }
    if (m_log2ChromaW == 1) {
        row[-1] = row[0];
        row[n] = row[n - 1];
        const int pairs = m_width / 2;
        if (m_chromaOffsetX == 0.0) {
            // Co-sited: even pixels on the samples, odd ones halfway to the next.
            for (int j = 0; j < pairs; ++j) {
                out[2 * j] = row[j];
                out[2 * j + 1] = 0.5f * (row[j] + row[j + 1]);
            }
            if (m_width & 1)
                out[m_width - 1] = row[pairs];
        } else {
            // Centred between the two pixels each sample covers.
            for (int j = 0; j < pairs; ++j) {
                out[2 * j] = 0.75f * row[j] + 0.25f * row[j - 1];
                out[2 * j + 1] = 0.75f * row[j] + 0.25f * row[j + 1];
            }
            if (m_width & 1)
                out[m_width - 1] = 0.75f * row[pairs] + 0.25f * row[pairs - 1];
        }
        return;
    }
    for (int x = 0; x < m_width; ++x) {
        const float a = row[m_chromaIndex0[size_t(x)]];
        const float b = row[m_chromaIndex1[size_t(x)]];
        out[x] = a + m_chromaWeight[size_t(x)] * (b - a);
    }
}

void RgbReader::readRow(int y, Scratch &scratch) const
{
    switch (m_mode) {
    case Mode::Rgb:
        readComponent(m_components[size_t(m_rgbOrder[0])], y, m_width, scratch.c0.data());
        readComponent(m_components[size_t(m_rgbOrder[1])], y, m_width, scratch.c1.data());
        readComponent(m_components[size_t(m_rgbOrder[2])], y, m_width, scratch.c2.data());
        break;
    case Mode::Grey:
        readComponent(m_components[0], y, m_width, scratch.c0.data());
        break;
    case Mode::Yuv:
        readComponent(m_components[0], y, m_width, scratch.c0.data());
        readChroma(1, y, scratch.c1.data(), scratch);
        readChroma(2, y, scratch.c2.data(), scratch);
        break;
    }
    if (m_alphaComponent >= 0)
        readComponent(m_components[size_t(m_alphaComponent)], y, m_width, scratch.a.data());
}

void RgbReader::rowsToBgra8(int first, int end, uint8_t *dst, ptrdiff_t dstStride) const
{
    if (!m_open)
        return;
    first = std::max(first, 0);
    end = std::min(end, m_height);
    Scratch scratch(m_width, m_chromaWidth);
    const int w = m_width;
    // Everything pre-multiplied to 0..255 with the rounding half added.
    std::array<std::array<float, 3>, 3> m{};
    std::array<float, 3> o{};
    for (size_t i = 0; i < 3; ++i) {
        for (size_t j = 0; j < 3; ++j)
            m[i][j] = m_matrix[i][j] * 255.0f;
        o[i] = m_offset[i] * 255.0f + 0.5f;
    }
    std::array<float, 3> s{};
    for (size_t i = 0; i < 3; ++i)
        s[i] = m_scale[i] * 255.0f;
    const float alphaScale = m_alphaScale * 255.0f;
    const bool alpha = m_alphaComponent >= 0;

    for (int y = first; y < end; ++y) {
        readRow(y, scratch);
        auto *out = reinterpret_cast<uint32_t *>(dst + ptrdiff_t(y - first) * dstStride);
        const float *c0 = scratch.c0.data();
        const float *c1 = scratch.c1.data();
        const float *c2 = scratch.c2.data();
        switch (m_mode) {
        case Mode::Yuv:
            for (int x = 0; x < w; ++x) {
                const float r = m[0][0] * c0[x] + m[0][2] * c2[x] + o[0];
                const float g = m[1][0] * c0[x] + m[1][1] * c1[x] + m[1][2] * c2[x] + o[1];
                const float b = m[2][0] * c0[x] + m[2][1] * c1[x] + o[2];
                out[x] = clampedByte(b) | clampedByte(g) << 8 | clampedByte(r) << 16 | 0xff000000u;
            }
            break;
        case Mode::Rgb:
            if (m_sceneLinearView) {
                const colour::SceneLinearToByte &view = *m_sceneLinearView;
                for (int x = 0; x < w; ++x)
                    out[x] = view(c2[x]) | uint32_t(view(c1[x])) << 8 | uint32_t(view(c0[x])) << 16 | 0xff000000u;
                break;
            }
            for (int x = 0; x < w; ++x) {
                out[x] = clampedByte(c2[x] * s[2] + 0.5f) | clampedByte(c1[x] * s[1] + 0.5f) << 8
                         | clampedByte(c0[x] * s[0] + 0.5f) << 16 | 0xff000000u;
            }
            break;
        case Mode::Grey:
            if (m_sceneLinearView) {
                for (int x = 0; x < w; ++x) {
                    const uint32_t v = (*m_sceneLinearView)(c0[x]);
                    out[x] = v | v << 8 | v << 16 | 0xff000000u;
                }
                break;
            }
            for (int x = 0; x < w; ++x) {
                const uint32_t v = clampedByte(c0[x] * s[0] + (m_offset[0] * 255.0f + 0.5f));
                out[x] = v | v << 8 | v << 16 | 0xff000000u;
            }
            break;
        }
        if (alpha) {
            const float *a = scratch.a.data();
            for (int x = 0; x < w; ++x)
                out[x] = (out[x] & 0x00ffffffu) | clampedByte(a[x] * alphaScale + 0.5f) << 24;
        }
    }
}

void RgbReader::rowsToRgbaFloat(int first, int end, float *dst, ptrdiff_t dstStride) const
{
    if (!m_open)
        return;
    first = std::max(first, 0);
    end = std::min(end, m_height);
    Scratch scratch(m_width, m_chromaWidth);
    const int w = m_width;
    const auto &m = m_matrix;
    const auto &o = m_offset;
    const auto &s = m_scale;
    for (int y = first; y < end; ++y) {
        readRow(y, scratch);
        float *out = dst + ptrdiff_t(y - first) * dstStride;
        const float *c0 = scratch.c0.data();
        const float *c1 = scratch.c1.data();
        const float *c2 = scratch.c2.data();
        for (int x = 0; x < w; ++x) {
            float *px = out + 4 * x;
            switch (m_mode) {
            case Mode::Yuv:
                px[0] = m[0][0] * c0[x] + m[0][2] * c2[x] + o[0];
                px[1] = m[1][0] * c0[x] + m[1][1] * c1[x] + m[1][2] * c2[x] + o[1];
                px[2] = m[2][0] * c0[x] + m[2][1] * c1[x] + o[2];
                break;
            case Mode::Rgb:
                px[0] = c0[x] * s[0];
                px[1] = c1[x] * s[1];
                px[2] = c2[x] * s[2];
                break;
            case Mode::Grey:
                px[0] = px[1] = px[2] = c0[x] * s[0] + o[0];
                break;
            }
            px[3] = m_alphaComponent >= 0 ? scratch.a[size_t(x)] * m_alphaScale : 1.0f;
        }
    }
}

void RgbReader::toBgra8(uint8_t *dst, ptrdiff_t dstStride) const
{
    if (!m_open)
        return;
    const int bands = std::clamp(m_height / kMinRowsPerBand, 1, parallel::coreCount());
    parallel::forEachBand(bands, [&](int band) {
        const parallel::Rows rows = parallel::bandRows(m_height, band, bands);
        rowsToBgra8(rows.first, rows.end, dst + ptrdiff_t(rows.first) * dstStride, dstStride);
    });
}
