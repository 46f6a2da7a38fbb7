#include "analysis/truepeak.h"

#include <algorithm>
#include <cmath>

namespace qc {

namespace {

constexpr double kPi = 3.14159265358979323846;

// coefficients[p][k]: weight of window sample k for the value a quarter p of a sample
// after window sample Delay-1. Blackman-windowed sinc, each phase normalised to unity gain.
using Phases = std::array<std::array<double, TruePeakMeter::TapsPerPhase>, TruePeakMeter::Oversampling>;

Phases makeCoefficients()
{
    Phases phases{};
    constexpr int taps = TruePeakMeter::TapsPerPhase;
    constexpr double halfWidth = taps / 2.0;
    for (int p = 0; p < TruePeakMeter::Oversampling; ++p) {
        const double t = double(TruePeakMeter::Delay - 1) + double(p) / TruePeakMeter::Oversampling;
        double sum = 0.0;
        for (int k = 0; k < taps; ++k) {
            const double d = t - double(k);
            const double sinc = std::abs(d) < 1e-12 ? 1.0 : std::sin(kPi * d) / (kPi * d);
            const double x = (d + halfWidth) / (2.0 * halfWidth); // 0..1 across the window
            const double window = 0.42 - 0.5 * std::cos(2.0 * kPi * x) + 0.08 * std::cos(4.0 * kPi * x);
            phases[size_t(p)][size_t(k)] = sinc * std::max(0.0, window);
            sum += phases[size_t(p)][size_t(k)];
        }
        for (double &c : phases[size_t(p)])
            c /= sum;
    }
    return phases;
}

const Phases &coefficients()
{
    static const Phases phases = makeCoefficients();
    return phases;
}

} // namespace

TruePeakMeter::TruePeakMeter(int64_t blockSamples, std::function<void(int64_t, double)> report)
    : m_blockSamples(std::max<int64_t>(1, blockSamples))
    , m_report(std::move(report))
{
}

double TruePeakMeter::interpolate(const std::array<float, TapsPerPhase> &window, int phase)
{
    const auto &c = coefficients()[size_t(std::clamp(phase, 0, Oversampling - 1))];
    double value = 0.0;
    for (int k = 0; k < TapsPerPhase; ++k)
        value += c[size_t(k)] * double(window[size_t(k)]);
    return value;
}

void TruePeakMeter::push(const float *samples, int64_t count)
{
    for (int64_t i = 0; i < count; ++i)
        take(samples[i]);
    m_real += count;
}

void TruePeakMeter::take(float sample)
{
    std::copy(m_history.begin() + 1, m_history.end(), m_history.begin());
    m_history.back() = sample;
    ++m_taken;
    // The values between sample s = taken - 1 - Delay and the next one are now known.
    const int64_t s = m_taken - 1 - Delay;
    if (s < 0)
        return;
    if (s >= m_real && m_finished)
        return;
    double peak = std::abs(double(m_history[size_t(Delay - 1)]));
    for (int p = 1; p < Oversampling; ++p)
        peak = std::max(peak, std::abs(interpolate(m_history, p)));
    noteValue(s, peak);
}

void TruePeakMeter::noteValue(int64_t sampleIndex, double absolute)
{
    const int64_t block = sampleIndex / m_blockSamples;
    if (block != m_block) {
        if (m_blockHasValue)
            m_report(m_block, m_blockPeak);
        m_block = block;
        m_blockPeak = 0.0;
        m_blockHasValue = false;
    }
    m_blockPeak = std::max(m_blockPeak, absolute);
    m_blockHasValue = true;
}

void TruePeakMeter::finish()
{
    if (m_finished)
        return;
    // Silence after the end lets the last samples' values out; values past the end are
    // not reported.
    const int64_t real = m_real;
    for (int i = 0; i < Delay + 1; ++i) {
        if (m_taken - Delay >= real)
            break;
        take(0.0f);
    }
    m_finished = true;
    if (m_blockHasValue)
        m_report(m_block, m_blockPeak);
    m_blockHasValue = false;
}

} // namespace qc
