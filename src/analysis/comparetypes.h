#pragma once

// The vocabulary of comparing two files picture by picture: how B is aligned to A, what
// one compared pair measured, and the summary built from the pairs in A's order. Plain
// typed values and arithmetic without media, so every rule is tested on numbers; the JSON
// form belongs to the CLI.

#include "core/mediainfo.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace cmp {

enum class AlignMode {
    Auto,     // by source timecode when both files carry one, else by first frame
    Timecode, // by source timecode; a file without one cannot be aligned
    Start,    // first frame to first frame
    Offset,   // B's frame 0 lies on A's frame N
};

struct Options {
    AlignMode align = AlignMode::Auto;
    int64_t offset = 0; // AlignMode::Offset only
    bool psnr = true;
    bool ssim = true;
    bool scale = false; // B of another size is scaled to A's
    // A pair counts as beyond the threshold when its lowest plane PSNR lies below it;
    // unset: any difference does.
    std::optional<double> thresholdDb;
};

// What alignment needs of one file.
struct SideFacts {
    double fps = 0.0;
    QString startTimecode; // empty when the file carries none
    int width = 0;
    int height = 0;
};

struct Alignment {
    bool ok = false;
    QString error;            // why not, naming both files' values
    int64_t offset = 0;       // B's frame number = A's frame number - offset
    bool byTimecode = false;
};

// Equal frame rates within a millionth (29.97 read as 30000/1001 from either side).
bool sameRate(double a, double b);
// B's frames against A's: the rates must match, the sizes too unless scaling is allowed,
// and AlignMode::Timecode needs a start timecode on both sides.
Alignment align(const SideFacts &a, const SideFacts &b, const Options &options);
// The same for two opened files: the CLI's comparison and the player's second file.
SideFacts factsOf(const MediaInfo &info);
Alignment align(const MediaInfo &a, const MediaInfo &b, const Options &options);

// One compared pair. PSNR is empty where the planes are identical (infinite); SSIM is
// empty when not measured.
struct PairResult {
    int64_t frameA = 0;
    int64_t frameB = 0;
    bool identical = false;
    int planes = 0; // 1 for grey pictures, 3 otherwise
    std::optional<double> psnr[3];
    std::optional<double> ssimY;
    // The lowest plane PSNR (empty when every measured plane is identical).
    std::optional<double> lowestPsnr() const;
};

// [first, last] runs of frame numbers.
using Runs = std::vector<std::pair<int64_t, int64_t>>;

struct Summary {
    int64_t framesCompared = 0;
    int64_t identicalFrames = 0;
    int64_t framesBeyondThreshold = 0;
    Runs onlyInA;        // A's numbering
    Runs onlyInB;        // B's own numbering
    Runs differentRuns;  // A's numbering
    std::optional<int64_t> firstDifferentFrameA;
    std::optional<double> minPsnrY;
    std::optional<int64_t> minPsnrFrameA;
};

// Appends n to the runs, extending the last one when n follows it.
void addToRuns(Runs &runs, int64_t n);

// Builds the summary from the events of a merge over both files in A's order.
class SummaryBuilder
{
public:
    explicit SummaryBuilder(std::optional<double> thresholdDb)
        : m_threshold(thresholdDb)
    {
    }
    void onlyInA(int64_t frameA) { addToRuns(m_summary.onlyInA, frameA); }
    void onlyInB(int64_t frameB) { addToRuns(m_summary.onlyInB, frameB); }
    void pair(const PairResult &result);
    const Summary &summary() const { return m_summary; }

private:
    std::optional<double> m_threshold;
    Summary m_summary;
};

// Whether a pair differs beyond the threshold (unset: any difference).
bool beyondThreshold(const PairResult &result, std::optional<double> thresholdDb);

// Walks the two ordered streams of frame numbers as one, in A's order: calls onPair for a
// frame of A whose partner (A's number - offset) is there, and onlyA / onlyB for the rest.
// Frame numbers of each stream must rise. Feed A's and B's numbers as they come; the
// heads wait until the other side catches up.
class Merge
{
public:
    enum class Step { TakeA, TakeB, Pair };
    explicit Merge(int64_t offset)
        : m_offset(offset)
    {
    }
    // With the next number on each side (empty at its end), what to do with them; both
    // empty never happens.
    Step next(std::optional<int64_t> headA, std::optional<int64_t> headB) const;

private:
    int64_t m_offset;
};

} // namespace cmp
