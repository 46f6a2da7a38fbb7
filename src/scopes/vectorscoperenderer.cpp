#include "scopes/vectorscoperenderer.h"

#include "av/ffmpeg.h"
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
#include <mutex>

namespace vectorscope {

namespace {

constexpr int kCentre = kPlane / 2;
// Fixed-point fraction of the R'G'B' tables: 1/64 of a cell.
constexpr int kFraction = 6;

// Bands over a frame's rows, each counting into a grid of its own thread; a frame small
// enough is counted on the calling thread alone.
int bandsFor(long long samples)
{
    return samples < 1'000'000 ? 1 : std::min(parallel::coreCount(), 8);
}

// Per-thread count grids, reused from frame to frame and cleared as they are merged.
std::vector<uint32_t> &threadGrid()
{
    thread_local std::vector<uint32_t> grid;
    if (grid.size() != size_t(kPlane) * kPlane)
        grid.assign(size_t(kPlane) * kPlane, 0);
    return grid;
}

// Runs count(firstRow, endRow, grid) over 'rows' in bands and sums the band grids into
// 'counts' (already zero).
template <typename Count>
void countInBands(int rows, long long samples, std::vector<uint32_t> &counts, Count count)
{
    const int bands = std::min(bandsFor(samples), std::max(rows, 1));
    if (bands == 1) {
        count(0, rows, counts.data());
        return;
    }
    std::mutex mutex;
    std::vector<std::vector<uint32_t> *> grids;
    parallel::forEachBand(bands, [&](int band) {
        std::vector<uint32_t> &grid = threadGrid();
        const parallel::Rows r = parallel::bandRows(rows, band, bands);
        count(r.first, r.end, grid.data());
        const std::lock_guard lock(mutex);
        if (std::find(grids.begin(), grids.end(), &grid) == grids.end())
            grids.push_back(&grid);
    });
    for (std::vector<uint32_t> *grid : grids) {
        uint32_t *g = grid->data();
        uint32_t *out = counts.data();
        for (size_t i = 0, n = grid->size(); i < n; ++i) {
            out[i] += g[i];
            g[i] = 0;
        }
    }
}

int cell(double pixels)
{
    return std::clamp(int(std::lround(double(kCentre) + pixels)), 0, kPlane - 1);
}

template <bool Wide>
void countYuvRows(const scopes::ComponentReader &cb, const scopes::ComponentReader &cr, int first, int end,
                  const uint16_t *xOf, const uint16_t *yOf, uint32_t *grid)
{
    for (int y = first; y < end; ++y) {
        const uint8_t *cbRow = cb.row(y);
        const uint8_t *crRow = cr.row(y);
        for (int x = 0; x < cb.width; ++x)
            ++grid[size_t(yOf[cr.at<Wide>(crRow, x)]) * kPlane + xOf[cb.at<Wide>(cbRow, x)]];
    }
}

// Cell offsets of each R'G'B' component's code values, in 1/64 cells, so that a sample
// costs three loads and two sums per axis.
struct RgbTables {
    std::vector<int32_t> x[3], y[3];
    RgbTables(colour::Matrix matrix, int depth)
    {
        const colour::LumaWeights w = colour::lumaWeights(matrix);
        const double k[3] = {w.kr, w.kg(), w.kb};
        const double maximum = std::ldexp(1.0, depth) - 1.0;
        const double scale = kPixelsPerUnit * double(1 << kFraction);
        for (int c = 0; c < 3; ++c) {
            // Cb = (B - Y) / (2 (1 - Kb)), Cr = (R - Y) / (2 (1 - Kr)), one component's share.
            const double cbShare = ((c == 2 ? 1.0 : 0.0) - k[c]) / (2.0 * (1.0 - w.kb));
            const double crShare = ((c == 0 ? 1.0 : 0.0) - k[c]) / (2.0 * (1.0 - w.kr));
            x[c].resize(size_t(maximum) + 1);
            y[c].resize(size_t(maximum) + 1);
            for (size_t code = 0; code < x[c].size(); ++code) {
                const double v = double(code) / maximum;
                x[c][code] = int32_t(std::lround(cbShare * v * scale));
                y[c][code] = int32_t(std::lround(-crShare * v * scale));
            }
        }
    }
    void count(uint32_t r, uint32_t g, uint32_t b, uint32_t *grid) const
    {
        constexpr int32_t centre = (kCentre << kFraction) + (1 << (kFraction - 1));
        const int32_t cx = std::clamp((centre + x[0][r] + x[1][g] + x[2][b]) >> kFraction, 0, kPlane - 1);
        const int32_t cy = std::clamp((centre + y[0][r] + y[1][g] + y[2][b]) >> kFraction, 0, kPlane - 1);
        ++grid[size_t(cy) * kPlane + size_t(cx)];
    }
};

bool countRgbFrame(const AVFrame *frame, std::vector<uint32_t> &counts)
{
    std::optional<scopes::ComponentReader> c[3];
    for (int i = 0; i < 3; ++i) {
        c[i] = scopes::ComponentReader::make(frame, i);
        if (!c[i] || c[i]->depth != c[0]->depth || c[i]->wide != c[0]->wide)
            return false;
    }
    const RgbTables tables(colour::Matrix::BT709, c[0]->depth);
    const int width = frame->width;
    countInBands(frame->height, (long long)frame->width * frame->height, counts,
                 [&](int first, int end, uint32_t *grid) {
                     const auto rows = [&]<bool Wide>() {
                         for (int y = first; y < end; ++y) {
                             const uint8_t *r = c[0]->row(y), *g = c[1]->row(y), *b = c[2]->row(y);
                             for (int x = 0; x < width; ++x)
                                 tables.count(c[0]->at<Wide>(r, x), c[1]->at<Wide>(g, x), c[2]->at<Wide>(b, x), grid);
                         }
                     };
                     if (c[0]->wide)
                         rows.template operator()<true>();
                     else
                         rows.template operator()<false>();
                 });
    return true;
}

// Graticule geometry in image pixels.
QPointF imagePoint(double cb, double cr)
{
    return position(cb, cr) + QPointF(0.5, 0.5);
}

QImage paintGraticule(colour::Matrix matrix)
{
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QColor major(255, 140, 0, 192);
    const QColor minor(255, 140, 0, 90);
    const QColor label(255, 140, 0);
    const QPointF centre = imagePoint(0, 0);
    const double unit = kPixelsPerUnit;

    // Rings at a quarter and a half of full chroma, the axes, and a tick every 10 degrees.
    painter.setPen(QPen(minor, 2, Qt::DotLine));
    painter.drawEllipse(centre, unit * 0.25, unit * 0.25);
    painter.setPen(QPen(major, 2));
    painter.drawEllipse(centre, unit * 0.5, unit * 0.5);
    painter.setPen(QPen(minor, 2));
    painter.drawLine(centre - QPointF(unit * 0.5, 0), centre + QPointF(unit * 0.5, 0));
    painter.drawLine(centre - QPointF(0, unit * 0.5), centre + QPointF(0, unit * 0.5));
    for (int degrees = 0; degrees < 360; degrees += 10) {
        const double a = degrees * M_PI / 180.0;
        const QPointF d(std::cos(a), -std::sin(a));
        painter.drawLine(centre + d * (unit * 0.5 - 12), centre + d * (unit * 0.5));
    }

    // Skin tones lie along a line at about 123 degrees, between red and yellow.
    const double skin = 123.0 * M_PI / 180.0;
    painter.setPen(QPen(QColor(255, 200, 150, 200), 2, Qt::DashLine));
    painter.drawLine(centre, centre + QPointF(std::cos(skin), -std::sin(skin)) * (unit * 0.5));

    QFont font(QStringLiteral("Courier New"));
    font.setPointSize(18);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    for (const Target &t : targets(matrix)) {
        const QPointF p = imagePoint(t.cb, t.cr);
        const double half = t.percent < 100 ? 14 : 9;
        painter.setPen(QPen(t.percent < 100 ? major : label, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(p.x() - half, p.y() - half, 2 * half, 2 * half));
        if (t.percent < 100) {
            // The name outside the box, away from the centre.
            const QPointF away = (p - centre) / std::max(1.0, std::hypot(p.x() - centre.x(), p.y() - centre.y()));
            painter.setPen(label);
            painter.drawText(QRectF(p.x() + away.x() * 40 - 30, p.y() + away.y() * 40 - 14, 60, 28),
                             Qt::AlignCenter, QString::fromLatin1(t.name));
        }
    }
    painter.setPen(label);
    painter.drawText(24, 40, QString::fromLatin1(colour::matrixName(matrix).data(),
                                                 qsizetype(colour::matrixName(matrix).size())));
    painter.drawText(24, 72, QStringLiteral("75% / 100%"));
    painter.end();
    return image;
}

} // namespace

QPointF position(double cb, double cr)
{
    return QPointF(kPlaneLeft + kCentre + cb * kPixelsPerUnit, kCentre - cr * kPixelsPerUnit);
}

std::array<Target, 12> targets(colour::Matrix matrix)
{
    struct Primary {
        const char *name;
        double r, g, b;
    };
    static constexpr Primary primaries[6] = {{"R", 1, 0, 0}, {"Yl", 1, 1, 0}, {"G", 0, 1, 0},
                                             {"Cy", 0, 1, 1}, {"B", 0, 0, 1}, {"Mg", 1, 0, 1}};
    // Normalised chroma from code values of a 16-bit full-range reading: no rounding to speak of.
    const colour::CodeLevels levels = colour::codeLevels(colour::Range::Full, 16);
    std::array<Target, 12> list{};
    size_t i = 0;
    for (double percent : {75.0, 100.0}) {
        for (const Primary &p : primaries) {
            const double s = percent / 100.0;
            const auto yuv = colour::rgbToYuv(matrix, colour::Range::Full, 16, p.r * s, p.g * s, p.b * s);
            list[i++] = {p.name, percent, (yuv[1] - levels.chromaMid) / levels.chromaSpan,
                         (yuv[2] - levels.chromaMid) / levels.chromaSpan};
        }
    }
    return list;
}

colour::Matrix matrixOf(const AVFrame *frame)
{
    if (!frame || scopes::isRgbFrame(frame))
        return colour::Matrix::BT709;
    return colour::matrixForColorSpace(frame->colorspace).matrix;
}

bool countChroma(const AVFrame *frame, const ScopeRequest &request, std::vector<uint32_t> &counts)
{
    counts.assign(size_t(kPlane) * kPlane, 0);
    if (!frame || frame->width <= 0 || frame->height <= 0 || scopes::rgbInYuvLayout(frame, request))
        return false;
    if (scopes::isRgbFrame(frame))
        return countRgbFrame(frame, counts);
    const std::optional<scopes::ComponentReader> cb = scopes::ComponentReader::make(frame, 1);
    const std::optional<scopes::ComponentReader> cr = scopes::ComponentReader::make(frame, 2);
    if (!cb || !cr || cb->depth != cr->depth || cb->wide != cr->wide || cb->width != cr->width
        || cb->height != cr->height) {
        return false;
    }
    const colour::CodeLevels levels = colour::codeLevels(scopes::frameRange(frame, request), cb->depth);
    std::vector<uint16_t> xOf(size_t(1) << cb->depth), yOf(xOf.size());
    for (size_t code = 0; code < xOf.size(); ++code) {
        const double c = (double(code) - levels.chromaMid) / levels.chromaSpan * kPixelsPerUnit;
        xOf[code] = uint16_t(cell(c));
        yOf[code] = uint16_t(cell(-c));
    }
    countInBands(cb->height, (long long)cb->width * cb->height, counts, [&](int first, int end, uint32_t *grid) {
        if (cb->wide)
            countYuvRows<true>(*cb, *cr, first, end, xOf.data(), yOf.data(), grid);
        else
            countYuvRows<false>(*cb, *cr, first, end, xOf.data(), yOf.data(), grid);
    });
    return true;
}

void countChroma(const QImage &picture, std::vector<uint32_t> &counts)
{
    counts.assign(size_t(kPlane) * kPlane, 0);
    const QImage source = picture.format() == QImage::Format_ARGB32 || picture.format() == QImage::Format_RGB32
        ? picture
        : picture.convertToFormat(QImage::Format_ARGB32);
    if (source.isNull())
        return;
    const RgbTables tables(colour::Matrix::BT709, 8);
    countInBands(source.height(), (long long)source.width() * source.height(), counts,
                 [&](int first, int end, uint32_t *grid) {
                     for (int y = first; y < end; ++y) {
                         const auto *line = reinterpret_cast<const QRgb *>(source.constScanLine(y));
                         for (int x = 0; x < source.width(); ++x)
                             tables.count(uint32_t(qRed(line[x])), uint32_t(qGreen(line[x])),
                                          uint32_t(qBlue(line[x])), grid);
                     }
                 });
}

QImage buildGraticule(colour::Matrix matrix)
{
    static QMutex mutex;
    static std::map<colour::Matrix, QImage> cache;
    QMutexLocker lock(&mutex);
    auto found = cache.find(matrix);
    if (found == cache.end())
        found = cache.emplace(matrix, paintGraticule(matrix)).first;
    return found->second;
}

QImage render(const AVFrame *frame, const ScopeRequest &request)
{
    const colour::Matrix matrix = matrixOf(frame);
    QImage image = buildGraticule(matrix);
    if (!frame)
        return image;
    thread_local std::vector<uint32_t> counts;
    if (!countChroma(frame, request, counts)) {
        if (!request.fallbackPicture)
            return image;
        countChroma(request.fallbackPicture(), counts);
    }
    const uint32_t most = *std::max_element(counts.begin(), counts.end());
    if (most == 0)
        return image;
    // Brightness on a log scale of the count, never below a visible floor: a lone sample
    // shows, the densest cell is white-green.
    const double logMost = std::log1p(double(most));
    uint8_t level[256];
    for (int n = 0; n < 256; ++n)
        level[n] = uint8_t(n == 0 ? 0 : 70 + int(185.0 * std::min(1.0, std::log1p(double(n)) / logMost)));
    uchar *bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    for (int y = 0; y < kPlane; ++y) {
        const uint32_t *row = counts.data() + size_t(y) * kPlane;
        auto *line = reinterpret_cast<QRgb *>(bits + y * stride) + kPlaneLeft;
        for (int x = 0; x < kPlane; ++x) {
            const uint32_t n = row[x];
            if (n == 0)
                continue;
            const int k = n < 256 ? level[n] : 70 + int(185.0 * std::min(1.0, std::log1p(double(n)) / logMost));
            const QRgb p = line[x];
            line[x] = qRgb(std::max(qRed(p), k * 3 / 4), std::max(qGreen(p), k), std::max(qBlue(p), k * 3 / 4));
        }
    }
    return image;
}

} // namespace vectorscope
