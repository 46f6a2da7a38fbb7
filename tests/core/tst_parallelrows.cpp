// The shared band runner: every band exactly once, the caller's own thread used, and no
// wait on a pool thread that is not coming (a call from inside a band, or several callers
// at once on a pool smaller than their bands).

#include "core/parallelrows.h"

#include <QThread>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// Ends the process if 'body' has not returned within the limit: a deadlock must fail the
// test, not hang the suite.
template <typename Body>
void withinSeconds(int seconds, const char *what, Body body)
{
    std::atomic<bool> done{false};
    std::thread watchdog([&done, seconds, what] {
        for (int i = 0; i < seconds * 10 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) {
            std::fprintf(stderr, "FAIL: %s did not finish within %d s\n", what, seconds);
            std::_Exit(1);
        }
    });
    body();
    done = true;
    watchdog.join();
}

} // namespace

class TestParallelRows : public QObject
{
    Q_OBJECT

private slots:
    void bandsCoverEveryRowOnce_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("bands");
        QTest::newRow("even split") << 1080 << 4;
        QTest::newRow("uneven split") << 1081 << 7;
        QTest::newRow("more bands than rows") << 3 << 8;
        QTest::newRow("one band") << 720 << 1;
        QTest::newRow("no rows") << 0 << 3;
        QTest::newRow("rows near the int limit") << 2000000000 << 3;
    }
    void bandsCoverEveryRowOnce()
    {
        QFETCH(int, rows);
        QFETCH(int, bands);
        int next = 0;
        int smallest = rows;
        int largest = 0;
        for (int band = 0; band < bands; ++band) {
            const parallel::Rows r = parallel::bandRows(rows, band, bands);
            QCOMPARE(r.first, next);
            QVERIFY(r.end >= r.first);
            smallest = std::min(smallest, r.end - r.first);
            largest = std::max(largest, r.end - r.first);
            next = r.end;
        }
        QCOMPARE(next, rows);
        QVERIFY(largest - smallest <= 1);
    }

    void everyBandRunsOnce_data()
    {
        QTest::addColumn<int>("bands");
        QTest::newRow("none") << 0;
        QTest::newRow("one") << 1;
        QTest::newRow("two") << 2;
        QTest::newRow("more than the cores") << parallel::coreCount() * 4 + 3;
    }
    void everyBandRunsOnce()
    {
        QFETCH(int, bands);
        std::vector<std::atomic<int>> runs(size_t(std::max(bands, 1)));
        std::atomic<QThread *> firstBandThread{nullptr};
        std::atomic<int> outOfRange{0};
        parallel::forEachBand(bands, [&](int band) {
            if (band < 0 || band >= bands) {
                outOfRange.fetch_add(1);
                return;
            }
            runs[size_t(band)].fetch_add(1);
            if (band == 0)
                firstBandThread = QThread::currentThread();
        });
        QCOMPARE(outOfRange.load(), 0);
        for (int band = 0; band < bands; ++band)
            QCOMPARE(runs[size_t(band)].load(), 1);
        // The caller works too instead of only waiting.
        if (bands > 0)
            QCOMPARE(firstBandThread.load(), QThread::currentThread());
    }

    // Every band of an outer call starts an inner call: with the pool's threads all busy in
    // outer bands, the inner bands must still be run (by their caller).
    void callsFromInsideABandFinish()
    {
        const int outer = parallel::coreCount() * 2 + 2;
        const int inner = 9;
        std::atomic<int> total{0};
        withinSeconds(60, "a nested band call", [&] {
            parallel::forEachBand(outer, [&](int) {
                parallel::forEachBand(inner, [&](int) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    total.fetch_add(1);
                });
            });
        });
        QCOMPARE(total.load(), outer * inner);
    }

    void concurrentCallersEachGetAllTheirBands()
    {
        constexpr int callers = 4;
        constexpr int bands = 16;
        std::vector<std::atomic<int>> counts(callers * bands);
        withinSeconds(60, "concurrent band calls", [&] {
            std::vector<std::thread> threads;
            for (int c = 0; c < callers; ++c) {
                threads.emplace_back([&counts, c] {
                    for (int repeat = 0; repeat < 20; ++repeat)
                        parallel::forEachBand(bands, [&counts, c](int band) { counts[size_t(c * bands + band)]++; });
                });
            }
            for (std::thread &t : threads)
                t.join();
        });
        for (const std::atomic<int> &count : counts)
            QCOMPARE(count.load(), 20);
    }
};

QTEST_GUILESS_MAIN(TestParallelRows)
#include "tst_parallelrows.moc"
