#include "engine/decodeplan.h"

#include <algorithm>
#include <cmath>

namespace decodeplan {

QueueTargets queueTargets(bool stabilizerEnabled, bool big, double fps, bool hasAudio)
{
    const double safeFps = std::isfinite(fps) && fps > 0 ? fps : 0.0;
    QueueTargets targets;
    if (stabilizerEnabled) {
        targets.minimumDepth = std::max(10, std::min(big ? 12 : 20, int(std::ceil(safeFps * 0.5))));
        targets.maximumDepth = std::max(targets.minimumDepth,
                                        std::min(big ? 18 : 30, int(std::ceil(safeFps * 0.8))));
        targets.audioLeadSec = 0.55;
    } else {
        targets.minimumDepth = 10;
        targets.maximumDepth = std::max(10, std::min(60, int(std::ceil(safeFps * 1.25))));
        targets.audioLeadSec = 0.45;
    }
    if (!hasAudio) {
        targets.maximumDepth = targets.minimumDepth;
        targets.audioLeadSec = 0.0;
    }
    return targets;
}

int64_t catchUpDistance(double fps)
{
    const double safeFps = std::isfinite(fps) && fps > 1.0 ? fps : 1.0;
    return std::max<int64_t>(4, int64_t(std::ceil(safeFps * 0.25)));
}

int64_t frameNumberFromTimestamp(int64_t timestamp, const StreamClock &clock)
{
    if (clock.timeBaseDen == 0)
        return 0;
    const double timeBase = double(clock.timeBaseNum) / double(clock.timeBaseDen);
    // Differences of 64-bit ticks first, so large start values keep their precision.
    const int64_t ticks = clock.startTime ? timestamp - *clock.startTime : timestamp;
    const double value = std::floor(timeBase * double(ticks) * clock.fps + 0.01);
    if (!std::isfinite(value))
        return 0;
    return int64_t(std::clamp(value, -9.0e18, 9.0e18));
}

NumberedFrame numberFrame(NumberingState &state, std::optional<int64_t> bestEffortTimestamp,
                          const StreamClock &clock)
{
    NumberedFrame result;
    if (state.manualFrameCounter) {
        result.number = state.framesDecodedSinceSeek;
    } else if (!bestEffortTimestamp) {
        result.number = state.lastNumber >= 0 ? state.lastNumber + 1 : state.framesDecodedSinceSeek;
    } else {
        result.number = frameNumberFromTimestamp(*bestEffortTimestamp, clock);
        if (state.framesDecodedSinceSeek > 30 && result.number == 0) {
            state.manualFrameCounter = true;
            result.stallDetected = true;
        }
        const bool outside = clock.frameCount > 1 && (result.number < 0 || result.number >= clock.frameCount);
        if (outside) {
            result.number = state.lastNumber >= 0 ? state.lastNumber + 1 : state.framesDecodedSinceSeek;
            result.jumpDetected = !state.countingOverJump;
        }
        state.countingOverJump = outside;
    }
    if (clock.frameCount > 1)
        result.number = std::min(result.number, clock.frameCount - 1);
    ++state.framesDecodedSinceSeek;
    state.lastNumber = result.number;
    return result;
}

int64_t seekTimestamp(int64_t frameNumber, const StreamClock &clock, double secondsEarlier)
{
    if (clock.timeBaseNum == 0 || clock.timeBaseDen == 0 || !(clock.fps > 0))
        return clock.startTime.value_or(0);
    const double earlier = std::max(0.0, secondsEarlier);
    const double floorSec = earlier > 0 ? -ReseekFloorSec : 0.0;
    const double seconds = std::max(floorSec, double(frameNumber) / clock.fps - earlier);
    const double ticks = std::round(seconds * double(clock.timeBaseDen) / double(clock.timeBaseNum));
    return int64_t(std::clamp(ticks, -9.0e18, 9.0e18)) + clock.startTime.value_or(0);
}

std::optional<double> reseekBackoffSec(int attempt)
{
    if (attempt < 1 || attempt > MaxReseekAttempts)
        return std::nullopt;
    return std::ldexp(1.0, attempt - 1);
}

} // namespace decodeplan
