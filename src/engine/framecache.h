#pragma once

// Decoded frames kept after the engine has decoded past them, so that a step back or a
// second request for a frame already decoded costs neither a seek nor a decode. Frames are
// held as references to the decoder's buffers (no pixel copies), keyed by frame number, and
// bounded by the bytes those buffers take. Engine thread only. No FFmpeg headers here.

#include "av/ffmpegptr.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

class FrameCache
{
public:
    static constexpr int64_t DefaultBoundBytes = int64_t(512) << 20;
    // Bound in MiB; 0 switches the cache off.
    static constexpr const char *BoundVariable = "ORVEL_FRAME_CACHE_MB";
    // The bound the environment asks for, else the default; garbage counts as unset.
    static int64_t boundFromEnvironment();
    // Bytes of the buffers a frame references.
    static int64_t frameBytes(const AVFrame *frame);

    explicit FrameCache(int64_t boundBytes = boundFromEnvironment());

    // Shrinking evicts at once.
    void setBoundBytes(int64_t bytes);
    int64_t boundBytes() const { return m_bound; }
    int64_t bytesHeld() const { return m_bytes; }
    std::size_t size() const { return m_frames.size(); }
    bool isEmpty() const { return m_frames.empty(); }
    bool contains(int64_t number) const { return m_frames.count(number) != 0; }
    std::optional<int64_t> lowest() const;
    std::optional<int64_t> highest() const;
    // How many frames of the last size seen fit the bound (0 when off, huge before any).
    int64_t capacityFrames(int64_t bytesPerFrame) const;

    // A new reference to frame 'number'; null when it is not held.
    av::FramePtr find(int64_t number) const;

    // The frame the viewer is on or heading to: eviction drops the frames farthest from it.
    void setCentre(int64_t number);

    // Called after every seek. The frames a decoder returns before the first key frame
    // after a seek may miss their references (open GOPs), so none of them is kept.
    void startRun();
    // A frame the decoder returned, with its number. Numbers grow within a run; one that
    // does not means the numbering cannot be trusted, and the cache stays off until clear().
    void offer(const AVFrame *frame, int64_t number);

    // Drops every frame and switches the cache back on (a new file, a jump elsewhere).
    void clear();
    bool isOff() const { return m_off || m_bound <= 0; }

private:
    struct Entry {
        av::FramePtr frame;
        int64_t bytes = 0;
    };
    void evict();

    std::map<int64_t, Entry> m_frames;
    int64_t m_bound = DefaultBoundBytes;
    int64_t m_bytes = 0;
    int64_t m_centre = 0;
    bool m_armed = false;             // a key frame was returned since the last seek
    std::optional<int64_t> m_lastNumber; // in this run
    bool m_off = false;               // numbering proved unreliable
};
