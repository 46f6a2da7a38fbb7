#include "scopes/histogramrenderer.h"

#include "av/ffmpeg.h"
#include "core/colour.h"
#include "core/parallelrows.h"
#include "scopes/componentreader.h"

#include <QFont>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <map>

namespace histogram {

namespace {

// Fixed-point fraction of the bin tables.
constexpr int kFraction = 8;
constexpr int kStripGap = 8;
constexpr int kLabelHeight = 36; // the scale's labels under the strips

int bandsFor(long long pixels)
{
    return pixels < 400'000 ? 1 : std::min(parallel::coreCount(), 8);
}

// Runs count(firstRow, endRow, counts) on bands of rows, each into counts of its own
// shape (copied from 'counts', zeroed), and sums them into 'counts'.
template <typename Count>
void countInBands(int rows, long long pixels, Counts &counts, Count count)
{
    const int bands = std::min(bandsFor(pixels), std::max(rows, 1));
    std::vector<Counts> partial(size_t(bands), counts);
    parallel::forEachBand(bands, [&](int band) {
        const parallel::Rows r = parallel::bandRows(rows, band, bands);
        count(r.first, r.end, partial[size_t(band)]);
    });
    for (const Counts &p : partial) {
        for (size_t c = 0; c < 4; ++c) {
            std::vector<uint32_t> &out = counts.channels[c].bins;
            for (size_t i = 0; i < out.size(); ++i)
                out[i] += p.channels[c].bins[i];
        }
    }
}

void shape(Channel &channel, size_t bins, double firstLevel, double levelPerBin)
{
    channel.bins.assign(bins, 0);
    channel.firstLevel = firstLevel;
    channel.levelPerBin = levelPerBin;
}

// R'G'B' bins of a depth: its code values plus a quarter of the scale below and above.
struct RgbBins {
    int maximum, pad, count;
    explicit RgbBins(int depth)
        : maximum((1 << depth) - 1), pad((maximum + 1) / 4), count(maximum + 1 + 2 * pad) {}
    void shapeAll(Counts &counts) const
    {
        for (int c = RedIndex; c <= BlueIndex; ++c)
            shape(counts.channels[size_t(c)], size_t(count), -double(pad) * 255.0 / maximum, 255.0 / maximum);
    }
};

// Bins of R', G', B' from Y', Cb and Cr code values. Y' weighs the same in all three and
// R' takes no Cb, B' no Cr, so five small tables serve: the chroma terms of a pixel pair
// sharing a chroma sample are looked up once.
struct YuvTables {
    std::vector<int32_t> fromY, rFromCr, gFromCb, gFromCr, bFromCb;
    int32_t offset[3];
    int last;
    YuvTables(const colour::YuvToRgb &m, int depth, const RgbBins &bins) : last(bins.count - 1)
    {
        const size_t codes = size_t(1) << depth;
        const double unit = double(bins.maximum) * double(1 << kFraction);
        for (std::vector<int32_t> *t : {&fromY, &rFromCr, &gFromCb, &gFromCr, &bFromCb})
            t->resize(codes);
        for (size_t code = 0; code < codes; ++code) {
            const double c = double(code);
            fromY[code] = int32_t(std::lround(m.m[0][0] * c * unit));
            rFromCr[code] = int32_t(std::lround(m.m[0][2] * c * unit));
            gFromCb[code] = int32_t(std::lround(m.m[1][1] * c * unit));
            gFromCr[code] = int32_t(std::lround(m.m[1][2] * c * unit));
            bFromCb[code] = int32_t(std::lround(m.m[2][1] * c * unit));
        }
        for (int i = 0; i < 3; ++i)
            offset[i] = int32_t(std::lround(m.offset[size_t(i)] * unit)) + (bins.pad << kFraction)
                + (1 << (kFraction - 1));
    }
    int bin(int32_t sum) const { return std::clamp(sum >> kFraction, 0, last); }
};

// Y' bin of R'G'B' code values by the BT.709 weights, on the R'G'B' bins.
struct LumaFromRgb {
    std::array<std::vector<int32_t>, 3> share;
    int last;
    LumaFromRgb(int depth, const RgbBins &bins) : last(bins.count - 1)
    {
        const colour::LumaWeights w = colour::lumaWeights(colour::Matrix::BT709);
        const double k[3] = {w.kr, w.kg(), w.kb};
        for (size_t i = 0; i < 3; ++i) {
            share[i].resize(size_t(1) << depth);
            for (size_t code = 0; code < share[i].size(); ++code)
                share[i][code] = int32_t(std::lround(k[i] * double(code) * double(1 << kFraction)));
        }
        offset = (bins.pad << kFraction) + (1 << (kFraction - 1));
    }
    int bin(uint32_t r, uint32_t g, uint32_t b) const
    {
        return std::clamp((offset + share[0][r] + share[1][g] + share[2][b]) >> kFraction, 0, last);
    }
    int32_t offset = 0;
};

bool countYuv(const AVFrame *frame, const ScopeRequest &request, Counts &counts)
{
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    const auto luma = scopes::ComponentReader::make(frame, 0);
    const auto cb = scopes::ComponentReader::make(frame, 1);
    const auto cr = scopes::ComponentReader::make(frame, 2);
    if (!d || !luma || !cb || !cr || cb->depth != luma->depth || cr->depth != luma->depth || cb->wide != luma->wide
        || cr->wide != luma->wide) {
        return false;
    }
    const int depth = luma->depth;
    const colour::Range range = scopes::frameRange(frame, request);
    const colour::Matrix matrix = colour::matrixForColorSpace(frame->colorspace).matrix;
    const colour::CodeLevels levels = colour::codeLevels(range, depth);
    const RgbBins bins(depth);
    shape(counts.channels[LumaIndex], size_t(1) << depth, -levels.lumaBlack * 255.0 / levels.lumaSpan,
          255.0 / levels.lumaSpan);
    bins.shapeAll(counts);
    const YuvTables tables(colour::yuvToRgb(matrix, range, depth), depth, bins);
    const int sw = d->log2_chroma_w;
    const int sh = d->log2_chroma_h;
    const int width = frame->width;
    countInBands(frame->height, (long long)frame->width * frame->height, counts, [&](int first, int end, Counts &c) {
        uint32_t *yBins = c.channels[LumaIndex].bins.data();
        uint32_t *rBins = c.channels[RedIndex].bins.data();
        uint32_t *gBins = c.channels[GreenIndex].bins.data();
        uint32_t *bBins = c.channels[BlueIndex].bins.data();
        const auto rows = [&]<bool Wide>() {
            for (int y = first; y < end; ++y) {
                const uint8_t *yRow = luma->row(y);
                const uint8_t *cbRow = cb->row(y >> sh);
                const uint8_t *crRow = cr->row(y >> sh);
                const int step = 1 << sw;
                for (int cx = 0, x = 0; x < width; ++cx) {
                    const uint32_t cbv = cb->at<Wide>(cbRow, cx);
                    const uint32_t crv = cr->at<Wide>(crRow, cx);
                    const int32_t r = tables.offset[0] + tables.rFromCr[crv];
                    const int32_t g = tables.offset[1] + tables.gFromCb[cbv] + tables.gFromCr[crv];
                    const int32_t b = tables.offset[2] + tables.bFromCb[cbv];
                    for (const int pairEnd = std::min(width, x + step); x < pairEnd; ++x) {
                        const uint32_t yv = luma->at<Wide>(yRow, x);
                        const int32_t yt = tables.fromY[yv];
                        ++yBins[yv];
                        ++rBins[tables.bin(yt + r)];
                        ++gBins[tables.bin(yt + g)];
                        ++bBins[tables.bin(yt + b)];
                    }
                }
            }
        };
        if (luma->wide)
            rows.template operator()<true>();
        else
            rows.template operator()<false>();
    });
    return true;
}

bool countRgb(const AVFrame *frame, Counts &counts)
{
    std::optional<scopes::ComponentReader> c[3];
    for (int i = 0; i < 3; ++i) {
        c[i] = scopes::ComponentReader::make(frame, i);
        if (!c[i] || c[i]->depth != c[0]->depth || c[i]->wide != c[0]->wide)
            return false;
    }
    const int depth = c[0]->depth;
    const RgbBins bins(depth);
    bins.shapeAll(counts);
    counts.channels[LumaIndex] = counts.channels[RedIndex];
    const LumaFromRgb luma(depth, bins);
    const int pad = bins.pad;
    const int width = frame->width;
    countInBands(frame->height, (long long)frame->width * frame->height, counts, [&](int first, int end, Counts &k) {
        uint32_t *yBins = k.channels[LumaIndex].bins.data();
        uint32_t *rBins = k.channels[RedIndex].bins.data() + pad;
        uint32_t *gBins = k.channels[GreenIndex].bins.data() + pad;
        uint32_t *bBins = k.channels[BlueIndex].bins.data() + pad;
        const auto rows = [&]<bool Wide>() {
            for (int y = first; y < end; ++y) {
                const uint8_t *r = c[0]->row(y), *g = c[1]->row(y), *b = c[2]->row(y);
                for (int x = 0; x < width; ++x) {
                    const uint32_t rv = c[0]->at<Wide>(r, x), gv = c[1]->at<Wide>(g, x), bv = c[2]->at<Wide>(b, x);
                    ++rBins[rv];
                    ++gBins[gv];
                    ++bBins[bv];
                    ++yBins[luma.bin(rv, gv, bv)];
                }
            }
        };
        if (c[0]->wide)
            rows.template operator()<true>();
        else
            rows.template operator()<false>();
    });
    return true;
}

// Level at horizontal position t (0..1) of the scale: the inverse of scalePosition.
double levelAt(double t, ScopeRange range)
{
    return range == Percent ? (t * 120.0 - 10.0) * 2.55 : t * 255.0;
}

QImage paintGraticule(ScopeRange range, bool stacked)
{
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    const QColor major(255, 140, 0, 192);
    const QColor minor(255, 140, 0, 90);
    const QColor label(255, 140, 0);
    QFont font(QStringLiteral("Courier New"));
    font.setPointSize(18);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    const int bottom = kHeight - kLabelHeight;
    const auto column = [&](double level) { return int(std::lround(scalePosition(level, range) * (kWidth - 1))); };
    const auto tick = [&](double level, bool isMajor, const QString &text) {
        const int x = column(level);
        painter.setPen(QPen(isMajor ? major : minor, isMajor ? 2 : 1, isMajor ? Qt::SolidLine : Qt::DotLine));
        painter.drawLine(x, 0, x, bottom);
        if (!text.isEmpty()) {
            painter.setPen(label);
            painter.drawText(QRect(x - 60, bottom + 4, 120, kLabelHeight - 4), Qt::AlignHCenter | Qt::AlignTop, text);
        }
    };
    if (range == Percent) {
        for (int p = -10; p <= 110; p += 10)
            tick(p * 2.55, p == 0 || p == 100, p % 20 == 0 || p == -10 || p == 110 ? QString::number(p) : QString());
    } else {
        for (int v : {0, 128, 256, 384, 512, 640, 768, 896, 1023})
            tick(v * 255.0 / 1023.0, v == 0 || v == 1023, v % 256 == 0 || v == 1023 ? QString::number(v) : QString());
    }
    if (stacked) {
        const int strip = (bottom - 3 * kStripGap) / 4;
        const char *names[4] = {"Y", "R", "G", "B"};
        for (int s = 0; s < 4; ++s) {
            const int top = s * (strip + kStripGap);
            painter.setPen(QPen(minor, 1));
            painter.drawLine(0, top + strip, kWidth, top + strip);
            painter.setPen(label);
            painter.drawText(12, top + 28, QString::fromLatin1(names[s]));
        }
    }
    painter.end();
    return image;
}

QImage graticule(ScopeRange range, bool stacked)
{
    static QMutex mutex;
    static std::map<std::pair<bool, bool>, QImage> cache;
    const std::pair<bool, bool> key(range == Percent, stacked);
    QMutexLocker lock(&mutex);
    auto found = cache.find(key);
    if (found == cache.end())
        found = cache.emplace(key, paintGraticule(range == Percent ? Percent : CodeValue, stacked)).first;
    return found->second;
}

// One channel's bars (linear, filled) and its log line over the rows [top, top + height).
void drawStrip(QImage &image, const Channel &channel, ScopeRange range, int top, int height, QRgb colour)
{
    const std::vector<double> values = columnValues(channel, range, kWidth);
    const double most = *std::max_element(values.begin(), values.end());
    if (most <= 0.0)
        return;
    const double logMost = std::log1p(most);
    uchar *bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    const auto add = [&](int x, int y, int r, int g, int b) {
        QRgb &p = reinterpret_cast<QRgb *>(bits + y * stride)[x];
        p = qRgb(std::min(255, qRed(p) + r), std::min(255, qGreen(p) + g), std::min(255, qBlue(p) + b));
    };
    const int fr = qRed(colour) / 2, fg = qGreen(colour) / 2, fb = qBlue(colour) / 2;
    int previousLog = -1;
    for (int x = 0; x < kWidth; ++x) {
        const double v = values[size_t(x)];
        const int bar = v <= 0.0 ? 0 : std::max(1, int(std::lround(v / most * (height - 1))));
        for (int i = 0; i < bar; ++i)
            add(x, top + height - 1 - i, fr, fg, fb);
        const int logRow = v <= 0.0 ? top + height - 1
                                    : top + height - 1 - int(std::lround(std::log1p(v) / logMost * (height - 1)));
        // The log line joins each column to the last one.
        const int from = previousLog < 0 ? logRow : std::min(previousLog, logRow);
        const int to = previousLog < 0 ? logRow : std::max(previousLog, logRow);
        for (int y = from; y <= to; ++y)
            reinterpret_cast<QRgb *>(bits + y * stride)[x] = colour;
        previousLog = logRow;
    }
}

} // namespace

double scalePosition(double level, ScopeRange range)
{
    return range == Percent ? (level / 255.0 * 100.0 + 10.0) / 120.0 : level / 255.0;
}

bool count(const AVFrame *frame, const ScopeRequest &request, Counts &counts)
{
    counts = Counts();
    if (!frame || frame->width <= 0 || frame->height <= 0 || scopes::rgbInYuvLayout(frame, request))
        return false;
    return scopes::isRgbFrame(frame) ? countRgb(frame, counts) : countYuv(frame, request, counts);
}

void count(const QImage &picture, Counts &counts)
{
    counts = Counts();
    const RgbBins bins(8);
    bins.shapeAll(counts);
    counts.channels[LumaIndex] = counts.channels[RedIndex];
    const QImage source = picture.format() == QImage::Format_ARGB32 || picture.format() == QImage::Format_RGB32
        ? picture
        : picture.convertToFormat(QImage::Format_ARGB32);
    if (source.isNull())
        return;
    const LumaFromRgb luma(8, bins);
    countInBands(source.height(), (long long)source.width() * source.height(), counts,
                 [&](int first, int end, Counts &k) {
                     for (int y = first; y < end; ++y) {
                         const auto *line = reinterpret_cast<const QRgb *>(source.constScanLine(y));
                         for (int x = 0; x < source.width(); ++x) {
                             const uint32_t r = uint32_t(qRed(line[x])), g = uint32_t(qGreen(line[x])),
                                            b = uint32_t(qBlue(line[x]));
                             ++k.channels[RedIndex].bins[size_t(bins.pad) + r];
                             ++k.channels[GreenIndex].bins[size_t(bins.pad) + g];
                             ++k.channels[BlueIndex].bins[size_t(bins.pad) + b];
                             ++k.channels[LumaIndex].bins[size_t(luma.bin(r, g, b))];
                         }
                     }
                 });
}

std::vector<double> columnValues(const Channel &channel, ScopeRange range, int columns)
{
    std::vector<double> values(size_t(std::max(columns, 0)), 0.0);
    const auto size = int64_t(channel.bins.size());
    if (size == 0 || channel.levelPerBin <= 0.0)
        return values;
    const auto binPosition = [&](double level) { return (level - channel.firstLevel) / channel.levelPerBin; };
    for (int x = 0; x < columns; ++x) {
        const double from = binPosition(levelAt(double(x) / columns, range));
        const double to = binPosition(levelAt(double(x + 1) / columns, range));
        const auto first = int64_t(std::ceil(from));
        const auto end = int64_t(std::ceil(to));
        if (end > first) {
            double sum = 0.0;
            for (int64_t i = std::max<int64_t>(first, 0); i < std::min(end, size); ++i)
                sum += channel.bins[size_t(i)];
            values[size_t(x)] = sum / double(end - first);
        } else {
            const auto i = int64_t(std::floor((from + to) / 2.0 + 0.5));
            if (i >= 0 && i < size)
                values[size_t(x)] = channel.bins[size_t(i)];
        }
    }
    return values;
}

QImage buildGraticule(ScopeRange range)
{
    return graticule(range, true);
}

QImage render(const AVFrame *frame, const ScopeRequest &request)
{
    const bool stacked = !(request.channel == Red || request.channel == Green || request.channel == Blue
                           || request.channel == Luma);
    QImage image = graticule(request.range, stacked);
    if (!frame)
        return image;
    thread_local Counts counts;
    if (!count(frame, request, counts)) {
        if (!request.fallbackPicture)
            return image;
        count(request.fallbackPicture(), counts);
    }
    const QRgb colours[4] = {qRgb(230, 230, 230), qRgb(255, 70, 70), qRgb(70, 255, 70), qRgb(90, 120, 255)};
    const int bottom = kHeight - kLabelHeight;
    if (stacked) {
        const int strip = (bottom - 3 * kStripGap) / 4;
        for (int s = 0; s < 4; ++s)
            drawStrip(image, counts.channels[size_t(s)], request.range, s * (strip + kStripGap), strip, colours[s]);
    } else {
        const int s = request.channel == Luma ? LumaIndex
            : request.channel == Red          ? RedIndex
            : request.channel == Green        ? GreenIndex
                                              : BlueIndex;
        drawStrip(image, counts.channels[size_t(s)], request.range, 0, bottom, colours[s]);
    }
    return image;
}

} // namespace histogram
