#include "engine/decodeplan.h"

#include <QtTest>

#include <optional>

using namespace decodeplan;

Q_DECLARE_METATYPE(decodeplan::StreamClock)

namespace {

StreamClock clock(int num, int den, std::optional<int64_t> start, double fps)
{
    StreamClock c;
    c.timeBaseNum = num;
    c.timeBaseDen = den;
    c.startTime = start;
    c.fps = fps;
    return c;
}

constexpr int64_t NoTimestamp = INT64_MIN; // stands for a frame without timestamp in tables

} // namespace

class TestDecodePlan : public QObject
{
    Q_OBJECT

private slots:
    void queueTargets_data();
    void queueTargets();
    void frameNumbers_data();
    void frameNumbers();
    void numberingSequences_data();
    void numberingSequences();
    void countingRestartsAfterSeek();
    void numbersStayInsideTheFile_data();
    void numbersStayInsideTheFile();
    void seekTimestamps_data();
    void seekTimestamps();
    void reseekBackoff();
};

void TestDecodePlan::queueTargets_data()
{
    QTest::addColumn<bool>("stabilizer");
    QTest::addColumn<bool>("big");
    QTest::addColumn<double>("fps");
    QTest::addColumn<bool>("hasAudio");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<double>("lead");

    QTest::newRow("stabilised HD 25") << true << false << 25.0 << true << 13 << 20 << 0.55;
    QTest::newRow("stabilised UHD 25") << true << true << 25.0 << true << 12 << 18 << 0.55;
    QTest::newRow("stabilised HD 60") << true << false << 60.0 << true << 20 << 30 << 0.55;
    QTest::newRow("stabilised UHD 60") << true << true << 60.0 << true << 12 << 18 << 0.55;
    QTest::newRow("stabilised HD 12") << true << false << 12.0 << true << 10 << 10 << 0.55;
    QTest::newRow("stabilised 29.97") << true << false << 30000.0 / 1001 << true << 15 << 24 << 0.55;
    QTest::newRow("plain 25") << false << true << 25.0 << true << 10 << 32 << 0.45;
    QTest::newRow("plain 60") << false << true << 60.0 << true << 10 << 60 << 0.45;
    QTest::newRow("plain 6") << false << false << 6.0 << true << 10 << 10 << 0.45;
    QTest::newRow("plain, no audio") << false << false << 25.0 << false << 10 << 10 << 0.0;
    QTest::newRow("stabilised, no audio") << true << false << 25.0 << false << 13 << 13 << 0.0;
    QTest::newRow("unknown rate") << true << false << 0.0 << true << 10 << 10 << 0.55;
    QTest::newRow("NaN rate") << false << false << qQNaN() << true << 10 << 10 << 0.45;
}

void TestDecodePlan::queueTargets()
{
    QFETCH(bool, stabilizer);
    QFETCH(bool, big);
    QFETCH(double, fps);
    QFETCH(bool, hasAudio);
    const QueueTargets targets = decodeplan::queueTargets(stabilizer, big, fps, hasAudio);
    QTEST(targets.minimumDepth, "minimum");
    QTEST(targets.maximumDepth, "maximum");
    QTEST(targets.audioLeadSec, "lead");
}

void TestDecodePlan::frameNumbers_data()
{
    QTest::addColumn<qint64>("timestamp");
    QTest::addColumn<StreamClock>("streamClock");
    QTest::addColumn<qint64>("expected");

    const StreamClock mov = clock(1, 12800, 0, 25);
    QTest::newRow("exact tick") << qint64(512 * 37) << mov << qint64(37);
    QTest::newRow("a tick early still that frame") << qint64(512 * 37 - 1) << mov << qint64(37);
    QTest::newRow("half a frame later") << qint64(512 * 37 + 256) << mov << qint64(37);
    QTest::newRow("29.97") << qint64(1001 * 45) << clock(1, 30000, 0, 30000.0 / 1001) << qint64(45);
    QTest::newRow("29.97 millisecond ticks") << qint64(1502) << clock(1, 1000, 0, 30000.0 / 1001) << qint64(45);
    QTest::newRow("transport stream start")
        << qint64(126000 + 3600 * 10) << clock(1, 90000, 126000, 25) << qint64(10);
    QTest::newRow("no start") << qint64(3600 * 10) << clock(1, 90000, std::nullopt, 25) << qint64(10);
    QTest::newRow("before the start") << qint64(126000 - 3600) << clock(1, 90000, 126000, 25) << qint64(-1);
    QTest::newRow("large start keeps precision")
        << qint64(8589934592LL * 3 + 3600 * 7) << clock(1, 90000, 8589934592LL * 3, 25) << qint64(7);
    QTest::newRow("no time base") << qint64(100) << clock(1, 0, 0, 25) << qint64(0);
}


void TestDecodePlan::frameNumbers()
{
    QFETCH(qint64, timestamp);
    QFETCH(StreamClock, streamClock);
    QTEST(qint64(frameNumberFromTimestamp(timestamp, streamClock)), "expected");
}

// Timestamps of successive decoded frames after a seek, and the numbers they get.
void TestDecodePlan::numberingSequences_data()
{
    QTest::addColumn<bool>("manualFromStart");
    QTest::addColumn<QList<qint64>>("timestamps");
    QTest::addColumn<QList<qint64>>("expected");
    QTest::addColumn<int>("stallAt"); // index of the frame that switches to counting, or -1

    QList<qint64> zeros(40, 0);
    QList<qint64> stalled;
    for (int i = 0; i < 40; ++i)
        stalled.append(i <= 31 ? 0 : i);
    QTest::newRow("timestamps stuck at the start") << false << zeros << stalled << 31;

    QList<qint64> shortRun(31, 0);
    QTest::newRow("31 zeros are not yet a stall") << false << shortRun << QList<qint64>(31, 0) << -1;

    QTest::newRow("moving timestamps") << false << QList<qint64>{0, 512, 1024, 1536}
                                       << QList<qint64>{0, 1, 2, 3} << -1;
    QTest::newRow("a frame without timestamp follows its predecessor")
        << false << QList<qint64>{512 * 10, NoTimestamp, 512 * 12} << QList<qint64>{10, 11, 12} << -1;
    QTest::newRow("no timestamps at all count from 0")
        << false << QList<qint64>{NoTimestamp, NoTimestamp, NoTimestamp} << QList<qint64>{0, 1, 2} << -1;
    QTest::newRow("container without timestamps counts")
        << true << QList<qint64>{512 * 40, 512 * 41, 0} << QList<qint64>{0, 1, 2} << -1;
}

void TestDecodePlan::numberingSequences()
{
    QFETCH(bool, manualFromStart);
    QFETCH(QList<qint64>, timestamps);
    QFETCH(QList<qint64>, expected);
    QFETCH(int, stallAt);

    NumberingState state;
    state.manualFrameCounter = manualFromStart;
    const StreamClock mov = clock(1, 12800, 0, 25);
    for (int i = 0; i < timestamps.size(); ++i) {
        const std::optional<int64_t> ts = timestamps[i] == NoTimestamp ? std::nullopt : std::optional<int64_t>(timestamps[i]);
        const NumberedFrame frame = numberFrame(state, ts, mov);
        QCOMPARE(qint64(frame.number), expected[i]);
        QCOMPARE(frame.stallDetected, i == stallAt);
    }
    QCOMPARE(state.framesDecodedSinceSeek, timestamps.size());
    QCOMPARE(state.manualFrameCounter, manualFromStart || stallAt >= 0);
}

// After a seek the engine zeroes the count: counted streams number from 0 again, and the
// switch to counting, once made, stays.
void TestDecodePlan::countingRestartsAfterSeek()
{
    NumberingState state;
    const StreamClock mov = clock(1, 12800, 0, 25);
    for (int i = 0; i < 32; ++i)
        numberFrame(state, 0, mov);
    QVERIFY(state.manualFrameCounter);

    state.framesDecodedSinceSeek = 0;
    state.lastNumber = -1;
    QCOMPARE(numberFrame(state, 512 * 70, mov).number, 0);
    QCOMPARE(numberFrame(state, 512 * 71, mov).number, 1);
    QVERIFY(state.manualFrameCounter);
}

// Damaged timestamps (a flipped bit in a transport stream, a wrapped clock) must not
// number a frame outside 0 .. frameCount - 1.
void TestDecodePlan::numbersStayInsideTheFile_data()
{
    QTest::addColumn<bool>("manualFromStart");
    QTest::addColumn<qint64>("frameCount");
    QTest::addColumn<QList<qint64>>("timestamps");
    QTest::addColumn<QList<qint64>>("expected");
    QTest::addColumn<QList<int>>("jumpsAt"); // frames that start a run outside the file

    const qint64 flipped = qint64(1) << 30; // bit 30 of a 90 kHz PTS: some 12000 s later
    QTest::newRow("one flipped timestamp") << false << qint64(100)
        << QList<qint64>{512 * 10, 512 * 11, flipped, 512 * 13} << QList<qint64>{10, 11, 12, 13} << QList<int>{2};
    QTest::newRow("a run beyond the end, then back")
        << false << qint64(100) << QList<qint64>{512 * 10, flipped, flipped + 512, flipped + 1024, 512 * 14}
        << QList<qint64>{10, 11, 12, 13, 14} << QList<int>{1};
    QTest::newRow("first frame after a seek outside") << false << qint64(100)
        << QList<qint64>{flipped, 512 * 5} << QList<qint64>{0, 5} << QList<int>{0};
    QTest::newRow("backwards jump") << false << qint64(100)
        << QList<qint64>{512 * 20, -flipped, 512 * 22} << QList<qint64>{20, 21, 22} << QList<int>{1};
    QTest::newRow("two separate jumps") << false << qint64(100)
        << QList<qint64>{512 * 1, flipped, 512 * 3, flipped * 2} << QList<qint64>{1, 2, 3, 4} << QList<int>{1, 3};
    QTest::newRow("counting never reaches the frame count") << false << qint64(100)
        << QList<qint64>{512 * 98, 512 * 99, flipped, flipped + 512} << QList<qint64>{98, 99, 99, 99}
        << QList<int>{2};
    QTest::newRow("the frame at the count itself") << false << qint64(100)
        << QList<qint64>{512 * 99, 512 * 100} << QList<qint64>{99, 99} << QList<int>{1};
    QTest::newRow("manual counting capped too") << true << qint64(3)
        << QList<qint64>{0, 0, 0, 0, 0} << QList<qint64>{0, 1, 2, 2, 2} << QList<int>{};
    // A single-frame or unknown count sets no bound.
    QTest::newRow("no frame count") << false << qint64(0)
        << QList<qint64>{512 * 10, 512 * 5000} << QList<qint64>{10, 5000} << QList<int>{};
}

void TestDecodePlan::numbersStayInsideTheFile()
{
    QFETCH(bool, manualFromStart);
    QFETCH(qint64, frameCount);
    QFETCH(QList<qint64>, timestamps);
    QFETCH(QList<qint64>, expected);
    QFETCH(QList<int>, jumpsAt);

    NumberingState state;
    state.manualFrameCounter = manualFromStart;
    StreamClock mov = clock(1, 12800, 0, 25);
    mov.frameCount = frameCount;
    QList<qint64> numbers;
    QList<int> jumps;
    for (int i = 0; i < timestamps.size(); ++i) {
        const NumberedFrame frame = numberFrame(state, timestamps[i], mov);
        numbers.append(frame.number);
        if (frame.jumpDetected)
            jumps.append(i);
    }
    QCOMPARE(numbers, expected);
    QCOMPARE(jumps, jumpsAt);
    // A jump is no stall: timestamps are read again once they return.
    QCOMPARE(state.manualFrameCounter, manualFromStart);
}

void TestDecodePlan::seekTimestamps_data()
{
    QTest::addColumn<qint64>("frame");
    QTest::addColumn<StreamClock>("streamClock");
    QTest::addColumn<double>("earlier");
    QTest::addColumn<qint64>("expected");

    const StreamClock mov = clock(1, 12800, 0, 25);
    const StreamClock ts = clock(1, 90000, 126000, 25);
    QTest::newRow("frame time") << qint64(47) << mov << 0.0 << qint64(47 * 512);
    QTest::newRow("start added") << qint64(10) << ts << 0.0 << qint64(126000 + 36000);
    QTest::newRow("frame 0 at the start") << qint64(0) << ts << 0.0 << qint64(126000);
    QTest::newRow("a second earlier") << qint64(47) << mov << 1.0 << qint64(22 * 512);
    QTest::newRow("re-seek may pass the start") << qint64(47) << mov << 2.0 << qint64(-3 * 512);
    QTest::newRow("but by a second at most") << qint64(47) << mov << 8.0 << qint64(-12800);
    QTest::newRow("transport stream floor") << qint64(5) << ts << 4.0 << qint64(126000 - 90000);
    QTest::newRow("29.97 rounds to the nearest tick")
        << qint64(46) << clock(1, 1000, 0, 30000.0 / 1001) << 0.0 << qint64(1535);
    QTest::newRow("unknown rate seeks to the start") << qint64(45) << clock(1, 90000, 900, 0) << 0.0 << qint64(900);
}

void TestDecodePlan::seekTimestamps()
{
    QFETCH(qint64, frame);
    QFETCH(StreamClock, streamClock);
    QFETCH(double, earlier);
    QTEST(qint64(seekTimestamp(frame, streamClock, earlier)), "expected");
}

void TestDecodePlan::reseekBackoff()
{
    QVERIFY(!reseekBackoffSec(0));
    double previous = 0;
    for (int attempt = 1; attempt <= MaxReseekAttempts; ++attempt) {
        const std::optional<double> backoff = reseekBackoffSec(attempt);
        QVERIFY(backoff);
        QVERIFY(*backoff > previous); // every attempt starts further back
        previous = *backoff;
    }
    QCOMPARE(*reseekBackoffSec(1), 1.0);
    QVERIFY(previous >= 30.0); // reaches past the longest GOPs in use (10 s and more)
    QVERIFY(!reseekBackoffSec(MaxReseekAttempts + 1));
}

QTEST_APPLESS_MAIN(TestDecodePlan)
#include "tst_decodeplan.moc"
