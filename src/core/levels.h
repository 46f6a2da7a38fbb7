#pragma once

#include <algorithm>
#include <cmath>

// Audio level vocabulary shared by the engine's level lists, the played-audio meter and
// the meter widget: dBFS with one floor, and the meter's ballistics.

namespace levels {

// Quietest level any list or meter reports; silence and anything below read as this.
inline constexpr float kFloorDb = -60.0f;

// A linear amplitude (1 = full scale) in dBFS: 20 * log10(linear), or floorDb for a level
// at or below silentAtOrBelow. By default that is the floor's own amplitude, so the result
// never drops below the floor; a caller that keeps quieter levels apart from silence passes
// a smaller threshold. A floor of -infinity reads only 0 (and below) as silence.
template <typename T>
T linearToDbfs(T linear, T floorDb, T silentAtOrBelow)
{
    if (!(linear > silentAtOrBelow))
        return floorDb;
    return T(20) * std::log10(linear);
}

template <typename T>
T linearToDbfs(T linear, T floorDb)
{
    return linearToDbfs(linear, floorDb, T(std::pow(T(10), floorDb / T(20))));
}

// One side of a level meter: instant attack, 90 dB/s fall to the floor, a peak that
// holds for a second and then falls at 24 dB/s, never below the level.
struct Ballistics
{
    static constexpr float fallDbPerSecond = 90.0f;
    static constexpr float peakFallDbPerSecond = 24.0f;
    static constexpr float holdSeconds = 1.0f;

    float level = kFloorDb;
    float peak = kFloorDb;
    float hold = 0.0f;

    void reset() { *this = Ballistics(); }
    void step(float snapshotDb, double dtSeconds)
    {
        const float dt = float(dtSeconds);
        level = std::max(level - fallDbPerSecond * dt, kFloorDb);
        if (snapshotDb > kFloorDb && snapshotDb > level)
            level = snapshotDb;
        if (level >= peak) {
            peak = level;
            hold = holdSeconds;
        } else {
            hold -= dt;
            if (hold <= 0.0f)
                peak = std::max(peak - peakFallDbPerSecond * dt, level);
        }
    }
};

} // namespace levels
