#pragma once

// The sound of two files compared sample by sample, stream by stream (A's n-th audio stream
// with B's n-th): identical or not, where the first difference lies in A's time, and how
// large the largest one is. B's samples are shifted by the pictures' alignment. Each stream
// is decoded whole to 32-bit float; blocking, on the calling thread.

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace cmp {

struct AudioStreamResult {
    int stream = 0;                           // the n-th audio stream of each file
    bool compared = false;                    // false: see 'problem'
    QString problem;                          // only in one file, other rate or channels
    bool identical = false;
    int64_t samplesCompared = 0;              // per channel, where both have sound
    std::optional<double> firstDifferentSec;  // A's time of the first differing sample
    std::optional<double> maxDifferenceDb;    // dBFS of the largest |A - B|; empty when identical
};

// Compares every audio stream; B's sample k sits at A's time k / rate + offsetSec. Empty
// when neither file has sound; 'error' set when a file cannot be read.
std::vector<AudioStreamResult> compareAudio(const QString &pathA, const QString &pathB, double offsetSec,
                                            QString &error);

// The comparison of two decoded streams of one rate and channel count (interleaved).
// offsetSamples: B's sample frame k lies on A's frame k + offsetSamples.
AudioStreamResult compareSamples(const std::vector<float> &a, const std::vector<float> &b, int channels, int rate,
                                 int64_t offsetSamples);

} // namespace cmp
