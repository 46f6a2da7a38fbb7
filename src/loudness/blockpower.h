#pragma once

#include <array>
#include <cstdint>
#include <vector>

// Short-term loudness (3 s window, BS.1770 K-weighting, as EBU R128 reads it) kept per
// channel, so that the loudness of any pair of channels is formed afterwards without
// decoding again: loudness adds the channels' weighted mean squares.

namespace loudness {

constexpr double BlockSec = 0.1;  // the meter's step
constexpr int ShortTermBlocks = 30; // 3 s
constexpr int MaxBlockChannels = 8;

// One 100 ms block: the K-weighted mean square of each channel (0 for channels not there).
struct PowerBlock {
    std::array<float, MaxBlockChannels> power{};
};

// Consecutive samples of each channel from time 0 in, finished blocks out. Single-threaded.
class BlockPowerMeter
{
public:
    BlockPowerMeter(int channels, int rate);

    int channels() const { return int(m_channels.size()); }
    // Channels beyond MaxBlockChannels are ignored.
    void push(int channel, const float *samples, int64_t count);
    // The blocks every channel has finished since the last call, in order.
    std::vector<PowerBlock> takeBlocks();
    // The sound has ended: a block begun is closed over the samples it has.
    void finish();

private:
    struct Biquad {
        double b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
        double z1 = 0, z2 = 0;
        double run(double x)
        {
            const double y = b0 * x + z1;
            z1 = b1 * x - a1 * y + z2;
            z2 = b2 * x - a2 * y;
            return y;
        }
    };
    struct Channel {
        Biquad shelf;
        Biquad highPass;
        double sum = 0.0;       // of the block being filled
        int64_t inBlock = 0;
        std::vector<float> done; // finished blocks not yet taken
    };

    std::vector<Channel> m_channels;
    int64_t m_blockSamples;
};

// Prefix sums over the blocks, per channel: the short-term loudness of a pair at any block
// in constant time.
class ShortTermSeries
{
public:
    void clear();
    void append(const PowerBlock &block);
    int64_t size() const { return int64_t(m_sums.size()); }
    // LUFS of left + right (global channels, -1 silent; the same channel twice counts
    // twice, as both output sides carry it) over the 3 s ending with block 'index'; blocks
    // before the first count as silence. Minus infinity for silence, NaN past the end.
    double lufsAt(int64_t index, int left, int right) const;
    // The block holding the end of the picture that ends at 'endSec'.
    static int64_t blockEndingAt(double endSec);

private:
    std::vector<std::array<double, MaxBlockChannels>> m_sums; // through each block
};

} // namespace loudness
