#include "analysis/framecompare.h"

#include "analysis/planarformat.h"
#include "av/ffmpeg.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace cmp {

namespace {

template <typename T>
const T *row(const PlaneView &plane, int y)
{
    return reinterpret_cast<const T *>(plane.data + ptrdiff_t(y) * plane.stride);
}

// Per 4x4 block of one block row: sum of a, sum of b, sum of a^2 + b^2, sum of a*b.
struct BlockSums {
    std::vector<int64_t> a, b, squares, products;
    void resize(size_t n)
    {
        a.assign(n, 0);
        b.assign(n, 0);
        squares.assign(n, 0);
        products.assign(n, 0);
    }
};

// Column sums over the four rows of block row by, then folded into blocks.
template <typename T, typename Acc>
void blockRow(const PlaneView &pa, const PlaneView &pb, int by, int blocks, std::vector<Acc> (&columns)[4],
              BlockSums &out)
{
    const int samples = blocks * 4;
    for (auto &column : columns)
        std::fill(column.begin(), column.begin() + samples, Acc(0));
    Acc *s1 = columns[0].data();
    Acc *s2 = columns[1].data();
    Acc *ss = columns[2].data();
    Acc *s12 = columns[3].data();
    for (int dy = 0; dy < 4; ++dy) {
        const T *ra = row<T>(pa, by * 4 + dy);
        const T *rb = row<T>(pb, by * 4 + dy);
        for (int x = 0; x < samples; ++x) {
            const Acc va = ra[x];
            const Acc vb = rb[x];
            s1[x] += va;
            s2[x] += vb;
            ss[x] += va * va + vb * vb;
            s12[x] += va * vb;
        }
    }
    for (int i = 0; i < blocks; ++i) {
        const int x = i * 4;
        out.a[size_t(i)] = int64_t(s1[x]) + s1[x + 1] + s1[x + 2] + s1[x + 3];
        out.b[size_t(i)] = int64_t(s2[x]) + s2[x + 1] + s2[x + 2] + s2[x + 3];
        out.squares[size_t(i)] = int64_t(ss[x]) + ss[x + 1] + ss[x + 2] + ss[x + 3];
        out.products[size_t(i)] = int64_t(s12[x]) + s12[x + 1] + s12[x + 2] + s12[x + 3];
    }
}

// c1, c2: the stabilising constants scaled to sums over 64 samples.
template <typename T, typename Acc>
std::optional<double> ssimPlane(const PlaneView &pa, const PlaneView &pb, double c1, double c2)
{
    const int blocksX = std::min(pa.width, pb.width) / 4;
    const int blocksY = std::min(pa.height, pb.height) / 4;
    if (blocksX < 2 || blocksY < 2)
        return std::nullopt;
    std::vector<Acc> columns[4];
    for (auto &column : columns)
        column.resize(size_t(blocksX) * 4);
    BlockSums above, below;
    above.resize(size_t(blocksX));
    below.resize(size_t(blocksX));
    double total = 0.0;
    blockRow<T, Acc>(pa, pb, 0, blocksX, columns, above);
    for (int by = 1; by < blocksY; ++by) {
        blockRow<T, Acc>(pa, pb, by, blocksX, columns, below);
        double rowTotal = 0.0;
        for (int i = 0; i + 1 < blocksX; ++i) {
            // One 8x8 window: two blocks of the row above and two of this row.
            const auto window = [&](const std::vector<int64_t> &up, const std::vector<int64_t> &down) {
                return double(up[size_t(i)] + up[size_t(i) + 1] + down[size_t(i)] + down[size_t(i) + 1]);
            };
            const double s1 = window(above.a, below.a);
            const double s2 = window(above.b, below.b);
            const double ss = window(above.squares, below.squares);
            const double s12 = window(above.products, below.products);
            const double variances = ss * 64.0 - s1 * s1 - s2 * s2;
            const double covariance = s12 * 64.0 - s1 * s2;
            rowTotal += (2.0 * s1 * s2 + c1) * (2.0 * covariance + c2)
                / ((s1 * s1 + s2 * s2 + c1) * (variances + c2));
        }
        total += rowTotal;
        std::swap(above, below);
    }
    return total / (double(blocksY - 1) * double(blocksX - 1));
}

PlaneView planeOf(const AVFrame *frame, int p, const AVPixFmtDescriptor *desc)
{
    PlaneView view;
    view.data = frame->data[p];
    view.stride = frame->linesize[p];
    view.width = p == 0 ? frame->width : AV_CEIL_RSHIFT(frame->width, desc->log2_chroma_w);
    view.height = p == 0 ? frame->height : AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h);
    return view;
}

int colourPlanes(const AVPixFmtDescriptor *desc)
{
    return desc->nb_components - ((desc->flags & AV_PIX_FMT_FLAG_ALPHA) ? 1 : 0) >= 3 ? 3 : 1;
}

} // namespace

uint64_t sumSquaredError8(const PlaneView &a, const PlaneView &b)
{
    uint64_t total = 0;
    const int width = std::min(a.width, b.width);
    const int height = std::min(a.height, b.height);
    for (int y = 0; y < height; ++y) {
        const uint8_t *ra = row<uint8_t>(a, y);
        const uint8_t *rb = row<uint8_t>(b, y);
        // 255^2 per sample: a row of up to 66000 samples fits 32 bits.
        uint32_t sum = 0;
        for (int x = 0; x < width; ++x) {
            const int d = int(ra[x]) - int(rb[x]);
            sum += uint32_t(d * d);
        }
        total += sum;
    }
    return total;
}

uint64_t sumSquaredError16(const PlaneView &a, const PlaneView &b)
{
    uint64_t total = 0;
    const int width = std::min(a.width, b.width);
    const int height = std::min(a.height, b.height);
    for (int y = 0; y < height; ++y) {
        const uint16_t *ra = row<uint16_t>(a, y);
        const uint16_t *rb = row<uint16_t>(b, y);
        uint64_t sum = 0;
        for (int x = 0; x < width; ++x) {
            const int64_t d = int64_t(ra[x]) - int64_t(rb[x]);
            sum += uint64_t(d * d);
        }
        total += sum;
    }
    return total;
}

bool samePlane(const PlaneView &a, const PlaneView &b, int bytesPerSample)
{
    if (a.width != b.width || a.height != b.height)
        return false;
    const size_t bytes = size_t(a.width) * size_t(bytesPerSample);
    for (int y = 0; y < a.height; ++y) {
        if (std::memcmp(row<uint8_t>(a, y), row<uint8_t>(b, y), bytes) != 0)
            return false;
    }
    return true;
}

std::optional<double> psnrFromError(uint64_t sse, int64_t samples, int depth)
{
    if (sse == 0 || samples <= 0)
        return std::nullopt;
    const double peak = double((1 << depth) - 1);
    const double mse = double(sse) / double(samples);
    return 10.0 * std::log10(peak * peak / mse);
}

std::optional<double> ssim8(const PlaneView &pa, const PlaneView &pb)
{
    // The 8-bit case in narrow integers and single precision, the way 8-bit implementations
    // compute it, in loops the compiler turns into vector code: column sums over four rows
    // (16 and 32 bits), block sums, then every window of a block row at once.
    const int blocksX = std::min(pa.width, pb.width) / 4;
    const int blocksY = std::min(pa.height, pb.height) / 4;
    if (blocksX < 2 || blocksY < 2)
        return std::nullopt;
    constexpr int c1 = int(0.01 * 0.01 * 255 * 255 * 64 + 0.5);
    constexpr int c2 = int(0.03 * 0.03 * 255 * 255 * 64 * 63 + 0.5);
    const size_t samples = size_t(blocksX) * 4;
    std::vector<uint16_t> sumA(samples), sumB(samples);
    std::vector<uint32_t> squares(samples), products(samples);
    struct Blocks {
        std::vector<int32_t> a, b, squares, products;
    } rows[2];
    for (Blocks &r : rows) {
        r.a.resize(size_t(blocksX));
        r.b.resize(size_t(blocksX));
        r.squares.resize(size_t(blocksX));
        r.products.resize(size_t(blocksX));
    }
    std::vector<float> windows(static_cast<size_t>(blocksX));

    const auto blockRow = [&](int by, Blocks &out) {
        std::fill(sumA.begin(), sumA.end(), 0);
        std::fill(sumB.begin(), sumB.end(), 0);
        std::fill(squares.begin(), squares.end(), 0);
        std::fill(products.begin(), products.end(), 0);
        uint16_t *__restrict s1 = sumA.data();
        uint16_t *__restrict s2 = sumB.data();
        uint32_t *__restrict ss = squares.data();
        uint32_t *__restrict s12 = products.data();
        for (int dy = 0; dy < 4; ++dy) {
            const uint8_t *__restrict ra = row<uint8_t>(pa, by * 4 + dy);
            const uint8_t *__restrict rb = row<uint8_t>(pb, by * 4 + dy);
            for (size_t x = 0; x < samples; ++x) {
                const uint16_t va = ra[x];
                const uint16_t vb = rb[x];
                s1[x] = uint16_t(s1[x] + va);
                s2[x] = uint16_t(s2[x] + vb);
                ss[x] += uint32_t(uint16_t(va * va)) + uint32_t(uint16_t(vb * vb));
                s12[x] += uint32_t(uint16_t(va * vb));
            }
        }
        for (int i = 0; i < blocksX; ++i) {
            const size_t x = size_t(i) * 4;
            out.a[size_t(i)] = int32_t(s1[x]) + s1[x + 1] + s1[x + 2] + s1[x + 3];
            out.b[size_t(i)] = int32_t(s2[x]) + s2[x + 1] + s2[x + 2] + s2[x + 3];
            out.squares[size_t(i)] = int32_t(ss[x] + ss[x + 1] + ss[x + 2] + ss[x + 3]);
            out.products[size_t(i)] = int32_t(s12[x] + s12[x + 1] + s12[x + 2] + s12[x + 3]);
        }
    };

    double total = 0.0;
    blockRow(0, rows[0]);
    for (int by = 1; by < blocksY; ++by) {
        const Blocks &up = rows[(by - 1) & 1];
        Blocks &down = rows[by & 1];
        blockRow(by, down);
        const int count = blocksX - 1;
        const int32_t *__restrict ua = up.a.data();
        const int32_t *__restrict ub = up.b.data();
        const int32_t *__restrict uss = up.squares.data();
        const int32_t *__restrict u12 = up.products.data();
        const int32_t *__restrict da = down.a.data();
        const int32_t *__restrict db = down.b.data();
        const int32_t *__restrict dss = down.squares.data();
        const int32_t *__restrict d12 = down.products.data();
        float *__restrict w = windows.data();
        for (int i = 0; i < count; ++i) {
            // 64 samples of 8 bits: every term fits 32 bits.
            const int32_t s1 = ua[i] + ua[i + 1] + da[i] + da[i + 1];
            const int32_t s2 = ub[i] + ub[i + 1] + db[i] + db[i + 1];
            const int32_t ss = uss[i] + uss[i + 1] + dss[i] + dss[i + 1];
            const int32_t s12 = u12[i] + u12[i + 1] + d12[i] + d12[i + 1];
            const int32_t variances = ss * 64 - s1 * s1 - s2 * s2;
            const int32_t covariance = s12 * 64 - s1 * s2;
            w[i] = float(2 * s1 * s2 + c1) * float(2 * covariance + c2)
                / (float(s1 * s1 + s2 * s2 + c1) * float(variances + c2));
        }
        double rowTotal = 0.0;
        for (int i = 0; i < count; ++i)
            rowTotal += double(w[i]);
        total += rowTotal;
    }
    return total / (double(blocksY - 1) * double(blocksX - 1));
}

std::optional<double> ssim16(const PlaneView &a, const PlaneView &b, int depth)
{
    const double peak = double((1 << depth) - 1);
    return ssimPlane<uint16_t, int64_t>(a, b, 0.01 * 0.01 * peak * peak * 64, 0.03 * 0.03 * peak * peak * 64 * 63);
}

FrameComparer::FrameComparer(bool psnr, bool ssim)
    : m_psnr(psnr)
    , m_ssim(ssim)
{
}

const AVFrame *FrameComparer::convert(const AVFrame *frame, int format, int width, int height,
                                      av::SwsContextPtr &context, av::FramePtr &holder)
{
    const bool scaled = width != frame->width || height != frame->height;
    // Scaling gets a proper filter; a change of layout alone keeps the samples.
    const int flags = scaled ? SWS_BICUBIC | SWS_ACCURATE_RND : SWS_POINT | SWS_ACCURATE_RND;
    context.reset(sws_getCachedContext(context.release(), frame->width, frame->height, AVPixelFormat(frame->format),
                                       width, height, AVPixelFormat(format), flags, nullptr, nullptr, nullptr));
    if (!context)
        return nullptr;
    if (!holder || holder->format != format || holder->width != width || holder->height != height) {
        holder = av::makeFrame();
        if (!holder)
            return nullptr;
        holder->format = format;
        holder->width = width;
        holder->height = height;
        if (av_frame_get_buffer(holder.get(), 0) < 0) {
            holder.reset();
            return nullptr;
        }
    }
    if (sws_scale(context.get(), frame->data, frame->linesize, 0, frame->height, holder->data, holder->linesize) <= 0)
        return nullptr;
    return holder.get();
}

const AVFrame *FrameComparer::readable(const AVFrame *frame, av::SwsContextPtr &context, av::FramePtr &holder)
{
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!desc)
        return nullptr;
    if (qc::isDirectYuv(desc))
        return frame;
    // Repacked without colour arithmetic: RGB to planar 16-bit G, B, R; Y'CbCr to planar
    // 16-bit 4:4:4.
    const AVPixelFormat target = (desc->flags & AV_PIX_FMT_FLAG_RGB) ? AV_PIX_FMT_GBRP16 : AV_PIX_FMT_YUV444P16;
    return convert(frame, target, frame->width, frame->height, context, holder);
}

bool FrameComparer::compare(const AVFrame *frameA, const AVFrame *frameB, PairResult &result)
{
    if (!frameA || !frameB || frameA->width <= 0 || frameA->height <= 0)
        return false;
    const AVFrame *a = readable(frameA, m_repackA, m_heldA);
    if (!a)
        return false;
    const AVFrame *b = frameB;
    if (b->format != a->format || b->width != a->width || b->height != a->height)
        b = convert(frameB, a->format, a->width, a->height, m_toA, m_convertedB);
    if (!b)
        return false;

    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(a->format));
    const int depth = desc->comp[0].depth;
    const int bytes = depth > 8 ? 2 : 1;
    result.planes = colourPlanes(desc);
    result.identical = true;
    for (int p = 0; p < result.planes; ++p) {
        const PlaneView pa = planeOf(a, p, desc);
        const PlaneView pb = planeOf(b, p, desc);
        result.psnr[p].reset();
        if (samePlane(pa, pb, bytes))
            continue;
        result.identical = false;
        if (m_psnr) {
            const uint64_t sse = bytes == 1 ? sumSquaredError8(pa, pb) : sumSquaredError16(pa, pb);
            result.psnr[p] = psnrFromError(sse, int64_t(pa.width) * pa.height, depth);
        }
    }
    result.ssimY.reset();
    if (m_ssim) {
        if (result.identical) {
            result.ssimY = 1.0;
        } else {
            const PlaneView pa = planeOf(a, 0, desc);
            const PlaneView pb = planeOf(b, 0, desc);
            result.ssimY = bytes == 1 ? ssim8(pa, pb) : ssim16(pa, pb, depth);
        }
    }
    return true;
}

} // namespace cmp
