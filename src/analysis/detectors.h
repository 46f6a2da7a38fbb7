#pragma once

// The detectors: each turns a stream of measurements (per picture, per sample, per
// 100 ms block) into events. No FFmpeg here: the driver measures, these decide, so every
// rule can be checked with made-up measurements.

#include "analysis/qctypes.h"
#include "analysis/truepeak.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qc {

using EventSink = std::function<void(const Event &)>;

// Frame numbers and seconds of one file: frame n covers [n / fps, (n + 1) / fps).
struct Timeline {
    double fps = 25.0;
    int64_t totalFrames = 0; // 0: unknown

    double secondsOf(int64_t frame) const { return fps > 0 ? double(frame) / fps : 0.0; }
    // The frame showing at 'seconds' (the last one at or before it).
    int64_t frameAt(double seconds) const;
    // The last frame an interval ending (exclusive) at 'seconds' reaches.
    int64_t lastFrameBefore(double seconds) const;
    // An event over frames first..last (inclusive), with its times.
    Event frameEvent(Check check, int64_t first, int64_t last) const;
    // An event over [startSec, endSec), with the frames it touches.
    Event timeEvent(Check check, double startSec, double endSec) const;
};

// A condition that holds over consecutive pictures; reports each run that lasted at least
// minFrames frames (counted from the first to the last frame number of the run).
class FrameRun
{
public:
    struct Run {
        int64_t first = 0;
        int64_t last = 0;
        double extreme = 0.0; // the value furthest past the limit within the run
    };
    // higherIsWorse: whether the extreme is the largest (true) or smallest value.
    FrameRun(int64_t minFrames, bool higherIsWorse);
    // firstOverride: where a run that starts here begins (freeze: the picture before).
    std::optional<Run> feed(int64_t frame, bool holds, double value, std::optional<int64_t> firstOverride = {});
    std::optional<Run> finish();

private:
    int64_t m_minFrames;
    bool m_higherIsWorse;
    std::optional<Run> m_run;
};

// Per-picture measurements, as PictureMeter makes them.
struct PictureStats {
    double blackFraction = 0.0;        // share of the picture whose luma is below the black limit
    double outOfRangeFraction = 0.0;   // share with Y, R, G or B outside the legal limits
    std::optional<double> differenceDb; // mean absolute luma difference to the previous picture
    // Luma over the picture as fractions of the nominal range (0 black, 1 white; codes
    // outside the range go past either end).
    double lumaMin = 0.0;
    double lumaAverage = 0.0;
    double lumaMax = 0.0;
};

// black, freeze and levels over the pictures of one file, in presentation order.
class PictureDetectors
{
public:
    PictureDetectors(const Settings &settings, const Timeline &timeline, EventSink sink);
    void feed(int64_t frame, const PictureStats &stats);
    void finish();

private:
    void report(Check check, const FrameRun::Run &run);

    Settings m_settings;
    Timeline m_timeline;
    EventSink m_sink;
    FrameRun m_black;
    FrameRun m_freeze;
    FrameRun m_levels;
    std::optional<int64_t> m_previousFrame;
};

// Frames of an image sequence without a picture (no file, or one that could not be read or
// decoded): one event per run of them with the same reason.
class MissingFrameDetector
{
public:
    MissingFrameDetector(const Timeline &timeline, EventSink sink);
    // reason: why the frame has no picture; empty for a frame that has one.
    void feed(int64_t frame, const QString &reason);
    void finish();

private:
    Timeline m_timeline;
    EventSink m_sink;
    std::optional<std::pair<int64_t, int64_t>> m_run;
    QString m_reason;
};

// Timestamps of successive pictures: a jump of more than gapFactor frame durations (a
// dropped picture) or no advance at all (a repeated one).
class TimestampGapDetector
{
public:
    TimestampGapDetector(const Thresholds &thresholds, const Timeline &timeline, EventSink sink);
    // seconds: the picture's presentation time; empty when it has none.
    void feed(int64_t frame, std::optional<double> seconds);

private:
    Thresholds m_thresholds;
    Timeline m_timeline;
    EventSink m_sink;
    std::optional<std::pair<int64_t, double>> m_previous;
};

// Timecodes the pictures carry (sparse: GOP headers carry one per group): each must be the
// previous one plus the frames in between. Group-header timecodes name the group's first
// picture in display order, which reordered streams never hand out with them; placed on the
// group's intra picture they may be off by the pictures decoded after it but shown before
// it, so for them a disagreement of up to GroupTolerance frames is not a break.
class TimecodeBreakDetector
{
public:
    static constexpr int64_t GroupTolerance = 2;
    TimecodeBreakDetector(const Timeline &timeline, EventSink sink);
    void feed(int64_t frame, const std::string &timecodeText, bool fromGroupHeader = false);

private:
    Timeline m_timeline;
    EventSink m_sink;
    struct Seen {
        int64_t frame = 0;
        uint64_t position = 0;
        uint64_t framesPerDay = 0;
        std::string text;
        bool dropFrame = false;
    };
    std::optional<Seen> m_previous;
};

// silence and truePeak for one audio channel, fed contiguous samples from time startSec.
class ChannelDetectors
{
public:
    ChannelDetectors(int channel, int rate, double startSec, const Settings &settings, const Timeline &timeline,
                     EventSink sink);
    void push(const float *samples, int64_t count);
    void finish();
    // Largest interpolated value so far (linear).
    double truePeak() const { return m_truePeak; }

private:
    void closeSilence(int64_t endSample);
    void onBlock(int64_t block, double peak);
    void closePeakRun();
    double secondsAt(int64_t sample) const { return m_startSec + double(sample) / m_rate; }

    int m_channel;
    int m_rate;
    double m_startSec;
    Settings m_settings;
    Timeline m_timeline;
    EventSink m_sink;
    // silence
    double m_silenceLinear;
    int64_t m_silenceMinSamples;
    int64_t m_sample = 0;                 // samples pushed so far
    std::optional<int64_t> m_silenceStart;
    float m_silencePeak = 0.0f;
    // true peak: a run of consecutive blocks of one severity
    std::unique_ptr<TruePeakMeter> m_meter;
    int64_t m_blockSamples;
    struct PeakRun {
        int64_t firstBlock = 0;
        int64_t lastBlock = 0;
        double highestDb = 0.0;
        Severity severity = Severity::Error;
    };
    std::optional<PeakRun> m_peakRun;
    double m_truePeak = 0.0;
};

// The loudness verdict for the whole file; empty when the figure is within the window
// and clear of its edges.
std::optional<Event> loudnessEvent(double integratedLufs, const Thresholds &thresholds, const Timeline &timeline,
                                   double durationSec, int left, int right);

// Full-scale figures in dB; 0 gives minus infinity.
double toDb(double linear);

} // namespace qc
