#include "loudness/channelfifo.h"

#include <algorithm>
#include <cmath>

ChannelFifo::ChannelFifo(int rate)
    : m_rate(std::max(rate, 1))
    , m_tolerance(std::max<int64_t>(1, int64_t(std::ceil(m_rate * 0.005))))
{
}

ChannelFifo::ChannelFifo(int rate, double headTimeSec)
    : ChannelFifo(rate)
{
    m_headTimeSec = headTimeSec;
    m_headTimeSet = true;
}

void ChannelFifo::push(const double *samples, int64_t count, double startSec)
{
    if (count <= 0)
        return;
    int64_t dropped = 0;
    // Aligned even when the queue has just run empty: its head time then marks the end of
    // what was already measured, and a gap or overlap after it still counts.
    if (m_headTimeSet) {
        const double endSec = m_headTimeSec + double(size()) / m_rate;
        const int64_t offset = std::llround((startSec - endSec) * m_rate);
        if (offset < -m_tolerance)
            dropped = std::min(count, -offset);
        else if (offset > m_tolerance)
            m_samples.insert(m_samples.end(), std::size_t(offset), 0.0);
    }
    if (size() == 0) {
        m_headTimeSec = startSec + double(dropped) / m_rate;
        m_headTimeSet = true;
    }
    m_samples.insert(m_samples.end(), samples + dropped, samples + count);
}

void ChannelFifo::pop(double *out, int64_t count)
{
    if (count <= 0)
        return;
    const int64_t taken = std::min(count, size());
    if (out) {
        std::copy_n(m_samples.begin() + std::ptrdiff_t(m_head), taken, out);
        std::fill(out + taken, out + count, 0.0);
    }
    m_head += std::size_t(taken);
    m_headTimeSec += double(count) / m_rate;
    // Compact once the consumed part dominates, so pops stay O(1) amortised.
    if (m_head == m_samples.size()) {
        m_samples.clear();
        m_head = 0;
    } else if (m_head >= 65536 && m_head * 2 >= m_samples.size()) {
        m_samples.erase(m_samples.begin(), m_samples.begin() + std::ptrdiff_t(m_head));
        m_head = 0;
    }
}
