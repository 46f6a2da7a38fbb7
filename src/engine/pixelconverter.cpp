#include "engine/pixelconverter.h"

#include "av/ffmpeg.h"
#include "core/colour.h"
#include "core/parallelrows.h"

#include <QVideoFrameFormat>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

// QImage::Format_ARGB32 is B,G,R,A in memory only on little-endian hosts; both conversions
// write those bytes directly.
static_assert(std::endian::native == std::endian::little, "BGRA byte order assumed");

namespace {

constexpr int PreviewMaxWidth = 1280;
constexpr int PreviewMaxHeight = 720;

bool isPlanar422(int format)
{
    return format == AV_PIX_FMT_YUV422P || format == AV_PIX_FMT_YUV422P10LE
        || format == AV_PIX_FMT_YUV422P12LE || format == AV_PIX_FMT_YUV422P16LE;
}

QVideoFrameFormat::ColorTransfer qtTransfer(int trc)
{
    switch (trc) {
    case AVCOL_TRC_SMPTE2084: return QVideoFrameFormat::ColorTransfer_ST2084;
    case AVCOL_TRC_ARIB_STD_B67: return QVideoFrameFormat::ColorTransfer_STD_B67;
    default: return QVideoFrameFormat::ColorTransfer_BT709;
    }
}

QVideoFrameFormat::ColorSpace qtColorSpace(int colorSpace)
{
    if (colorSpace == AVCOL_SPC_BT470BG || colorSpace == AVCOL_SPC_SMPTE170M)
        return QVideoFrameFormat::ColorSpace_BT601;
    return QVideoFrameFormat::ColorSpace_BT709;
}

// Nearest integer, clamped to 0..255.
inline uint8_t toByte(double v)
{
    return uint8_t(std::clamp(v, 0.0, 255.0) + 0.5);
}

} // namespace

// ---------------------------------------------------------------------------------------
// Planar422Converter

void Planar422Converter::prepare(int depth, bool fullRange, int colorSpace)
{
    // The same matrix, levels and untagged rule as every other picture path.
    const colour::Matrix matrixChoice = rgbreader::matrixFor(colorSpace).matrix;
    const int matrix = int(matrixChoice);
    if (depth == m_depth && fullRange == m_fullRange && matrix == m_matrix)
        return;
    m_depth = depth;
    m_fullRange = fullRange;
    m_matrix = matrix;

    const colour::LumaWeights weights = colour::lumaWeights(matrixChoice);
    m_kr = weights.kr;
    m_kb = weights.kb;
    m_kg = weights.kg();

    const colour::CodeLevels levels =
        colour::codeLevels(fullRange ? colour::Range::Full : colour::Range::Limited, depth);
    const double lumaOffset = levels.lumaBlack;
    const double lumaSpan = levels.lumaSpan;
    const double chromaSpan = levels.chromaSpan;
    const double chromaMid = levels.chromaMid;

    // Every 16-bit word gets an entry, so stray high bits in a 10/12-bit plane cannot index
    // past the table.
    const size_t entries = depth > 8 ? 65536 : 256;
    m_lumaLut.resize(entries);
    m_chromaLut.resize(entries);
    for (size_t s = 0; s < entries; ++s) {
        const double y = (double(s) - lumaOffset) * 255.0 / lumaSpan;
        m_lumaLut[s] = std::clamp(y, 0.0, 255.0);
        m_chromaLut[s] = (double(s) - chromaMid) * 255.0 / chromaSpan;
    }
}

namespace {

struct Planar422Job {
    const AVFrame *frame;
    uint8_t *dst;
    int dstStride;
    int width;
    const double *lumaLut;
    const double *chromaLut;
    double bFromCb, rFromCr, gFromCb, gFromCr;
};

template<typename Sample>
void convert422Rows(const Planar422Job &job, int firstRow, int endRow, double *luma, double *lumaDown)
{
    const AVFrame *frame = job.frame;
    const int width = job.width;
    const int cw = (width + 1) / 2;
    const int last = width - 1;
    const double *lumaLut = job.lumaLut;
    const double *chromaLut = job.chromaLut;

    for (int y = firstRow; y < endRow; ++y) {
        const auto *yRow = reinterpret_cast<const Sample *>(frame->data[0] + ptrdiff_t(y) * frame->linesize[0]);
        const auto *uRow = reinterpret_cast<const Sample *>(frame->data[1] + ptrdiff_t(y) * frame->linesize[1]);
        const auto *vRow = reinterpret_cast<const Sample *>(frame->data[2] + ptrdiff_t(y) * frame->linesize[2]);
        uint8_t *out = job.dst + ptrdiff_t(y) * job.dstStride;

        for (int k = 0; k < width; ++k)
            luma[k] = lumaLut[yRow[k]];
        for (int j = 0; j < cw; ++j)
            lumaDown[j] = (luma[std::min(2 * j, last)] + luma[std::min(2 * j + 1, last)]) * 0.5;

        for (int k = 0; k < width; ++k) {
            const double yk = luma[k];
            const int c = std::min(k >> 1, cw - 1);
            // Chroma sample whose luma pair looks most like this pixel, nearer ones preferred
            // (lowest index on ties). Any other candidate costs at least 0.25, so a closer
            // own pair settles it without the search.
            int p = c;
            const double own = std::fabs(lumaDown[c] - yk);
            if (!(own < 0.25)) {
                const int lo = std::max(c - 2, 0);
                const int hi = std::min(c + 2, cw - 1);
                p = lo;
                double best = std::fabs(lumaDown[lo] - yk) + 0.25 * (c - lo);
                for (int q = lo + 1; q <= hi; ++q) {
                    const double cost = std::fabs(lumaDown[q] - yk) + 0.25 * std::abs(c - q);
                    if (cost < best) {
                        best = cost;
                        p = q;
                    }
                }
            }
            const double edge =
                std::min(std::fabs(luma[std::min(k + 1, last)] - luma[std::max(k - 1, 0)]) * 0.03125, 2.0) + 1.0;
            const double ratio = std::min(yk / std::max(lumaDown[p], 0.000001), 2.0);
            const double gain = edge * ratio;
            const double cb = chromaLut[uRow[p]] * gain;
            const double cr = chromaLut[vRow[p]] * gain;
            out[4 * k + 0] = toByte(yk + job.bFromCb * cb);
            out[4 * k + 1] = toByte(yk - job.gFromCb * cb - job.gFromCr * cr);
            out[4 * k + 2] = toByte(yk + job.rFromCr * cr);
            out[4 * k + 3] = 255;
        }
    }
}

} // namespace

Planar422Converter::Planar422Converter() = default;
Planar422Converter::~Planar422Converter() = default;

bool Planar422Converter::convert(const AVFrame *frame, uint8_t *dst, int dstStride, int width,
                                 int height, int range, int colorSpace)
{
    if (!frame || !dst || width <= 0 || height <= 0)
        return false;
    if (width != frame->width || height != frame->height || !isPlanar422(frame->format))
        return false;
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!desc || desc->comp[0].depth <= 0)
        return false;
    if (!frame->data[0] || !frame->data[1] || !frame->data[2])
        return false;

    const int depth = desc->comp[0].depth;
    prepare(depth, range == AVCOL_RANGE_JPEG, colorSpace);

    Planar422Job job{};
    job.frame = frame;
    job.dst = dst;
    job.dstStride = dstStride;
    job.width = width;
    job.lumaLut = m_lumaLut.data();
    job.chromaLut = m_chromaLut.data();
    job.bFromCb = 2.0 * (1.0 - m_kb);
    job.rFromCr = 2.0 * (1.0 - m_kr);
    job.gFromCb = 2.0 * m_kb * (1.0 - m_kb) / m_kg;
    job.gFromCr = 2.0 * m_kr * (1.0 - m_kr) / m_kg;

    // Bands of at least 64 rows; below that the hand-over costs more than it saves.
    const int bands = std::clamp(height / 64, 1, parallel::coreCount());
    const size_t rowDoubles = size_t(width) + size_t((width + 1) / 2);
    m_bandRows.resize(size_t(bands));
    for (auto &rows : m_bandRows)
        rows.resize(rowDoubles);

    parallel::forEachBand(bands, [&job, depth, height, bands, width, this](int band) {
        const parallel::Rows rows = parallel::bandRows(height, band, bands);
        double *luma = m_bandRows[size_t(band)].data();
        double *lumaDown = luma + width;
        if (depth > 8)
            convert422Rows<uint16_t>(job, rows.first, rows.end, luma, lumaDown);
        else
            convert422Rows<uint8_t>(job, rows.first, rows.end, luma, lumaDown);
    });
    return true;
}

// ---------------------------------------------------------------------------------------
// PixelConverter

PixelConverter::PixelConverter() = default;
PixelConverter::~PixelConverter() = default;

void PixelConverter::setConversionProfile(ConversionProfile profile)
{
    if (profile == m_conversionProfile)
        return;
    m_conversionProfile = profile;
    dropContext();
}

void PixelConverter::reset()
{
    dropContext();
}

void PixelConverter::dropContext()
{
    m_swsContext.reset();
    m_shrunk.reset();
    m_key = CacheKey();
}

QSize PixelConverter::previewSize(QSize frameSize)
{
    if (frameSize.width() <= PreviewMaxWidth && frameSize.height() <= PreviewMaxHeight)
        return frameSize;
    QSize size = frameSize;
    size.scale(PreviewMaxWidth, PreviewMaxHeight, Qt::KeepAspectRatio);
    return QSize(std::max(2, size.width() & ~1), std::max(2, size.height() & ~1));
}

const AVFrame *PixelConverter::shrink(const AVFrame *view, QSize targetSize)
{
    // The planes are scaled in their own layout (same format and range on both sides, so
    // swscale applies no matrix); the colour is computed afterwards from the small planes.
    int format = view->format;
    if (!sws_isSupportedInput(AVPixelFormat(format)))
        return nullptr;
    if (!sws_isSupportedOutput(AVPixelFormat(format))) {
        const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(format));
        format = (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) ? AV_PIX_FMT_RGBA64LE
                                                                            : AV_PIX_FMT_YUVA444P16LE;
    }
    const CacheKey key{view->format, view->width, view->height, targetSize.width(), targetSize.height(), format};
    if (!m_swsContext || key != m_key) {
        dropContext();
        const bool full = view->color_range == AVCOL_RANGE_JPEG;
        av::SwsContextPtr ctx(sws_alloc_context());
        if (!ctx)
            return nullptr;
        av_opt_set_int(ctx.get(), "srcw", view->width, 0);
        av_opt_set_int(ctx.get(), "srch", view->height, 0);
        av_opt_set_int(ctx.get(), "src_format", view->format, 0);
        av_opt_set_int(ctx.get(), "src_range", full ? 1 : 0, 0);
        av_opt_set_int(ctx.get(), "dstw", targetSize.width(), 0);
        av_opt_set_int(ctx.get(), "dsth", targetSize.height(), 0);
        av_opt_set_int(ctx.get(), "dst_format", format, 0);
        av_opt_set_int(ctx.get(), "dst_range", full ? 1 : 0, 0);
        av_opt_set_int(ctx.get(), "sws_flags", SWS_BILINEAR | SWS_ACCURATE_RND, 0);
        // Slice threads (one per core); only sws_scale_frame uses them.
        av_opt_set_int(ctx.get(), "threads", 0, 0);
        if (sws_init_context(ctx.get(), nullptr, nullptr) < 0)
            return nullptr;
        m_swsContext = std::move(ctx);
        m_key = key;
        ++m_contextBuilds;
    }
    if (!m_shrunk) {
        m_shrunk = av::makeFrame();
        if (!m_shrunk)
            return nullptr;
        m_shrunk->format = format;
        m_shrunk->width = targetSize.width();
        m_shrunk->height = targetSize.height();
        if (av_frame_get_buffer(m_shrunk.get(), 0) < 0) {
            m_shrunk.reset();
            return nullptr;
        }
    }
    // sws_scale_frame wants frames it may reference; the view lends its buffers.
    av::FramePtr in = av::cloneFrame(view);
    if (!in || av_frame_make_writable(m_shrunk.get()) < 0)
        return nullptr;
    if (sws_scale_frame(m_swsContext.get(), m_shrunk.get(), in.get()) < 0)
        return nullptr;
    m_shrunk->color_range = view->color_range;
    m_shrunk->colorspace = view->colorspace;
    m_shrunk->chroma_location = view->chroma_location;
    return m_shrunk.get();
}

bool PixelConverter::convertInto(const AVFrame *frame, const ConversionSource &source, ConversionProfile profile,
                                 QSize targetSize, uint8_t *dst, int dstStride)
{
    const QSize frameSize(frame->width, frame->height);
    av::FramePtr view = rgbreader::sourceView(frame, source);
    if (!view)
        return false;
    if (profile == ChannelIsolation && targetSize == frameSize && isPlanar422(frame->format)
        && m_planar422.convert(frame, dst, dstStride, frame->width, frame->height, view->color_range,
                               frame->colorspace))
        return true;
    const AVFrame *input = view.get();
    if (targetSize != frameSize) {
        input = shrink(view.get(), targetSize);
        if (!input)
            return false;
    }
    RgbReader reader;
    // The view already carries the plane order and the range that apply.
    ConversionSource asViewed;
    asViewed.rangeOverride = input->color_range;
    asViewed.exposureStops = source.exposureStops;
    if (!reader.open(input, asViewed))
        return false;
    reader.toBgra8(dst, dstStride);
    return true;
}

QVideoFrame PixelConverter::toVideoFrame(const AVFrame *frame, const ConversionSource &source,
                                         bool previewDownscaleActive)
{
    if (!frame || frame->width <= 0 || frame->height <= 0
        || !av_pix_fmt_desc_get(AVPixelFormat(frame->format)))
        return {};
    const QSize frameSize(frame->width, frame->height);
    const QSize targetSize = previewDownscaleActive ? previewSize(frameSize) : frameSize;

    // The colours are final: Qt must not convert them again. Range, matrix and transfer
    // describe the source for whoever looks at the tags.
    QVideoFrameFormat format(targetSize, QVideoFrameFormat::Format_BGRA8888);
    format.setColorRange(QVideoFrameFormat::ColorRange_Full);
    format.setColorSpace(qtColorSpace(frame->colorspace));
    format.setColorTransfer(qtTransfer(frame->color_trc));

    QVideoFrame out(format);
    if (!out.map(compat::MapWriteOnly))
        return {};
    const bool converted =
        convertInto(frame, source, m_conversionProfile, targetSize, out.bits(0), out.bytesPerLine(0));
    out.unmap();
    return converted ? out : QVideoFrame();
}

QImage PixelConverter::toImage(const AVFrame *frame, const ConversionSource &source)
{
    if (!frame || frame->width <= 0 || frame->height <= 0)
        return {};
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!desc)
        return {};
    const bool alpha = desc->flags & AV_PIX_FMT_FLAG_ALPHA;
    QImage image(frame->width, frame->height, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull()
        || !convertInto(frame, source, m_conversionProfile, image.size(), image.bits(), int(image.bytesPerLine())))
        return {};
    return image;
}

QImage PixelConverter::toRgbImage(const AVFrame *frame, const ConversionSource &source)
{
    if (!frame || frame->width <= 0 || frame->height <= 0
        || !av_pix_fmt_desc_get(AVPixelFormat(frame->format)))
        return {};
    QImage image(frame->width, frame->height, QImage::Format_ARGB32);
    if (image.isNull()
        || !convertInto(frame, source, Standard, image.size(), image.bits(), int(image.bytesPerLine())))
        return {};
    return image;
}
