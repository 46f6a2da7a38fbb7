#pragma once

// The arithmetic of the decode loop, kept free of FFmpeg types and engine state so that
// it can be checked case by case: queue depths, frame numbers from timestamps, seek
// targets and the widening re-seek used when a seek lands past its frame.

#include <cstdint>
#include <optional>

namespace decodeplan {

// How far the decode step reads ahead. Without audio the maximum is the minimum and the
// lead is 0.
struct QueueTargets {
    int minimumDepth = 10;   // frames
    int maximumDepth = 10;   // frames, while audio is short of the lead
    double audioLeadSec = 0; // decoded, undrained audio of the routed channels to keep
};

// big: the larger side of the picture is at least 3840.
QueueTargets queueTargets(bool stabilizerEnabled, bool big, double fps, bool hasAudio);

// Frames behind the clock beyond which forward 1x playback stops taking small steps and
// goes straight to the due frame: a quarter of a second, at least 4 frames.
int64_t catchUpDistance(double fps);

// Time base and start of the video stream, as plain numbers.
struct StreamClock {
    int timeBaseNum = 1;
    int timeBaseDen = 1;
    std::optional<int64_t> startTime; // empty when the stream has none (AV_NOPTS_VALUE)
    double fps = 0;
    int64_t frameCount = 0;           // totalFrames; numbers stay below it when above 1
};

// floor(timeBase × (timestamp − start) × fps + 0.01): the 0.01 absorbs timestamps that
// were rounded down by a tick in the container.
int64_t frameNumberFromTimestamp(int64_t timestamp, const StreamClock &clock);

// Numbering state that lives across frames (engine members); see numberFrame.
struct NumberingState {
    bool manualFrameCounter = false;   // count frames instead of reading timestamps
    int64_t framesDecodedSinceSeek = 0;
    int64_t lastNumber = -1;           // number of the previous frame since the seek
    bool countingOverJump = false;     // the previous frame's timestamp was outside the file
};

struct NumberedFrame {
    int64_t number = 0;
    bool stallDetected = false; // this frame switched the state to counting
    bool jumpDetected = false;  // first frame of a run whose timestamps lie outside the file
};

// Number of the next frame the decoder returned (its best-effort timestamp, empty when it
// has none), advancing 'state'. Counting replaces timestamps when the container has none
// or when they stop moving: a 0 after more than 30 frames since the seek. A single frame
// without a timestamp follows its predecessor, and so does a frame whose timestamp lies
// outside the file (before its start or at frameCount and beyond, as damaged transport
// streams jump): such a run is counted on from the last good number, and timestamps are
// trusted again as soon as they fall inside the file. No number reaches frameCount.
NumberedFrame numberFrame(NumberingState &state, std::optional<int64_t> bestEffortTimestamp,
                          const StreamClock &clock);

// Seek target in stream ticks for frame n: its time plus the stream's start, so files that
// start late (transport streams, recorder files) land on the key frame before n instead of
// at the head of the file. Never before the start for the first seek; a re-seek
// (secondsEarlier > 0) may go up to ReseekFloorSec before it, because demuxers that seek by
// decode timestamp (MPEG-TS) otherwise land just after the first key frame, whose decode
// time precedes its presentation time.
constexpr double ReseekFloorSec = 1.0;
int64_t seekTimestamp(int64_t frameNumber, const StreamClock &clock, double secondsEarlier = 0);

// Re-seeks allowed after a seek whose first decoded frame was already past the target (open
// GOPs: the leading frames of a key frame cannot be decoded from it). Attempt k (1-based)
// goes back 2^(k-1) seconds; empty when the bound is used up.
constexpr int MaxReseekAttempts = 6;
std::optional<double> reseekBackoffSec(int attempt);

} // namespace decodeplan
