#include "loudness/blockpower.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace loudness {

BlockPowerMeter::BlockPowerMeter(int channels, int rate)
    : m_channels(size_t(std::max(0, std::min(channels, MaxBlockChannels))))
    , m_blockSamples(std::max<int64_t>(1, std::llround(rate * BlockSec)))
{
    // The two stages of the K-weighting filter designed for this rate (BS.1770's 48 kHz
    // coefficients are these at 48000).
    const double pi = 3.14159265358979323846;
    Biquad shelf;
    {
        const double f0 = 1681.974450955533;
        const double gainDb = 3.999843853973347;
        const double q = 0.7071752369554196;
        const double k = std::tan(pi * f0 / rate);
        const double vh = std::pow(10.0, gainDb / 20.0);
        const double vb = std::pow(vh, 0.4996667741545416);
        const double a0 = 1.0 + k / q + k * k;
        shelf.b0 = (vh + vb * k / q + k * k) / a0;
        shelf.b1 = 2.0 * (k * k - vh) / a0;
        shelf.b2 = (vh - vb * k / q + k * k) / a0;
        shelf.a1 = 2.0 * (k * k - 1.0) / a0;
        shelf.a2 = (1.0 - k / q + k * k) / a0;
    }
    Biquad highPass;
    {
        const double f0 = 38.13547087602444;
        const double q = 0.5003270373238773;
        const double k = std::tan(pi * f0 / rate);
        const double a0 = 1.0 + k / q + k * k;
        highPass.b0 = 1.0;
        highPass.b1 = -2.0;
        highPass.b2 = 1.0;
        highPass.a1 = 2.0 * (k * k - 1.0) / a0;
        highPass.a2 = (1.0 - k / q + k * k) / a0;
    }
    for (Channel &channel : m_channels) {
        channel.shelf = shelf;
        channel.highPass = highPass;
    }
}

void BlockPowerMeter::push(int channel, const float *samples, int64_t count)
{
    if (channel < 0 || channel >= channels())
        return;
    Channel &c = m_channels[size_t(channel)];
    for (int64_t i = 0; i < count; ++i) {
        const double weighted = c.highPass.run(c.shelf.run(double(samples[i])));
        c.sum += weighted * weighted;
        if (++c.inBlock == m_blockSamples) {
            c.done.push_back(float(c.sum / double(m_blockSamples)));
            c.sum = 0.0;
            c.inBlock = 0;
        }
    }
}

void BlockPowerMeter::finish()
{
    for (Channel &c : m_channels) {
        if (c.inBlock == 0)
            continue;
        c.done.push_back(float(c.sum / double(c.inBlock)));
        c.sum = 0.0;
        c.inBlock = 0;
    }
}

std::vector<PowerBlock> BlockPowerMeter::takeBlocks()
{
    if (m_channels.empty())
        return {};
    size_t ready = m_channels.front().done.size();
    for (const Channel &c : m_channels)
        ready = std::min(ready, c.done.size());
    std::vector<PowerBlock> blocks(ready);
    for (size_t ch = 0; ch < m_channels.size(); ++ch) {
        std::vector<float> &done = m_channels[ch].done;
        for (size_t b = 0; b < ready; ++b)
            blocks[b].power[ch] = done[b];
        done.erase(done.begin(), done.begin() + std::ptrdiff_t(ready));
    }
    return blocks;
}

void ShortTermSeries::clear()
{
    m_sums.clear();
}

void ShortTermSeries::append(const PowerBlock &block)
{
    std::array<double, MaxBlockChannels> sums{};
    if (!m_sums.empty())
        sums = m_sums.back();
    for (size_t c = 0; c < sums.size(); ++c)
        sums[c] += double(block.power[c]);
    m_sums.push_back(sums);
}

double ShortTermSeries::lufsAt(int64_t index, int left, int right) const
{
    if (index < 0 || index >= size())
        return std::numeric_limits<double>::quiet_NaN();
    const auto windowSum = [&](int channel) {
        if (channel < 0 || channel >= MaxBlockChannels)
            return 0.0;
        const double through = m_sums[size_t(index)][size_t(channel)];
        const int64_t before = index - ShortTermBlocks;
        return through - (before >= 0 ? m_sums[size_t(before)][size_t(channel)] : 0.0);
    };
    // Prefix sums of floats leave a hair of rounding where the window holds silence.
    const double power = std::max(0.0, (windowSum(left) + windowSum(right)) / ShortTermBlocks);
    if (power <= 1e-15)
        return -std::numeric_limits<double>::infinity();
    return -0.691 + 10.0 * std::log10(power);
}

int64_t ShortTermSeries::blockEndingAt(double endSec)
{
    return int64_t(std::ceil(endSec / BlockSec - 1e-9)) - 1;
}

} // namespace loudness
