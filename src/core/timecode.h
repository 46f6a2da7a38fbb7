#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// SMPTE-style timecode: a nominal integer rate, a drop-frame flag and a position in
// frames counted from 00:00:00:00 that wraps every 24 hours. Text form HH:MM:SS:FF,
// with ';' before the frames when drop-frame; three frame digits at 120 fps.
//
// Plain value type, no Qt, no exceptions: failures are an empty optional or false.
// All operations are O(1) and allocation-free apart from toString()'s result.
class Timecode
{
public:
    // Empty unless rateText is exactly one of 16, 18, 24, 25, 30, 48, 50, 60, 72, 96,
    // 100, 120, and drop-frame is asked for only at 30, 60 or 120.
    static std::optional<Timecode> create(std::string_view rateText, bool dropFrame);
    // As above, positioned at the parsed timecodeText; empty if it does not parse.
    static std::optional<Timecode> create(std::string_view rateText, bool dropFrame,
                                          std::string_view timecodeText);

    // Rate text for a media frame rate: the nominal rate of 29.97, 59.94 and 23.976
    // (within 0.1), otherwise the rate rounded to an integer. The result may still be
    // refused by create() (15 fps, say).
    static std::string nominalRateText(double fps);
    // The timecode of a video's frame 0: the nominal rate of fps, drop-frame when the start
    // timecode is written with ';', positioned at that start (00:00:00:00 when empty).
    // Empty when the rate has no timecode (15 fps, say) or the start does not parse.
    static std::optional<Timecode> forVideo(double fps, std::string_view startTimecode);

    uint64_t frames() const { return m_frames; }
    bool isDropFrame() const { return m_dropFrame; }
    const std::string &rateText() const { return m_rateText; }
    uint64_t nominalFps() const { return m_nominalFps; }
    // Labels skipped at each non-tenth minute: fps / 15 when drop-frame, else 0.
    uint64_t dropCount() const;
    uint64_t framesPer10Minutes() const;
    uint64_t framesPerDay() const;

    // Wraps into one day; negative counts back from 24:00:00:00 (-1 is the last frame).
    void setFrames(int64_t n);
    // Absolute position from text; false and unchanged when it does not parse.
    bool setText(std::string_view text);
    void addFrames(int64_t n);
    void subtractFrames(int64_t n);
    // Relative moves by a typed duration in this rate and mode; false when it does not parse.
    bool addText(std::string_view text);
    bool subtractText(std::string_view text);

    std::string toString() const;

    // Typed text to a position at this rate and mode. Separators ':' and ';' are
    // skipped; digits are right-aligned into HHMMSSFF (HHMMSSFFF at 120 fps), so "1224"
    // at 25 fps is 00:00:12:24. Digits beyond the frame field are ignored.
    std::optional<uint64_t> parse(std::string_view text) const;

private:
    Timecode(std::string_view rateText, uint64_t nominalFps, bool dropFrame);

    // Any signed count to [0, framesPerDay).
    uint64_t wrap(int64_t n) const;

    bool m_dropFrame = false;
    std::string m_rateText;
    uint64_t m_frames = 0;
    uint64_t m_nominalFps = 0;
};
