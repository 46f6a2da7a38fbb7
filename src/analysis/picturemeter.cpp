#include "analysis/picturemeter.h"

#include "analysis/planarformat.h"
#include "av/ffmpeg.h"
#include "av/rgbreader.h"

#include <algorithm>
#include <limits>
#include <cmath>
#include <cstring>

namespace qc {

namespace {

constexpr double kEdgeEpsilon = 1e-9;
// Chroma pairs are remembered up to this depth (2^20 pairs at 10 bits).
constexpr int kCachedDepth = 10;

bool isYuvjFormat(int format)
{
    const char *name = av_get_pix_fmt_name(AVPixelFormat(format));
    return name && std::strncmp(name, "yuvj", 4) == 0;
}

} // namespace

// ---- legal luma per chroma sample ---------------------------------------------------------

LegalLuma::LegalLuma(colour::Matrix matrix, colour::Range range, int bitDepth, double low, double high)
    : m_low(low)
    , m_high(high)
{
    // Until the colour module offers a full-precision conversion of a whole picture, its
    // Y'CbCr -> R'G'B' matrix is applied here, per code value.
    const colour::YuvToRgb toRgb = colour::yuvToRgb(matrix, range, bitDepth);
    const colour::CodeLevels levels = colour::codeLevels(range, bitDepth);
    m_lumaScale = toRgb.m[0][0];
    m_yLowest = int(std::ceil(levels.lumaBlack + low * levels.lumaSpan - kEdgeEpsilon));
    m_yHighest = int(std::floor(levels.lumaBlack + high * levels.lumaSpan + kEdgeEpsilon));
    m_depth = bitDepth;
    if (bitDepth <= kCachedDepth)
        m_pairs.assign(size_t(1) << (2 * bitDepth), UnknownPair);
    const size_t codes = size_t(levels.maxCode) + 1;
    m_rFromCr.resize(codes);
    m_gFromCb.resize(codes);
    m_gFromCr.resize(codes);
    m_bFromCb.resize(codes);
    for (size_t c = 0; c < codes; ++c) {
        const double v = double(c);
        m_rFromCr[c] = toRgb.m[0][2] * v + toRgb.offset[0];
        m_gFromCb[c] = toRgb.m[1][1] * v;
        m_gFromCr[c] = toRgb.m[1][2] * v + toRgb.offset[1];
        m_bFromCb[c] = toRgb.m[2][1] * v + toRgb.offset[2];
    }
}

void LegalLuma::limits(int cb, int cr, int &lowest, int &highest) const
{
    const int top = int(m_rFromCr.size()) - 1;
    cb = std::clamp(cb, 0, top);
    cr = std::clamp(cr, 0, top);
    const double r = m_rFromCr[size_t(cr)];
    const double g = m_gFromCb[size_t(cb)] + m_gFromCr[size_t(cr)];
    const double b = m_bFromCb[size_t(cb)];
    const double smallest = std::min({r, g, b});
    const double largest = std::max({r, g, b});
    lowest = std::max(m_yLowest, int(std::ceil((m_low - smallest) / m_lumaScale - kEdgeEpsilon)));
    highest = std::min(m_yHighest, int(std::floor((m_high - largest) / m_lumaScale + kEdgeEpsilon)));
}

void LegalLuma::remember(size_t index, int cb, int cr, int &lowest, int &highest)
{
    limits(cb, cr, lowest, highest);
    lowest = std::clamp(lowest, -32768, 32767);
    highest = std::clamp(highest, -32768, 32767);
    m_pairs[index] = (uint32_t(uint16_t(int16_t(lowest))) << 16) | uint32_t(uint16_t(int16_t(highest)));
}

// ---- the meter ---------------------------------------------------------------------------

struct PictureMeter::Layout {
    const uint8_t *planes[3] = {};
    int strides[3] = {};
    int width = 0;
    int height = 0;
    int shiftX = 0;
    int shiftY = 0;
    int depth = 8;
    int format = -1;
    bool chroma = false;
    bool rgb = false; // planes are G, B, R at 16 bits (repacked)
    colour::Range range = colour::Range::Limited;
    colour::Matrix matrix = colour::Matrix::BT709;
};

PictureMeter::PictureMeter(const Settings &settings)
    : m_settings(settings)
    , m_wantLevels(settings.isEnabled(Check::Levels))
    , m_wantFreeze(settings.isEnabled(Check::Freeze))
{
}

LegalLuma &PictureMeter::legalFor(colour::Matrix matrix, colour::Range range, int depth)
{
    if (!m_legalKey || m_legalKey->matrix != matrix || m_legalKey->range != range || m_legalKey->depth != depth) {
        m_legal.emplace(matrix, range, depth, m_settings.thresholds.levelsLow, m_settings.thresholds.levelsHigh);
        m_legalKey = LegalKey{matrix, range, depth};
    }
    return *m_legal;
}

const AVFrame *PictureMeter::planarSource(const AVFrame *frame, Layout &layout)
{
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!desc)
        return nullptr;
    const AVFrame *source = frame;
    if (!isDirectYuv(desc)) {
        // Anything else is repacked without colour arithmetic: RGB to planar 16-bit GBR,
        // Y'CbCr to planar 16-bit 4:4:4 at the same range.
        const bool rgb = desc->flags & AV_PIX_FMT_FLAG_RGB;
        const AVPixelFormat target = rgb ? AV_PIX_FMT_GBRP16 : AV_PIX_FMT_YUV444P16;
        m_repack.reset(sws_getCachedContext(m_repack.release(), frame->width, frame->height,
                                            AVPixelFormat(frame->format), frame->width, frame->height, target,
                                            SWS_POINT, nullptr, nullptr, nullptr));
        av::FramePtr converted = av::makeFrame();
        if (!m_repack || !converted)
            return nullptr;
        converted->format = target;
        converted->width = frame->width;
        converted->height = frame->height;
        if (av_frame_get_buffer(converted.get(), 0) < 0)
            return nullptr;
        if (sws_scale(m_repack.get(), frame->data, frame->linesize, 0, frame->height, converted->data,
                      converted->linesize) <= 0)
            return nullptr;
        av_frame_copy_props(converted.get(), frame);
        m_converted = std::move(converted);
        source = m_converted.get();
        desc = av_pix_fmt_desc_get(target);
        layout.rgb = rgb;
    }
    layout.format = source->format;
    layout.width = source->width;
    layout.height = source->height;
    layout.depth = layout.rgb ? 16 : desc->comp[0].depth;
    layout.chroma = layout.rgb || desc->nb_components - ((desc->flags & AV_PIX_FMT_FLAG_ALPHA) ? 1 : 0) >= 3;
    layout.shiftX = layout.rgb ? 0 : desc->log2_chroma_w;
    layout.shiftY = layout.rgb ? 0 : desc->log2_chroma_h;
    for (int p = 0; p < (layout.chroma ? 3 : 1); ++p) {
        layout.planes[p] = source->data[p];
        layout.strides[p] = source->linesize[p];
        if (!layout.planes[p])
            return nullptr;
    }
    return source;
}

PictureStats PictureMeter::measure(const AVFrame *frame, int rangeOverride)
{
    PictureStats stats;
    if (!frame || frame->width <= 0 || frame->height <= 0)
        return stats;
    Layout layout;
    const AVFrame *source = planarSource(frame, layout);
    if (!source)
        return stats;
    int range = rangeOverride;
    if (range == AVCOL_RANGE_UNSPECIFIED)
        range = frame->color_range;
    if (range == AVCOL_RANGE_UNSPECIFIED)
        range = isYuvjFormat(frame->format) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    layout.range = layout.rgb ? colour::Range::Full : colour::rangeForColorRange(range);
    layout.matrix = rgbreader::matrixFor(frame->colorspace).matrix;

    stats = layout.depth > 8 ? measurePlanes<uint16_t>(source, layout) : measurePlanes<uint8_t>(source, layout);
    // The next picture is compared with this one; a repacked picture is kept as repacked.
    m_previous = m_wantFreeze ? av::cloneFrame(source) : av::FramePtr();
    return stats;
}

template <typename T>
PictureStats PictureMeter::measurePlanes(const AVFrame *source, const Layout &layout)
{
    PictureStats stats;
    const Thresholds &t = m_settings.thresholds;
    const int width = layout.width;
    const int height = layout.height;
    const double pixels = double(width) * double(height);
    const colour::CodeLevels levels = colour::codeLevels(layout.range, layout.depth);
    const AVFrame *previous = m_previous.get();
    const bool compare = m_wantFreeze && previous && previous->format == source->format
        && previous->width == width && previous->height == height;

    int64_t black = 0;
    int64_t outside = 0;
    uint64_t difference = 0;
    uint64_t lumaSum = 0;
    uint32_t lumaLowest = std::numeric_limits<uint32_t>::max();
    uint32_t lumaHighest = 0;

    if (layout.rgb) {
        // Luma from the luma weights of the picture's matrix, on full-range 16-bit R'G'B'.
        const colour::LumaWeights w = colour::lumaWeights(layout.matrix);
        const auto kr = uint32_t(std::lround(w.kr * 65536.0));
        const auto kb = uint32_t(std::lround(w.kb * 65536.0));
        const uint32_t kg = 65536 - kr - kb;
        const double blackBelow = t.blackLumaFraction * 65535.0;
        const auto lumaRow = [&](const AVFrame *f, int y, std::vector<uint32_t> &out) {
            const auto *g = reinterpret_cast<const uint16_t *>(f->data[0] + ptrdiff_t(y) * f->linesize[0]);
            const auto *b = reinterpret_cast<const uint16_t *>(f->data[1] + ptrdiff_t(y) * f->linesize[1]);
            const auto *r = reinterpret_cast<const uint16_t *>(f->data[2] + ptrdiff_t(y) * f->linesize[2]);
            for (int x = 0; x < width; ++x)
                out[size_t(x)] = (kr * r[x] + kg * g[x] + kb * b[x] + 32768) >> 16;
        };
        // Legal limits on the same scale; luma lies between R, G and B, so they decide.
        const auto lowestLegal = int64_t(std::ceil(t.levelsLow * 65535.0 - kEdgeEpsilon));
        const auto highestLegal = int64_t(std::floor(t.levelsHigh * 65535.0 + kEdgeEpsilon));
        const bool limitsBite = m_wantLevels && (lowestLegal > 0 || highestLegal < 65535);
        std::vector<uint32_t> now(static_cast<size_t>(width));
        std::vector<uint32_t> before(static_cast<size_t>(width));
        for (int y = 0; y < height; ++y) {
            lumaRow(source, y, now);
            if (compare)
                lumaRow(previous, y, before);
            for (int x = 0; x < width; ++x) {
                const uint32_t luma = now[size_t(x)];
                black += double(luma) < blackBelow;
                lumaSum += luma;
                lumaLowest = std::min(lumaLowest, luma);
                lumaHighest = std::max(lumaHighest, luma);
                if (compare)
                    difference += uint64_t(std::abs(int64_t(now[size_t(x)]) - int64_t(before[size_t(x)])));
            }
            if (!limitsBite)
                continue;
            for (int p = 0; p < 3; ++p) {
                const auto *row = reinterpret_cast<const uint16_t *>(source->data[p] + ptrdiff_t(y) * source->linesize[p]);
                for (int x = 0; x < width; ++x)
                    now[size_t(x)] = p == 0 ? uint32_t(row[x] < lowestLegal || row[x] > highestLegal)
                                            : now[size_t(x)] | uint32_t(row[x] < lowestLegal || row[x] > highestLegal);
            }
            for (int x = 0; x < width; ++x)
                outside += now[size_t(x)];
        }
    } else {
        const double blackLimit = levels.lumaBlack + t.blackLumaFraction * levels.lumaSpan;
        const auto blackBelow = int(std::ceil(blackLimit - kEdgeEpsilon)); // black: code < blackBelow
        LegalLuma *legal = m_wantLevels ? &legalFor(layout.matrix, layout.range, layout.depth) : nullptr;
        const int chromaWidth = layout.chroma ? -((-width) >> layout.shiftX) : 0;
        m_rowLowest.resize(size_t(std::max(width, 1)));
        m_rowHighest.resize(size_t(std::max(width, 1)));
        int chromaRow = -1;
        for (int y = 0; y < height; ++y) {
            const auto *row = reinterpret_cast<const T *>(layout.planes[0] + ptrdiff_t(y) * layout.strides[0]);
            // 32-bit sums per row (a row cannot overflow them) keep the loops vectorised.
            // A row's sum fits 32 bits (65535 columns of 16-bit codes).
            uint32_t rowBlack = 0;
            uint32_t rowSum = 0;
            // In the codes' own width, so the loop keeps its lanes.
            T rowLowest = std::numeric_limits<T>::max();
            T rowHighest = 0;
            for (int x = 0; x < width; ++x) {
                rowBlack += uint32_t(int(row[x]) < blackBelow);
                rowSum += row[x];
                rowLowest = std::min(rowLowest, row[x]);
                rowHighest = std::max(rowHighest, row[x]);
            }
            black += rowBlack;
            lumaSum += rowSum;
            lumaLowest = std::min(lumaLowest, uint32_t(rowLowest));
            lumaHighest = std::max(lumaHighest, uint32_t(rowHighest));
            if (compare) {
                const auto *before = reinterpret_cast<const T *>(previous->data[0] + ptrdiff_t(y) * previous->linesize[0]);
                uint64_t rowDifference = 0;
                for (int x = 0; x < width; ++x)
                    rowDifference += uint32_t(std::abs(int(row[x]) - int(before[x])));
                difference += rowDifference;
            }
            if (!legal)
                continue;
            if (!layout.chroma) {
                const int lowest = legal->lumaLowest();
                const int highest = legal->lumaHighest();
                int64_t rowOutside = 0;
                for (int x = 0; x < width; ++x)
                    rowOutside += int(row[x]) < lowest || int(row[x]) > highest;
                outside += rowOutside;
                continue;
            }
            const int cy = y >> layout.shiftY;
            int32_t *lowest = m_rowLowest.data();
            int32_t *highest = m_rowHighest.data();
            if (cy != chromaRow) {
                // The legal interval of each chroma sample of the row.
                chromaRow = cy;
                const auto *cb = reinterpret_cast<const T *>(layout.planes[1] + ptrdiff_t(cy) * layout.strides[1]);
                const auto *cr = reinterpret_cast<const T *>(layout.planes[2] + ptrdiff_t(cy) * layout.strides[2]);
                // Neighbouring samples often share their chroma: the last pair is reused.
                int lastCb = -1;
                int lastCr = -1;
                int low = 0;
                int high = 0;
                for (int cx = 0; cx < chromaWidth; ++cx) {
                    if (cb[cx] != lastCb || cr[cx] != lastCr) {
                        lastCb = cb[cx];
                        lastCr = cr[cx];
                        legal->cachedLimits(lastCb, lastCr, low, high);
                    }
                    lowest[cx] = low;
                    highest[cx] = high;
                }
            }
            int32_t rowOutside = 0;
            if (layout.shiftX == 0) {
                for (int x = 0; x < width; ++x)
                    rowOutside += int32_t(row[x] < lowest[x]) | int32_t(row[x] > highest[x]);
            } else if (layout.shiftX == 1) {
                const int pairs = width / 2;
                for (int cx = 0; cx < pairs; ++cx) {
                    const int32_t a = row[2 * cx];
                    const int32_t b = row[2 * cx + 1];
                    rowOutside += (int32_t(a < lowest[cx]) | int32_t(a > highest[cx]))
                        + (int32_t(b < lowest[cx]) | int32_t(b > highest[cx]));
                }
                if (width & 1)
                    rowOutside += int32_t(row[width - 1] < lowest[pairs]) | int32_t(row[width - 1] > highest[pairs]);
            } else {
                for (int x = 0; x < width; ++x) {
                    const int c = x >> layout.shiftX;
                    rowOutside += int32_t(row[x] < lowest[c]) | int32_t(row[x] > highest[c]);
                }
            }
            outside += rowOutside;
        }
    }

    stats.blackFraction = double(black) / pixels;
    // RGB luma is on full-range 16 bits; Y'CbCr codes on the picture's own levels.
    const double lumaBlack = layout.rgb ? 0.0 : levels.lumaBlack;
    const double lumaSpan = layout.rgb ? 65535.0 : levels.lumaSpan;
    const auto nominal = [&](double code) { return (code - lumaBlack) / lumaSpan; };
    stats.lumaMin = nominal(double(lumaLowest));
    stats.lumaAverage = nominal(double(lumaSum) / pixels);
    stats.lumaMax = nominal(double(lumaHighest));
    stats.outOfRangeFraction = double(outside) / pixels;
    if (compare) {
        const double maxCode = layout.rgb ? 65535.0 : levels.maxCode;
        stats.differenceDb = toDb(double(difference) / (pixels * maxCode));
    }
    return stats;
}

} // namespace qc
