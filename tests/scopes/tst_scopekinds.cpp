// Vectorscope, histogram and parade on synthetic frames of known code values: bars land on
// their colour targets, a flat field fills one bin, a ramp fills every bin alike, and each
// third of the parade is the waveform of its component.

#include "av/ffmpeg.h"
#include "colourbars.h"
#include "core/colour.h"
#include "scopes/histogramrenderer.h"
#include "scopes/scoperenderer.h"
#include "scopes/vectorscoperenderer.h"
#include "scopes/waveformrenderer.h"
#include "patternframe.h"

#include <QtTest>

#include <cmath>
#include <functional>
#include <random>

namespace {

using patternframe::makeFrame;
using patternframe::Pattern;

// The eight bars of tests/colourbars.h, encoded under 'matrix' at 'depth', limited range;
// x in the component's own plane, 'chromaShift' its horizontal subsampling.
Pattern bars(colour::Matrix matrix, int depth, int width, int chromaShift)
{
    return [=](int component, int x, int) {
        const int lumaX = component == 0 ? x : x << chromaShift;
        const colourbars::Bar &bar = colourbars::kBars[std::min(7, lumaX * 8 / width)];
        const auto yuv = colour::rgbToYuv(matrix, colour::Range::Limited, depth, bar.r / 255.0, bar.g / 255.0,
                                          bar.b / 255.0);
        return int(std::lround(yuv[size_t(component)]));
    };
}

// Count-weighted centre of the plane cells within 'radius' of 'around', and their count.
struct Cluster {
    QPointF centre;
    uint64_t count = 0;
};
Cluster clusterAt(const std::vector<uint32_t> &counts, QPointF around, int radius)
{
    double sx = 0, sy = 0;
    Cluster cluster;
    const int cx = int(std::lround(around.x())), cy = int(std::lround(around.y()));
    for (int y = std::max(0, cy - radius); y <= std::min(vectorscope::kPlane - 1, cy + radius); ++y) {
        for (int x = std::max(0, cx - radius); x <= std::min(vectorscope::kPlane - 1, cx + radius); ++x) {
            const uint32_t n = counts[size_t(y) * vectorscope::kPlane + size_t(x)];
            sx += double(n) * x;
            sy += double(n) * y;
            cluster.count += n;
        }
    }
    if (cluster.count > 0)
        cluster.centre = QPointF(sx / double(cluster.count), sy / double(cluster.count));
    return cluster;
}

// A target's position in plane cells.
QPointF planeCell(double cb, double cr)
{
    return vectorscope::position(cb, cr) - QPointF(vectorscope::kPlaneLeft, 0);
}

uint64_t total(const std::vector<uint32_t> &bins)
{
    uint64_t sum = 0;
    for (uint32_t n : bins)
        sum += n;
    return sum;
}

int nonZeroBins(const std::vector<uint32_t> &bins)
{
    return int(std::count_if(bins.begin(), bins.end(), [](uint32_t n) { return n != 0; }));
}

} // namespace

class TestScopeKinds : public QObject
{
    Q_OBJECT

private slots:
    void vectorscopeTargetsAreWhereColouristsLook();
    void vectorscopeBarsLandOnTargets_data();
    void vectorscopeBarsLandOnTargets();
    void vectorscopeOfRgbAndFallback();
    void histogramFlatFieldIsOneBin_data();
    void histogramFlatFieldIsOneBin();
    void histogramRampIsFlat_data();
    void histogramRampIsFlat();
    void histogramColoursFromYuv();
    void paradeThirdsAreChannelWaveforms_data();
    void paradeThirdsAreChannelWaveforms();
    void gridHoldsTheFourKinds();
};

void TestScopeKinds::vectorscopeTargetsAreWhereColouristsLook()
{
    // Cb to the right, Cr up: 75 % red at about 103 degrees under BT.709; BT.601's larger
    // red weight turns it to about 109 on the Cb/Cr plane.
    const std::pair<colour::Matrix, double> redAngles[] = {
        {colour::Matrix::BT709, 103.0}, {colour::Matrix::BT601, 108.6}, {colour::Matrix::BT2020NCL, 105.7}};
    for (const auto &[matrix, redDegrees] : redAngles) {
        const auto list = vectorscope::targets(matrix);
        const QPointF red = planeCell(list[0].cb, list[0].cr);
        const double degrees = std::atan2(-(red.y() - 512.0), red.x() - 512.0) * 180.0 / M_PI;
        QVERIFY2(std::abs(degrees - redDegrees) < 0.5, qPrintable(QString::number(degrees)));
        // Blue to the lower right, 100 % further out than 75 %.
        const QPointF blue = planeCell(list[4].cb, list[4].cr);
        QVERIFY(blue.x() > 512 && blue.y() > 512);
        QVERIFY(std::hypot(list[6].cb, list[6].cr) > std::hypot(list[0].cb, list[0].cr));
        QCOMPARE(QString::fromLatin1(list[6].name), QStringLiteral("R"));
        QCOMPARE(list[6].percent, 100.0);
    }
}

void TestScopeKinds::vectorscopeBarsLandOnTargets_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("space");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("chromaShift");
    QTest::addColumn<QSize>("size");
    QTest::newRow("BT.709 HD 4:2:0") << int(AV_PIX_FMT_YUV420P) << int(AVCOL_SPC_BT709) << 8 << 1 << QSize(1920, 1080);
    QTest::newRow("BT.601 SD 4:2:0") << int(AV_PIX_FMT_YUV420P) << int(AVCOL_SPC_SMPTE170M) << 8 << 1 << QSize(720, 576);
    QTest::newRow("BT.709 10-bit 4:2:2") << int(AV_PIX_FMT_YUV422P10LE) << int(AVCOL_SPC_BT709) << 10 << 1
                                         << QSize(1920, 1080);
    QTest::newRow("BT.2020 10-bit 4:4:4") << int(AV_PIX_FMT_YUV444P10LE) << int(AVCOL_SPC_BT2020_NCL) << 10 << 0
                                          << QSize(1280, 720);
    QTest::newRow("BT.709 P010") << int(AV_PIX_FMT_P010LE) << int(AVCOL_SPC_BT709) << 10 << 1 << QSize(1280, 720);
}

void TestScopeKinds::vectorscopeBarsLandOnTargets()
{
    QFETCH(int, format);
    QFETCH(int, space);
    QFETCH(int, depth);
    QFETCH(int, chromaShift);
    QFETCH(QSize, size);
    const colour::Matrix matrix = colour::matrixForColorSpace(space).matrix;
    av::FramePtr frame = makeFrame(AVPixelFormat(format), size.width(), size.height(),
                                   bars(matrix, depth, size.width(), chromaShift), AVCOL_RANGE_MPEG,
                                   AVColorSpace(space));
    QVERIFY(frame);
    QCOMPARE(vectorscope::matrixOf(frame.get()), matrix);
    std::vector<uint32_t> counts;
    QVERIFY(vectorscope::countChroma(frame.get(), ScopeRequest(), counts));
    const uint64_t chromaSamples = total(counts);
    // Bars red, green, blue, yellow, cyan, magenta against the 75 % targets R, G, B, Yl, Cy, Mg.
    const auto list = vectorscope::targets(matrix);
    const int targetOfBar[6] = {0, 2, 4, 1, 3, 5};
    for (int bar = 0; bar < 6; ++bar) {
        const vectorscope::Target &t = list[size_t(targetOfBar[bar])];
        QCOMPARE(t.percent, 75.0);
        const QPointF want = planeCell(t.cb, t.cr);
        const Cluster got = clusterAt(counts, want, 12);
        // Every sample of the bar, an eighth of the picture, and within 2 px of the target.
        QVERIFY2(got.count == chromaSamples / 8, qPrintable(QString::fromLatin1(colourbars::kBars[bar].name)));
        const double off = std::hypot(got.centre.x() - want.x(), got.centre.y() - want.y());
        QVERIFY2(off <= 2.0, qPrintable(QStringLiteral("%1 bar %2 px from its target")
                                            .arg(QString::fromLatin1(colourbars::kBars[bar].name))
                                            .arg(off)));
    }
    // Neutral grey in the centre cell itself.
    QCOMPARE(uint64_t(counts[size_t(512) * vectorscope::kPlane + 512]), chromaSamples / 8);

    // The drawn image lights the red target's place and keeps the graticule elsewhere.
    ScopeRequest request;
    request.kind = ScopeVectorscope;
    const QImage image = scopes::renderScope(frame.get(), request);
    const QImage graticule = vectorscope::buildGraticule(matrix);
    QCOMPARE(image.size(), QSize(1920, 1024));
    const QPoint red = vectorscope::position(list[0].cb, list[0].cr).toPoint();
    int brightest = 0;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx)
            brightest = std::max(brightest, qGreen(image.pixel(red + QPoint(dx, dy)))
                                                - qGreen(graticule.pixel(red + QPoint(dx, dy))));
    QVERIFY(brightest > 40);
    QCOMPARE(image.pixel(100, 900), graticule.pixel(100, 900));
}

void TestScopeKinds::vectorscopeOfRgbAndFallback()
{
    // 75 % red as 10-bit R'G'B' and as an 8-bit picture: on the BT.709 red target.
    const auto list = vectorscope::targets(colour::Matrix::BT709);
    const QPointF want = planeCell(list[0].cb, list[0].cr);
    av::FramePtr rgb = makeFrame(AV_PIX_FMT_GBRP10LE, 64, 32, [](int c, int, int) { return c == 0 ? 767 : 0; },
                                 AVCOL_RANGE_JPEG, AVCOL_SPC_RGB);
    std::vector<uint32_t> counts;
    QVERIFY(vectorscope::countChroma(rgb.get(), ScopeRequest(), counts));
    Cluster got = clusterAt(counts, want, 12);
    QCOMPARE(got.count, uint64_t(64 * 32));
    QVERIFY(std::hypot(got.centre.x() - want.x(), got.centre.y() - want.y()) <= 2.0);

    QImage picture(64, 32, QImage::Format_ARGB32);
    picture.fill(qRgb(191, 0, 0));
    vectorscope::countChroma(picture, counts);
    got = clusterAt(counts, want, 12);
    QCOMPARE(got.count, uint64_t(64 * 32));
    QVERIFY(std::hypot(got.centre.x() - want.x(), got.centre.y() - want.y()) <= 2.0);

    // R'G'B' in a Y'CbCr layout (as DNxHR 4:4:4 decodes): not read as Y'CbCr, the engine's
    // picture is used instead, by both the vectorscope and the histogram.
    av::FramePtr planes = makeFrame(AV_PIX_FMT_YUV444P10LE, 64, 32, [](int, int, int) { return 512; });
    ScopeRequest request;
    request.rgbSource = true;
    QVERIFY(!vectorscope::countChroma(planes.get(), request, counts));
    histogram::Counts bins;
    QVERIFY(!histogram::count(planes.get(), request, bins));
    int fallbacks = 0;
    request.fallbackPicture = [&] {
        ++fallbacks;
        return picture;
    };
    request.kind = ScopeVectorscope;
    const QImage image = scopes::renderScope(planes.get(), request);
    const QImage graticule = vectorscope::buildGraticule(colour::Matrix::BT709);
    const QPoint red = vectorscope::position(list[0].cb, list[0].cr).toPoint();
    int brightest = 0;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx)
            brightest = std::max(brightest, qGreen(image.pixel(red + QPoint(dx, dy)))
                                                - qGreen(graticule.pixel(red + QPoint(dx, dy))));
    QVERIFY(brightest > 40);
    request.kind = ScopeHistogram;
    scopes::renderScope(planes.get(), request);
    QCOMPARE(fallbacks, 2);
}

void TestScopeKinds::histogramFlatFieldIsOneBin_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("luma");
    QTest::addColumn<int>("chroma");
    QTest::newRow("8-bit 4:2:0") << int(AV_PIX_FMT_YUV420P) << 100 << 128;
    QTest::newRow("10-bit 4:2:2") << int(AV_PIX_FMT_YUV422P10LE) << 700 << 512;
    QTest::newRow("NV12") << int(AV_PIX_FMT_NV12) << 235 << 128;
}

void TestScopeKinds::histogramFlatFieldIsOneBin()
{
    QFETCH(int, format);
    QFETCH(int, luma);
    QFETCH(int, chroma);
    av::FramePtr frame = makeFrame(AVPixelFormat(format), 96, 40,
                                   [=](int c, int, int) { return c == 0 ? luma : chroma; });
    histogram::Counts counts;
    QVERIFY(histogram::count(frame.get(), ScopeRequest(), counts));
    const histogram::Channel &y = counts.channels[histogram::LumaIndex];
    QCOMPARE(nonZeroBins(y.bins), 1);
    QCOMPARE(y.bins[size_t(luma)], uint32_t(96 * 40));
    // Grey: R', G' and B' one bin each, the same one, at Y's level.
    const double level = y.firstLevel + luma * y.levelPerBin;
    for (int c = histogram::RedIndex; c <= histogram::BlueIndex; ++c) {
        const histogram::Channel &k = counts.channels[size_t(c)];
        QCOMPARE(nonZeroBins(k.bins), 1);
        const auto bin = size_t(std::distance(k.bins.begin(), std::max_element(k.bins.begin(), k.bins.end())));
        QVERIFY(std::abs(k.firstLevel + double(bin) * k.levelPerBin - level) <= k.levelPerBin);
        QCOMPARE(k.bins[bin], uint32_t(96 * 40));
    }
}

void TestScopeKinds::histogramRampIsFlat_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("black");
    QTest::addColumn<int>("white");
    QTest::addColumn<int>("range");
    QTest::newRow("8-bit") << int(AV_PIX_FMT_YUV420P) << 16 << 235 << int(Percent);
    QTest::newRow("8-bit, code values") << int(AV_PIX_FMT_YUV420P) << 16 << 235 << int(CodeValue);
    QTest::newRow("10-bit") << int(AV_PIX_FMT_YUV422P10LE) << 64 << 940 << int(Percent);
    QTest::newRow("12-bit") << int(AV_PIX_FMT_YUV444P12LE) << 256 << 3760 << int(CodeValue);
}

void TestScopeKinds::histogramRampIsFlat()
{
    QFETCH(int, format);
    QFETCH(int, black);
    QFETCH(int, white);
    QFETCH(int, range);
    const int codes = white - black + 1;
    const int width = codes * 2; // every code twice per row
    av::FramePtr frame = makeFrame(AVPixelFormat(format), width, 8, [=](int c, int x, int) {
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(format));
        return c == 0 ? black + x / 2 : 1 << (d->comp[0].depth - 1);
    });
    histogram::Counts counts;
    QVERIFY(histogram::count(frame.get(), ScopeRequest(), counts));
    const histogram::Channel &y = counts.channels[histogram::LumaIndex];
    QCOMPARE(nonZeroBins(y.bins), codes);
    for (int code = black; code <= white; ++code)
        QCOMPARE(y.bins[size_t(code)], uint32_t(16));

    // Drawn: every column between black and white the same height, whatever the number
    // of bins per column; none outside.
    const std::vector<double> values = histogram::columnValues(y, ScopeRange(range));
    const int first = int(std::ceil(histogram::scalePosition(0.0, ScopeRange(range)) * 1920.0)) + 1;
    const int last = int(std::floor(histogram::scalePosition(255.0, ScopeRange(range)) * 1920.0)) - 2;
    for (int x = first; x <= last; ++x)
        QVERIFY2(std::abs(values[size_t(x)] - 16.0) < 1e-9, qPrintable(QStringLiteral("column %1: %2").arg(x).arg(values[size_t(x)])));
    // Each bin is drawn centred on its level: two bins below black nothing is drawn.
    const int below = int(histogram::scalePosition(-2.0 * y.levelPerBin, ScopeRange(range)) * 1920.0);
    if (below >= 0)
        QCOMPARE(values[size_t(below)], 0.0);
}

void TestScopeKinds::histogramColoursFromYuv()
{
    // 75 % red of BT.709 at 8 bits: R' at 191/255, G' and B' at black (within a code).
    const auto yuv = colour::rgbToYuv(colour::Matrix::BT709, colour::Range::Limited, 8, 191 / 255.0, 0, 0);
    av::FramePtr frame = makeFrame(AV_PIX_FMT_YUV420P, 64, 16,
                                   [&](int c, int, int) { return int(std::lround(yuv[size_t(c)])); });
    histogram::Counts counts;
    QVERIFY(histogram::count(frame.get(), ScopeRequest(), counts));
    const auto levelOf = [&](int c) {
        const histogram::Channel &k = counts.channels[size_t(c)];
        const auto bin = std::distance(k.bins.begin(), std::max_element(k.bins.begin(), k.bins.end()));
        return k.firstLevel + double(bin) * k.levelPerBin;
    };
    QVERIFY2(std::abs(levelOf(histogram::RedIndex) - 191.0) <= 1.5, qPrintable(QString::number(levelOf(1))));
    QVERIFY(std::abs(levelOf(histogram::GreenIndex)) <= 1.5);
    QVERIFY(std::abs(levelOf(histogram::BlueIndex)) <= 1.5);

    // The picture: four strips for Color, one for a single channel.
    ScopeRequest request;
    request.kind = ScopeHistogram;
    const QImage stacked = scopes::renderScope(frame.get(), request);
    request.channel = Red;
    const QImage single = scopes::renderScope(frame.get(), request);
    QCOMPARE(stacked.size(), QSize(1920, 1024));
    QVERIFY(stacked != single);
    // The red bar at 191 reaches the top of the single strip.
    const int x = int(std::lround(histogram::scalePosition(191.0, Percent) * 1919.0));
    QVERIFY(qRed(single.pixel(x, 20)) > 100);
}

void TestScopeKinds::paradeThirdsAreChannelWaveforms_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("rgb");
    QTest::newRow("4:4:4 8-bit") << int(AV_PIX_FMT_YUV444P) << false;
    QTest::newRow("4:2:2 10-bit") << int(AV_PIX_FMT_YUV422P10LE) << false;
    QTest::newRow("R'G'B' 10-bit") << int(AV_PIX_FMT_GBRP10LE) << true;
}

void TestScopeKinds::paradeThirdsAreChannelWaveforms()
{
    QFETCH(int, format);
    QFETCH(bool, rgb);
    // 640 columns: waveform column 3i and parade column i of each third read the same
    // picture column. Noise so that every column has its own counts.
    std::mt19937 random(29);
    std::vector<int> noise(640 * 96 * 3);
    for (int &v : noise)
        v = int(random() % 1024);
    const int depth = av_pix_fmt_desc_get(AVPixelFormat(format))->comp[0].depth;
    av::FramePtr frame = makeFrame(AVPixelFormat(format), 640, 96, [&](int c, int x, int y) {
        const int v = noise[size_t((y * 640 + x) * 3 + c)] >> (10 - depth);
        return rgb || c == 0 ? v : (1 << (depth - 1)) + (v - (1 << (depth - 1))) / 3;
    });
    ScopeRequest request;
    request.rgbSource = rgb;
    request.kind = ScopeParade;
    const QImage parade = scopes::renderScope(frame.get(), request);
    const QImage paradeGraticule = waveform::buildParadeGraticule(Percent);
    request.kind = ScopeWaveform;
    const DisplayChannel channels[3] = {Red, Green, Blue};
    for (int third = 0; third < 3; ++third) {
        request.channel = channels[third];
        const QImage single = scopes::renderScope(frame.get(), request);
        const QImage graticule = waveform::buildScopeGraticule(Percent);
        int lit = 0;
        for (int i = 40; i < 600; i += 13) {
            if (i > 290 && i < 350)
                continue; // the third's letter
            for (int y = 0; y < 1024; ++y) {
                const auto component = [&](QRgb p) {
                    return third == 0 ? qRed(p) : third == 1 ? qGreen(p) : qBlue(p);
                };
                // Where either graticule has a line or a label the sums may saturate.
                if (graticule.pixel(3 * i, y) != qRgb(0, 0, 0)
                    || paradeGraticule.pixel(third * 640 + i, y) != qRgb(0, 0, 0)) {
                    continue;
                }
                const int want = component(single.pixel(3 * i, y)) - component(graticule.pixel(3 * i, y));
                const int got = component(parade.pixel(third * 640 + i, y))
                    - component(paradeGraticule.pixel(third * 640 + i, y));
                if (want != got)
                    QFAIL(qPrintable(QStringLiteral("third %1 column %2 row %3: %4, waveform %5")
                                         .arg(third).arg(i).arg(y).arg(got).arg(want)));
                lit += want > 0;
            }
        }
        QVERIFY(lit > 1000);
        // The other components of the third are not traced.
        const int other = (third + 1) % 3;
        for (int y = 0; y < 1024; ++y) {
            const QRgb p = parade.pixel(third * 640 + 200, y), g = paradeGraticule.pixel(third * 640 + 200, y);
            const int a = other == 0 ? qRed(p) - qRed(g) : other == 1 ? qGreen(p) - qGreen(g) : qBlue(p) - qBlue(g);
            QCOMPARE(a, 0);
        }
    }
}

void TestScopeKinds::gridHoldsTheFourKinds()
{
    av::FramePtr frame = makeFrame(AV_PIX_FMT_YUV420P, 1920, 1080, bars(colour::Matrix::BT709, 8, 1920, 1));
    ScopeRequest request;
    request.kind = ScopeGrid;
    const QImage grid = scopes::renderScope(frame.get(), request);
    QCOMPARE(grid.size(), QSize(1920, 1024));
    const ScopeKind kinds[4] = {ScopeWaveform, ScopeParade, ScopeVectorscope, ScopeHistogram};
    for (int i = 0; i < 4; ++i) {
        request.kind = kinds[i];
        const QImage quarter = scopes::halfSize(scopes::renderScope(frame.get(), request));
        const QImage inGrid = grid.copy((i % 2) * 960, (i / 2) * 512, 960, 512);
        // Same but for the dividing lines along the quarter's inner edges.
        const QImage inner = inGrid.copy(i % 2 ? 2 : 0, i / 2 ? 2 : 0, 958, 510);
        QCOMPARE(inner, quarter.copy(i % 2 ? 2 : 0, i / 2 ? 2 : 0, 958, 510));
    }
}

QTEST_MAIN(TestScopeKinds)
#include "tst_scopekinds.moc"
