#include "loudness/channelfifo.h"

#include <QtTest>

#include <vector>

namespace {

constexpr int kRate = 48000; // tolerance 240 samples (5 ms)

struct Push {
    int64_t count;
    int64_t startSample; // where the block belongs, in samples from 0
    double value;
};

} // namespace

Q_DECLARE_METATYPE(std::vector<Push>)

class TestChannelFifo : public QObject
{
    Q_OBJECT

private slots:
    void placement_data();
    void placement();
    void startsAtItsHeadTime();
};

void TestChannelFifo::placement_data()
{
    QTest::addColumn<std::vector<Push>>("pushes");
    QTest::addColumn<int64_t>("popFirst");      // popped after the first push (beyond its size: silence)
    QTest::addColumn<QList<double>>("expected"); // queue content after everything, run-length: value, count, ...

    QTest::newRow("seamless") << std::vector<Push>{{100, 0, 1}, {100, 100, 2}} << int64_t(0)
                              << QList<double>{1, 100, 2, 100};
    QTest::newRow("late within 5 ms is seamless") << std::vector<Push>{{100, 0, 1}, {100, 340, 2}} << int64_t(0)
                                                  << QList<double>{1, 100, 2, 100};
    QTest::newRow("early within 5 ms is seamless") << std::vector<Push>{{100, 0, 1}, {100, -140, 2}} << int64_t(0)
                                                   << QList<double>{1, 100, 2, 100};
    QTest::newRow("gap fills with silence") << std::vector<Push>{{100, 0, 1}, {100, 1100, 2}} << int64_t(0)
                                            << QList<double>{1, 100, 0, 1000, 2, 100};
    QTest::newRow("overlap drops the new head") << std::vector<Push>{{1000, 0, 1}, {1000, 500, 2}} << int64_t(0)
                                                << QList<double>{1, 1000, 2, 500};
    QTest::newRow("overlap swallows a whole block") << std::vector<Push>{{1000, 0, 1}, {300, 100, 2}} << int64_t(0)
                                                    << QList<double>{1, 1000};
    // What was already measured still counts: a gap right after the queue ran dry is kept.
    QTest::newRow("gap after the queue ran dry") << std::vector<Push>{{100, 0, 1}, {100, 1100, 2}} << int64_t(100)
                                                 << QList<double>{0, 1000, 2, 100};
    QTest::newRow("overlap after the queue ran dry") << std::vector<Push>{{1000, 0, 1}, {1000, 500, 2}} << int64_t(1000)
                                                     << QList<double>{2, 500};
    // Silence popped past the end stands for measured time: what follows lines up after it.
    QTest::newRow("popped silence counts") << std::vector<Push>{{100, 0, 1}, {100, 1300, 2}} << int64_t(300)
                                           << QList<double>{0, 1000, 2, 100};
    QTest::newRow("popped silence then overlap") << std::vector<Push>{{100, 0, 1}, {1000, 0, 2}} << int64_t(600)
                                                 << QList<double>{2, 400};
}

void TestChannelFifo::placement()
{
    QFETCH(std::vector<Push>, pushes);
    QFETCH(int64_t, popFirst);
    QFETCH(QList<double>, expected);

    ChannelFifo fifo(kRate);
    QCOMPARE(fifo.toleranceSamples(), int64_t(240));
    for (size_t i = 0; i < pushes.size(); ++i) {
        const Push &push = pushes[i];
        const std::vector<double> block(size_t(push.count), push.value);
        fifo.push(block.data(), push.count, double(push.startSample) / kRate);
        if (i == 0 && popFirst > 0) {
            std::vector<double> out(static_cast<size_t>(popFirst));
            fifo.pop(out.data(), popFirst);
            QCOMPARE(out.front(), push.value);
            QCOMPARE(out.back(), popFirst > push.count ? 0.0 : push.value);
        }
    }
    std::vector<double> content(size_t(fifo.size()));
    fifo.pop(content.data(), fifo.size());
    QList<double> runs;
    for (double v : content) {
        if (!runs.isEmpty() && runs.at(runs.size() - 2) == v)
            runs.last() += 1;
        else
            runs << v << 1;
    }
    QCOMPARE(runs, expected);
    QCOMPARE(fifo.size(), int64_t(0));
}

void TestChannelFifo::startsAtItsHeadTime()
{
    // A queue that starts at 1 s puts samples stamped 1.5 s after half a second of silence.
    ChannelFifo fifo(kRate, 1.0);
    const std::vector<double> block(100, 1.0);
    fifo.push(block.data(), 100, 1.5);
    QCOMPARE(fifo.size(), int64_t(kRate / 2 + 100));
    QCOMPARE(fifo.headTimeSec(), 1.0);
}

QTEST_GUILESS_MAIN(TestChannelFifo)
#include "tst_channelfifo.moc"
