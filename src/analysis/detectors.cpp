#include "analysis/detectors.h"

#include "core/timecode.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qc {

namespace {

// Frame arithmetic absorbs the binary noise of times such as 0.1 x 3.
constexpr double kTimeEpsilon = 1e-6;
// A difference of exactly zero is reported at this floor rather than as minus infinity.
constexpr double kDifferenceFloorDb = -120.0;

int64_t framesFor(double seconds, double fps)
{
    return std::max<int64_t>(1, int64_t(std::ceil(seconds * fps - kTimeEpsilon)));
}

QString secondsText(double seconds)
{
    return QString::number(seconds, 'f', 2);
}

QString dbText(double db)
{
    if (!std::isfinite(db))
        return QStringLiteral("-inf");
    return (db > 0 ? QStringLiteral("+") : QString()) + QString::number(db, 'f', 1);
}

} // namespace

double toDb(double linear)
{
    return linear > 0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

// ---- Timeline ----------------------------------------------------------------------------

int64_t Timeline::frameAt(double seconds) const
{
    int64_t frame = fps > 0 ? int64_t(std::floor(seconds * fps + kTimeEpsilon)) : 0;
    if (totalFrames > 0)
        frame = std::min(frame, totalFrames - 1);
    return std::max<int64_t>(0, frame);
}

int64_t Timeline::lastFrameBefore(double seconds) const
{
    int64_t frame = fps > 0 ? int64_t(std::ceil(seconds * fps - kTimeEpsilon)) - 1 : 0;
    if (totalFrames > 0)
        frame = std::min(frame, totalFrames - 1);
    return std::max<int64_t>(0, frame);
}

Event Timeline::frameEvent(Check check, int64_t first, int64_t last) const
{
    Event event;
    event.check = check;
    event.startFrame = first;
    event.endFrame = std::max(first, last);
    event.startSec = secondsOf(event.startFrame);
    event.endSec = secondsOf(event.endFrame + 1);
    return event;
}

Event Timeline::timeEvent(Check check, double startSec, double endSec) const
{
    Event event;
    event.check = check;
    event.startSec = startSec;
    event.endSec = std::max(startSec, endSec);
    event.startFrame = frameAt(startSec);
    event.endFrame = std::max(event.startFrame, lastFrameBefore(event.endSec));
    return event;
}

// ---- FrameRun ----------------------------------------------------------------------------

FrameRun::FrameRun(int64_t minFrames, bool higherIsWorse)
    : m_minFrames(std::max<int64_t>(1, minFrames))
    , m_higherIsWorse(higherIsWorse)
{
}

std::optional<FrameRun::Run> FrameRun::feed(int64_t frame, bool holds, double value,
                                            std::optional<int64_t> firstOverride)
{
    if (!holds)
        return finish();
    if (m_run) {
        m_run->last = std::max(m_run->last, frame);
        m_run->extreme = m_higherIsWorse ? std::max(m_run->extreme, value) : std::min(m_run->extreme, value);
    } else {
        m_run = Run{std::min(firstOverride.value_or(frame), frame), frame, value};
    }
    return std::nullopt;
}

std::optional<FrameRun::Run> FrameRun::finish()
{
    std::optional<Run> closed;
    if (m_run && m_run->last - m_run->first + 1 >= m_minFrames)
        closed = m_run;
    m_run.reset();
    return closed;
}

// ---- pictures ----------------------------------------------------------------------------

PictureDetectors::PictureDetectors(const Settings &settings, const Timeline &timeline, EventSink sink)
    : m_settings(settings)
    , m_timeline(timeline)
    , m_sink(std::move(sink))
    , m_black(settings.thresholds.blackMinFrames, false)
    , m_freeze(framesFor(settings.thresholds.freezeMinSec, timeline.fps), true)
    , m_levels(settings.thresholds.levelsMinFrames, true)
{
}

void PictureDetectors::feed(int64_t frame, const PictureStats &stats)
{
    const Thresholds &t = m_settings.thresholds;
    if (m_settings.isEnabled(Check::Black)) {
        const bool black = stats.blackFraction >= t.blackPictureFraction;
        if (auto run = m_black.feed(frame, black, stats.blackFraction))
            report(Check::Black, *run);
    }
    if (m_settings.isEnabled(Check::Freeze)) {
        const bool still = stats.differenceDb && *stats.differenceDb < t.freezeNoiseDb;
        const double db = stats.differenceDb ? std::max(*stats.differenceDb, kDifferenceFloorDb) : 0.0;
        // The still picture starts with the one the first unchanged picture repeats.
        if (auto run = m_freeze.feed(frame, still, db, m_previousFrame))
            report(Check::Freeze, *run);
    }
    if (m_settings.isEnabled(Check::Levels)) {
        const bool outside = stats.outOfRangeFraction > t.levelsPictureFraction;
        if (auto run = m_levels.feed(frame, outside, stats.outOfRangeFraction))
            report(Check::Levels, *run);
    }
    m_previousFrame = frame;
}

void PictureDetectors::finish()
{
    if (auto run = m_black.finish())
        report(Check::Black, *run);
    if (auto run = m_freeze.finish())
        report(Check::Freeze, *run);
    if (auto run = m_levels.finish())
        report(Check::Levels, *run);
}

void PictureDetectors::report(Check check, const FrameRun::Run &run)
{
    const Thresholds &t = m_settings.thresholds;
    Event event = m_timeline.frameEvent(check, run.first, run.last);
    event.value = run.extreme;
    const int64_t frames = run.last - run.first + 1;
    switch (check) {
    case Check::Black:
        event.limit = t.blackPictureFraction;
        event.message = QStringLiteral("black for %1 frames").arg(frames);
        break;
    case Check::Freeze:
        event.limit = t.freezeNoiseDb;
        event.message = QStringLiteral("frozen for %1 s (%2 frames)").arg(secondsText(event.endSec - event.startSec)).arg(frames);
        break;
    default:
        event.limit = t.levelsPictureFraction;
        event.message = QStringLiteral("levels outside %1..%2 percent on up to %3 percent of the picture for %4 frames")
                            .arg(t.levelsLow * 100.0, 0, 'f', 0)
                            .arg(t.levelsHigh * 100.0, 0, 'f', 0)
                            .arg(run.extreme * 100.0, 0, 'f', 1)
                            .arg(frames);
        break;
    }
    m_sink(event);
}

// ---- timestamps and timecodes ----------------------------------------------------------

TimestampGapDetector::TimestampGapDetector(const Thresholds &thresholds, const Timeline &timeline, EventSink sink)
    : m_thresholds(thresholds)
    , m_timeline(timeline)
    , m_sink(std::move(sink))
{
}

void TimestampGapDetector::feed(int64_t frame, std::optional<double> seconds)
{
    if (!seconds || !std::isfinite(*seconds) || !(m_timeline.fps > 0))
        return;
    if (m_previous) {
        const auto [previousFrame, previousSec] = *m_previous;
        const double durations = (*seconds - previousSec) * m_timeline.fps;
        if (durations > m_thresholds.gapFactor + kTimeEpsilon) {
            int64_t first = previousFrame + 1;
            int64_t last = frame - 1;
            if (last < first)
                first = last = frame;
            Event event = m_timeline.frameEvent(Check::TimestampGap, first, last);
            event.value = durations;
            event.limit = m_thresholds.gapFactor;
            const int64_t missing = std::max<int64_t>(1, std::llround(durations) - 1);
            event.message = QStringLiteral("%1 picture%2 missing: the timestamp jumps by %3 frame durations")
                                .arg(missing)
                                .arg(missing == 1 ? QString() : QStringLiteral("s"))
                                .arg(durations, 0, 'f', 2);
            m_sink(event);
        } else if (durations < kTimeEpsilon) {
            Event event = m_timeline.frameEvent(Check::TimestampGap, frame, frame);
            event.value = durations;
            event.limit = m_thresholds.gapFactor;
            event.message = durations > -kTimeEpsilon ? QStringLiteral("the timestamp repeats")
                                                      : QStringLiteral("the timestamp goes back by %1 frame durations")
                                                            .arg(-durations, 0, 'f', 2);
            m_sink(event);
        }
    }
    m_previous = std::make_pair(frame, *seconds);
}

TimecodeBreakDetector::TimecodeBreakDetector(const Timeline &timeline, EventSink sink)
    : m_timeline(timeline)
    , m_sink(std::move(sink))
{
}

void TimecodeBreakDetector::feed(int64_t frame, const std::string &timecodeText, bool fromGroupHeader)
{
    const bool dropFrame = timecodeText.find(';') != std::string::npos;
    const std::optional<Timecode> timecode =
        Timecode::create(Timecode::nominalRateText(m_timeline.fps), dropFrame, timecodeText);
    if (!timecode)
        return;
    Seen seen{frame, timecode->frames() % timecode->framesPerDay(), timecode->framesPerDay(), timecodeText, dropFrame};
    if (m_previous && m_previous->dropFrame == dropFrame && m_previous->framesPerDay == seen.framesPerDay
        && frame > m_previous->frame) {
        const auto day = int64_t(seen.framesPerDay);
        const int64_t expectedAdvance = frame - m_previous->frame;
        const int64_t advance = ((int64_t(seen.position) - int64_t(m_previous->position)) % day + day) % day;
        const int64_t tolerance = fromGroupHeader ? GroupTolerance : 0;
        if (std::abs(advance - expectedAdvance % day) > tolerance) {
            Event event = m_timeline.frameEvent(Check::TimecodeBreak, frame, frame);
            // Backwards jumps read as negative advances.
            event.value = double(advance > day / 2 ? advance - day : advance);
            event.limit = double(expectedAdvance);
            event.message = QStringLiteral("timecode jumps from %1 to %2")
                                .arg(QString::fromStdString(m_previous->text), QString::fromStdString(timecodeText));
            m_sink(event);
        }
    }
    m_previous = seen;
}

// ---- one audio channel -----------------------------------------------------------------

ChannelDetectors::ChannelDetectors(int channel, int rate, double startSec, const Settings &settings,
                                   const Timeline &timeline, EventSink sink)
    : m_channel(channel)
    , m_rate(std::max(1, rate))
    , m_startSec(startSec)
    , m_settings(settings)
    , m_timeline(timeline)
    , m_sink(std::move(sink))
    , m_silenceLinear(std::pow(10.0, settings.thresholds.silenceDb / 20.0))
    , m_silenceMinSamples(framesFor(settings.thresholds.silenceMinSec, m_rate))
    , m_blockSamples(std::max(1, m_rate / 10))
{
    if (settings.isEnabled(Check::TruePeak)) {
        m_meter = std::make_unique<TruePeakMeter>(m_blockSamples,
                                                  [this](int64_t block, double peak) { onBlock(block, peak); });
    }
}

void ChannelDetectors::push(const float *samples, int64_t count)
{
    const int64_t base = m_sample;
    if (m_settings.isEnabled(Check::Silence)) {
        const auto limit = float(m_silenceLinear);
        for (int64_t i = 0; i < count; ++i) {
            const float level = std::fabs(samples[i]);
            if (level < limit) {
                if (!m_silenceStart) {
                    m_silenceStart = base + i;
                    m_silencePeak = level;
                } else {
                    m_silencePeak = std::max(m_silencePeak, level);
                }
            } else if (m_silenceStart) {
                closeSilence(base + i);
            }
        }
    }
    // Counted first: the meter reports blocks from inside push(), and a block's end may
    // lie anywhere in these samples.
    m_sample = base + count;
    if (m_meter)
        m_meter->push(samples, count);
}

void ChannelDetectors::finish()
{
    if (m_silenceStart)
        closeSilence(m_sample);
    if (m_meter)
        m_meter->finish();
    closePeakRun();
}

void ChannelDetectors::closeSilence(int64_t endSample)
{
    const int64_t start = *m_silenceStart;
    m_silenceStart.reset();
    if (endSample - start < m_silenceMinSamples)
        return;
    Event event = m_timeline.timeEvent(Check::Silence, secondsAt(start), secondsAt(endSample));
    event.channel = m_channel;
    event.value = toDb(m_silencePeak);
    event.limit = m_settings.thresholds.silenceDb;
    event.message = QStringLiteral("channel %1 silent for %2 s").arg(m_channel).arg(secondsText(event.endSec - event.startSec));
    m_sink(event);
}

void ChannelDetectors::onBlock(int64_t block, double peak)
{
    m_truePeak = std::max(m_truePeak, peak);
    if (!m_settings.isEnabled(Check::TruePeak))
        return;
    const double db = toDb(peak);
    const double limit = m_settings.thresholds.truePeakDb;
    std::optional<Severity> severity;
    if (db > limit)
        severity = Severity::Error;
    else if (db > limit - WarningMarginDb)
        severity = Severity::Warning;
    if (m_peakRun && (!severity || *severity != m_peakRun->severity || block != m_peakRun->lastBlock + 1))
        closePeakRun();
    if (!severity)
        return;
    if (m_peakRun) {
        m_peakRun->lastBlock = block;
        m_peakRun->highestDb = std::max(m_peakRun->highestDb, db);
    } else {
        m_peakRun = PeakRun{block, block, db, *severity};
    }
}

void ChannelDetectors::closePeakRun()
{
    if (!m_peakRun)
        return;
    const PeakRun run = *m_peakRun;
    m_peakRun.reset();
    // The last block ends with the channel, not a whole block later.
    const int64_t endSample = std::min((run.lastBlock + 1) * m_blockSamples, std::max(m_sample, run.firstBlock * m_blockSamples + 1));
    Event event = m_timeline.timeEvent(Check::TruePeak, secondsAt(run.firstBlock * m_blockSamples), secondsAt(endSample));
    event.channel = m_channel;
    event.severity = run.severity;
    event.value = run.highestDb;
    event.limit = m_settings.thresholds.truePeakDb;
    event.message = QStringLiteral("true peak %1 dBTP on channel %2 (limit %3)")
                        .arg(dbText(run.highestDb))
                        .arg(m_channel)
                        .arg(dbText(event.limit));
    m_sink(event);
}

// ---- loudness ----------------------------------------------------------------------------

std::optional<Event> loudnessEvent(double integratedLufs, const Thresholds &thresholds, const Timeline &timeline,
                                   double durationSec, int left, int right)
{
    if (!std::isfinite(integratedLufs))
        return std::nullopt;
    const double deviation = integratedLufs - thresholds.loudnessTarget;
    const double tolerance = thresholds.loudnessTolerance;
    const double margin = std::min(WarningMarginDb, tolerance / 2.0);
    const double edge = thresholds.loudnessTarget + (deviation > 0 ? tolerance : -tolerance);
    Severity severity;
    if (std::abs(deviation) > tolerance)
        severity = Severity::Error;
    else if (std::abs(deviation) > tolerance - margin)
        severity = Severity::Warning;
    else
        return std::nullopt;
    // The whole file: to its last frame (on the audio-only grid, the one at the very end).
    Event event = timeline.timeEvent(Check::Loudness, 0.0, durationSec);
    event.startFrame = 0;
    if (timeline.totalFrames > 0)
        event.endFrame = timeline.totalFrames - 1;
    event.severity = severity;
    event.value = integratedLufs;
    event.limit = edge;
    const auto channelText = [](int channel) { return channel < 0 ? QStringLiteral("M") : QString::number(channel); };
    event.message = QStringLiteral("integrated loudness %1 LUFS (channels %2+%3), target %4 ± %5 LU")
                        .arg(integratedLufs, 0, 'f', 1)
                        .arg(channelText(left), channelText(right))
                        .arg(thresholds.loudnessTarget, 0, 'f', 1)
                        .arg(tolerance, 0, 'f', 1);
    return event;
}

} // namespace qc
