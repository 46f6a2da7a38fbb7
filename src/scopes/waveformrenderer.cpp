#include "scopes/waveformrenderer.h"

#include "av/ffmpeg.h"
#include "core/rotation.h"

#include <QFont>
#include <QFontMetrics>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <thread>
#include <utility>
#include <vector>

namespace waveform {

namespace {

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

int canvasColumn(int scopeColumn, int canvasWidth)
{
    const double x = std::trunc(double(scopeColumn) * double(canvasWidth) / double(kScopeWidth));
    return std::clamp(int(x), 0, canvasWidth - 1);
}

// Source coordinates of every canvas row of one canvas column; x < 0 marks the area
// outside the picture. The plain turns are direct; quarter turns go through the fit.
void locateColumn(std::vector<QPoint> &points, int canvasX, QSize canvas, QSize frame, int rotation)
{
    points.resize(size_t(canvas.height()));
    const int w = frame.width();
    const int h = frame.height();
    for (int y = 0; y < canvas.height(); ++y) {
        if (rotation == 0) {
            points[size_t(y)] = QPoint(std::clamp(canvasX, 0, w - 1), std::clamp(y, 0, h - 1));
        } else if (rotation == 180) {
            points[size_t(y)] = QPoint(std::clamp(w - 1 - canvasX, 0, w - 1), std::clamp(h - 1 - y, 0, h - 1));
        } else {
            const std::optional<QPoint> p = mapCanvasToSource(canvasX, y, canvas, frame, rotation);
            points[size_t(y)] = p ? *p : QPoint(-1, -1);
        }
    }
}

// Per-thread counters for one scope column: the columns are independent, so each is
// counted, composited and cleared before the next. Same results as whole-image tables.
struct ColumnCounts {
    explicit ColumnCounts(int height) : red(size_t(height)), green(size_t(height)), blue(size_t(height)) {}
    std::vector<uint32_t> red, green, blue; // 'red' doubles as the single table
};

float columnMaximum(const std::vector<uint32_t> &counts)
{
    return float(*std::max_element(counts.begin(), counts.end()));
}

void compositeColumn(uchar *bits, qsizetype bytesPerLine, int column, Traces traces, ColumnCounts &counts)
{
    const int height = int(counts.red.size());
    auto pixel = [&](int row) { return reinterpret_cast<QRgb *>(bits + row * bytesPerLine) + column; };
    if (traces == Traces::Rgb) {
        const float mr = columnMaximum(counts.red);
        const float mg = columnMaximum(counts.green);
        const float mb = columnMaximum(counts.blue);
        for (int row = 0; row < height; ++row) {
            const uint32_t nr = counts.red[size_t(row)];
            const uint32_t ng = counts.green[size_t(row)];
            const uint32_t nb = counts.blue[size_t(row)];
            if ((nr | ng | nb) == 0)
                continue;
            const int kr = int(255.0f * scopeIntensity(float(nr), mr));
            const int kg = int(255.0f * scopeIntensity(float(ng), mg));
            const int kb = int(255.0f * scopeIntensity(float(nb), mb));
            QRgb *p = pixel(row);
            *p = qRgb(std::min(255, qRed(*p) + kr), std::min(255, qGreen(*p) + kg), std::min(255, qBlue(*p) + kb));
        }
    } else {
        const float m = columnMaximum(counts.red);
        for (int row = 0; row < height; ++row) {
            const uint32_t n = counts.red[size_t(row)];
            if (n == 0)
                continue;
            const float i = scopeIntensity(float(n), m);
            if (!(i > 0.0f))
                continue;
            const int k = int(255.0f * i);
            QRgb *p = pixel(row);
            *p = qRgb(std::min(255, qRed(*p) + k), std::min(255, qGreen(*p) + k), std::min(255, qBlue(*p) + k));
        }
    }
    std::fill(counts.red.begin(), counts.red.end(), 0u);
    if (traces == Traces::Rgb) {
        std::fill(counts.green.begin(), counts.green.end(), 0u);
        std::fill(counts.blue.begin(), counts.blue.end(), 0u);
    }
}

// Runs countColumn(scopeColumn, counts) for every scope column, in column bands on as many
// threads as the machine has (the counts of different columns never meet), compositing each
// column onto 'image' right after it is counted.
template <typename CountColumn>
void drawColumns(QImage &image, Traces traces, int canvasHeight, CountColumn countColumn)
{
    if (traces == Traces::None)
        return;
    uchar *bits = image.bits(); // detaches here, before the threads share the buffer
    const qsizetype bytesPerLine = image.bytesPerLine();
    const int height = image.height();

    // Small canvases are not worth a thread start each.
    const long long work = (long long)kScopeWidth * canvasHeight;
    const int hardware = int(std::max(1u, std::thread::hardware_concurrency()));
    const int bands = work < 200000 ? 1 : std::min(hardware, 16);

    auto runBand = [&](int first, int last) {
        ColumnCounts counts(height);
        for (int c = first; c < last; ++c) {
            countColumn(c, counts);
            compositeColumn(bits, bytesPerLine, c, traces, counts);
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(size_t(bands - 1));
    const int bandWidth = (kScopeWidth + bands - 1) / bands;
    for (int b = 1; b < bands; ++b) {
        const int first = b * bandWidth;
        const int last = std::min(kScopeWidth, first + bandWidth);
        if (first < last)
            threads.emplace_back(runBand, first, last);
    }
    runBand(0, std::min(kScopeWidth, bandWidth));
    for (std::thread &t : threads)
        t.join();
}

// Rows of every level the single-value paths need, counted once per sample.
struct RowMapper {
    int height;
    ScopeRange range;
    int operator()(double value) const { return scopeRow(value, height, range); }
};

// Luma and alpha are read back at the source's own bit depth: the scaler widens some
// formats by shifting (8-bit full white becomes 65280) and others by replicating bits
// (65535), so a fixed 16-bit scale would put full-range white of one format a row below
// another's. The planes are not resampled, so the widened value truncates back exactly.
struct YuvMatrix {
    int lumaShift;              // 16 - luma depth
    double lumaOffset, lumaScale; // on the source's luma code values
    double chromaScale;         // on the 16-bit chroma samples
    double rFromCr, gFromCb, gFromCr, bFromCb;
};

YuvMatrix yuvMatrix(bool fullRange, int colorSpace, int lumaDepth)
{
    double kr = 0.2126, kb = 0.0722;
    if (colorSpace == AVCOL_SPC_BT470BG || colorSpace == AVCOL_SPC_SMPTE170M) {
        kr = 0.299;
        kb = 0.114;
    } else if (colorSpace == AVCOL_SPC_BT2020_NCL || colorSpace == AVCOL_SPC_BT2020_CL) {
        kr = 0.2627;
        kb = 0.0593;
    }
    const double kg = 1.0 - kr - kb;
    YuvMatrix m{};
    const int depth = std::clamp(lumaDepth, 8, 16);
    const double step = double(1 << (depth - 8)); // one 8-bit code value at this depth
    m.lumaShift = 16 - depth;
    if (fullRange) {
        m.lumaOffset = 0.0;
        m.lumaScale = 255.0 / double((1 << depth) - 1);
        m.chromaScale = 255.0 / 65535.0;
    } else {
        m.lumaOffset = 16.0 * step;
        m.lumaScale = 255.0 / (219.0 * step);
        m.chromaScale = 255.0 / (224.0 * 256.0);
    }
    m.rFromCr = 2.0 * (1.0 - kr);
    m.bFromCb = 2.0 * (1.0 - kb);
    m.gFromCb = 2.0 * kb * (1.0 - kb) / kg;
    m.gFromCr = 2.0 * kr * (1.0 - kr) / kg;
    return m;
}

// Whole-frame conversion to a 16-bit planar work copy of the same size; null on failure.
av::FramePtr convertFrame(const AVFrame *frame, AVPixelFormat target, bool fullRange, int colorSpace)
{
    av::FramePtr work = av::makeFrame();
    if (!work)
        return {};
    work->format = target;
    work->width = frame->width;
    work->height = frame->height;
    if (av_frame_get_buffer(work.get(), 0) < 0)
        return {};
    av::SwsContextPtr scaler(sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format),
                                            frame->width, frame->height, target, kScalerFlags,
                                            nullptr, nullptr, nullptr));
    if (!scaler)
        return {};
    const int *coefficients = sws_getCoefficients(colorSpace);
    const int full = fullRange ? 1 : 0;
    sws_setColorspaceDetails(scaler.get(), coefficients, full, coefficients, full, 0, 1 << 16, 1 << 16);
    if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, work->data, work->linesize)
        != frame->height) {
        return {};
    }
    return work;
}

inline uint16_t sample16(const AVFrame *frame, int plane, QPoint p)
{
    return reinterpret_cast<const uint16_t *>(frame->data[plane] + qsizetype(p.y()) * frame->linesize[plane])[p.x()];
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

std::optional<QPoint> mapCanvasToSource(int x, int y, QSize canvas, QSize frame, int rotationDegrees)
{
    const int w = frame.width();
    const int h = frame.height();
    if (w <= 0 || h <= 0)
        return std::nullopt;
    const int r = normalizeQuarterTurn(rotationDegrees);
    if (r == 0)
        return QPoint(std::clamp(x, 0, w - 1), std::clamp(y, 0, h - 1));
    if (r == 180)
        return QPoint(std::clamp(w - 1 - x, 0, w - 1), std::clamp(h - 1 - y, 0, h - 1));

    const double cw = canvas.width();
    const double ch = canvas.height();
    const double s = std::min(cw / h, ch / w);
    if (!(s > 0.0))
        return std::nullopt;
    const double u = (x + 0.5 - (cw - s * h) / 2.0) / s - 0.5;
    const double v = (y + 0.5 - (ch - s * w) / 2.0) / s - 0.5;
    if (u < 0.0 || v < 0.0 || u > h - 1 || v > w - 1)
        return std::nullopt;
    const int ui = std::clamp(int(std::round(u)), 0, h - 1);
    const int vi = std::clamp(int(std::round(v)), 0, w - 1);
    if (r == 90)
        return QPoint(vi, h - 1 - ui);
    return QPoint(w - 1 - vi, ui);
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

    const YuvMatrix m = yuvMatrix(fullRange, colorSpace, descriptor->comp[0].depth);
    const int alphaDepth = hasAlpha ? std::clamp(int(descriptor->comp[3].depth), 1, 16) : 16;
    const int alphaShift = 16 - alphaDepth;
    const double alphaScale = 255.0 / double((1 << alphaDepth) - 1);
    const QSize frameSize(frame->width, frame->height);
    const int rotation = normalizeQuarterTurn(request.rotationDegrees);
    const QSize canvas = scopeCanvasSize(frameSize, rotation);
    const RowMapper row{image.height(), request.range};
    const int zeroRow = row(0.0);
    const DisplayChannel channel = request.channel;
    const AVFrame *w = work.get();

    drawColumns(image, tracesFor(channel), canvas.height(), [&](int c, ColumnCounts &counts) {
        thread_local std::vector<QPoint> points;
        locateColumn(points, canvasColumn(c, canvas.width()), canvas, frameSize, rotation);
        for (const QPoint &p : points) {
            if (p.x() < 0) {
                ++counts.red[size_t(zeroRow)];
                if (channel == Color) {
                    ++counts.green[size_t(zeroRow)];
                    ++counts.blue[size_t(zeroRow)];
                }
                continue;
            }
            if (channel == Alpha) {
                const double a = hasAlpha ? double(sample16(w, 3, p) >> alphaShift) * alphaScale : 255.0;
                ++counts.red[size_t(row(a))];
                continue;
            }
            const double y = (double(sample16(w, 0, p) >> m.lumaShift) - m.lumaOffset) * m.lumaScale;
            if (channel == Luma) {
                ++counts.red[size_t(row(y))];
                continue;
            }
            const double cb = (double(sample16(w, 1, p)) - 32768.0) * m.chromaScale;
            const double cr = (double(sample16(w, 2, p)) - 32768.0) * m.chromaScale;
            switch (channel) {
            case Color:
                ++counts.red[size_t(row(y + m.rFromCr * cr))];
                ++counts.green[size_t(row(y - m.gFromCb * cb - m.gFromCr * cr))];
                ++counts.blue[size_t(row(y + m.bFromCb * cb))];
                break;
            case Red:
                ++counts.red[size_t(row(y + m.rFromCr * cr))];
                break;
            case Green:
                ++counts.red[size_t(row(y - m.gFromCb * cb - m.gFromCr * cr))];
                break;
            case Blue:
                ++counts.red[size_t(row(y + m.bFromCb * cb))];
                break;
            default:
                break;
            }
        }
    });
    return true;
}

bool renderWaveformFromRgb(QImage &image, const AVFrame *frame, const ScopeRequest &request)
{
    if (!validFrame(frame) || request.channel == Alpha)
        return false;
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!descriptor || !(descriptor->flags & AV_PIX_FMT_FLAG_RGB))
        return false;
    const av::FramePtr work = convertFrame(frame, AV_PIX_FMT_GBRP16LE, true, AVCOL_SPC_RGB);
    if (!work)
        return false;
    // Back to the source's code values, rounded: the scaler's RGB input leaves a little
    // noise in the low bits (8-bit 128 may come out as 32767), and 10-bit full scale
    // would otherwise read as 255.75.
    const int depth = std::clamp(int(descriptor->comp[0].depth), 1, 16);
    const double unit = double(1 << (16 - depth));
    const double scale = 255.0 / double((1 << depth) - 1);
    const auto level = [&](uint16_t v) { return std::round(double(v) / unit) * scale; };

    const QSize frameSize(frame->width, frame->height);
    const int rotation = normalizeQuarterTurn(request.rotationDegrees);
    const QSize canvas = scopeCanvasSize(frameSize, rotation);
    const RowMapper row{image.height(), request.range};
    const int zeroRow = row(0.0);
    const DisplayChannel channel = request.channel;
    const AVFrame *w = work.get();

    // GBRP planes: 0 green, 1 blue, 2 red.
    drawColumns(image, tracesFor(channel), canvas.height(), [&](int c, ColumnCounts &counts) {
        thread_local std::vector<QPoint> points;
        locateColumn(points, canvasColumn(c, canvas.width()), canvas, frameSize, rotation);
        for (const QPoint &p : points) {
            if (p.x() < 0) {
                ++counts.red[size_t(zeroRow)];
                if (channel == Color) {
                    ++counts.green[size_t(zeroRow)];
                    ++counts.blue[size_t(zeroRow)];
                }
                continue;
            }
            const double g = level(sample16(w, 0, p));
            const double b = level(sample16(w, 1, p));
            const double r = level(sample16(w, 2, p));
            switch (channel) {
            case Color:
                ++counts.red[size_t(row(r))];
                ++counts.green[size_t(row(g))];
                ++counts.blue[size_t(row(b))];
                break;
            case Red:
                ++counts.red[size_t(row(r))];
                break;
            case Green:
                ++counts.red[size_t(row(g))];
                break;
            case Blue:
                ++counts.red[size_t(row(b))];
                break;
            case Luma:
                ++counts.red[size_t(row(0.7152 * g + 0.2126 * r + 0.0722 * b))];
                break;
            default:
                break;
            }
        }
    });
    return true;
}

void renderWaveformFromImage(QImage &image, const QImage &picture, const ScopeRequest &request)
{
    if (picture.isNull())
        return;
    const QImage source = picture.format() == QImage::Format_ARGB32 ? picture
                                                                    : picture.convertToFormat(QImage::Format_ARGB32);
    if (source.isNull())
        return;
    const int width = source.width();
    const int height = source.height();
    const RowMapper row{image.height(), request.range};
    const DisplayChannel channel = request.channel;

    drawColumns(image, tracesFor(channel), height, [&](int c, ColumnCounts &counts) {
        const int x = std::clamp(int(float(width) * float(c) / float(kScopeWidth)), 0, width - 1);
        for (int y = 0; y < height; ++y) {
            const QRgb p = reinterpret_cast<const QRgb *>(source.constScanLine(y))[x];
            const double r = qRed(p);
            const double g = qGreen(p);
            const double b = qBlue(p);
            switch (channel) {
            case Color:
                ++counts.red[size_t(row(r))];
                ++counts.green[size_t(row(g))];
                ++counts.blue[size_t(row(b))];
                break;
            case Red:
                ++counts.red[size_t(row(r))];
                break;
            case Green:
                ++counts.red[size_t(row(g))];
                break;
            case Blue:
                ++counts.red[size_t(row(b))];
                break;
            case Alpha:
                ++counts.red[size_t(row(qAlpha(p)))];
                break;
            case Luma:
                ++counts.red[size_t(row(0.7152 * g + 0.2126 * r + 0.0722 * b))];
                break;
            default:
                break;
            }
        }
    });
}

QImage renderScope(const AVFrame *frame, const ScopeRequest &request)
{
    QImage image = buildScopeGraticule(request.range);
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
