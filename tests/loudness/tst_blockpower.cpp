// The graphs' short-term loudness, formed per channel and combined per pair afterwards, held
// to the ebur128 meter's own short-term reading of the same pair, block by block.

#include "loudness/blockpower.h"
#include "loudness/loudnessgraph.h"

#include <QtTest>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// A channel as a function of time: a sine of 'hz' at 'dbfs', loud and quiet in turns.
struct Tone {
    double hz;
    double dbfs;
    double quietDb = 0.0;   // drop during the quiet half of each period
    double periodSec = 0.0; // 0: steady
    double at(double t) const
    {
        double db = dbfs;
        if (periodSec > 0 && std::fmod(t, periodSec) >= periodSec / 2)
            db -= quietDb;
        return std::pow(10.0, db / 20.0) * std::sin(2.0 * kPi * hz * t);
    }
};

struct Measured {
    std::vector<double> ours;  // left = 0, right = 1 through the blocks
    std::vector<double> meter; // the ebur128 meter's short-term of the same pair
    loudness::ShortTermSeries series;
};

Measured measure(int rate, double seconds, const Tone &left, const Tone &right)
{
    Measured m;
    loudness::BlockPowerMeter blocks(2, rate);
    LoudnessGraph graph;
    if (!graph.build(rate).isEmpty())
        return m;
    const auto total = int64_t(std::llround(seconds * rate));
    constexpr int64_t kChunk = 1000; // not a block's length, so blocks span pushes
    std::vector<double> l(kChunk), r(kChunk);
    std::vector<float> lf(kChunk), rf(kChunk);
    for (int64_t start = 0; start < total; start += kChunk) {
        const int64_t n = std::min(kChunk, total - start);
        for (int64_t i = 0; i < n; ++i) {
            const double t = double(start + i) / rate;
            lf[size_t(i)] = float(left.at(t));
            rf[size_t(i)] = float(right.at(t));
            l[size_t(i)] = lf[size_t(i)];
            r[size_t(i)] = rf[size_t(i)];
        }
        blocks.push(0, lf.data(), n);
        blocks.push(1, rf.data(), n);
        graph.feed(l.data(), r.data(), n);
        for (const loudness::PowerBlock &block : blocks.takeBlocks())
            m.series.append(block);
    }
    graph.finish();
    for (int64_t b = 0; b < m.series.size(); ++b)
        m.ours.push_back(m.series.lufsAt(b, 0, 1));
    m.meter = graph.shortTermLufs();
    return m;
}

} // namespace

Q_DECLARE_METATYPE(Tone)

class TestBlockPower : public QObject
{
    Q_OBJECT

private slots:
    void agreesWithTheMeter_data();
    void agreesWithTheMeter();
    void pairsFromTheSameBlocks();
};

void TestBlockPower::agreesWithTheMeter_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<Tone>("left");
    QTest::addColumn<Tone>("right");
    QTest::addColumn<double>("steady"); // the reading of a steady pair, NaN to skip
    QTest::newRow("1 kHz at -23 dBFS both sides: -23 LUFS") << 48000 << Tone{1000, -23} << Tone{1000, -23} << -23.0;
    // Where the weighting filter's shelf and high-pass bite, and levels stepping by 12 dB.
    QTest::newRow("low and high, stepping") << 48000 << Tone{60, -20, 12, 4.0} << Tone{9000, -26, 12, 5.0}
                                            << std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("44.1 kHz, stepping") << 44100 << Tone{200, -18, 20, 6.0} << Tone{3000, -30}
                                        << std::numeric_limits<double>::quiet_NaN();
}

void TestBlockPower::agreesWithTheMeter()
{
    QFETCH(int, rate);
    QFETCH(Tone, left);
    QFETCH(Tone, right);
    QFETCH(double, steady);
    const Measured m = measure(rate, 12.0, left, right);
    QVERIFY(m.ours.size() >= 119);
    QVERIFY(m.meter.size() >= 119);
    int compared = 0;
    // Past the first window, every block against the meter's value for the same 100 ms.
    for (size_t b = loudness::ShortTermBlocks; b < std::min(m.ours.size(), m.meter.size()); ++b) {
        QVERIFY2(std::abs(m.ours[b] - m.meter[b]) < 0.1,
                 qPrintable(QStringLiteral("block %1: %2 against the meter's %3").arg(b).arg(m.ours[b]).arg(m.meter[b])));
        if (!std::isnan(steady))
            QVERIFY2(std::abs(m.ours[b] - steady) < 0.1, qPrintable(QString::number(m.ours[b])));
        ++compared;
    }
    QVERIFY(compared > 80);
    // The first window fills from silence, as the meter's does.
    QVERIFY(m.ours[4] < m.ours[loudness::ShortTermBlocks] - 5.0);
}

void TestBlockPower::pairsFromTheSameBlocks()
{
    // Channel 0 at -23 dBFS, 1 at -33, 2 silent; 1 kHz.
    loudness::BlockPowerMeter meter(3, 48000);
    std::vector<float> a(48000 * 5), b(a.size()), silent(a.size(), 0.0f);
    for (size_t i = 0; i < a.size(); ++i) {
        const double s = std::sin(2.0 * kPi * 1000.0 * double(i) / 48000.0);
        a[i] = float(std::pow(10.0, -23.0 / 20.0) * s);
        b[i] = float(std::pow(10.0, -33.0 / 20.0) * s);
    }
    // Channels arrive unevenly: blocks come out only once all have them.
    meter.push(0, a.data(), int64_t(a.size()));
    meter.push(1, b.data(), 24000);
    meter.push(2, silent.data(), int64_t(silent.size()));
    loudness::ShortTermSeries series;
    series.append(loudness::PowerBlock{}); // dropped by clear
    series.clear();
    std::vector<loudness::PowerBlock> taken = meter.takeBlocks();
    QCOMPARE(taken.size(), size_t(5));
    QVERIFY(meter.takeBlocks().empty());
    meter.push(1, b.data() + 24000, int64_t(b.size()) - 24000);
    const std::vector<loudness::PowerBlock> rest = meter.takeBlocks();
    taken.insert(taken.end(), rest.begin(), rest.end());
    for (const loudness::PowerBlock &block : taken)
        series.append(block);
    QCOMPARE(series.size(), int64_t(50));

    const int64_t last = series.size() - 1; // a full window of tone (blocks 20..49)
    QVERIFY(std::abs(series.lufsAt(last, 0, 0) - -23.0) < 0.1);   // both sides carry channel 0
    QVERIFY(std::abs(series.lufsAt(last, 0, -1) - -26.01) < 0.1); // one side silent: half the power
    QVERIFY(std::abs(series.lufsAt(last, 1, 1) - -33.0) < 0.1);
    QCOMPARE(series.lufsAt(last, 0, 1), series.lufsAt(last, 1, 0));
    // Powers add: the pair reads the mean of the two channels' own both-sides powers.
    const double expected = 10.0 * std::log10((std::pow(10.0, -2.3) + std::pow(10.0, -3.3)) / 2.0);
    QVERIFY2(std::abs(series.lufsAt(last, 0, 1) - expected) < 0.1, qPrintable(QString::number(series.lufsAt(last, 0, 1))));
    QCOMPARE(series.lufsAt(last, 2, 2), -std::numeric_limits<double>::infinity());
    QCOMPARE(series.lufsAt(last, -1, -1), -std::numeric_limits<double>::infinity());
    QVERIFY(std::isnan(series.lufsAt(series.size(), 0, 1)));
    QVERIFY(std::isnan(series.lufsAt(-1, 0, 1)));
    // The block a picture's end falls in.
    QCOMPARE(loudness::ShortTermSeries::blockEndingAt(3.0), int64_t(29));
    QCOMPARE(loudness::ShortTermSeries::blockEndingAt(0.04), int64_t(0));
    QCOMPARE(loudness::ShortTermSeries::blockEndingAt(3.04), int64_t(30));
}

QTEST_APPLESS_MAIN(TestBlockPower)
#include "tst_blockpower.moc"
