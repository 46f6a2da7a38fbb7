#include "scopes/waveformrenderer.h"

#include "av/ffmpeg.h"
#include "av/rgbreader.h"
#include "core/canvasmapping.h"
#include "core/colour.h"
#include "core/parallelrows.h"
#include "core/rotation.h"

#include <QFont>
#include <QFontMetrics>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace waveform {

namespace {

// Luma of RGB pictures: the BT.709 weights.
constexpr colour::LumaWeights kLuma709 = colour::lumaWeights(colour::Matrix::BT709);
constexpr double kLumaR = kLuma709.kr;
constexpr double kLumaG = kLuma709.kg();
constexpr double kLumaB = kLuma709.kb;

constexpr int kScalerFlags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_BITEXACT;

// Which count tables a channel fills: red, green and blue for Color, one for the single
// quantities, none for an unknown channel.
enum class Traces { Rgb, Single, None };

Traces tracesFor(DisplayChannel channel)
{
    if (channel == Color)
        return Traces::Rgb;
    if (channel >= Red && channel <= Luma)
        return Traces::Single;
    return Traces::None;
}

// The parade draws the whole canvas width in each third of the scope.
int canvasColumn(int scopeColumn, int canvasWidth, bool parade)
{
    const int columns = parade ? kParadeWidth : kScopeWidth;
    const int c = parade ? scopeColumn % kParadeWidth : scopeColumn;
    const double x = std::trunc(double(c) * double(canvasWidth) / double(columns));
    return std::clamp(int(x), 0, canvasWidth - 1);
}

// Calls visit(sourceX, sourceY) for every canvas row of canvas column canvasX, with
// (-1, -1) where the row lies outside the picture. For the plain turns the canvas is the
// frame and the fit is the identity, so they index directly; the quarter turns go through
// the fit.
template <typename Visit>
inline void forEachSample(int canvasX, QSize canvas, QSize frame, int rotation, Visit visit)
{
    const int w = frame.width();
    const int h = frame.height();
    if (rotation == 0) {
        const int sx = std::clamp(canvasX, 0, w - 1);
        for (int y = 0; y < canvas.height(); ++y)
            visit(sx, std::min(y, h - 1));
    } else if (rotation == 180) {
        const int sx = std::clamp(w - 1 - canvasX, 0, w - 1);
        for (int y = 0; y < canvas.height(); ++y)
            visit(sx, std::clamp(h - 1 - y, 0, h - 1));
    } else {
        for (int y = 0; y < canvas.height(); ++y) {
            const std::optional<QPoint> p = canvasToSourcePixel(QPoint(canvasX, y), canvas, frame, rotation);
            if (p)
                visit(p->x(), p->y());
            else
                visit(-1, -1);
        }
    }
}

// scopeRow without its divisions and rounding call per sample: the row is a step function
// of the value, so the exact value where each step begins is found once (bisection over
// the ordered doubles, evaluating scopeRow itself) and a sample needs one multiply and a
// compare or two. Same rows as scopeRow for every finite value.
class RowMap
{
public:
    static const RowMap &get(ScopeRange range, int height)
    {
        static QMutex mutex;
        static std::map<std::pair<bool, int>, std::unique_ptr<RowMap>> maps;
        const bool percent = range == Percent;
        QMutexLocker lock(&mutex);
        std::unique_ptr<RowMap> &map = maps[{percent, height}];
        if (!map)
            map = std::make_unique<RowMap>(percent ? Percent : CodeValue, height);
        return *map;
    }

    RowMap(ScopeRange range, int height)
        : m_height(height)
        , m_range(range)
    {
        // Smallest value of each level (row height-1-level), by bisection over the doubles.
        std::vector<double> starts(size_t(std::max(height, 1)), -std::numeric_limits<double>::infinity());
        for (int level = 1; level < height; ++level) {
            int64_t below = key(-1.0e4); // levelOf(below) < level <= levelOf(above)
            int64_t above = key(1.0e4);
            while (uint64_t(above) - uint64_t(below) > 1) {
                const int64_t mid = below + int64_t((uint64_t(above) - uint64_t(below)) / 2);
                if (levelOf(value(mid)) >= level)
                    above = mid;
                else
                    below = mid;
            }
            starts[size_t(level)] = value(above);
        }
        // Bins of 1/16 of a level, narrower than a row of the scope (a quarter level), so at
        // most one level starts in a bin, margin for the rounding of the bin index included.
        // A taller scale, whose rows would be narrower still, keeps to scopeRow.
        const double margin = 1e-9;
        m_bins.resize(size_t(kBins));
        for (int b = 0; b < kBins && m_tabulated; ++b) {
            const double lo = kLow + double(b) / kBinsPerLevel - margin;
            const double hi = kLow + double(b + 1) / kBinsPerLevel + margin;
            Bin &bin = m_bins[size_t(b)];
            bin.row = scopeRow(lo, height, range);
            bin.start = std::numeric_limits<double>::infinity();
            int found = 0;
            for (int level = 1; level < height; ++level) {
                const double t = starts[size_t(level)];
                if (t > lo && t <= hi) {
                    bin.start = t;
                    ++found;
                }
            }
            m_tabulated = found <= 1;
            bin.startFixed = std::isfinite(bin.start) ? int64_t(std::ceil(bin.start * double(kFixedOne)))
                                                       : std::numeric_limits<int64_t>::max();
        }
        if (m_tabulated) {
            // Per bin: its lower edge's row above, where the next row begins (as an offset
            // into the bin, clamped to 0 .. 2^32-1, which keeps every compare the same) below.
            m_flat.resize(size_t(kBins));
            for (size_t b = 0; b < size_t(kBins); ++b) {
                const int64_t binLow = kLowFixed + (int64_t(b) << (kFixedBits - 4));
                const int64_t start = m_bins[b].startFixed;
                const uint64_t offset = start == std::numeric_limits<int64_t>::max()
                    ? 0xffffffffu
                    : uint64_t(std::clamp<int64_t>(start - binLow, 0, 0xffffffff));
                m_flat[b] = (uint64_t(uint32_t(m_bins[b].row)) << 32) | offset;
            }
        }
    }

    // rowFixed as one table load and no branch, for the per-sample loops; null when this
    // scale keeps to scopeRow. The clamp lands on the edge bins, which hold the edge rows.
    struct Flat {
        const uint64_t *bins = nullptr;
        int at(int64_t x) const
        {
            x = std::clamp(x, kLowFixed, kHighFixed - 1);
            const uint64_t inScale = uint64_t(x - kLowFixed);
            const uint64_t bin = bins[inScale >> (kFixedBits - 4)];
            const uint32_t offset = uint32_t(inScale & ((uint64_t(1) << (kFixedBits - 4)) - 1));
            return int(bin >> 32) - int(offset >= uint32_t(bin));
        }
    };
    Flat flat() const { return m_tabulated ? Flat{m_flat.data()} : Flat{}; }

    int row(double x) const
    {
        // Far below the scale (or NaN) and far above it: the edge rows, as scopeRow gives.
        if (!(x >= kLow))
            return m_height - 1;
        if (x >= kHigh)
            return 0;
        if (!m_tabulated)
            return scopeRow(x, m_height, m_range);
        const int b = std::min(int((x - kLow) * kBinsPerLevel), kBins - 1);
        const Bin &bin = m_bins[size_t(b)];
        return bin.row - int(x >= bin.start);
    }

    // row() of a level in fixed point (kFixedOne per level): integer work only.
    static constexpr int kFixedBits = 32;
    static constexpr int64_t kFixedOne = int64_t(1) << kFixedBits;
    static int64_t fixed(double level) { return std::llround(level * double(kFixedOne)); }
    int rowFixed(int64_t x) const
    {
        if (x < kLowFixed)
            return m_height - 1;
        if (x >= kHighFixed)
            return 0;
        if (!m_tabulated)
            return scopeRow(double(x) / double(kFixedOne), m_height, m_range);
        const int b = std::min(int((x - kLowFixed) >> (kFixedBits - 4)), kBins - 1);
        const Bin &bin = m_bins[size_t(b)];
        return bin.row - int(x >= bin.startFixed);
    }

private:
    int levelOf(double x) const { return m_height - 1 - scopeRow(x, m_height, m_range); }
    // Doubles in order as integers (negative values mirrored below zero).
    static int64_t key(double d)
    {
        const int64_t bits = std::bit_cast<int64_t>(d);
        return bits >= 0 ? bits : std::numeric_limits<int64_t>::min() - bits;
    }
    static double value(int64_t k)
    {
        return std::bit_cast<double>(k >= 0 ? k : std::numeric_limits<int64_t>::min() - k);
    }

    static constexpr double kLow = -64.0;  // everything below is on the bottom row
    static constexpr double kHigh = 320.0; // everything above is on the top row
    static constexpr double kBinsPerLevel = 16.0; // kFixedBits - 4 below
    static constexpr int64_t kLowFixed = int64_t(kLow) * kFixedOne;
    static constexpr int64_t kHighFixed = int64_t(kHigh) * kFixedOne;
    static constexpr int kBins = int((kHigh - kLow) * kBinsPerLevel);
    struct Bin {
        double start; // where the next row up begins inside the bin (infinity: nowhere)
        int64_t startFixed; // the same in fixed point, rounded up (INT64_MAX: nowhere)
        int row;      // row at the bin's lower edge
    };

    int m_height;
    ScopeRange m_range;
    bool m_tabulated = true;
    std::vector<Bin> m_bins;
    std::vector<uint64_t> m_flat;
};

// Per-thread counters for one scope column: the columns are independent, so each is
// counted, composited and cleared before the next. Same results as whole-image tables.
struct ColumnCounts {
    explicit ColumnCounts(int height) : red(size_t(height)), green(size_t(height)), blue(size_t(height)) {}
    std::vector<uint32_t> red, green, blue; // 'red' doubles as the single table
    // Source samples of a block of adjacent scope columns (see SourceColumns).
    std::vector<uint16_t> gathered;
    int gatheredFirst = -1;
    int gatheredCount = 0;
};

// The 16-bit samples under one canvas column, for the unturned and half-turned canvas.
// Walking a column of a row-major picture touches a new cache line per sample and plane;
// reading the columns of a block of 64 scope columns row by row touches each line once per
// block instead, and the counting then runs over contiguous arrays.
class SourceColumns
{
public:
    static constexpr int kBlock = 64;

    // planeMask: bit p set for each plane of 'work' the counting reads.
    SourceColumns(const AVFrame *work, unsigned planeMask, QSize canvas, int rotation, bool parade)
        : m_work(work), m_canvas(canvas), m_rotation(rotation), m_parade(parade)
    {
        for (int p = 0; p < 4; ++p) {
            if (planeMask & (1u << p))
                m_plane[size_t(m_planes++)] = p;
        }
    }

    // out[p]: the samples of plane p under scope column c, canvas row y at out[p][y * kBlock]
    // (null for planes not in the mask).
    void column(int c, ColumnCounts &scratch, const uint16_t *out[4]) const
    {
        const int height = m_canvas.height();
        if (c < scratch.gatheredFirst || c >= scratch.gatheredFirst + scratch.gatheredCount)
            gather(c, scratch);
        const int index = c - scratch.gatheredFirst;
        for (int k = 0; k < m_planes; ++k)
            out[m_plane[size_t(k)]] = scratch.gathered.data() + size_t(k) * kBlock * size_t(height) + size_t(index);
    }

private:
    void gather(int first, ColumnCounts &scratch) const
    {
        const int w = m_work->width;
        const int h = m_work->height;
        const int height = m_canvas.height();
        const int count = std::min(kBlock, kScopeWidth - first);
        scratch.gathered.resize(size_t(m_planes) * kBlock * size_t(height));
        scratch.gatheredFirst = first;
        scratch.gatheredCount = count;
        std::array<int, kBlock> sourceX{};
        for (int i = 0; i < count; ++i) {
            const int cx = canvasColumn(first + i, m_canvas.width(), m_parade);
            sourceX[size_t(i)] = m_rotation == 180 ? std::clamp(w - 1 - cx, 0, w - 1) : std::clamp(cx, 0, w - 1);
        }
        // One scope column per source column (a 1920-wide unturned frame): plain copies.
        bool adjacent = m_rotation == 0;
        for (int i = 1; i < count && adjacent; ++i)
            adjacent = sourceX[size_t(i)] == sourceX[0] + i;
        for (int y = 0; y < height; ++y) {
            const int sy = m_rotation == 180 ? std::clamp(h - 1 - y, 0, h - 1) : std::min(y, h - 1);
            for (int k = 0; k < m_planes; ++k) {
                const int p = m_plane[size_t(k)];
                const auto *row = reinterpret_cast<const uint16_t *>(m_work->data[p] + qsizetype(sy) * m_work->linesize[p]);
                uint16_t *dst = scratch.gathered.data() + (size_t(k) * size_t(height) + size_t(y)) * kBlock;
                if (adjacent) {
                    std::memcpy(dst, row + sourceX[0], size_t(count) * sizeof(uint16_t));
                } else {
                    for (int i = 0; i < count; ++i)
                        dst[i] = row[sourceX[size_t(i)]];
                }
            }
        }
    }

    const AVFrame *m_work;
    int m_planes = 0;
    std::array<int, 4> m_plane{};
    QSize m_canvas;
    int m_rotation;
    bool m_parade;
};

// 255 x scopeIntensity(n, m) for the counts n below 128, one table per column maximum m,
// made once for the process: a frame has a few hundred distinct maxima, and recomputing
// the powers per column cost more than the counting. Counts from 128 up are rare (only in
// columns whose maximum is above 48, where they are already full brightness) and are
// computed as they come.
class IntensityTables
{
public:
    static constexpr uint32_t kCounts = 128;
    static constexpr uint32_t kMaxima = 1u << 16;
    using Table = std::array<uint8_t, kCounts>;

    // Null for maxima beyond the table.
    static const Table *get(uint32_t m)
    {
        if (m >= kMaxima)
            return nullptr;
        static std::array<std::atomic<const Table *>, kMaxima> tables{};
        const Table *t = tables[m].load(std::memory_order_acquire);
        if (t)
            return t;
        static QMutex mutex;
        QMutexLocker lock(&mutex);
        t = tables[m].load(std::memory_order_relaxed);
        if (!t) {
            auto *made = new Table;
            for (uint32_t n = 0; n < kCounts; ++n)
                (*made)[n] = uint8_t(value(n, float(m)));
            tables[m].store(made, std::memory_order_release);
            t = made;
        }
        return t;
    }

    static int value(uint32_t n, float m) { return n == 0 ? 0 : int(255.0f * scopeIntensity(float(n), m)); }
};

class ColumnBrightness
{
public:
    ColumnBrightness(const uint32_t *counts, int first, int last)
    {
        uint32_t m = 0;
        for (int row = first; row <= last; ++row)
            m = std::max(m, counts[row]);
        m_max = float(m);
        m_table = IntensityTables::get(m);
    }
    int operator()(uint32_t n) const
    {
        if (m_table && n < IntensityTables::kCounts)
            return (*m_table)[n];
        return IntensityTables::value(n, m_max);
    }
    bool any() const { return m_max > 0.0f; }

private:
    float m_max = 0.0f;
    const IntensityTables::Table *m_table = nullptr;
};

// Brightness to add per row of one counted column, into 'out' at out[row * stride] (three
// bytes: red, green, blue), for the rows between the first and the last counted one; the
// rest of 'out' is left as it is (zero). Clears the counts for the next column. Returns
// that row range (first > last when nothing was counted).
std::pair<int, int> columnBrightness(Traces traces, ColumnCounts &counts, uint8_t *out, size_t stride)
{
    const int height = int(counts.red.size());
    const auto counted = [&](int row) {
        return (counts.red[size_t(row)] | (traces == Traces::Rgb ? counts.green[size_t(row)] | counts.blue[size_t(row)]
                                                                  : 0u)) != 0;
    };
    int first = 0;
    while (first < height && !counted(first))
        ++first;
    int last = height - 1;
    while (last >= first && !counted(last))
        --last;
    if (first > last)
        return {first, last};

    if (traces == Traces::Rgb) {
        const ColumnBrightness red(counts.red.data(), first, last), green(counts.green.data(), first, last),
            blue(counts.blue.data(), first, last);
        // A parade column holds one trace: only its component is written (the others are
        // zero in 'out' already).
        if (int(red.any()) + int(green.any()) + int(blue.any()) == 1) {
            const int component = red.any() ? 0 : green.any() ? 1 : 2;
            const ColumnBrightness &brightness = component == 0 ? red : component == 1 ? green : blue;
            std::vector<uint32_t> &table = component == 0 ? counts.red : component == 1 ? counts.green : counts.blue;
            for (int row = first; row <= last; ++row) {
                out[size_t(row) * stride + size_t(component)] = uint8_t(brightness(table[size_t(row)]));
                table[size_t(row)] = 0;
            }
            return {first, last};
        }
        for (int row = first; row <= last; ++row) {
            uint8_t *k = out + size_t(row) * stride;
            k[0] = uint8_t(red(counts.red[size_t(row)]));
            k[1] = uint8_t(green(counts.green[size_t(row)]));
            k[2] = uint8_t(blue(counts.blue[size_t(row)]));
            counts.red[size_t(row)] = counts.green[size_t(row)] = counts.blue[size_t(row)] = 0;
        }
    } else {
        const ColumnBrightness single(counts.red.data(), first, last);
        for (int row = first; row <= last; ++row) {
            uint8_t *k = out + size_t(row) * stride;
            k[0] = k[1] = k[2] = uint8_t(single(counts.red[size_t(row)]));
            counts.red[size_t(row)] = 0;
        }
    }
    return {first, last};
}

// Runs countColumn(scopeColumn, counts) for every scope column, in column bands on as many
// threads as the machine has (the counts of different columns never meet). Each column's
// brightness is kept for a block of adjacent columns and then added to the graticule row
// by row, so the image is written a cache line at a time rather than a pixel per line.
template <typename CountColumn>
void drawColumns(QImage &image, Traces traces, int canvasHeight, CountColumn countColumn)
{
    if (traces == Traces::None)
        return;
    uchar *bits = image.bits(); // detaches here, before the threads share the buffer
    const qsizetype bytesPerLine = image.bytesPerLine();
    const int height = image.height();
    constexpr int kBlock = SourceColumns::kBlock;

    // Small canvases are not worth a thread start each.
    const long long work = (long long)kScopeWidth * canvasHeight;
    const int bands = work < 200000 ? 1 : std::min(parallel::coreCount(), 16);

    auto runBand = [&](int first, int last) {
        // Kept per thread: fresh buffers cost their page faults on every scope. Both are
        // all zero between uses (every count and brightness is cleared once drawn).
        struct Scratch {
            std::optional<ColumnCounts> counts;
            std::vector<uint8_t> brightness;
        };
        thread_local Scratch scratch;
        if (!scratch.counts || int(scratch.counts->red.size()) != height) {
            scratch.counts.emplace(height);
            scratch.brightness.assign(size_t(height) * kBlock * 3, 0);
        }
        ColumnCounts &counts = *scratch.counts;
        counts.gatheredFirst = -1;
        counts.gatheredCount = 0;
        std::vector<uint8_t> &brightness = scratch.brightness;
        const size_t stride = size_t(kBlock) * 3;
        for (int blockStart = first; blockStart < last; blockStart += kBlock) {
            const int blockColumns = std::min(kBlock, last - blockStart);
            int top = height;
            int bottom = -1;
            for (int i = 0; i < blockColumns; ++i) {
                countColumn(blockStart + i, counts);
                const auto [from, to] = columnBrightness(traces, counts, brightness.data() + size_t(i) * 3, stride);
                if (from <= to) {
                    top = std::min(top, from);
                    bottom = std::max(bottom, to);
                }
            }
            // Only the rows some column of the block reached; the buffer is zeroed behind.
            for (int row = top; row <= bottom; ++row) {
                uint8_t *k = brightness.data() + size_t(row) * stride;
                QRgb *line = reinterpret_cast<QRgb *>(bits + row * bytesPerLine) + blockStart;
                for (int i = 0; i < blockColumns; ++i, k += 3) {
                    if ((k[0] | k[1] | k[2]) == 0)
                        continue;
                    const QRgb p = line[i];
                    line[i] = qRgb(std::min(255, qRed(p) + k[0]), std::min(255, qGreen(p) + k[1]),
                                   std::min(255, qBlue(p) + k[2]));
                    k[0] = k[1] = k[2] = 0;
                }
            }
        }
    };
    // Band edges on block boundaries keep each thread's writes to its own cache lines.
    const int bandWidth = ((kScopeWidth + bands - 1) / bands + kBlock - 1) / kBlock * kBlock;
    parallel::forEachBand(bands, [&](int b) {
        const int first = b * bandWidth;
        const int last = std::min(kScopeWidth, first + bandWidth);
        if (first < last)
            runBand(first, last);
    });
}

// Calls body(std::integral_constant<int, channel>) so that the per-sample code is compiled
// once per channel, without a switch in the inner loop.
template <typename Body>
void withChannel(DisplayChannel channel, Body body)
{
    switch (channel) {
    case Color: body(std::integral_constant<int, Color>{}); break;
    case Red: body(std::integral_constant<int, Red>{}); break;
    case Green: body(std::integral_constant<int, Green>{}); break;
    case Blue: body(std::integral_constant<int, Blue>{}); break;
    case Alpha: body(std::integral_constant<int, Alpha>{}); break;
    case Luma: body(std::integral_constant<int, Luma>{}); break;
    default: break;
    }
}

// Luma and alpha are read back at the source's own bit depth: the scaler widens some
// formats by shifting (8-bit full white becomes 65280) and others by replicating bits
// (65535), so a fixed 16-bit scale would put full-range white of one format a row below
// another's. The planes are not resampled, so the widened value truncates back exactly.
struct YuvMatrix {
    int lumaShift;                // 16 - luma depth
    double lumaOffset, lumaScale; // on the source's luma code values
    double chromaMid, chromaScale; // on the 16-bit chroma samples
    double rFromCr, gFromCb, gFromCr, bFromCb;
};

YuvMatrix yuvMatrix(bool fullRange, int colorSpace, int lumaDepth)
{
    const colour::LumaWeights w = colour::lumaWeights(rgbreader::matrixFor(colorSpace).matrix);
    const colour::Range range = fullRange ? colour::Range::Full : colour::Range::Limited;
    const int depth = std::clamp(lumaDepth, 8, 16);
    // Luma on the source's own code values, chroma on the 16-bit work copy's.
    const colour::CodeLevels luma = colour::codeLevels(range, depth);
    const colour::CodeLevels chroma = colour::codeLevels(range, 16);
    YuvMatrix m{};
    m.lumaShift = 16 - depth;
    m.lumaOffset = luma.lumaBlack;
    m.lumaScale = 255.0 / luma.lumaSpan;
    m.chromaMid = chroma.chromaMid;
    m.chromaScale = 255.0 / chroma.chromaSpan;
    m.rFromCr = 2.0 * (1.0 - w.kr);
    m.bFromCb = 2.0 * (1.0 - w.kb);
    m.gFromCb = 2.0 * w.kb * (1.0 - w.kb) / w.kg();
    m.gFromCr = 2.0 * w.kr * (1.0 - w.kr) / w.kg();
    return m;
}

// One scope column's samples of the 16-bit Y'CbCr work copy counted into rows: a plain
// loop over local copies of every table, so that the compiler keeps them in registers
// across the count stores. What selects the traces: Rgb all three, Red/Green/Blue/Luma
// one into 'single'.
enum class YuvTrace { Rgb, Red, Green, Blue, Luma };

struct YuvCounter {
    const int64_t *lumaLevel;
    const uint16_t *lumaRow;
    int lumaShift;
    int64_t chromaMid, rFromCr, gFromCb, gFromCr, bFromCb;
    RowMap::Flat rows;

    template <YuvTrace Trace>
    void count(const uint16_t *y, const uint16_t *cb, const uint16_t *cr, ptrdiff_t stride, int n,
               uint32_t *__restrict red, uint32_t *__restrict green, uint32_t *__restrict blue) const
    {
        const int64_t *const level = lumaLevel;
        const int shift = lumaShift;
        const int64_t mid = chromaMid, rCr = rFromCr, gCb = gFromCb, gCr = gFromCr, bCb = bFromCb;
        const RowMap::Flat map = rows;
        if constexpr (Trace == YuvTrace::Luma) {
            const uint16_t *const row = lumaRow;
            for (int i = 0; i < n; ++i)
                ++red[row[y[ptrdiff_t(i) * stride] >> shift]];
            return;
        }
        for (int i = 0; i < n; ++i) {
            const ptrdiff_t at = ptrdiff_t(i) * stride;
            const int64_t luma = level[y[at] >> shift];
            const int64_t u = int64_t(cb[at]) - mid;
            const int64_t v = int64_t(cr[at]) - mid;
            if constexpr (Trace == YuvTrace::Rgb || Trace == YuvTrace::Red)
                ++red[map.at(luma + rCr * v)];
            if constexpr (Trace == YuvTrace::Rgb || Trace == YuvTrace::Green)
                ++green[map.at(luma - gCb * u - gCr * v)];
            if constexpr (Trace == YuvTrace::Rgb || Trace == YuvTrace::Blue)
                ++blue[map.at(luma + bCb * u)];
        }
    }
};

// Whole-frame conversion to a 16-bit planar work copy of the same size; null on failure.
// The work buffer and the scaler are kept per thread for the next frame of the same shape:
// a fresh 12 MB buffer (48 MB for UHD) costs its page faults on every scope otherwise, and
// a scaler set-up builds its filters anew.
av::FramePtr convertFrame(const AVFrame *frame, AVPixelFormat target, bool fullRange, int colorSpace)
{
    struct Kept {
        av::FramePtr buffer;
        av::SwsContextPtr scaler;
        int sourceFormat = -1, width = 0, height = 0, target = -1, colorSpace = -1;
        bool fullRange = false;
    };
    thread_local Kept kept;
    const bool sameShape = kept.sourceFormat == frame->format && kept.width == frame->width
        && kept.height == frame->height && kept.target == target;
    if (!sameShape || !kept.buffer || !av_frame_is_writable(kept.buffer.get())) {
        kept.buffer = av::makeFrame();
        if (!kept.buffer)
            return {};
        kept.buffer->format = target;
        kept.buffer->width = frame->width;
        kept.buffer->height = frame->height;
        if (av_frame_get_buffer(kept.buffer.get(), 0) < 0) {
            kept.buffer.reset();
            return {};
        }
    }
    if (!sameShape || !kept.scaler || kept.colorSpace != colorSpace || kept.fullRange != fullRange) {
        kept.scaler.reset();
        kept.sourceFormat = -1;
        // The scaler's own slice threads, one per core: the same output, sooner.
        av::SwsContextPtr scaler(sws_alloc_context());
        if (!scaler)
            return {};
        SwsContext *c = scaler.get();
        const bool set = av_opt_set_int(c, "srcw", frame->width, 0) >= 0
            && av_opt_set_int(c, "srch", frame->height, 0) >= 0 && av_opt_set_int(c, "src_format", frame->format, 0) >= 0
            && av_opt_set_int(c, "dstw", frame->width, 0) >= 0 && av_opt_set_int(c, "dsth", frame->height, 0) >= 0
            && av_opt_set_int(c, "dst_format", target, 0) >= 0 && av_opt_set_int(c, "sws_flags", kScalerFlags, 0) >= 0
            && av_opt_set_int(c, "threads", parallel::coreCount(), 0) >= 0;
        if (!set || sws_init_context(c, nullptr, nullptr) < 0)
            return {};
        const int *coefficients = sws_getCoefficients(colorSpace);
        const int full = fullRange ? 1 : 0;
        sws_setColorspaceDetails(c, coefficients, full, coefficients, full, 0, 1 << 16, 1 << 16);
        kept.scaler = std::move(scaler);
        kept.sourceFormat = frame->format;
        kept.width = frame->width;
        kept.height = frame->height;
        kept.target = target;
        kept.colorSpace = colorSpace;
        kept.fullRange = fullRange;
    }
    // A reference to the kept buffer: while the caller holds it the buffer is not writable,
    // so a nested call makes its own.
    av::FramePtr work = av::makeFrame();
    if (!work || av_frame_ref(work.get(), kept.buffer.get()) < 0)
        return {};
    if (sws_scale_frame(kept.scaler.get(), work.get(), frame) < 0)
        return {};
    return work;
}

// The RGB source's own code values, each component spread over 16 bits as
// round(code * 65535 / its maximum), into a GBRP16 work copy; null for what the generic
// reader cannot read as integers (floats, Bayer mosaics, palettes) or on failure. The
// scaler is not used here: its RGB input path mixes the components through an internal
// matrix whose rounding differs between FFmpeg versions (8-bit 128 gives 32772 on one and
// 32767 on another), while this reads exactly what the file holds.
av::FramePtr readRgbCodes(const AVFrame *frame, const AVPixFmtDescriptor *descriptor)
{
    constexpr uint64_t unreadable = AV_PIX_FMT_FLAG_FLOAT | AV_PIX_FMT_FLAG_BAYER | AV_PIX_FMT_FLAG_PAL
        | AV_PIX_FMT_FLAG_HWACCEL;
    if ((descriptor->flags & unreadable) || descriptor->nb_components < 3 || descriptor->log2_chroma_w != 0
        || descriptor->log2_chroma_h != 0) {
        return {};
    }
    av::FramePtr work = av::makeFrame();
    if (!work)
        return {};
    work->format = AV_PIX_FMT_GBRP16LE;
    work->width = frame->width;
    work->height = frame->height;
    if (av_frame_get_buffer(work.get(), 0) < 0)
        return {};
    // GBRP planes: 0 green, 1 blue, 2 red; the descriptor's components are R, G, B.
    constexpr int planeOf[3] = {2, 0, 1};
    const uint8_t *data[4] = {frame->data[0], frame->data[1], frame->data[2], frame->data[3]};
    for (int c = 0; c < 3; ++c) {
        const int depth = descriptor->comp[c].depth;
        if (depth < 1 || depth > 16)
            return {};
        const uint32_t maximum = (uint32_t(1) << depth) - 1;
        std::vector<uint16_t> spread(size_t(maximum) + 1);
        for (uint32_t code = 0; code <= maximum; ++code)
            spread[code] = uint16_t((uint64_t(code) * 65535u + maximum / 2) / maximum);
        const int plane = planeOf[c];
        for (int y = 0; y < frame->height; ++y) {
            auto *row = reinterpret_cast<uint16_t *>(work->data[plane] + qsizetype(y) * work->linesize[plane]);
            av_read_image_line2(row, data, frame->linesize, descriptor, 0, y, c, frame->width, 0, int(sizeof(uint16_t)));
            for (int x = 0; x < frame->width; ++x)
                row[x] = spread[std::min<uint32_t>(row[x], maximum)];
        }
    }
    return work;
}

inline uint16_t sample16(const AVFrame *frame, int plane, int x, int y)
{
    return reinterpret_cast<const uint16_t *>(frame->data[plane] + qsizetype(y) * frame->linesize[plane])[x];
}

bool validFrame(const AVFrame *frame)
{
    return frame && frame->width > 0 && frame->height > 0 && frame->data[0];
}

} // namespace

int scopeRow(double value, int height, ScopeRange range)
{
    const double n = range == Percent ? (value / 255.0 * 100.0 + 10.0) / 120.0 : value / 255.0;
    // Clamped first so that huge or NaN values cannot overflow the conversion; rows beyond
    // the scale end on the edge rows either way.
    double position = double(height - 1) * n;
    if (!(position > -1.0))
        position = -1.0;
    else if (position > double(height))
        position = double(height);
    return std::clamp(height - 1 - int(std::round(position)), 0, height - 1);
}

int tabulatedScopeRow(double value, int height, ScopeRange range)
{
    return RowMap::get(range, height).row(value);
}

float scopeIntensity(float n, float m)
{
    if (n <= 0.0f)
        return 0.0f;
    float i = 0.0f;
    if (m > 48.0f) {
        const float floor = std::min(36.0f, std::max(2.0f, 0.04f * m));
        if (n <= floor)
            return 0.0f;
        const float span = std::max(16.0f, std::min(80.0f, 0.08f * m)) - floor;
        const float t = span <= 1.0f ? (n - floor) * 0.0625f : (n - floor) / span;
        i = std::pow(std::min(t, 1.0f), 0.55f);
        if (n >= 0.7f * m)
            i = std::max(i, 0.9f);
    } else {
        i = std::pow(std::min(0.0625f * n, 1.0f), 0.7f);
    }
    return std::clamp(i, 0.0f, 1.0f);
}

QSize scopeCanvasSize(QSize frameSize, int rotationDegrees)
{
    const int r = normalizeQuarterTurn(rotationDegrees);
    if ((r == 90 || r == 270) && frameSize.width() < frameSize.height())
        return frameSize.transposed();
    return frameSize;
}

namespace {

QImage paintGraticule(ScopeRange range, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    QFont font(QStringLiteral("Courier New"));
    font.setPointSize(22);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    const QFontMetrics metrics(font);

    const QColor major(255, 140, 0, 192);
    const QColor minor(255, 140, 0, 100);
    const QColor label(255, 140, 0);
    const auto lineRow = [&](float t) { return height - 1 - int(t * float(height - 1)); };
    const auto drawLine = [&](int y, const QColor &colour, int penWidth, Qt::PenStyle style) {
        painter.setPen(QPen(colour, penWidth, style));
        painter.drawLine(0, y, width, y);
    };
    const auto drawLabels = [&](int y, const QString &left, const QString &right, bool below) {
        painter.setPen(label);
        const int baseline = below ? y + 20 : y - 6;
        painter.drawText(12, baseline, left);
        painter.drawText(width - metrics.horizontalAdvance(right) - 12, baseline, right);
    };

    if (range == Percent) {
        for (int p = -10; p <= 110; p += 10) {
            const int y = lineRow(float(p + 10) / 120.0f);
            if (p == 0 || p == 100)
                drawLine(y, major, 4, Qt::SolidLine);
            else if (p == -10 || p == 20 || p == 40 || p == 60 || p == 80 || p == 110)
                drawLine(y, major, 2, Qt::DotLine);
            else
                drawLine(y, minor, 2, Qt::DotLine);
            if (p == -10 || p == 0 || p == 20 || p == 40 || p == 60 || p == 80 || p == 100 || p == 110) {
                const QString text = QString::number(p);
                drawLabels(y, text, text, p >= 100);
            }
        }
    } else {
        for (int v : {0, 128, 256, 384, 512, 640, 768, 896, 1023}) {
            const int y = lineRow(float(v) / 1023.0f);
            if (v == 0 || v == 1023)
                drawLine(y, major, 4, Qt::SolidLine);
            else if (v % 256 == 0)
                drawLine(y, major, 2, Qt::DotLine);
            else
                drawLine(y, minor, 1, Qt::DotLine);
            if (v % 256 == 0 || v == 1023)
                drawLabels(y, QString::number(v), QString::number(v == 1023 ? 255 : v / 4), v == 1023);
        }
    }
    painter.end();
    return image;
}

} // namespace

QImage buildScopeGraticule(ScopeRange range, int width, int height)
{
    // The graticule never changes for a range and size; painting text per request would
    // cost more than the traces of a small frame.
    static QMutex mutex;
    static std::map<std::tuple<bool, int, int>, QImage> cache;
    const bool percent = range == Percent;
    const auto key = std::make_tuple(percent, width, height);
    QMutexLocker lock(&mutex);
    auto found = cache.find(key);
    if (found == cache.end())
        found = cache.emplace(key, paintGraticule(percent ? Percent : CodeValue, width, height)).first;
    return found->second;
}

bool renderWaveformFromYuv(QImage &image, const AVFrame *frame, const ScopeRequest &request)
{
    const bool parade = request.kind == ScopeParade;
    if (!validFrame(frame))
        return false;
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!descriptor || (descriptor->flags & AV_PIX_FMT_FLAG_RGB))
        return false;
    const bool hasAlpha = (descriptor->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;

    const int range = request.rangeOverride != 0 ? request.rangeOverride
        : frame->color_range != AVCOL_RANGE_UNSPECIFIED ? int(frame->color_range)
                                                        : int(AVCOL_RANGE_MPEG);
    const bool fullRange = range == AVCOL_RANGE_JPEG;
    int colorSpace = frame->colorspace;
    if (colorSpace == AVCOL_SPC_UNSPECIFIED || colorSpace == AVCOL_SPC_RESERVED)
        colorSpace = AVCOL_SPC_BT709;

    const av::FramePtr work = convertFrame(frame, hasAlpha ? AV_PIX_FMT_YUVA444P16LE : AV_PIX_FMT_YUV444P16LE,
                                           fullRange, colorSpace);
    if (!work)
        return false;

    const int height = image.height();
    const RowMap &rows = RowMap::get(request.range, height);
    const YuvMatrix m = yuvMatrix(fullRange, colorSpace, descriptor->comp[0].depth);
    // Luma and alpha levels and rows per source code value.
    // Levels in fixed point: a sample costs integer multiplies and table loads only.
    std::vector<int64_t> lumaLevel(size_t(1) << (16 - m.lumaShift));
    std::vector<uint16_t> lumaRow(lumaLevel.size());
    for (size_t code = 0; code < lumaLevel.size(); ++code) {
        const double level = (double(code) - m.lumaOffset) * m.lumaScale;
        lumaLevel[code] = RowMap::fixed(level);
        lumaRow[code] = uint16_t(scopeRow(level, height, request.range));
    }
    const int64_t chromaMid = std::llround(m.chromaMid);
    const int64_t rFromCr = RowMap::fixed(m.rFromCr * m.chromaScale);
    const int64_t gFromCb = RowMap::fixed(m.gFromCb * m.chromaScale);
    const int64_t gFromCr = RowMap::fixed(m.gFromCr * m.chromaScale);
    const int64_t bFromCb = RowMap::fixed(m.bFromCb * m.chromaScale);
    const int alphaDepth = hasAlpha ? std::clamp(int(descriptor->comp[3].depth), 1, 16) : 16;
    const int alphaShift = 16 - alphaDepth;
    std::vector<uint16_t> alphaRow(size_t(1) << alphaDepth);
    for (size_t code = 0; code < alphaRow.size(); ++code)
        alphaRow[code] = uint16_t(scopeRow(double(code) * 255.0 / double(alphaRow.size() - 1), height, request.range));
    const int opaqueRow = scopeRow(255.0, height, request.range);
    const int zeroRow = scopeRow(0.0, height, request.range);

    const QSize frameSize(frame->width, frame->height);
    const int rotation = normalizeQuarterTurn(request.rotationDegrees);
    const QSize canvas = scopeCanvasSize(frameSize, rotation);
    const AVFrame *w = work.get();

    const bool direct = rotation == 0 || rotation == 180;
    const YuvCounter counter{lumaLevel.data(), lumaRow.data(), m.lumaShift, chromaMid, rFromCr, gFromCb, gFromCr,
                             bFromCb, rows.flat()};

    withChannel(parade ? Color : request.channel, [&](auto tag) {
        constexpr int channel = decltype(tag)::value;
        const unsigned planeMask = channel == Alpha ? (hasAlpha ? 8u : 0u) : channel == Luma ? 1u : 7u;
        const SourceColumns columns(w, planeMask, canvas, rotation, parade);
        drawColumns(image, tracesFor(DisplayChannel(channel)), canvas.height(), [&](int c, ColumnCounts &counts) {
            // The parade keeps one trace per third: red, green, blue.
            const int only = parade ? c / kParadeWidth : -1;
            uint32_t *red = counts.red.data();
            uint32_t *green = counts.green.data();
            uint32_t *blue = counts.blue.data();
            const auto count = [&](uint16_t y16, uint16_t cb16, uint16_t cr16, uint16_t a16) {
                if constexpr (channel == Alpha) {
                    ++red[hasAlpha ? alphaRow[a16 >> alphaShift] : opaqueRow];
                } else if constexpr (channel == Luma) {
                    ++red[lumaRow[y16 >> m.lumaShift]];
                } else {
                    const int64_t luma = lumaLevel[y16 >> m.lumaShift];
                    const int64_t cb = int64_t(cb16) - chromaMid;
                    const int64_t cr = int64_t(cr16) - chromaMid;
                    if constexpr (channel == Color) {
                        if (only < 0 || only == 0)
                            ++red[rows.rowFixed(luma + rFromCr * cr)];
                        if (only < 0 || only == 1)
                            ++green[rows.rowFixed(luma - gFromCb * cb - gFromCr * cr)];
                        if (only < 0 || only == 2)
                            ++blue[rows.rowFixed(luma + bFromCb * cb)];
                    }
                    if constexpr (channel == Red)
                        ++red[rows.rowFixed(luma + rFromCr * cr)];
                    if constexpr (channel == Green)
                        ++red[rows.rowFixed(luma - gFromCb * cb - gFromCr * cr)];
                    if constexpr (channel == Blue)
                        ++red[rows.rowFixed(luma + bFromCb * cb)];
                }
            };
            if (direct && counter.rows.bins && channel != Alpha) {
                const uint16_t *planes[4] = {};
                columns.column(c, counts, planes);
                const int n = canvas.height();
                constexpr ptrdiff_t b = SourceColumns::kBlock;
                if constexpr (channel == Luma) {
                    counter.count<YuvTrace::Luma>(planes[0], nullptr, nullptr, b, n, red, nullptr, nullptr);
                } else if constexpr (channel == Color) {
                    // The parade's thirds: red, green, blue, each in its own table.
                    if (only == 0)
                        counter.count<YuvTrace::Red>(planes[0], planes[1], planes[2], b, n, red, nullptr, nullptr);
                    else if (only == 1)
                        counter.count<YuvTrace::Green>(planes[0], planes[1], planes[2], b, n, nullptr, green, nullptr);
                    else if (only == 2)
                        counter.count<YuvTrace::Blue>(planes[0], planes[1], planes[2], b, n, nullptr, nullptr, blue);
                    else
                        counter.count<YuvTrace::Rgb>(planes[0], planes[1], planes[2], b, n, red, green, blue);
                } else {
                    // The single trace counts into the first table.
                    if constexpr (channel == Red)
                        counter.count<YuvTrace::Red>(planes[0], planes[1], planes[2], b, n, red, nullptr, nullptr);
                    else if constexpr (channel == Green)
                        counter.count<YuvTrace::Green>(planes[0], planes[1], planes[2], b, n, nullptr, red, nullptr);
                    else
                        counter.count<YuvTrace::Blue>(planes[0], planes[1], planes[2], b, n, nullptr, nullptr, red);
                }
                return;
            }
            if (direct) {
                const uint16_t *planes[4] = {};
                columns.column(c, counts, planes);
                const int n = canvas.height();
                constexpr int b = SourceColumns::kBlock;
                for (int y = 0; y < n; ++y) {
                    if constexpr (channel == Alpha)
                        count(0, 0, 0, hasAlpha ? planes[3][y * b] : uint16_t(0));
                    else if constexpr (channel == Luma)
                        count(planes[0][y * b], 0, 0, 0);
                    else
                        count(planes[0][y * b], planes[1][y * b], planes[2][y * b], 0);
                }
                return;
            }
            forEachSample(canvasColumn(c, canvas.width(), parade), canvas, frameSize, rotation, [&](int x, int y) {
                if (x < 0) {
                    if constexpr (channel == Color) {
                        if (only < 0 || only == 0)
                            ++red[zeroRow];
                        if (only < 0 || only == 1)
                            ++green[zeroRow];
                        if (only < 0 || only == 2)
                            ++blue[zeroRow];
                    } else {
                        ++red[zeroRow];
                    }
                    return;
                }
                count(sample16(w, 0, x, y), sample16(w, 1, x, y), sample16(w, 2, x, y),
                      hasAlpha ? sample16(w, 3, x, y) : uint16_t(0));
            });
        });
    });
    return true;
}

bool renderWaveformFromRgb(QImage &image, const AVFrame *frame, const ScopeRequest &request)
{
    const bool parade = request.kind == ScopeParade;
    if (!validFrame(frame) || (!parade && request.channel == Alpha))
        return false;
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!descriptor || !(descriptor->flags & AV_PIX_FMT_FLAG_RGB))
        return false;
    // Exact code values where they can be read; what cannot (floats, mosaics) goes through
    // the scaler and counts as plain 16-bit samples.
    av::FramePtr work = readRgbCodes(frame, descriptor);
    int depth = std::clamp(int(descriptor->comp[0].depth), 1, 16);
    if (!work) {
        work = convertFrame(frame, AV_PIX_FMT_GBRP16LE, true, AVCOL_SPC_RGB);
        depth = 16;
    }
    if (!work)
        return false;

    // Back to the source's code values (of the first component's depth), so that a level
    // is code * 255 / maximum exactly: 10-bit full scale is 255, not 255.75. One level and
    // one row per 16-bit sample value.
    const int height = image.height();
    const double maximum = double((1 << depth) - 1);
    const double scale = 255.0 / maximum;
    std::vector<double> level(65536);
    std::vector<uint16_t> levelRow(65536);
    for (size_t v = 0; v < level.size(); ++v) {
        level[v] = std::round(double(v) * maximum / 65535.0) * scale;
        levelRow[v] = uint16_t(scopeRow(level[v], height, request.range));
    }
    const RowMap &rows = RowMap::get(request.range, height);
    const int zeroRow = scopeRow(0.0, height, request.range);

    const QSize frameSize(frame->width, frame->height);
    const int rotation = normalizeQuarterTurn(request.rotationDegrees);
    const QSize canvas = scopeCanvasSize(frameSize, rotation);
    const AVFrame *w = work.get();

    const bool direct = rotation == 0 || rotation == 180;

    // GBRP planes: 0 green, 1 blue, 2 red.
    withChannel(parade ? Color : request.channel, [&](auto tag) {
        constexpr int channel = decltype(tag)::value;
        const unsigned planeMask = channel == Red ? 4u : channel == Green ? 1u : channel == Blue ? 2u : 7u;
        const SourceColumns columns(w, planeMask, canvas, rotation, parade);
        drawColumns(image, tracesFor(DisplayChannel(channel)), canvas.height(), [&](int c, ColumnCounts &counts) {
            // The parade keeps one trace per third: red, green, blue.
            const int only = parade ? c / kParadeWidth : -1;
            uint32_t *red = counts.red.data();
            uint32_t *green = counts.green.data();
            uint32_t *blue = counts.blue.data();
            const auto count = [&](uint16_t g16, uint16_t b16, uint16_t r16) {
                if constexpr (channel == Color) {
                    if (only < 0 || only == 0)
                        ++red[levelRow[r16]];
                    if (only < 0 || only == 1)
                        ++green[levelRow[g16]];
                    if (only < 0 || only == 2)
                        ++blue[levelRow[b16]];
                } else if constexpr (channel == Red) {
                    ++red[levelRow[r16]];
                } else if constexpr (channel == Green) {
                    ++red[levelRow[g16]];
                } else if constexpr (channel == Blue) {
                    ++red[levelRow[b16]];
                } else if constexpr (channel == Luma) {
                    ++red[rows.row(kLumaG * level[g16] + kLumaR * level[r16] + kLumaB * level[b16])];
                }
            };
            if (direct) {
                const uint16_t *planes[4] = {};
                columns.column(c, counts, planes);
                const int n = canvas.height();
                constexpr int b = SourceColumns::kBlock;
                for (int y = 0; y < n; ++y) {
                    if constexpr (channel == Red)
                        count(0, 0, planes[2][y * b]);
                    else if constexpr (channel == Green)
                        count(planes[0][y * b], 0, 0);
                    else if constexpr (channel == Blue)
                        count(0, planes[1][y * b], 0);
                    else
                        count(planes[0][y * b], planes[1][y * b], planes[2][y * b]);
                }
                return;
            }
            forEachSample(canvasColumn(c, canvas.width(), parade), canvas, frameSize, rotation, [&](int x, int y) {
                if (x < 0) {
                    if constexpr (channel == Color) {
                        if (only < 0 || only == 0)
                            ++red[zeroRow];
                        if (only < 0 || only == 1)
                            ++green[zeroRow];
                        if (only < 0 || only == 2)
                            ++blue[zeroRow];
                    } else {
                        ++red[zeroRow];
                    }
                    return;
                }
                count(sample16(w, 0, x, y), sample16(w, 1, x, y), sample16(w, 2, x, y));
            });
        });
    });
    return true;
}

void renderWaveformFromImage(QImage &image, const QImage &picture, const ScopeRequest &request)
{
    const bool parade = request.kind == ScopeParade;
    if (picture.isNull())
        return;
    const QImage source = picture.format() == QImage::Format_ARGB32 ? picture
                                                                    : picture.convertToFormat(QImage::Format_ARGB32);
    if (source.isNull())
        return;
    const int width = source.width();
    const int height = source.height();
    const int scopeHeight = image.height();
    std::array<uint16_t, 256> byteRow{};
    for (int v = 0; v < 256; ++v)
        byteRow[size_t(v)] = uint16_t(scopeRow(double(v), scopeHeight, request.range));
    const RowMap &rows = RowMap::get(request.range, scopeHeight);

    withChannel(parade ? Color : request.channel, [&](auto tag) {
        constexpr int channel = decltype(tag)::value;
        drawColumns(image, tracesFor(DisplayChannel(channel)), height, [&](int c, ColumnCounts &counts) {
            const int only = parade ? c / kParadeWidth : -1;
            const int x = canvasColumn(c, width, parade);
            for (int y = 0; y < height; ++y) {
                const QRgb p = reinterpret_cast<const QRgb *>(source.constScanLine(y))[x];
                if constexpr (channel == Color) {
                    if (only < 0 || only == 0)
                        ++counts.red[byteRow[size_t(qRed(p))]];
                    if (only < 0 || only == 1)
                        ++counts.green[byteRow[size_t(qGreen(p))]];
                    if (only < 0 || only == 2)
                        ++counts.blue[byteRow[size_t(qBlue(p))]];
                } else if constexpr (channel == Red) {
                    ++counts.red[byteRow[size_t(qRed(p))]];
                } else if constexpr (channel == Green) {
                    ++counts.red[byteRow[size_t(qGreen(p))]];
                } else if constexpr (channel == Blue) {
                    ++counts.red[byteRow[size_t(qBlue(p))]];
                } else if constexpr (channel == Alpha) {
                    ++counts.red[byteRow[size_t(qAlpha(p))]];
                } else if constexpr (channel == Luma) {
                    ++counts.red[rows.row(kLumaG * qGreen(p) + kLumaR * qRed(p) + kLumaB * qBlue(p))];
                }
            }
        });
    });
}

QImage buildParadeGraticule(ScopeRange range)
{
    static QMutex mutex;
    static std::map<bool, QImage> cache;
    const bool percent = range == Percent;
    QMutexLocker lock(&mutex);
    auto found = cache.find(percent);
    if (found != cache.end())
        return found->second;
    QImage image = buildScopeGraticule(percent ? Percent : CodeValue);
    QPainter painter(&image);
    painter.setPen(QPen(QColor(255, 140, 0, 192), 4));
    for (int third = 1; third < 3; ++third)
        painter.drawLine(third * kParadeWidth, 0, third * kParadeWidth, image.height());
    QFont font(QStringLiteral("Courier New"));
    font.setPointSize(22);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    const QColor names[3] = {QColor(255, 90, 90), QColor(90, 255, 90), QColor(110, 140, 255)};
    const char *letters[3] = {"R", "G", "B"};
    for (int third = 0; third < 3; ++third) {
        painter.setPen(names[third]);
        painter.drawText(third * kParadeWidth + kParadeWidth / 2 - 8, 40, QString::fromLatin1(letters[third]));
    }
    painter.end();
    return cache.emplace(percent, image).first->second;
}

QImage renderScope(const AVFrame *frame, const ScopeRequest &request)
{
    QImage image = request.kind == ScopeParade ? buildParadeGraticule(request.range)
                                               : buildScopeGraticule(request.range);
    if (!frame)
        return image;
    const bool drawn = request.rgbSource ? renderWaveformFromRgb(image, frame, request)
                                         : renderWaveformFromYuv(image, frame, request);
    if (drawn || !request.fallbackPicture)
        return image;
    renderWaveformFromImage(image, request.fallbackPicture(), request);
    return image;
}

} // namespace waveform
