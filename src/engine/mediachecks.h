#pragma once

// Checks that keep damaged or odd input from hanging the engine or reaching the user as
// facts: what may be opened at all, how sure the demuxer is of the format, whether frame
// counts, rates and time references are physically possible, and the error text for a
// refused file. The open path calls these; no FFmpeg types in this header.

#include "av/ffmpegptr.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <optional>

struct AVFormatContext;
struct AVIOInterruptCB;

namespace mediachecks {

// "<summary>\n<reason>: <path>". The first line stays the fixed text callers match on.
QString failureText(const QString &summary, const QString &reason, const QString &path);
// FFmpeg's description of an AVERROR code ("No such file or directory").
QString ffmpegErrorText(int errorCode);

// True for "scheme://..." inputs; those are left to FFmpeg's protocols.
bool isUrl(const QString &path);
// Why a local path must not be handed to the demuxer, or empty when it may be. Named pipes
// and devices block in open() or read() for as long as nobody writes, which no interrupt
// can end; folders, missing and unreadable files get their reason before FFmpeg's noise.
QString localFileProblem(const QString &path);

class ReadInterrupter;

// Opens 'path' into 'out' with the interrupt callback of 'interrupter': refuses local paths
// that are not regular files, names FFmpeg's reason, refuses formats detected with a low
// score. Returns the error text for fileOpened (first line "avformat_open_input failed."),
// or empty with 'out' open.
// withoutEditLists: the demuxer ignores edit lists (see ticksCoarserThanFrames).
QString openInput(av::FormatContextPtr &out, const QString &path, const ReadInterrupter &interrupter,
                  bool withoutEditLists = false);

// FFmpeg itself warns "misdetection possible" at this score and below (AVPROBE_SCORE_RETRY).
constexpr int LowestTrustedProbeScore = 26;
// Why the detected format is not trusted, or empty. A low score means the demuxer guessed
// from a few lucky bytes (header-less PCM passing for MP3).
QString probeScoreProblem(const AVFormatContext *context);

// Why a video stream whose decoder knows no picture size after opening cannot be shown
// (its headers are damaged or missing), or empty.
QString pictureSizeProblem(int width, int height);

// Video below 1 fps or above 120 fps is taken as damage, not as the file's rate.
constexpr double MinimumVideoFps = 1.0;
constexpr double MaximumVideoFps = 120.0;
bool isPlausibleVideoFps(double fps);
// The rate to use: 'average' when plausible, else 'real' when plausible, else 'fallback'.
// corrected tells whether 'average' was replaced.
struct FrameRateChoice {
    double fps = 0;
    bool corrected = false;
};
FrameRateChoice chooseFrameRate(double average, double real, double fallback);

// True when one tick of the stream's time base lasts longer than a frame at 'fps' (a zero
// time scale is read as one tick a second): timestamps cannot number such frames, and an
// edit list in those ticks cuts the stream to its first picture. Frames are then counted
// in decode order from the head of the file, with edit lists ignored.
bool ticksCoarserThanFrames(int timeBaseNum, int timeBaseDen, double fps);

// Facts about a video stream's length, as the container states them.
struct LengthFacts {
    int64_t declaredFrames = 0;   // nb_frames; 0 when absent
    double streamDurationSec = 0; // 0 when absent
    double formatDurationSec = 0; // 0 when absent
    double fps = 0;               // already plausible
    bool preferDuration = false;  // the container's frame count is known to be unreliable
    int64_t indexEntries = 0;     // demuxer index entries of the stream (0: none)
    int64_t fileBytes = 0;        // size of the input; 0 when unknown
};
struct Length {
    int64_t totalFrames = 1;
    double durationSec = 0;
    bool corrected = false;       // a stated count or duration was found impossible
};
// Frame count and duration to report. Counts are taken as stated unless they cannot be
// true: more frames than the file has bytes, or a count that disagrees with duration x rate
// by more than a factor of two (then the one nearer the demuxer's index, or the smaller,
// wins). Durations follow the chosen count when they were the impossible part.
Length plausibleLength(const LengthFacts &facts);

// A BWF time reference in samples as seconds within one day: references count from
// midnight, so a larger value is a wrapped or damaged one. Empty when rate < 1.
std::optional<double> timeReferenceSeconds(uint64_t samples, int sampleRate);

// Interrupt source for blocking demuxer reads, shared by the engine thread (reads) and
// the GUI thread (requests, shutdown). All members are atomics.
class ReadInterrupter
{
public:
    // Newest request id, as announced by abortCurrentTask.
    explicit ReadInterrupter(const std::atomic<int> &latestRequestId);

    // Any thread: every read from now on gives up (AVERROR_EXIT); permanent.
    void requestShutdown() { m_shutdown.store(true, std::memory_order_release); }
    bool shutdownRequested() const { return m_shutdown.load(std::memory_order_acquire); }
    // Engine thread: the request reads are done for; 0 or -1 are never abandoned.
    void setActiveRequest(int requestId) { m_activeRequest.store(requestId, std::memory_order_release); }
    bool shouldInterrupt() const;

private:
    const std::atomic<int> &m_latestRequestId;
    std::atomic<bool> m_shutdown{false};
    std::atomic<int> m_activeRequest{0};
};

// For AVFormatContext::interrupt_callback; valid as long as 'interrupter' lives.
AVIOInterruptCB interruptCallback(const ReadInterrupter &interrupter);

} // namespace mediachecks
