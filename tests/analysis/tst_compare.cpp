// Comparing two files without media: alignment rules, the merge of two frame streams, the
// summary's runs, and PSNR / SSIM on synthetic planes held against direct sums.

#include "analysis/audiocompare.h"
#include "analysis/comparetypes.h"
#include "analysis/framecompare.h"
#include "av/ffmpeg.h"

#include <QtTest>

#include <cmath>
#include <random>
#include <vector>

using namespace cmp;

namespace {

// A plane of w x h samples with a stride wider than the row, so row arithmetic shows.
template <typename T>
struct Plane {
    int width, height, strideSamples;
    std::vector<T> samples;
    Plane(int w, int h)
        : width(w)
        , height(h)
        , strideSamples(w + 7)
        , samples(size_t(strideSamples) * size_t(h), T(0))
    {
    }
    T &at(int x, int y) { return samples[size_t(y) * size_t(strideSamples) + size_t(x)]; }
    T at(int x, int y) const { return samples[size_t(y) * size_t(strideSamples) + size_t(x)]; }
    PlaneView view() const
    {
        return {reinterpret_cast<const uint8_t *>(samples.data()), int(strideSamples * sizeof(T)), width, height};
    }
};

template <typename T>
Plane<T> noise(int w, int h, int top, unsigned seed)
{
    Plane<T> plane(w, h);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> value(0, top);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            plane.at(x, y) = T(value(random));
    return plane;
}

// SSIM straight from its definition: every 8x8 window at a step of 4, sums taken over
// the window's 64 samples directly.
template <typename T>
double referenceSsim(const Plane<T> &a, const Plane<T> &b, double c1, double c2)
{
    const int windowsX = a.width / 4 - 1;
    const int windowsY = a.height / 4 - 1;
    double total = 0.0;
    for (int wy = 0; wy < windowsY; ++wy) {
        for (int wx = 0; wx < windowsX; ++wx) {
            double s1 = 0, s2 = 0, ss = 0, s12 = 0;
            for (int y = wy * 4; y < wy * 4 + 8; ++y) {
                for (int x = wx * 4; x < wx * 4 + 8; ++x) {
                    const double va = a.at(x, y), vb = b.at(x, y);
                    s1 += va;
                    s2 += vb;
                    ss += va * va + vb * vb;
                    s12 += va * vb;
                }
            }
            const double vars = ss * 64 - s1 * s1 - s2 * s2;
            const double covar = s12 * 64 - s1 * s2;
            total += (2 * s1 * s2 + c1) * (2 * covar + c2) / ((s1 * s1 + s2 * s2 + c1) * (vars + c2));
        }
    }
    return total / (double(windowsX) * double(windowsY));
}

} // namespace

class TestCompare : public QObject
{
    Q_OBJECT

private slots:
    void alignment_data();
    void alignment();
    void merge_data();
    void merge();
    void thresholds_data();
    void thresholds();
    void psnrOfKnownErrors();
    void ssimAgainstDefinition_data();
    void ssimAgainstDefinition();
    void framesOfOtherLayouts();
    void samplesWithOffsets();
};

void TestCompare::alignment_data()
{
    QTest::addColumn<double>("fpsA");
    QTest::addColumn<QString>("tcA");
    QTest::addColumn<double>("fpsB");
    QTest::addColumn<QString>("tcB");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("widthB");
    QTest::addColumn<bool>("scale");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<bool>("byTimecode");
    QTest::addColumn<QString>("errorHas"); // every ';'-separated piece in the error

    const int autoMode = int(AlignMode::Auto), tc = int(AlignMode::Timecode), start = int(AlignMode::Start);
    QTest::newRow("B three frames later") << 25.0 << "10:00:00:00" << 25.0 << "10:00:00:03" << autoMode << 320 << false
                                         << true << qint64(3) << true << "";
    QTest::newRow("B starts earlier") << 25.0 << "10:00:01:00" << 25.0 << "10:00:00:00" << autoMode << 320 << false
                                      << true << qint64(-25) << true << "";
    QTest::newRow("across midnight") << 25.0 << "23:59:59:00" << 25.0 << "00:00:01:00" << autoMode << 320 << false
                                     << true << qint64(50) << true << "";
    QTest::newRow("drop-frame labels") << 30000.0 / 1001 << "00:00:59;29" << 30000.0 / 1001 << "00:01:00;02" << tc
                                       << 320 << false << true << qint64(1) << true << "";
    QTest::newRow("no timecode on B: first frames") << 25.0 << "10:00:00:00" << 25.0 << "" << autoMode << 320
                                                    << false << true << qint64(0) << false << "";
    QTest::newRow("timecode asked, B has none") << 25.0 << "10:00:00:00" << 25.0 << "" << tc << 320 << false << false
                                                << qint64(0) << false << "A has 10:00:00:00;B has none";
    QTest::newRow("start ignores timecodes") << 25.0 << "10:00:00:00" << 25.0 << "10:00:00:03" << start << 320
                                             << false << true << qint64(0) << false << "";
    QTest::newRow("other rate") << 25.0 << "" << 30.0 << "" << autoMode << 320 << false << false << qint64(0) << false
                                << "25 fps;30 fps";
    QTest::newRow("29.97 is not 30") << 30000.0 / 1001 << "" << 30.0 << "" << autoMode << 320 << false << false
                                     << qint64(0) << false << "29.97 fps;30 fps";
    QTest::newRow("other size") << 25.0 << "" << 25.0 << "" << autoMode << 160 << false << false << qint64(0) << false
                                << "320x240;160x240;--scale";
    QTest::newRow("other size scaled") << 25.0 << "" << 25.0 << "" << autoMode << 160 << true << true << qint64(0)
                                       << false << "";
}

void TestCompare::alignment()
{
    QFETCH(double, fpsA);
    QFETCH(QString, tcA);
    QFETCH(double, fpsB);
    QFETCH(QString, tcB);
    QFETCH(int, mode);
    QFETCH(int, widthB);
    QFETCH(bool, scale);
    Options options;
    options.align = AlignMode(mode);
    options.scale = scale;
    const Alignment result = align({fpsA, tcA, 320, 240}, {fpsB, tcB, widthB, 240}, options);
    QTEST(result.ok, "ok");
    QTEST(qint64(result.offset), "offset");
    QTEST(result.byTimecode, "byTimecode");
    QFETCH(QString, errorHas);
    for (const QString &piece : errorHas.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        QVERIFY2(result.error.contains(piece), qPrintable(result.error));
    QCOMPARE(result.error.isEmpty(), result.ok);

    options.align = AlignMode::Offset;
    options.offset = -7;
    const Alignment shifted = align({fpsA, tcA, 320, 240}, {fpsB, tcB, widthB, 240}, options);
    if (shifted.ok)
        QCOMPARE(shifted.offset, int64_t(-7));
}

void TestCompare::merge_data()
{
    QTest::addColumn<QList<qint64>>("framesA");
    QTest::addColumn<QList<qint64>>("framesB");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QString>("expected"); // pairs as a-b, onlyA as a+, onlyB as b-

    QTest::newRow("same") << QList<qint64>{0, 1, 2} << QList<qint64>{0, 1, 2} << qint64(0) << "0-0 1-1 2-2";
    QTest::newRow("B later by two") << QList<qint64>{0, 1, 2, 3} << QList<qint64>{0, 1, 2} << qint64(2)
                                    << "0+ 1+ 2-0 3-1 2-";
    QTest::newRow("B earlier by one") << QList<qint64>{0, 1} << QList<qint64>{0, 1, 2} << qint64(-1)
                                      << "0- 0-1 1-2";
    QTest::newRow("gap in A") << QList<qint64>{0, 2} << QList<qint64>{0, 1, 2} << qint64(0) << "0-0 1- 2-2";
    QTest::newRow("no overlap") << QList<qint64>{0, 1} << QList<qint64>{0, 1} << qint64(5) << "0+ 1+ 0- 1-";
}

void TestCompare::merge()
{
    QFETCH(QList<qint64>, framesA);
    QFETCH(QList<qint64>, framesB);
    QFETCH(qint64, offset);
    const Merge merge(offset);
    QStringList steps;
    qsizetype ia = 0, ib = 0;
    while (ia < framesA.size() || ib < framesB.size()) {
        const auto head = [](const QList<qint64> &frames, qsizetype i) {
            return i < frames.size() ? std::optional<int64_t>(frames[i]) : std::nullopt;
        };
        switch (merge.next(head(framesA, ia), head(framesB, ib))) {
        case Merge::Step::TakeA:
            steps << QStringLiteral("%1+").arg(framesA[ia++]);
            break;
        case Merge::Step::TakeB:
            steps << QStringLiteral("%1-").arg(framesB[ib++]);
            break;
        case Merge::Step::Pair:
            steps << QStringLiteral("%1-%2").arg(framesA[ia++]).arg(framesB[ib++]);
            break;
        }
    }
    QTEST(steps.join(QLatin1Char(' ')), "expected");
}

void TestCompare::thresholds_data()
{
    // Pairs as "frame:psnrY" (i: identical, x: differs where PSNR was not measured).
    QTest::addColumn<QString>("pairs");
    QTest::addColumn<double>("threshold"); // 0: none
    QTest::addColumn<QString>("runs");
    QTest::addColumn<qint64>("beyond");
    QTest::addColumn<qint64>("first");     // -1: none
    QTest::addColumn<qint64>("minFrame");  // -1: none

    const QString pairs = QStringLiteral("3:i 4:40 5:30 6:i 7:50 9:45 10:i");
    QTest::newRow("any difference") << pairs << 0.0 << "4-5 7-7 9-9" << qint64(4) << qint64(4) << qint64(5);
    QTest::newRow("below 42 dB") << pairs << 42.0 << "4-5 7-7 9-9" << qint64(2) << qint64(4) << qint64(5);
    QTest::newRow("below 30 dB: none") << pairs << 30.0 << "4-5 7-7 9-9" << qint64(0) << qint64(4) << qint64(5);
    QTest::newRow("all identical") << QStringLiteral("0:i 1:i") << 0.0 << "" << qint64(0) << qint64(-1) << qint64(-1);
    QTest::newRow("difference without PSNR") << QStringLiteral("0:x 1:i") << 42.0 << "0-0" << qint64(1) << qint64(0)
                                             << qint64(-1);
}

void TestCompare::thresholds()
{
    QFETCH(QString, pairs);
    QFETCH(double, threshold);
    SummaryBuilder builder(threshold > 0 ? std::optional<double>(threshold) : std::nullopt);
    for (const QString &item : pairs.split(QLatin1Char(' '))) {
        PairResult pair;
        pair.frameA = item.section(QLatin1Char(':'), 0, 0).toLongLong();
        pair.frameB = pair.frameA + 100;
        pair.planes = 3;
        const QString value = item.section(QLatin1Char(':'), 1);
        pair.identical = value == QLatin1String("i");
        if (!pair.identical && value != QLatin1String("x")) {
            pair.psnr[0] = value.toDouble();
            pair.psnr[1] = value.toDouble() + 20; // chroma never the lowest here
        }
        builder.pair(pair);
    }
    const Summary &summary = builder.summary();
    QStringList runs;
    for (const auto &[first, last] : summary.differentRuns)
        runs << QStringLiteral("%1-%2").arg(first).arg(last);
    QTEST(runs.join(QLatin1Char(' ')), "runs");
    QTEST(qint64(summary.framesBeyondThreshold), "beyond");
    QTEST(qint64(summary.firstDifferentFrameA.value_or(-1)), "first");
    QTEST(qint64(summary.minPsnrFrameA.value_or(-1)), "minFrame");
    QCOMPARE(summary.framesCompared, int64_t(pairs.count(QLatin1Char(' ')) + 1));
    QCOMPARE(summary.identicalFrames, int64_t(pairs.count(QLatin1String(":i"))));
}

void TestCompare::psnrOfKnownErrors()
{
    // One sample off by 16 in a 64x64 plane: MSE = 256 / 4096.
    Plane<uint8_t> a(64, 64), b(64, 64);
    QVERIFY(samePlane(a.view(), b.view(), 1));
    QCOMPARE(sumSquaredError8(a.view(), b.view()), uint64_t(0));
    QVERIFY(!psnrFromError(0, 4096, 8));
    b.at(63, 63) = 16;
    QVERIFY(!samePlane(a.view(), b.view(), 1));
    QCOMPARE(sumSquaredError8(a.view(), b.view()), uint64_t(256));
    QVERIFY(std::abs(*psnrFromError(256, 4096, 8) - 10 * std::log10(255.0 * 255.0 * 16)) < 1e-9);
    // Padding past the row is not the picture.
    a.samples[size_t(a.strideSamples) - 1] = 200;
    QCOMPARE(sumSquaredError8(a.view(), b.view()), uint64_t(256));

    // 10 bits: peak 1023; every sample off by 3.
    Plane<uint16_t> c(40, 24), d(40, 24);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 40; ++x) {
            c.at(x, y) = uint16_t(500 + x);
            d.at(x, y) = uint16_t(503 + x);
        }
    QCOMPARE(sumSquaredError16(c.view(), d.view()), uint64_t(9 * 40 * 24));
    QVERIFY(std::abs(*psnrFromError(9 * 40 * 24, 40 * 24, 10) - 10 * std::log10(1023.0 * 1023.0 / 9)) < 1e-9);
}

void TestCompare::ssimAgainstDefinition_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("depth");
    QTest::newRow("8 bits, whole blocks") << 64 << 32 << 8;
    QTest::newRow("8 bits, ragged edge") << 70 << 37 << 8;
    QTest::newRow("10 bits") << 48 << 40 << 10;
    QTest::newRow("16 bits") << 33 << 17 << 16;
}

void TestCompare::ssimAgainstDefinition()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, depth);
    const int top = (1 << depth) - 1;
    const double peak = top;
    if (depth == 8) {
        const Plane<uint8_t> a = noise<uint8_t>(width, height, top, 1);
        Plane<uint8_t> b = a;
        QCOMPARE(*ssim8(a.view(), b.view()), 1.0);
        // A blurred-ish copy: half of the samples moved towards their neighbour.
        for (int y = 0; y < height; ++y)
            for (int x = 1; x < width; x += 2)
                b.at(x, y) = uint8_t((a.at(x, y) + a.at(x - 1, y)) / 2);
        const double c1 = std::floor(0.01 * 0.01 * 255 * 255 * 64 + 0.5);
        const double c2 = std::floor(0.03 * 0.03 * 255 * 255 * 64 * 63 + 0.5);
        const double got = *ssim8(a.view(), b.view());
        // Single precision per window, as 8-bit implementations keep it.
        QVERIFY2(std::abs(got - referenceSsim(a, b, c1, c2)) < 1e-6, qPrintable(QString::number(got)));
        QVERIFY(got < 0.99 && got > 0.0);
        QCOMPARE(*ssim8(a.view(), b.view()), *ssim8(b.view(), a.view()));
    } else {
        const Plane<uint16_t> a = noise<uint16_t>(width, height, top, 2);
        const Plane<uint16_t> b = noise<uint16_t>(width, height, top, 3);
        const double c1 = 0.01 * 0.01 * peak * peak * 64, c2 = 0.03 * 0.03 * peak * peak * 64 * 63;
        const double got = *ssim16(a.view(), b.view(), depth);
        QVERIFY2(std::abs(got - referenceSsim(a, b, c1, c2)) < 1e-9, qPrintable(QString::number(got)));
        QVERIFY(std::abs(got) < 0.2); // independent noise
        QCOMPARE(*ssim16(a.view(), a.view(), depth), 1.0);
    }
    // Smaller than one window: no value.
    Plane<uint8_t> tiny(7, 20);
    QVERIFY(!ssim8(tiny.view(), tiny.view()));
}

void TestCompare::framesOfOtherLayouts()
{
    // The same grey ramp as 4:2:0 8-bit and as NV12: the repacked B is identical to A; a
    // changed chroma sample shows in U only.
    const auto frame = [](AVPixelFormat format) {
        av::FramePtr f = av::makeFrame();
        f->format = format;
        f->width = 32;
        f->height = 16;
        if (av_frame_get_buffer(f.get(), 0) < 0)
            return av::FramePtr();
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 32; ++x)
                f->data[0][y * f->linesize[0] + x] = uint8_t(16 + x * 4 + y);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 16; ++x) {
                if (format == AV_PIX_FMT_NV12) {
                    f->data[1][y * f->linesize[1] + 2 * x] = uint8_t(100 + x);
                    f->data[1][y * f->linesize[1] + 2 * x + 1] = uint8_t(150 - y);
                } else {
                    f->data[1][y * f->linesize[1] + x] = uint8_t(100 + x);
                    f->data[2][y * f->linesize[2] + x] = uint8_t(150 - y);
                }
            }
        return f;
    };
    av::FramePtr planar = frame(AV_PIX_FMT_YUV420P);
    av::FramePtr semi = frame(AV_PIX_FMT_NV12);
    QVERIFY(planar && semi);
    FrameComparer comparer(true, true);
    PairResult result;
    QVERIFY(comparer.compare(planar.get(), semi.get(), result));
    QVERIFY(result.identical);
    QCOMPARE(result.planes, 3);
    QVERIFY(!result.psnr[0] && !result.psnr[1] && !result.psnr[2]);
    QCOMPARE(*result.ssimY, 1.0);

    semi->data[1][0] = uint8_t(semi->data[1][0] + 10); // U of the first chroma sample
    QVERIFY(comparer.compare(planar.get(), semi.get(), result));
    QVERIFY(!result.identical);
    QVERIFY(!result.psnr[0] && result.psnr[1] && !result.psnr[2]);
    QVERIFY(std::abs(*result.psnr[1] - 10 * std::log10(255.0 * 255.0 * 128 / 100)) < 1e-9);
    QCOMPARE(*result.ssimY, 1.0);

    // Another size is scaled to A's before comparing.
    av::FramePtr big = av::makeFrame();
    big->format = AV_PIX_FMT_YUV420P;
    big->width = 64;
    big->height = 32;
    QVERIFY(av_frame_get_buffer(big.get(), 0) >= 0);
    for (int p = 0; p < 3; ++p)
        std::memset(big->data[p], 128, size_t(big->linesize[p]) * size_t(p ? 16 : 32));
    QVERIFY(comparer.compare(planar.get(), big.get(), result));
    QVERIFY(!result.identical);
    QVERIFY(result.psnr[0]);
}

QTEST_GUILESS_MAIN(TestCompare)
void TestCompare::samplesWithOffsets()
{
    // Two channels, 10 sample frames at 10 Hz; B = A shifted by two frames, one sample changed.
    std::vector<float> a(20);
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = float(i) / 32.0f;
    std::vector<float> b(a.begin() + 4, a.end()); // A's frame 2 is B's frame 0
    cmp::AudioStreamResult same = cmp::compareSamples(a, b, 2, 10, 2);
    QVERIFY(same.identical);
    QCOMPARE(same.samplesCompared, int64_t(8));
    QVERIFY(!same.firstDifferentSec && !same.maxDifferenceDb);

    b[7] += 0.5f; // B's frame 3, right channel: A's frame 5 = 0.5 s
    b[9] += 0.25f;
    const cmp::AudioStreamResult changed = cmp::compareSamples(a, b, 2, 10, 2);
    QVERIFY(!changed.identical);
    QCOMPARE(*changed.firstDifferentSec, 0.5);
    QVERIFY(std::abs(*changed.maxDifferenceDb - 20.0 * std::log10(0.5)) < 1e-6);

    // B starting before A (negative offset) and B longer than A: only the overlap counts.
    const std::vector<float> longer(a.begin(), a.end());
    std::vector<float> early(4, 9.0f);
    early.insert(early.end(), longer.begin(), longer.end());
    early.insert(early.end(), 6, 9.0f);
    const cmp::AudioStreamResult overlap = cmp::compareSamples(a, early, 2, 10, -2);
    QVERIFY(overlap.identical);
    QCOMPARE(overlap.samplesCompared, int64_t(10));
    // No overlap at all.
    QCOMPARE(cmp::compareSamples(a, b, 2, 10, 40).samplesCompared, int64_t(0));
}

#include "tst_compare.moc"
