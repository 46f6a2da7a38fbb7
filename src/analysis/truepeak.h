#pragma once

// True peak of one channel: the signal interpolated at four times its rate (windowed-sinc
// polyphase filter), so peaks between samples count, reported per 100 ms block of the
// channel's own time axis.

#include <array>
#include <cstdint>
#include <functional>

namespace qc {

class TruePeakMeter
{
public:
    static constexpr int Oversampling = 4;
    static constexpr int TapsPerPhase = 16; // input samples each interpolated value looks at
    static constexpr int Delay = TapsPerPhase / 2; // samples a value waits for its future

    // blockSamples: input samples per reported block (a tenth of the rate). 'report' gets
    // the index of each finished block and its largest absolute interpolated value.
    TruePeakMeter(int64_t blockSamples, std::function<void(int64_t block, double peak)> report);

    // Contiguous samples from the channel's start (the first pushed sample is sample 0).
    void push(const float *samples, int64_t count);
    // Flushes the filter with silence and reports the last block (once).
    void finish();

    // Largest interpolated value at 'phase' (0..3) for the 16 samples of 'window', whose
    // sample Delay-1 sits just before the value: for tests and for the block loop.
    static double interpolate(const std::array<float, TapsPerPhase> &window, int phase);

private:
    void take(float sample);
    void noteValue(int64_t sampleIndex, double absolute);

    int64_t m_blockSamples;
    std::function<void(int64_t, double)> m_report;
    std::array<float, TapsPerPhase> m_history{}; // last TapsPerPhase inputs, oldest first
    int64_t m_taken = 0;       // samples pushed so far, flush zeros included
    int64_t m_real = 0;        // samples pushed by the caller
    int64_t m_block = 0;       // block being gathered
    double m_blockPeak = 0.0;
    bool m_blockHasValue = false;
    bool m_finished = false;
};

} // namespace qc
