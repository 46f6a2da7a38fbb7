#include "loudness/pairmeter.h"

#include <algorithm>

namespace {

// Demuxers hand out packets in time order, so a side this far behind the other has ended
// or pauses; its silence is fed rather than the other side held in memory meanwhile.
constexpr int kMaxLagSeconds = 30;

} // namespace

PairMeter::PairMeter(const std::atomic<bool> *abort)
    : m_abort(abort)
{
}

QString PairMeter::start(int rate, int left, int right, double startSec)
{
    m_rate = rate;
    m_left = left < MaxChannels ? left : -1;
    m_right = right < MaxChannels ? right : -1;
    for (ChannelFifo &fifo : m_fifos)
        fifo = ChannelFifo(rate, startSec);
    m_maxLagSamples = int64_t(kMaxLagSeconds) * rate;
    return m_graph.build(rate);
}

void PairMeter::push(int channel, const double *samples, int64_t count, double startSec)
{
    if (measures(channel))
        m_fifos[size_t(channel)].push(samples, count, startSec);
}

QString PairMeter::feed(Mode mode)
{
    const int left = m_left;
    const int right = m_right;
    for (;;) {
        if (aborting() || (left < 0 && right < 0))
            return {};
        int64_t available = 0;
        if (left < 0 || left == right)
            available = m_fifos[size_t(right)].size();
        else if (right < 0)
            available = m_fifos[size_t(left)].size();
        else {
            const int64_t shorter = std::min(m_fifos[size_t(left)].size(), m_fifos[size_t(right)].size());
            const int64_t longer = std::max(m_fifos[size_t(left)].size(), m_fifos[size_t(right)].size());
            const bool lagging = shorter < BlockSamples && longer - shorter > m_maxLagSamples;
            available = mode == Mode::Final || lagging ? longer : shorter;
        }
        if (available == 0 || (mode == Mode::Normal && available < BlockSamples))
            return {};

        const int64_t block = std::min(available, BlockSamples);
        m_leftBlock.assign(size_t(block), 0.0);
        m_rightBlock.assign(size_t(block), 0.0);
        if (left >= 0)
            m_fifos[size_t(left)].pop(m_leftBlock.data(), block);
        if (right >= 0 && right != left)
            m_fifos[size_t(right)].pop(m_rightBlock.data(), block);
        else if (right == left)
            m_rightBlock = m_leftBlock;
        if (QString problem = m_graph.feed(m_leftBlock.data(), m_rightBlock.data(), block); !problem.isEmpty())
            return problem;
    }
}

QString PairMeter::finish()
{
    if (QString problem = feed(Mode::Final); !problem.isEmpty())
        return problem;
    return m_graph.finish();
}
