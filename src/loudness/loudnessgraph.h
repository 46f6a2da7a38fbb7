#pragma once

#include "av/ffmpegptr.h"

#include <QString>

#include <cstdint>
#include <limits>
#include <vector>

struct AVFilterContext;

// The meter: "abuffer" -> "ebur128" (true peak on) -> "abuffersink" for interleaved double
// stereo at one rate. It collects the integrated loudness and the true peak from the
// metadata the meter attaches to the frames it passes on. Each call returns an empty
// string on success or the failure text to show. Single-threaded.
class LoudnessGraph
{
public:
    QString build(int rate);
    // Feeds n = min(leftCount, rightCount) sample pairs; n <= 0 does nothing.
    QString feed(const double *left, const double *right, int64_t count);
    // Signals the end of the signal and collects the meter's last figures.
    QString finish();

    // NaN until the meter has reported; after finish() falls back to the meter's own
    // summary options when no frame carried the figure.
    double integratedLufs() const { return m_integrated; }
    // dBTP; minus infinity for digital silence.
    double truePeakDb() const { return m_truePeakDb; }
    // The meter's short-term loudness (LUFS) at the end of each 100 ms it has passed on.
    const std::vector<double> &shortTermLufs() const { return m_shortTerm; }

private:
    QString drain();
    void readSummaryOptions();

    av::FilterGraphPtr m_graph;
    AVFilterContext *m_source = nullptr; // owned by m_graph
    AVFilterContext *m_meter = nullptr;  // owned by m_graph
    AVFilterContext *m_sink = nullptr;   // owned by m_graph
    av::FramePtr m_drainFrame;
    int m_rate = 0;
    int64_t m_samplesFed = 0;
    double m_integrated = std::numeric_limits<double>::quiet_NaN();
    double m_truePeakDb = -std::numeric_limits<double>::infinity();
    std::vector<double> m_shortTerm;
    bool m_integratedSeen = false;
    bool m_truePeakSeen = false;
};
