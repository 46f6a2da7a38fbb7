#include "engine/pixelconverter.h"

#include "av/ffmpeg.h"
#include "core/parallelrows.h"

#include <QDebug>
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

// swscale silently falls back to its default input format for values it does not know.
bool knownFormat(int format)
{
    return format >= 0 && av_pix_fmt_desc_get(AVPixelFormat(format)) != nullptr;
}

bool isPlanar422(int format)
{
    return format == AV_PIX_FMT_YUV422P || format == AV_PIX_FMT_YUV422P10LE
        || format == AV_PIX_FMT_YUV422P12LE || format == AV_PIX_FMT_YUV422P16LE;
}

// The frame as swscale should read it: format, planes and their RGB-ness after the DNxHR
// plane order is applied.
struct SourceView {
    int format = AV_PIX_FMT_NONE;
    const uint8_t *planes[4] = {};
    int strides[4] = {};
    bool isRgb = false;
    bool isGbr = false;
    bool hasAlpha = false;
    bool impliedFull = false; // a deprecated full-range ("J") format, read as its plain twin
};

// Reading the "J" formats as their plain layouts lets full-range 4:2:0 take the plane copy.
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

SourceView viewSource(const AVFrame *frame, const ConversionSource &source)
{
    SourceView view;
    view.format = frame->format;
    if (const int twin = plainTwinOf(frame->format); twin != AV_PIX_FMT_NONE) {
        view.format = twin;
        view.impliedFull = true;
    }
    for (int p = 0; p < 4; ++p) {
        view.planes[p] = frame->data[p];
        view.strides[p] = frame->linesize[p];
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
                view.format = rgbFormat;
                reorder = true;
            }
        }
    }
    if (reorder) {
        // R,G,B planes presented in GBR order.
        static constexpr int order[3] = {1, 2, 0};
        for (int p = 0; p < 3; ++p) {
            view.planes[p] = frame->data[order[p]];
            view.strides[p] = frame->linesize[order[p]];
        }
    }

    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(view.format));
    view.isRgb = reorder || (desc && (desc->flags & AV_PIX_FMT_FLAG_RGB));
    view.hasAlpha = desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA);
    const char *name = av_get_pix_fmt_name(AVPixelFormat(view.format));
    view.isGbr = name && std::strstr(name, "gbr") != nullptr;
    return view;
}

int effectiveRange(const AVFrame *frame, const ConversionSource &source, const SourceView &view)
{
    if (source.rangeOverride != AVCOL_RANGE_UNSPECIFIED)
        return source.rangeOverride;
    if (frame->color_range != AVCOL_RANGE_UNSPECIFIED)
        return frame->color_range;
    return view.isRgb || view.impliedFull ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
}

const int *swsCoefficientsFor(int matrix)
{
    switch (matrix) {
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return sws_getCoefficients(SWS_CS_ITU601);
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return sws_getCoefficients(SWS_CS_BT2020);
    default:
        return sws_getCoefficients(SWS_CS_ITU709);
    }
}

// Unspecified and reserved matrices read as BT.709.
int knownMatrix(int colorSpace)
{
    return (colorSpace == AVCOL_SPC_UNSPECIFIED || colorSpace == AVCOL_SPC_RESERVED)
               ? AVCOL_SPC_BT709
               : colorSpace;
}

struct ScalerSetup {
    int srcFormat;
    int srcWidth, srcHeight;
    bool srcFull;
    int srcCs, dstCs;
    int dstFormat;
    int dstWidth, dstHeight;
    bool dstFull;
    int flags;
};

// Matrix used by a context: the source's unless it has none (RGB), then the target's;
// -1 when neither side carries one and swscale keeps its defaults.
int contextMatrix(const ScalerSetup &setup)
{
    if (setup.srcCs == 0 && setup.dstCs == 0)
        return -1;
    return setup.srcCs != 0 ? setup.srcCs : setup.dstCs;
}

av::SwsContextPtr buildScaler(const ScalerSetup &setup)
{
    av::SwsContextPtr ctx(sws_alloc_context());
    if (!ctx)
        return {};
    // Unknown option names (the colour-space ones differ between swscale releases) are
    // harmless: the matrix is set explicitly below.
    av_opt_set_int(ctx.get(), "srcw", setup.srcWidth, 0);
    av_opt_set_int(ctx.get(), "srch", setup.srcHeight, 0);
    av_opt_set_int(ctx.get(), "src_format", setup.srcFormat, 0);
    av_opt_set_int(ctx.get(), "src_range", setup.srcFull ? 1 : 0, 0);
    av_opt_set_int(ctx.get(), "src_cs", setup.srcCs, 0);
    av_opt_set_int(ctx.get(), "dst_cs", setup.dstCs, 0);
    av_opt_set_int(ctx.get(), "dstw", setup.dstWidth, 0);
    av_opt_set_int(ctx.get(), "dsth", setup.dstHeight, 0);
    av_opt_set_int(ctx.get(), "dst_format", setup.dstFormat, 0);
    av_opt_set_int(ctx.get(), "dst_range", setup.dstFull ? 1 : 0, 0);
    av_opt_set_int(ctx.get(), "sws_flags", setup.flags, 0);
    // Slice threads (one per core); only sws_scale_frame uses them.
    av_opt_set_int(ctx.get(), "threads", 0, 0);
    if (sws_init_context(ctx.get(), nullptr, nullptr) < 0)
        return {};

    const int matrix = contextMatrix(setup);
    if (matrix >= 0) {
        const int *coefficients = swsCoefficientsFor(matrix);
        const int ret = sws_setColorspaceDetails(ctx.get(), coefficients, setup.srcFull ? 1 : 0,
                                                 coefficients, setup.dstFull ? 1 : 0, 0, 1 << 16,
                                                 1 << 16);
        if (ret < 0)
            qWarning() << "sws_setColorspaceDetails failed:" << ret;
    }
    return ctx;
}

void keepCallerBuffer(void *, uint8_t *) {}

// Scales the whole source into caller-owned planes through the context's slice threads.
// The source view's planes may be reordered relative to 'frame'; the frame only lends its
// buffer references.
bool scaleInto(SwsContext *ctx, const AVFrame *frame, const SourceView &src, uint8_t *const dst[4],
               const int dstStrides[4], int dstWidth, int dstHeight, int dstFormat)
{
    av::FramePtr in = av::makeFrame();
    av::FramePtr out = av::makeFrame();
    if (!in || !out || av_frame_ref(in.get(), frame) < 0)
        return false;
    in->format = src.format;
    for (int p = 0; p < 4; ++p) {
        in->data[p] = const_cast<uint8_t *>(src.planes[p]);
        in->linesize[p] = src.strides[p];
    }
    // Without a buffer reference the scaler would allocate its own output.
    out->buf[0] = av_buffer_create(dst[0], 1, keepCallerBuffer, nullptr, 0);
    if (!out->buf[0])
        return false;
    for (int p = 0; p < 4; ++p) {
        out->data[p] = dst[p];
        out->linesize[p] = dstStrides[p];
    }
    out->width = dstWidth;
    out->height = dstHeight;
    out->format = dstFormat;
    return sws_scale_frame(ctx, out.get(), in.get()) >= 0;
}

QVideoFrameFormat::ColorTransfer qtTransfer(int trc)
{
    switch (trc) {
    case AVCOL_TRC_SMPTE2084: return QVideoFrameFormat::ColorTransfer_ST2084;
    case AVCOL_TRC_ARIB_STD_B67: return QVideoFrameFormat::ColorTransfer_STD_B67;
    default: return QVideoFrameFormat::ColorTransfer_BT709;
    }
}

QVideoFrameFormat::ColorSpace qtColorSpace(int colorSpace, bool isRgb, bool yuvOutput)
{
    if ((isRgb && yuvOutput) || colorSpace == AVCOL_SPC_BT470BG || colorSpace == AVCOL_SPC_SMPTE170M)
        return QVideoFrameFormat::ColorSpace_BT601;
    // YUV handed to Qt is decoded with this matrix; BT.2020 planes read as BT.709 would shift
    // every saturated colour.
    if (yuvOutput && !isRgb
        && (colorSpace == AVCOL_SPC_BT2020_NCL || colorSpace == AVCOL_SPC_BT2020_CL))
        return QVideoFrameFormat::ColorSpace_BT2020;
    return QVideoFrameFormat::ColorSpace_BT709;
}

// Copies a frame whose format and size already are the output's. False when a plane the
// format needs is missing.
bool copyPlanes(const SourceView &src, int width, int height, QVideoFrame &out)
{
    const AVPixelFormat format = AVPixelFormat(src.format);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(format);
    int rowBytes[4] = {};
    if (!desc || av_image_fill_linesizes(rowBytes, format, width) < 0)
        return false;
    const int planes = std::min(av_pix_fmt_count_planes(format), out.planeCount());
    for (int p = 0; p < planes; ++p) {
        if (!src.planes[p])
            return false;
        const bool chroma = (p == 1 || p == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
        int rows = chroma ? AV_CEIL_RSHIFT(height, desc->log2_chroma_h) : height;
        const int dstStride = out.bytesPerLine(p);
        if (dstStride <= 0)
            return false;
        rows = std::min(rows, out.mappedBytes(p) / dstStride);
        const int bytes = std::min(rowBytes[p], dstStride);
        const uint8_t *from = src.planes[p];
        uint8_t *to = out.bits(p);
        for (int y = 0; y < rows; ++y) {
            std::memcpy(to, from, size_t(bytes));
            from += src.strides[p];
            to += dstStride;
        }
    }
    return true;
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
    int matrix = 709;
    if (colorSpace == AVCOL_SPC_BT470BG || colorSpace == AVCOL_SPC_SMPTE170M)
        matrix = 601;
    else if (colorSpace == AVCOL_SPC_BT2020_NCL || colorSpace == AVCOL_SPC_BT2020_CL)
        matrix = 2020;
    if (depth == m_depth && fullRange == m_fullRange && matrix == m_matrix)
        return;
    m_depth = depth;
    m_fullRange = fullRange;
    m_matrix = matrix;

    switch (matrix) {
    case 601: m_kr = 0.299; m_kb = 0.114; break;
    case 2020: m_kr = 0.2627; m_kb = 0.0593; break;
    default: m_kr = 0.2126; m_kb = 0.0722; break;
    }
    m_kg = 1.0 - m_kr - m_kb;

    const double maxCode = std::ldexp(1.0, depth) - 1.0;
    const double unit = depth > 8 ? std::ldexp(1.0, depth - 8) : 1.0;
    const double lumaOffset = fullRange ? 0.0 : 16.0 * unit;
    const double lumaSpan = fullRange ? maxCode : 219.0 * unit;
    const double chromaSpan = fullRange ? maxCode : 224.0 * unit;
    const double chromaMid = std::ldexp(1.0, depth - 1);

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
    m_key = CacheKey();
    m_colourKey = ColourKey();
}

QSize PixelConverter::previewSize(QSize frameSize)
{
    if (frameSize.width() <= PreviewMaxWidth && frameSize.height() <= PreviewMaxHeight)
        return frameSize;
    QSize size = frameSize;
    size.scale(PreviewMaxWidth, PreviewMaxHeight, Qt::KeepAspectRatio);
    return QSize(std::max(2, size.width() & ~1), std::max(2, size.height() & ~1));
}

QVideoFrame PixelConverter::toVideoFrame(const AVFrame *frame, const ConversionSource &source,
                                         bool previewDownscaleActive)
{
    if (!frame || frame->width <= 0 || frame->height <= 0 || !knownFormat(frame->format))
        return {};

    const SourceView src = viewSource(frame, source);
    const bool alphaOrRgb = src.isRgb || src.hasAlpha;
    bool bgraOutput = false;
    switch (m_conversionProfile) {
    case Standard: bgraOutput = alphaOrRgb; break;
    case ChannelIsolation:
    case ScopePercent:
    case ScopeCodeValue: bgraOutput = true; break;
    default: bgraOutput = false; break;
    }
    const int targetFormat = bgraOutput ? AV_PIX_FMT_BGRA : AV_PIX_FMT_YUV420P;

    const QSize frameSize(frame->width, frame->height);
    const QSize targetSize = previewDownscaleActive ? previewSize(frameSize) : frameSize;

    const int range = effectiveRange(frame, source, src);
    const bool sourceFull = src.isRgb || range == AVCOL_RANGE_JPEG;
    const bool targetFull = bgraOutput || sourceFull;

    QVideoFrameFormat format(targetSize, bgraOutput ? QVideoFrameFormat::Format_BGRA8888
                                                    : QVideoFrameFormat::Format_YUV420P);
    format.setColorRange(m_conversionProfile == ScopePercent || targetFull
                             ? QVideoFrameFormat::ColorRange_Full
                             : QVideoFrameFormat::ColorRange_Video);
    format.setColorSpace(qtColorSpace(frame->colorspace, src.isRgb, !bgraOutput));
    format.setColorTransfer(qtTransfer(frame->color_trc));

    QVideoFrame out(format);
    if (!out.map(compat::MapWriteOnly))
        return {};

    if (m_conversionProfile == ChannelIsolation && bgraOutput && isPlanar422(frame->format)
        && out.pixelFormat() == QVideoFrameFormat::Format_BGRA8888
        && m_planar422.convert(frame, out.bits(0), out.bytesPerLine(0), targetSize.width(),
                               targetSize.height(), range, frame->colorspace)) {
        out.unmap();
        return out;
    }

    if (src.format == targetFormat && targetFull == sourceFull && targetSize == frameSize) {
        const bool copied = copyPlanes(src, frame->width, frame->height, out);
        out.unmap();
        return copied ? out : QVideoFrame();
    }

    ScalerSetup setup{};
    setup.srcFormat = src.format;
    setup.srcWidth = frame->width;
    setup.srcHeight = frame->height;
    setup.srcFull = sourceFull;
    setup.dstFormat = targetFormat;
    setup.dstWidth = targetSize.width();
    setup.dstHeight = targetSize.height();
    setup.dstFull = targetFull;
    const int cs = frame->colorspace;
    const int csOrBt709 = knownMatrix(cs);
    const bool rgbLike = src.isRgb || src.isGbr;
    if (bgraOutput) {
        setup.srcCs = rgbLike ? 0 : cs;
        setup.dstCs = 0;
    } else {
        setup.srcCs = rgbLike ? 0 : csOrBt709;
        setup.dstCs = rgbLike ? csOrBt709 : cs;
    }
    setup.flags = previewDownscaleActive ? (SWS_BILINEAR | SWS_ACCURATE_RND)
                                        : (SWS_BICUBIC | SWS_ACCURATE_RND | SWS_BITEXACT);

    const CacheKey key{src.format, frame->width, frame->height,
                       targetSize.width(), targetSize.height(), targetFormat};
    const ColourKey colour{sourceFull, targetFull, contextMatrix(setup), setup.flags};
    if (!m_swsContext || key != m_key || colour != m_colourKey) {
        dropContext();
        av::SwsContextPtr ctx = buildScaler(setup);
        if (!ctx) {
            out.unmap();
            return {};
        }
        m_swsContext = std::move(ctx);
        m_key = key;
        m_colourKey = colour;
        ++m_contextBuilds;
    }

    uint8_t *dst[4] = {};
    int dstStrides[4] = {};
    for (int p = 0; p < std::min(out.planeCount(), 4); ++p) {
        dst[p] = out.bits(p);
        dstStrides[p] = out.bytesPerLine(p);
    }
    const bool scaled = scaleInto(m_swsContext.get(), frame, src, dst, dstStrides, targetSize.width(),
                                  targetSize.height(), targetFormat);
    out.unmap();
    return scaled ? out : QVideoFrame();
}

QImage PixelConverter::toRgbImage(const AVFrame *frame, const ConversionSource &source)
{
    if (!frame || frame->width <= 0 || frame->height <= 0 || !knownFormat(frame->format))
        return {};

    const SourceView src = viewSource(frame, source);
    const int range = effectiveRange(frame, source, src);
    QImage image(frame->width, frame->height, QImage::Format_ARGB32);
    if (image.isNull())
        return {};

    if (isPlanar422(frame->format)
        && m_planar422.convert(frame, image.bits(), int(image.bytesPerLine()), frame->width,
                               frame->height, range, frame->colorspace))
        return image;

    ScalerSetup setup{};
    setup.srcFormat = src.format;
    setup.srcWidth = frame->width;
    setup.srcHeight = frame->height;
    setup.srcFull = src.isRgb || range == AVCOL_RANGE_JPEG;
    setup.srcCs = (src.isRgb || src.isGbr) ? 0 : knownMatrix(frame->colorspace);
    setup.dstCs = 0;
    setup.dstFormat = AV_PIX_FMT_BGRA;
    setup.dstWidth = frame->width;
    setup.dstHeight = frame->height;
    setup.dstFull = true;
    setup.flags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_BITEXACT;
    av::SwsContextPtr ctx = buildScaler(setup);
    if (!ctx)
        return {};

    uint8_t *dst[4] = {image.bits(), nullptr, nullptr, nullptr};
    const int dstStrides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    if (!scaleInto(ctx.get(), frame, src, dst, dstStrides, frame->width, frame->height, AV_PIX_FMT_BGRA))
        return {};
    return image;
}
