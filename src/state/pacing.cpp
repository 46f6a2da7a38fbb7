#include "state/pacing.h"

#include "engine/decodeplan.h"

#include <algorithm>
#include <cmath>

namespace pacing {

int64_t roundHalfAway(double value)
{
    return int64_t(std::round(value));
}

int64_t shuttleDistance(double fps, int64_t elapsedMs, int speed)
{
    return roundHalfAway(fps * (double(elapsedMs) / 1000.0) * speed);
}

int64_t forwardStep(bool stabilized, double fps, int64_t behind)
{
    if (behind > decodeplan::catchUpDistance(fps))
        return behind;
    if (stabilized)
        return behind > 3 ? 2 : 1;
    return std::max<int64_t>(2, int64_t(std::ceil(fps / 15.0)));
}

int64_t allowedJump(bool stabilized, double fps)
{
    if (stabilized)
        return 3;
    return std::max<int64_t>(5, int64_t(std::ceil(fps * 0.25)));
}

int64_t recoveryMargin(double fps)
{
    return std::max<int64_t>(2, int64_t(std::ceil(std::max(fps, 1.0) * 0.25)));
}

int64_t clockFrame(int64_t startFrame, double fps, double seconds)
{
    return startFrame + int64_t(std::floor(fps * seconds + 0.001));
}

void PlaybackClock::start(bool audioActive, int64_t playedUSecs)
{
    m_audioActive = audioActive;
    m_audioBaseUSecs = audioActive ? playedUSecs : 0;
    m_audioSynced = false;
    m_wallOffset = 0.0;
    m_maxSeconds = 0.0;
    m_flowWall = -1.0;
    m_flowing = false;
}

void PlaybackClock::stop()
{
    m_audioActive = false;
    m_audioSynced = false;
    m_wallOffset = 0.0;
    m_maxSeconds = 0.0;
    m_flowWall = -1.0;
    m_flowing = false;
}

double PlaybackClock::seconds(double wallSeconds, std::optional<int64_t> playedUSecs)
{
    double t = wallSeconds - m_wallOffset;
    if (m_audioActive && playedUSecs) {
        const int64_t p = *playedUSecs;
        const int64_t played = std::max<int64_t>(p - m_audioBaseUSecs, 0);
        if (m_audioSynced) {
            const double audioSeconds = double(played) / 1000000.0;
            if (m_flowWall < 0.0 || audioSeconds < m_flowAudio) {
                m_flowWall = wallSeconds;
                m_flowAudio = audioSeconds;
            } else if (wallSeconds - m_flowWall >= flowWindow) {
                m_flowing = audioSeconds - m_flowAudio >= flowRatio * (wallSeconds - m_flowWall);
                m_flowWall = wallSeconds;
                m_flowAudio = audioSeconds;
            }
            const double lead = t - audioSeconds;
            if (!(lead > maxLead)) {
                t = audioSeconds;
            } else if (m_flowing && lead < stallSkipThreshold) {
                // The stall is over: the stand-in continues from the device's time.
                m_wallOffset += lead;
                t = audioSeconds;
            }
        } else if (played > 0) {
            // The output has started: its played time is the clock from here, and the
            // wall clock, should it have to stand in, continues from the same reading.
            m_audioSynced = true;
            const double audioSeconds = double(played) / 1000000.0;
            if (wallSeconds <= startupWait) {
                m_wallOffset = wallSeconds - audioSeconds;
                t = audioSeconds;
            } else {
                // Too late to have held the picture for it: the audio clock reads the
                // wall-clock time at which it started.
                m_audioBaseUSecs = p - int64_t(t * 1000000.0);
            }
        } else if (wallSeconds <= startupWait) {
            t = 0.0;
        }
    }
    if (t < m_maxSeconds)
        t = m_maxSeconds;
    else
        m_maxSeconds = t;
    return t;
}

double PlaybackClock::audioSeconds(int64_t playedUSecs) const
{
    if (!m_audioActive || !m_audioSynced)
        return -1.0;
    return double(std::max<int64_t>(playedUSecs - m_audioBaseUSecs, 0)) / 1000000.0;
}

double PlaybackClock::audioLag(int64_t playedUSecs) const
{
    const double audio = audioSeconds(playedUSecs);
    return audio < 0.0 ? 0.0 : m_maxSeconds - audio;
}


} // namespace pacing
