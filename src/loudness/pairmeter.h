#pragma once

#include "loudness/channelfifo.h"
#include "loudness/loudnessgraph.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

// Two global channels on their way to the loudness meter: each side's samples wait in a
// FIFO that places them where their timestamps say, and whole blocks of both sides go to
// the ebur128 graph together. Shared by the loudness measurement and the QC analysis.
// Single-threaded; 'abort' (optional) is polled between blocks.
class PairMeter
{
public:
    static constexpr int MaxChannels = 8;
    // Largest block handed to the meter; normal feeding also waits for this much on both sides.
    static constexpr int64_t BlockSamples = 4096;

    explicit PairMeter(const std::atomic<bool> *abort = nullptr);

    // left/right: global channels, negative for silence on that side. Both sides start at
    // startSec, so a side whose sound begins later is preceded by silence. Builds the graph.
    QString start(int rate, int left, int right, double startSec);
    int left() const { return m_left; }
    int right() const { return m_right; }
    int rate() const { return m_rate; }
    bool measures(int channel) const { return channel >= 0 && (channel == m_left || channel == m_right); }
    bool silent() const { return m_left < 0 && m_right < 0; }

    // count samples of 'channel' at the meter's rate, the first one at startSec; channels
    // not measured are ignored.
    void push(int channel, const double *samples, int64_t count, double startSec);
    // Normal: feeds whole blocks while both sides hold one (a side lagging far behind the
    // other has ended or pauses and is fed as silence). Final: feeds everything left.
    enum class Mode { Normal, Final };
    QString feed(Mode mode);
    // The meter itself, for feeding digital silence directly.
    LoudnessGraph &graph() { return m_graph; }
    // Feeds what is left and flushes the meter.
    QString finish();

    double integratedLufs() const { return m_graph.integratedLufs(); }
    double truePeakDb() const { return m_graph.truePeakDb(); }

private:
    bool aborting() const { return m_abort && m_abort->load(std::memory_order_relaxed); }

    const std::atomic<bool> *m_abort;
    int m_rate = 0;
    int m_left = -1;
    int m_right = -1;
    int64_t m_maxLagSamples = 0;
    std::array<ChannelFifo, MaxChannels> m_fifos;
    LoudnessGraph m_graph;
    std::vector<double> m_leftBlock;
    std::vector<double> m_rightBlock;
};
