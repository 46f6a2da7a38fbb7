// Waveform renderer: traces of flat synthetic frames must land on exact rows.

#include "av/ffmpeg.h"
#include "core/canvasmapping.h"
#include "scopes/waveformrenderer.h"
#include "patternframe.h"

#include <QtTest>

#include <cmath>
#include <functional>
#include <random>
#include <set>
#include <thread>

using namespace waveform;
using patternframe::makeFrame;
using patternframe::Pattern;

namespace {


Pattern flat(int a, int b, int c, int alpha = 255)
{
    return [=](int component, int, int) { return std::array<int, 4>{a, b, c, alpha}[size_t(component)]; };
}

enum Component { R, G, B };

int component(QRgb p, Component c)
{
    return c == R ? qRed(p) : c == G ? qGreen(p) : qBlue(p);
}

// Rows of 'column' where the trace brightened component c above the graticule.
std::set<int> traceRows(const QImage &scope, const QImage &graticule, int column, Component c)
{
    std::set<int> rows;
    for (int y = 0; y < scope.height(); ++y) {
        if (component(scope.pixel(column, y), c) > component(graticule.pixel(column, y), c))
            rows.insert(y);
    }
    return rows;
}

// The same set of rows in every column of [first, last), checked every 'step' columns;
// the labels at both edges are left out (they are already full orange).
bool sameRowsAcross(const QImage &scope, const QImage &graticule, Component c, const std::set<int> &rows,
                    int first = 120, int last = 1800, int step = 37)
{
    for (int x = first; x < last; x += step) {
        const std::set<int> got = traceRows(scope, graticule, x, c);
        if (got != rows) {
            QStringList text;
            for (int r : got)
                text << QString::number(r);
            qWarning("column %d: rows {%s}", x, qPrintable(text.join(',')));
            return false;
        }
    }
    return true;
}

// Row of an 8-bit level by the scale's own definition, independent of the renderer.
int rowOf(double level, ScopeRange range)
{
    const double n = range == Percent ? (level / 255.0 * 100.0 + 10.0) / 120.0 : level / 255.0;
    const double r = 1023.0 - std::round(1023.0 * n);
    return int(std::clamp(r, 0.0, 1023.0));
}

QImage render(const AVFrame *frame, ScopeRange range, DisplayChannel channel, int rotation = 0, bool rgb = false)
{
    ScopeRequest request;
    request.range = range;
    request.channel = channel;
    request.rotationDegrees = rotation;
    request.rgbSource = rgb;
    return renderScope(frame, request);
}

} // namespace


class TestWaveformRenderer : public QObject
{
    Q_OBJECT

private slots:
    void graticuleLines_data();
    void graticuleLines();
    void flatLumaRows_data();
    void flatLumaRows();
    void fullAndLimitedRangeAgree();
    void flatColourRows_data();
    void flatColourRows();
    void unknownChannelDrawsNothing();
    void noFrameGivesGraticule();
    void rotation_data();
    void rotation();
    void columnSampling_data();
    void columnSampling();
    void fallbackPicture();
    void tabulatedRowsMatch();
    void brightnessFollowsCounts();
    void consecutiveFramesDoNotMix();
    void intensity_data();
    void intensity();
    void canvasMapping_data();
    void canvasMapping();
};

void TestWaveformRenderer::graticuleLines_data()
{
    QTest::addColumn<ScopeRange>("range");
    QTest::addColumn<QList<int>>("rows");
    QTest::newRow("percent") << Percent
                             << QList<int>{0, 86, 171, 256, 341, 427, 512, 597, 682, 768, 853, 938, 1023};
    QTest::newRow("code value") << CodeValue << QList<int>{0, 127, 255, 383, 511, 639, 767, 895, 1023};
}

void TestWaveformRenderer::graticuleLines()
{
    QFETCH(ScopeRange, range);
    QFETCH(QList<int>, rows);
    const QImage g = buildScopeGraticule(range);
    QCOMPARE(g.size(), QSize(1920, 1024));
    QCOMPARE(g.format(), QImage::Format_RGB32);
    // Dotted lines have gaps: look along a stretch of the line for orange.
    const auto orangeOn = [&](int row) {
        for (int x = 900; x < 1000; ++x) {
            const QRgb p = g.pixel(x, row);
            if (qRed(p) > 30 && qRed(p) > qGreen(p) && qBlue(p) == 0)
                return true;
        }
        return false;
    };
    int lit = 0;
    for (int y = 0; y < 1024; ++y)
        lit += orangeOn(y) ? 1 : 0;
    for (int row : rows)
        QVERIFY2(orangeOn(row), qPrintable(QStringLiteral("no line on row %1").arg(row)));
    // Between two lines it is black.
    QVERIFY(!orangeOn((rows[3] + rows[4]) / 2));
    QVERIFY(lit < 60);
}

void TestWaveformRenderer::flatLumaRows_data()
{
    QTest::addColumn<int>("y8");
    QTest::addColumn<ScopeRange>("range");
    QTest::addColumn<DisplayChannel>("channel");
    QTest::addColumn<int>("expectedRow");

    QTest::newRow("black percent") << 16 << Percent << Luma << 938;
    QTest::newRow("black code value") << 16 << CodeValue << Luma << 1023;
    QTest::newRow("white percent") << 235 << Percent << Luma << 85;
    QTest::newRow("white code value") << 235 << CodeValue << Luma << 0;
    QTest::newRow("mid grey code value") << 126 << CodeValue << Luma << rowOf((126 - 16) * 255.0 / 219.0, CodeValue);
    QTest::newRow("mid grey percent") << 126 << Percent << Luma << rowOf((126 - 16) * 255.0 / 219.0, Percent);
    QTest::newRow("below black code value") << 4 << CodeValue << Luma << 1023;
    QTest::newRow("below black percent") << 4 << Percent << Luma << rowOf((4 - 16) * 255.0 / 219.0, Percent);
    QTest::newRow("grey as red") << 126 << CodeValue << Red << rowOf((126 - 16) * 255.0 / 219.0, CodeValue);
    QTest::newRow("alpha without alpha") << 60 << Percent << Alpha << 85;
    QTest::newRow("other range is code value") << 16 << ScopeRange(7) << Luma << 1023;
}

void TestWaveformRenderer::flatLumaRows()
{
    QFETCH(int, y8);
    QFETCH(ScopeRange, range);
    QFETCH(DisplayChannel, channel);
    QFETCH(int, expectedRow);

    // 4:2:0 and 4:2:2 10-bit sources of the same level draw the same single line.
    for (AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P10LE}) {
        const int shift = format == AV_PIX_FMT_YUV422P10LE ? 2 : 0;
        const av::FramePtr frame = makeFrame(format, 1920, 1080, flat(y8 << shift, 128 << shift, 128 << shift));
        QVERIFY(frame);
        const QImage scope = render(frame.get(), range, channel);
        const QImage g = buildScopeGraticule(range);
        QVERIFY(sameRowsAcross(scope, g, B, {expectedRow}));
        if (expectedRow == 938)
            QVERIFY(expectedRow > 0);
        if (y8 < 16 && range == Percent)
            QVERIFY(expectedRow > 938); // below the 0 % line
    }
}

void TestWaveformRenderer::fullAndLimitedRangeAgree()
{
    // Black, grey and white at their nominal levels in both ranges.
    for (const auto &[limited, full] : {std::pair{16, 0}, std::pair{235, 255}}) {
        const av::FramePtr a = makeFrame(AV_PIX_FMT_YUV420P, 640, 360, flat(limited, 128, 128), AVCOL_RANGE_MPEG);
        const av::FramePtr b = makeFrame(AV_PIX_FMT_YUVJ420P, 640, 360, flat(full, 128, 128), AVCOL_RANGE_JPEG);
        for (ScopeRange range : {Percent, CodeValue}) {
            for (DisplayChannel channel : {Color, Luma}) {
                const QImage sa = render(a.get(), range, channel);
                const QImage sb = render(b.get(), range, channel);
                QVERIFY2(sa == sb, qPrintable(QStringLiteral("level %1 range %2 channel %3")
                                                  .arg(limited).arg(int(range)).arg(int(channel))));
            }
        }
    }
}

void TestWaveformRenderer::flatColourRows_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("c");
    QTest::addColumn<bool>("rgb");
    QTest::addColumn<double>("red");
    QTest::addColumn<double>("green");
    QTest::addColumn<double>("blue");

    // Inverse BT.709 limited range with the textbook factors.
    const auto bt709 = [](int y, int cb, int cr) {
        const double Y = (y - 16) * 255.0 / 219.0;
        const double Cb = (cb - 128) * 255.0 / 224.0;
        const double Cr = (cr - 128) * 255.0 / 224.0;
        return std::array<double, 3>{Y + 1.5748 * Cr, Y - 0.187324 * Cb - 0.468124 * Cr, Y + 1.8556 * Cb};
    };
    const auto yuv = [&](const char *name, int y, int cb, int cr) {
        const auto v = bt709(y, cb, cr);
        QTest::newRow(name) << int(AV_PIX_FMT_YUV444P) << y << cb << cr << false << v[0] << v[1] << v[2];
    };
    yuv("yuv444 orange", 150, 80, 180);
    yuv("yuv444 teal", 120, 150, 90);
    yuv("yuv444 red", 63, 102, 240);
    QTest::newRow("gbrp") << int(AV_PIX_FMT_GBRP) << 200 << 100 << 50 << true << 200.0 << 100.0 << 50.0;
    QTest::newRow("rgb24") << int(AV_PIX_FMT_RGB24) << 10 << 240 << 127 << true << 10.0 << 240.0 << 127.0;
    QTest::newRow("gbrp10") << int(AV_PIX_FMT_GBRP10LE) << 1023 << 4 << 512 << true << 255.0 << 4 * 255.0 / 1023
                            << 512 * 255.0 / 1023;
}

void TestWaveformRenderer::flatColourRows()
{
    QFETCH(int, format);
    QFETCH(int, a);
    QFETCH(int, b);
    QFETCH(int, c);
    QFETCH(bool, rgb);
    QFETCH(double, red);
    QFETCH(double, green);
    QFETCH(double, blue);

    const av::FramePtr frame = makeFrame(AVPixelFormat(format), 1280, 720, flat(a, b, c));
    QVERIFY(frame);
    for (ScopeRange range : {Percent, CodeValue}) {
        const QImage g = buildScopeGraticule(range);
        // Colour: each component on its own row and in its own colour only.
        const QImage scope = render(frame.get(), range, Color, 0, rgb);
        QVERIFY(sameRowsAcross(scope, g, R, {rowOf(red, range)}));
        QVERIFY(sameRowsAcross(scope, g, G, {rowOf(green, range)}));
        QVERIFY(sameRowsAcross(scope, g, B, {rowOf(blue, range)}));
        // Single channels: white traces on the same rows.
        const std::pair<DisplayChannel, double> singles[] = {{Red, red}, {Green, green}, {Blue, blue}};
        for (const auto &[channel, level] : singles) {
            const QImage one = render(frame.get(), range, channel, 0, rgb);
            QVERIFY(sameRowsAcross(one, g, B, {rowOf(level, range)}));
        }
    }
    if (rgb) {
        const QImage luma = render(frame.get(), CodeValue, Luma, 0, true);
        QVERIFY(sameRowsAcross(luma, buildScopeGraticule(CodeValue), B,
                               {rowOf(0.7152 * green + 0.2126 * red + 0.0722 * blue, CodeValue)}));
    }
}

void TestWaveformRenderer::unknownChannelDrawsNothing()
{
    const av::FramePtr frame = makeFrame(AV_PIX_FMT_YUV420P, 640, 360, flat(100, 128, 128));
    for (int channel : {6, 9, -1}) {
        QCOMPARE(render(frame.get(), Percent, DisplayChannel(channel)), buildScopeGraticule(Percent));
        QCOMPARE(render(frame.get(), CodeValue, DisplayChannel(channel), 0, true), buildScopeGraticule(CodeValue));
    }
}

void TestWaveformRenderer::noFrameGivesGraticule()
{
    QCOMPARE(render(nullptr, Percent, Color), buildScopeGraticule(Percent));
    QCOMPARE(render(nullptr, CodeValue, Luma), buildScopeGraticule(CodeValue));
}

void TestWaveformRenderer::rotation_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<int>("column");
    QTest::addColumn<QList<int>>("rows");

    // Portrait, top half black and bottom half white: a clockwise quarter turn puts the
    // bottom (white) on the left; the rotated picture fills the landscape canvas.
    QTest::newRow("portrait 90 left") << 540 << 960 << 90 << 300 << QList<int>{85};
    QTest::newRow("portrait 90 right") << 540 << 960 << 90 << 1600 << QList<int>{938};
    QTest::newRow("portrait 270 left") << 540 << 960 << 270 << 300 << QList<int>{938};
    QTest::newRow("portrait 270 right") << 540 << 960 << 270 << 1600 << QList<int>{85};
    // Landscape, left half black, right half white, turned by 90: a 1080-wide canvas
    // showing the picture 607 wide, between pillar boxes counted as black. The top of the
    // turned picture is the source's left (black), the bottom its right (white).
    QTest::newRow("landscape 90 pillar box") << 1920 << 1080 << 90 << 200 << QList<int>{938};
    QTest::newRow("landscape 90 centre") << 1920 << 1080 << 90 << 960 << QList<int>{85, 938};
    QTest::newRow("landscape 180 left") << 1920 << 1080 << 180 << 300 << QList<int>{85};
    QTest::newRow("landscape 0 left") << 1920 << 1080 << 0 << 300 << QList<int>{938};
}

void TestWaveformRenderer::rotation()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, rotation);
    QFETCH(int, column);
    QFETCH(QList<int>, rows);

    const bool portrait = height > width;
    const av::FramePtr frame = makeFrame(AV_PIX_FMT_YUV444P, width, height, [&](int c, int x, int y) {
        if (c > 0)
            return 128;
        const bool white = portrait ? y >= height / 2 : x >= width / 2;
        return white ? 235 : 16;
    });
    const QImage scope = render(frame.get(), Percent, Luma, rotation);
    const std::set<int> got = traceRows(scope, buildScopeGraticule(Percent), column, B);
    QCOMPARE(QList<int>(got.begin(), got.end()), rows);
}

void TestWaveformRenderer::columnSampling_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("rgb");
    QTest::newRow("960 yuv") << 960 << false;
    QTest::newRow("3840 yuv") << 3840 << false;
    QTest::newRow("960 rgb") << 960 << true;
    QTest::newRow("3840 rgb") << 3840 << true;
}

void TestWaveformRenderer::columnSampling()
{
    QFETCH(int, width);
    QFETCH(bool, rgb);
    // Every source column has its own level, so each scope column shows which one it read.
    const auto level = [](int x) { return 16 + (x * 7) % 219; };
    const av::FramePtr frame = makeFrame(rgb ? AV_PIX_FMT_GBRP : AV_PIX_FMT_YUV444P, width, 64, [&](int c, int x, int) {
        return rgb || c == 0 ? level(x) : 128;
    });
    const QImage scope = render(frame.get(), CodeValue, Luma, 0, rgb);
    const QImage g = buildScopeGraticule(CodeValue);
    for (int c = 100; c < 1800; c += 13) {
        const int x = c * width / 1920;
        const double v = rgb ? double(level(x)) : (level(x) - 16) * 255.0 / 219.0;
        const std::set<int> got = traceRows(scope, g, c, B);
        QVERIFY2(got == std::set<int>{rowOf(v, CodeValue)},
                 qPrintable(QStringLiteral("scope column %1 (source %2)").arg(c).arg(x)));
    }
}

void TestWaveformRenderer::fallbackPicture()
{
    // Alpha of an RGB source is read from the 8-bit picture the engine supplies.
    const av::FramePtr frame = makeFrame(AV_PIX_FMT_BGRA, 320, 240, flat(10, 20, 30, 128));
    QImage picture(320, 240, QImage::Format_ARGB32);
    picture.fill(qRgba(10, 20, 30, 128));
    int calls = 0;
    ScopeRequest request;
    request.range = CodeValue;
    request.channel = Alpha;
    request.rgbSource = true;
    request.fallbackPicture = [&] {
        ++calls;
        return picture;
    };
    const QImage scope = renderScope(frame.get(), request);
    QCOMPARE(calls, 1);
    QVERIFY(sameRowsAcross(scope, buildScopeGraticule(CodeValue), B, {rowOf(128, CodeValue)}));

    // A path that draws never asks for the fallback.
    request.channel = Red;
    renderScope(frame.get(), request);
    QCOMPARE(calls, 1);

    // A failing fallback leaves the bare graticule.
    request.channel = Alpha;
    request.fallbackPicture = [] { return QImage(); };
    QCOMPARE(renderScope(frame.get(), request), buildScopeGraticule(CodeValue));
}

void TestWaveformRenderer::tabulatedRowsMatch()
{
    // Random levels over the whole scale and beyond, plus the neighbours of every half row.
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> levels(-90.0, 350.0);
    for (ScopeRange range : {Percent, CodeValue}) {
        for (int height : {1024, 256, 4096}) {
            for (int i = 0; i < 200000; ++i) {
                const double v = levels(random);
                QCOMPARE(tabulatedScopeRow(v, height, range), scopeRow(v, height, range));
            }
            for (int row = 0; row < height; ++row) {
                const double n = (row + 0.5) / double(height - 1);
                const double v = range == Percent ? (n * 120.0 - 10.0) * 255.0 / 100.0 : n * 255.0;
                for (double x : {std::nextafter(v, -1e9), v, std::nextafter(v, 1e9)})
                    QCOMPARE(tabulatedScopeRow(x, height, range), scopeRow(x, height, range));
            }
            for (double x : {-1e300, -64.0, std::nextafter(-64.0, 0.0), 320.0, 1e300, std::nan("")})
                QCOMPARE(tabulatedScopeRow(x, height, range), scopeRow(x, height, range));
        }
    }
}

void TestWaveformRenderer::brightnessFollowsCounts()
{
    // Column x holds n(x) samples at one level and the rest spread over a ramp of 126 codes,
    // n from 1 to the whole height: the first level's cell is the graticule plus
    // 255 x scopeIntensity(n, m) for that column's largest count m, for sparse columns and
    // busy ones, small counts and large.
    const int height = 1080;
    const auto samplesAt = [&](int x) { return 1 + x * (height - 1) / 1919; };
    const av::FramePtr frame = makeFrame(AV_PIX_FMT_YUV444P, 1920, height, [&](int component, int x, int y) {
        if (component != 0)
            return 128;
        const int n = samplesAt(x);
        return y < n ? 100 : 110 + (y - n) % 126;
    });
    QVERIFY(frame);
    for (DisplayChannel channel : {Luma, Color}) {
        const QImage scope = render(frame.get(), CodeValue, channel);
        const QImage g = buildScopeGraticule(CodeValue);
        const int row = rowOf((100 - 16) * 255.0 / 219.0, CodeValue);
        for (int x = 0; x < 1920; ++x) {
            const int n = samplesAt(x);
            const int m = std::max(n, (height - n + 125) / 126);
            const int added = int(255.0f * scopeIntensity(float(n), float(m)));
            const int expected = std::min(255, qBlue(g.pixel(x, row)) + added);
            if (qBlue(scope.pixel(x, row)) != expected)
                QFAIL(qPrintable(QStringLiteral("column %1 (n %2, m %3): %4, expected %5")
                                     .arg(x).arg(n).arg(m).arg(qBlue(scope.pixel(x, row))).arg(expected)));
        }
    }
}

void TestWaveformRenderer::consecutiveFramesDoNotMix()
{
    // The renderer keeps work buffers between calls: frames of the same and of other shapes
    // in turn each draw only their own level, on this thread and on another.
    struct Case {
        AVPixelFormat format;
        int width, height, y8;
    };
    const Case cases[] = {{AV_PIX_FMT_YUV420P, 1920, 1080, 60},     {AV_PIX_FMT_YUV420P, 1920, 1080, 200},
                          {AV_PIX_FMT_YUV420P, 1280, 720, 120},     {AV_PIX_FMT_YUV422P10LE, 1280, 720, 150},
                          {AV_PIX_FMT_YUV420P, 1920, 1080, 60},     {AV_PIX_FMT_YUV444P, 3840, 2160, 90},
                          {AV_PIX_FMT_YUV444P, 1920, 1080, 200}};
    const auto check = [&](const Case &c) {
        const int shift = c.format == AV_PIX_FMT_YUV422P10LE ? 2 : 0;
        const av::FramePtr frame
            = makeFrame(c.format, c.width, c.height, flat(c.y8 << shift, 128 << shift, 128 << shift));
        const int row = rowOf((c.y8 - 16) * 255.0 / 219.0, CodeValue);
        bool ok = bool(frame);
        for (DisplayChannel channel : {Color, Luma}) {
            const QImage scope = render(frame.get(), CodeValue, channel);
            const QImage g = buildScopeGraticule(CodeValue);
            // Every third column from edge to edge (blue: the labels hold none).
            ok = ok && sameRowsAcross(scope, g, B, {row}, 0, 1920, 3);
        }
        return ok;
    };
    for (const Case &c : cases)
        QVERIFY2(check(c), qPrintable(QStringLiteral("level %1 at %2x%3").arg(c.y8).arg(c.width).arg(c.height)));
    bool elsewhere = true;
    std::thread other([&] {
        for (const Case &c : cases)
            elsewhere = elsewhere && check(c);
    });
    other.join();
    QVERIFY(elsewhere);
}

void TestWaveformRenderer::intensity_data()
{
    QTest::addColumn<float>("n");
    QTest::addColumn<float>("m");
    QTest::addColumn<float>("low");
    QTest::addColumn<float>("high");
    QTest::newRow("empty") << 0.0f << 100.0f << 0.0f << 0.0f;
    QTest::newRow("sparse hit in busy column") << 30.0f << 1000.0f << 0.0f << 0.0f;
    QTest::newRow("densest level") << 1080.0f << 1080.0f << 0.9f << 1.0f;
    QTest::newRow("70 % of densest") << 700.0f << 1000.0f << 0.9f << 1.0f;
    QTest::newRow("single hit in sparse column") << 1.0f << 1.0f << 0.14f << 0.15f;
    QTest::newRow("16 hits saturate") << 16.0f << 40.0f << 1.0f << 1.0f;
}

void TestWaveformRenderer::intensity()
{
    QFETCH(float, n);
    QFETCH(float, m);
    QFETCH(float, low);
    QFETCH(float, high);
    const float i = scopeIntensity(n, m);
    QVERIFY2(i >= low && i <= high, qPrintable(QString::number(i)));
}

void TestWaveformRenderer::canvasMapping_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<QPoint>("canvasPoint");
    QTest::addColumn<QSize>("canvas");
    QTest::addColumn<QPoint>("source"); // (-1, -1): outside
    QTest::newRow("0 corner") << QSize(100, 50) << 0 << QPoint(99, 49) << QSize(100, 50) << QPoint(99, 49);
    QTest::newRow("180 corner") << QSize(100, 50) << 180 << QPoint(0, 0) << QSize(100, 50) << QPoint(99, 49);
    QTest::newRow("-270 is 90") << QSize(50, 100) << -270 << QPoint(0, 0) << QSize(100, 50) << QPoint(0, 99);
    QTest::newRow("90 top right") << QSize(50, 100) << 90 << QPoint(99, 0) << QSize(100, 50) << QPoint(0, 0);
    QTest::newRow("270 top left") << QSize(50, 100) << 270 << QPoint(0, 0) << QSize(100, 50) << QPoint(49, 0);
    QTest::newRow("90 pillar box") << QSize(100, 50) << 90 << QPoint(10, 25) << QSize(100, 50) << QPoint(-1, -1);
}

void TestWaveformRenderer::canvasMapping()
{
    QFETCH(QSize, frame);
    QFETCH(int, rotation);
    QFETCH(QPoint, canvasPoint);
    QFETCH(QSize, canvas);
    QFETCH(QPoint, source);
    QCOMPARE(scopeCanvasSize(frame, rotation), canvas);
    const std::optional<QPoint> got = canvasToSourcePixel(canvasPoint, canvas, frame, rotation);
    QCOMPARE(got.value_or(QPoint(-1, -1)), source);
}

QTEST_MAIN(TestWaveformRenderer)
#include "tst_waveformrenderer.moc"
