// The detectors on made-up measurements: run lengths and bounds, what ends a run, severity,
// and the true-peak interpolation against the loudness meter's own figure.

#include "analysis/detectors.h"
#include "analysis/qctypes.h"
#include "analysis/truepeak.h"
#include "av/ffmpeg.h"
#include "loudness/loudnessgraph.h"

#include <QtTest>

#include <cmath>
#include <vector>

using namespace qc;

Q_DECLARE_METATYPE(std::vector<int>)

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Found {
    QList<Event> events;
    EventSink sink()
    {
        return [this](const Event &event) { events.append(event); };
    }
};

Settings only(Check check)
{
    Settings settings;
    settings.enabled.fill(false);
    settings.enabled[size_t(check)] = true;
    return settings;
}

// "first-last" pairs of the events, e.g. "3-7 10-10".
QString bounds(const QList<Event> &events)
{
    QStringList parts;
    for (const Event &event : events)
        parts.append(QStringLiteral("%1-%2").arg(event.startFrame).arg(event.endFrame));
    return parts.join(QLatin1Char(' '));
}

std::vector<float> sine(double amplitude, double frequency, double phase, int rate, double seconds)
{
    std::vector<float> samples(size_t(seconds * rate));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(amplitude * std::sin(2.0 * kPi * frequency * double(i) / rate + phase));
    return samples;
}

} // namespace

class TestQcDetectors : public QObject
{
    Q_OBJECT

private slots:
    // The meter prints its summary at the info level when it is freed.
    void initTestCase() { av_log_set_level(AV_LOG_WARNING); }
    void pictureRuns_data();
    void pictureRuns();
    void timestampGaps_data();
    void timestampGaps();
    void timecodeBreaks_data();
    void timecodeBreaks();
    void silence_data();
    void silence();
    void truePeakRuns();
    void truePeakInterpolation_data();
    void truePeakInterpolation();
    void truePeakAgreesWithTheLoudnessMeter();
    void loudnessVerdict_data();
    void loudnessVerdict();
    void presetsAndNames();
};

// One character per picture: 'B' black, 'S' the same as the one before, 'L' out of range,
// '.' ordinary. Frame numbers count from 0, or as listed in 'frames' (gaps allowed).
void TestQcDetectors::pictureRuns_data()
{
    QTest::addColumn<int>("check");
    QTest::addColumn<QString>("pictures");
    QTest::addColumn<std::vector<int>>("frames");
    QTest::addColumn<QString>("options"); // "minFrames" for black and levels, seconds for freeze
    QTest::addColumn<QString>("expected");

    const int black = int(Check::Black), freeze = int(Check::Freeze), levels = int(Check::Levels);
    QTest::newRow("black three frames") << black << "..BBB.." << std::vector<int>{} << "3" << "2-4";
    QTest::newRow("black two frames: too short") << black << "..BB..." << std::vector<int>{} << "3" << "";
    QTest::newRow("black at both ends") << black << "BBB...BBBB" << std::vector<int>{} << "3" << "0-2 6-9";
    QTest::newRow("one-frame flash, minimum 1") << black << "...B..." << std::vector<int>{} << "1" << "3-3";
    QTest::newRow("a missing number inside a run") << black << "BBB" << std::vector<int>{4, 5, 7} << "3" << "4-7";
    // 25 fps: 2 s is 50 pictures; the still starts with the picture the first repeat repeats.
    QTest::newRow("freeze exactly 2 s") << freeze << QString(".") + QString(49, QLatin1Char('S')) + QString("..")
                                        << std::vector<int>{} << "2" << "0-49";
    QTest::newRow("freeze one picture short") << freeze << QString(".") + QString(48, QLatin1Char('S')) + QString("..")
                                              << std::vector<int>{} << "2" << "";
    QTest::newRow("freeze to the last frame") << freeze << QString("...") + QString(60, QLatin1Char('S'))
                                              << std::vector<int>{} << "2" << "2-62";
    QTest::newRow("levels one frame") << levels << "..L.LL" << std::vector<int>{} << "1" << "2-2 4-5";
    QTest::newRow("levels minimum 2") << levels << "..L.LL" << std::vector<int>{} << "2" << "4-5";
}

void TestQcDetectors::pictureRuns()
{
    QFETCH(int, check);
    QFETCH(QString, pictures);
    QFETCH(std::vector<int>, frames);
    QFETCH(QString, options);
    QFETCH(QString, expected);

    Settings settings = only(Check(check));
    settings.thresholds.blackMinFrames = options.toInt();
    settings.thresholds.levelsMinFrames = options.toInt();
    settings.thresholds.freezeMinSec = options.toDouble();
    Timeline timeline{25.0, 0};
    Found found;
    PictureDetectors detectors(settings, timeline, found.sink());
    for (int i = 0; i < pictures.size(); ++i) {
        PictureStats stats;
        const QChar c = pictures.at(i);
        stats.blackFraction = c == QLatin1Char('B') ? 1.0 : 0.2;
        stats.outOfRangeFraction = c == QLatin1Char('L') ? 0.5 : 0.0;
        if (i > 0)
            stats.differenceDb = c == QLatin1Char('S') ? -90.0 : -30.0;
        detectors.feed(frames.empty() ? i : frames[size_t(i)], stats);
    }
    detectors.finish();
    QCOMPARE(bounds(found.events), expected);
    for (const Event &event : std::as_const(found.events)) {
        QCOMPARE(int(event.check), check);
        QCOMPARE(event.startSec, event.startFrame / 25.0);
        QCOMPARE(event.endSec, (event.endFrame + 1) / 25.0);
    }
}

void TestQcDetectors::timestampGaps_data()
{
    QTest::addColumn<std::vector<int>>("ticks"); // picture times in 1/100 s at 25 fps (4 ticks a frame)
    QTest::addColumn<QString>("expected");
    QTest::addColumn<double>("value");

    QTest::newRow("steady") << std::vector<int>{0, 4, 8, 12, 16} << "" << 0.0;
    QTest::newRow("one dropped") << std::vector<int>{0, 4, 8, 16, 20} << "3-3" << 2.0;
    QTest::newRow("three dropped") << std::vector<int>{0, 4, 20, 24} << "2-4" << 4.0;
    QTest::newRow("1.5 durations is still no gap") << std::vector<int>{0, 4, 10, 14} << "" << 0.0;
    QTest::newRow("a repeat") << std::vector<int>{0, 4, 4, 8} << "2-2" << 0.0;
}

void TestQcDetectors::timestampGaps()
{
    QFETCH(std::vector<int>, ticks);
    QFETCH(QString, expected);
    QFETCH(double, value);
    Timeline timeline{25.0, 0};
    Found found;
    TimestampGapDetector detector(Thresholds(), timeline, found.sink());
    int64_t previous = -1;
    for (int tick : ticks) {
        // The player numbers by timestamp; a repeated time repeats the number... plus one.
        int64_t number = tick / 4;
        if (number <= previous)
            number = previous + 1;
        detector.feed(number, tick / 100.0);
        previous = number;
    }
    QCOMPARE(bounds(found.events), expected);
    if (!found.events.isEmpty())
        QCOMPARE(found.events.first().value, value);
}

void TestQcDetectors::timecodeBreaks_data()
{
    QTest::addColumn<QStringList>("entries"); // "frame timecode [g]" (g: from a group header)
    QTest::addColumn<double>("fps");
    QTest::addColumn<QString>("expected");

    QTest::newRow("every frame, continuous") << QStringList{"0 10:00:00:00", "1 10:00:00:01", "2 10:00:00:02"} << 25.0 << "";
    QTest::newRow("every frame, a jump") << QStringList{"0 10:00:00:00", "1 10:00:00:01", "2 10:00:00:05"} << 25.0 << "2-2";
    QTest::newRow("every frame, a repeat") << QStringList{"0 10:00:00:00", "1 10:00:00:00"} << 25.0 << "1-1";
    QTest::newRow("over midnight") << QStringList{"0 23:59:59:24", "1 00:00:00:00"} << 25.0 << "";
    QTest::newRow("drop-frame minute") << QStringList{"0 00:00:59;29", "1 00:01:00;02"} << 29.97 << "";
    QTest::newRow("groups, continuous") << QStringList{"0 01:00:00:00 g", "15 01:00:00:15 g", "30 01:00:01:05 g"} << 25.0 << "";
    QTest::newRow("groups, reordering slack") << QStringList{"0 01:00:00:00 g", "17 01:00:00:15 g", "32 01:00:01:05 g"} << 25.0 << "";
    QTest::newRow("groups, a break") << QStringList{"0 01:00:00:00 g", "15 01:00:00:15 g", "30 05:00:00:00 g"} << 25.0 << "30-30";
    QTest::newRow("no valid timecode") << QStringList{"0 junk", "1 10:00:00:07"} << 25.0 << "";
}

void TestQcDetectors::timecodeBreaks()
{
    QFETCH(QStringList, entries);
    QFETCH(double, fps);
    QFETCH(QString, expected);
    Found found;
    TimecodeBreakDetector detector(Timeline{fps, 0}, found.sink());
    for (const QString &entry : entries) {
        const QStringList parts = entry.split(QLatin1Char(' '));
        detector.feed(parts.at(0).toLongLong(), parts.at(1).toStdString(), parts.size() > 2);
    }
    QCOMPARE(bounds(found.events), expected);
}

void TestQcDetectors::silence_data()
{
    QTest::addColumn<double>("silentFrom");
    QTest::addColumn<double>("silentTo");
    QTest::addColumn<double>("clipSeconds");
    QTest::addColumn<bool>("reported");

    QTest::newRow("2.5 s in the middle") << 1.0 << 3.5 << 5.0 << true;
    QTest::newRow("exactly 2 s") << 1.0 << 3.0 << 5.0 << true;
    QTest::newRow("1.99 s") << 1.0 << 2.99 << 5.0 << false;
    QTest::newRow("from the start") << 0.0 << 2.5 << 5.0 << true;
    QTest::newRow("to the end") << 2.0 << 5.0 << 5.0 << true;
}

void TestQcDetectors::silence()
{
    QFETCH(double, silentFrom);
    QFETCH(double, silentTo);
    QFETCH(double, clipSeconds);
    QFETCH(bool, reported);
    const int rate = 48000;
    // A cosine never passes through a sample of zero at these times; -70 dBFS counts as silent.
    std::vector<float> samples(size_t(clipSeconds * rate));
    for (size_t i = 0; i < samples.size(); ++i) {
        const double t = double(i) / rate;
        const bool silent = t >= silentFrom && t < silentTo;
        samples[i] = float((silent ? 0.0003 : 0.1) * std::cos(2.0 * kPi * 1000.0 * t));
    }
    Found found;
    ChannelDetectors detectors(2, rate, 0.0, only(Check::Silence), Timeline{25.0, 0}, found.sink());
    // In uneven pieces: runs must cross the boundaries of what is pushed.
    for (size_t at = 0; at < samples.size(); at += 1777)
        detectors.push(samples.data() + at, int64_t(std::min<size_t>(1777, samples.size() - at)));
    detectors.finish();
    QCOMPARE(found.events.size(), reported ? 1 : 0);
    if (!reported)
        return;
    const Event &event = found.events.first();
    QCOMPARE(event.channel, std::optional<int>(2));
    QVERIFY2(std::abs(event.startSec - silentFrom) < 1.0 / rate + 1e-9, qPrintable(QString::number(event.startSec)));
    QVERIFY2(std::abs(event.endSec - silentTo) < 1.0 / rate + 1e-9, qPrintable(QString::number(event.endSec)));
    QCOMPARE(event.startFrame, int64_t(std::floor(silentFrom * 25 + 1e-6)));
    QVERIFY(event.value < -69.0 && event.value > -71.0);
}

void TestQcDetectors::truePeakRuns()
{
    // 100 ms blocks at 48 kHz; a 1 kHz sine whose level steps per block: -3 dB (over -1? no),
    // then +0.5 twice (one error run), -1.5 (a warning run), -10 (nothing), +0.5 again.
    const int rate = 48000;
    const std::vector<double> levels = {-3.0, 0.5, 0.5, -1.5, -10.0, 0.5};
    std::vector<float> samples;
    for (double db : levels) {
        const std::vector<float> block = sine(std::pow(10.0, db / 20.0), 1000.0, 0.0, rate, 0.1);
        samples.insert(samples.end(), block.begin(), block.end());
    }
    Found found;
    ChannelDetectors detectors(1, rate, 0.0, only(Check::TruePeak), Timeline{25.0, 0}, found.sink());
    detectors.push(samples.data(), int64_t(samples.size()));
    detectors.finish();
    QCOMPARE(found.events.size(), 3);
    const struct {
        double start, end;
        Severity severity;
    } expected[] = {{0.1, 0.3, Severity::Error}, {0.3, 0.4, Severity::Warning}, {0.5, 0.6, Severity::Error}};
    for (int i = 0; i < 3; ++i) {
        const Event &event = found.events.at(i);
        QCOMPARE(event.severity, expected[i].severity);
        QVERIFY2(std::abs(event.startSec - expected[i].start) < 1e-9, qPrintable(QString::number(event.startSec)));
        QVERIFY2(std::abs(event.endSec - expected[i].end) < 1e-9, qPrintable(QString::number(event.endSec)));
        QCOMPARE(event.channel, std::optional<int>(1));
    }
    QVERIFY(std::abs(found.events.at(0).value - 0.5) < 0.05);
    QVERIFY(std::abs(found.events.at(1).value + 1.5) < 0.05);
}

void TestQcDetectors::truePeakInterpolation_data()
{
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("phase");
    QTest::addColumn<double>("amplitudeDb");
    QTest::addColumn<double>("samplePeakDb"); // what the samples alone show

    // A quarter of the rate at 45 degrees: every sample sits 3 dB below the crest.
    QTest::newRow("12 kHz at 45 degrees") << 12000.0 << kPi / 4 << 0.5 << 0.5 - 3.0103;
    QTest::newRow("1 kHz") << 1000.0 << 0.3 << -6.0 << -6.0;
    QTest::newRow("5 kHz") << 5000.0 << 0.1 << -1.0 << -1.3;
}

void TestQcDetectors::truePeakInterpolation()
{
    QFETCH(double, frequency);
    QFETCH(double, phase);
    QFETCH(double, amplitudeDb);
    QFETCH(double, samplePeakDb);
    const std::vector<float> samples = sine(std::pow(10.0, amplitudeDb / 20.0), frequency, phase, 48000, 0.5);
    double samplePeak = 0.0;
    for (float s : samples)
        samplePeak = std::max(samplePeak, double(std::abs(s)));
    QVERIFY(toDb(samplePeak) <= samplePeakDb + 0.35);
    double peak = 0.0;
    TruePeakMeter meter(4800, [&peak](int64_t, double value) { peak = std::max(peak, value); });
    meter.push(samples.data(), int64_t(samples.size()));
    meter.finish();
    QVERIFY2(std::abs(toDb(peak) - amplitudeDb) < 0.15, qPrintable(QString::number(toDb(peak))));
}

void TestQcDetectors::truePeakAgreesWithTheLoudnessMeter()
{
    // The meter the loudness figures come from oversamples on its own; both must agree on
    // an inter-sample peak. (Near a quarter of the rate it reads high: 12 kHz at 45 degrees,
    // truly -6.0 dBTP, reads -5.4 there.)
    const std::vector<float> samples = sine(0.5, 3000.0, 0.7, 48000, 2.0);
    LoudnessGraph graph;
    QCOMPARE(graph.build(48000), QString());
    const std::vector<double> wide(samples.begin(), samples.end());
    QCOMPARE(graph.feed(wide.data(), wide.data(), int64_t(wide.size())), QString());
    QCOMPARE(graph.finish(), QString());
    double peak = 0.0;
    TruePeakMeter meter(4800, [&peak](int64_t, double value) { peak = std::max(peak, value); });
    meter.push(samples.data(), int64_t(samples.size()));
    meter.finish();
    QVERIFY2(std::abs(toDb(peak) - graph.truePeakDb()) < 0.3,
             qPrintable(QStringLiteral("%1 vs %2").arg(toDb(peak)).arg(graph.truePeakDb())));
}

void TestQcDetectors::loudnessVerdict_data()
{
    QTest::addColumn<double>("lufs");
    QTest::addColumn<int>("preset");
    QTest::addColumn<int>("severity"); // -1: no event
    QTest::addColumn<double>("limit");

    const int none = -1, warning = int(Severity::Warning), error = int(Severity::Error);
    const int ebu = int(Preset::Ebu), atsc = int(Preset::Atsc);
    QTest::newRow("on target") << -23.0 << ebu << none << 0.0;
    QTest::newRow("half an LU off") << -22.5 << ebu << none << 0.0;
    QTest::newRow("near the upper edge") << -22.2 << ebu << warning << -22.0;
    QTest::newRow("too loud") << -20.3 << ebu << error << -22.0;
    QTest::newRow("too quiet") << -24.6 << ebu << error << -24.0;
    QTest::newRow("atsc: near the lower edge") << -25.5 << atsc << warning << -26.0;
    QTest::newRow("atsc: in the middle") << -24.5 << atsc << none << 0.0;
    QTest::newRow("atsc: too loud") << -21.9 << atsc << error << -22.0;
    QTest::newRow("nothing measured") << std::nan("") << ebu << none << 0.0;
}

void TestQcDetectors::loudnessVerdict()
{
    QFETCH(double, lufs);
    QFETCH(int, preset);
    QFETCH(int, severity);
    QFETCH(double, limit);
    const std::optional<Event> event =
        loudnessEvent(lufs, presetThresholds(Preset(preset)), Timeline{25.0, 300}, 12.0, 0, 1);
    QCOMPARE(event.has_value(), severity >= 0);
    if (!event)
        return;
    QCOMPARE(int(event->severity), severity);
    QCOMPARE(event->limit, limit);
    QCOMPARE(event->startFrame, int64_t(0));
    QCOMPARE(event->endFrame, int64_t(299));
    QCOMPARE(event->endSec, 12.0);
}

void TestQcDetectors::presetsAndNames()
{
    QCOMPARE(presetThresholds(Preset::Ebu).loudnessTarget, -23.0);
    QCOMPARE(presetThresholds(Preset::Ebu).truePeakDb, -1.0);
    for (Preset preset : {Preset::Atsc, Preset::Streaming}) {
        QCOMPARE(presetThresholds(preset).loudnessTarget, -24.0);
        QCOMPARE(presetThresholds(preset).loudnessTolerance, 2.0);
        QCOMPARE(presetThresholds(preset).truePeakDb, -2.0);
        QCOMPARE(presetFromName(presetName(preset)), std::optional<Preset>(preset));
    }
    for (Check check : AllChecks)
        QCOMPARE(checkFromName(checkName(check)), std::optional<Check>(check));
    QCOMPARE(checkName(Check::TruePeak), QStringLiteral("truePeak"));
    QVERIFY(!checkFromName(QStringLiteral("blackness")));
}

QTEST_GUILESS_MAIN(TestQcDetectors)
#include "tst_qcdetectors.moc"
