#pragma once

#include <cstdint>
#include <optional>

// Arithmetic of playback pacing, kept free of timers and devices so that every rule can
// be checked with exact numbers. Plain values; the playback controller owns them on the
// GUI thread.

namespace pacing {

// Nearest integer, halves away from zero.
int64_t roundHalfAway(double value);

// Frames a shuttle has travelled after elapsedMs at the given multiplier.
int64_t shuttleDistance(double fps, int64_t elapsedMs, int speed);

// Frames the picture may move ahead of the one on screen in one forward 1x request:
// stabilised media take small steps (2 only when more than 3 behind), others at least 2.
// More than decodeplan::catchUpDistance behind, the picture goes straight to the due
// frame: media too heavy for the machine would otherwise fall ever further behind its
// sound.
int64_t forwardStep(bool stabilized, double fps, int64_t behind);

// Largest forward 1x advance that is not reported as a jump.
int64_t allowedJump(bool stabilized, double fps);

// Frames before the end within which an invalid frame stops playback at once.
int64_t recoveryMargin(double fps);

// Frame number the clock shows: startFrame + floor(fps * seconds + 0.001).
int64_t clockFrame(int64_t startFrame, double fps, double seconds);

// The forward 1x clock. Audio leads: it holds at 0 until the device reports its first
// played samples (an output that starts slowly delays the picture instead of losing the
// start of the sound), then reads the device's played time. The wall clock, shifted by
// that wait, stands in while it is more than maxLead ahead of the device (a starved
// output), and alone when there is no audio or the device never starts within
// startupWait. Once the output plays at its own pace again (over a flowWindow), the clock
// returns to it: the picture waits for the sound rather than staying ahead of it for the
// rest of the run (beyond stallSkipThreshold the controller drops audio instead). The
// result never goes backwards.
class PlaybackClock
{
public:
    static constexpr double maxLead = 0.25;
    // Audio is dropped to catch up only after a real stall: some outputs (PulseAudio's
    // null sink, bursty servers) report their played time in steps of a few hundred ms,
    // and skipping on those steps chops the sound every second or two.
    static constexpr double stallSkipThreshold = 1.0;
    // Longest the picture waits for a started output to play its first samples.
    static constexpr double startupWait = 2.5;
    // An output plays at its pace when it has played at least flowRatio of the wall time
    // over flowWindow: long enough for outputs that report in steps.
    static constexpr double flowWindow = 1.0;
    static constexpr double flowRatio = 0.8;

    // Entering forward 1x: audioActive when a sink was started and gave a device, with
    // the device's played time at that moment.
    void start(bool audioActive, int64_t playedUSecs);
    // Leaving playback: no audio, no history.
    void stop();

    // wallSeconds: time since playback (re)started; playedUSecs: the device's played time
    // (AudioOutput::playedUSecs()), absent without a sink.
    double seconds(double wallSeconds, std::optional<int64_t> playedUSecs);

    // The audio clock alone (seconds since playback started, by the device), or -1 until
    // the audio has synced.
    double audioSeconds(int64_t playedUSecs) const;
    // How far the clock's last reading is ahead of the synced audio clock (0 before the
    // audio has synced). More than maxLead means the output fell behind the picture.
    double audioLag(int64_t playedUSecs) const;
    // 'usecs' of not yet played audio were dropped: what the device plays from now on is
    // that much later in the media.
    void skipAudio(int64_t usecs) { m_audioBaseUSecs -= usecs; }

    bool audioActive() const { return m_audioActive; }
    bool audioSynced() const { return m_audioSynced; }
    int64_t audioBaseUSecs() const { return m_audioBaseUSecs; }
    double maxSeconds() const { return m_maxSeconds; }

private:
    bool m_audioActive = false;
    bool m_audioSynced = false;
    int64_t m_audioBaseUSecs = 0;
    double m_wallOffset = 0.0; // wall-clock seconds spent waiting for the output
    double m_maxSeconds = 0.0;
    double m_flowWall = -1.0;  // start of the current flow window (wall, audio seconds)
    double m_flowAudio = 0.0;
    bool m_flowing = false;
};

} // namespace pacing
