#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One measured channel on its way to the meter: samples at the measurement rate plus the
// time of the sample at the head, so decoded frames land where their timestamps say even
// when a stream has gaps or overlaps. Used on the measuring thread only.
class ChannelFifo
{
public:
    explicit ChannelFifo(int rate = 48000);
    // Starts with nothing queued and the head at 'headTimeSec': the first samples are then
    // placed relative to that time like any later ones.
    ChannelFifo(int rate, double headTimeSec);

    // Appends count samples whose first one belongs at 'startSec'. A start more than 5 ms
    // after the end of what is queued inserts silence for the gap; one more than 5 ms before
    // it drops the overlapping head of the new samples. Nearer starts are taken as seamless.
    void push(const double *samples, int64_t count, double startSec);

    // Moves min(count, size()) samples to out (zeros fill the rest of out's count) and
    // advances the head time by count: the zeros stand for time that was measured as
    // silence. out may be null to just drop them.
    void pop(double *out, int64_t count);

    int64_t size() const { return int64_t(m_samples.size() - m_head); }
    bool hasHeadTime() const { return m_headTimeSet; }
    double headTimeSec() const { return m_headTimeSec; }
    int64_t toleranceSamples() const { return m_tolerance; }

private:
    std::vector<double> m_samples;
    std::size_t m_head = 0; // index of the head sample in m_samples
    int m_rate;
    int64_t m_tolerance;
    double m_headTimeSec = 0.0;
    bool m_headTimeSet = false;
};
