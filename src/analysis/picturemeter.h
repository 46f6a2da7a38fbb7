#pragma once

// Per-picture measurements for the black, freeze and levels checks, in one pass over the
// luma plane. Levels are judged against the picture's nominal range (limited or full, at
// its bit depth); R, G and B come from the colour module's Y'CbCr matrices.

#include "analysis/detectors.h"
#include "analysis/qctypes.h"
#include "av/ffmpegptr.h"
#include "core/colour.h"

#include <cstdint>
#include <vector>

struct AVFrame;

namespace qc {

// For each chroma sample, the luma codes whose Y, R, G and B all lie within the legal
// limits form one interval (R, G and B all grow with Y at the same slope). This is the
// one place that turns Y'CbCr into R'G'B' for the analysis.
class LegalLuma
{
public:
    LegalLuma(colour::Matrix matrix, colour::Range range, int bitDepth, double low, double high);
    // Inclusive legal luma codes for chroma codes cb, cr; lowest > highest when none is.
    void limits(int cb, int cr, int &lowest, int &highest) const;
    // The same, remembered per chroma pair up to 10 bits (pictures repeat few pairs).
    void cachedLimits(int cb, int cr, int &lowest, int &highest)
    {
        if (m_pairs.empty()) {
            limits(cb, cr, lowest, highest);
            return;
        }
        const int top = (1 << m_depth) - 1;
        const size_t index = (size_t(cb > top ? top : cb) << m_depth) | size_t(cr > top ? top : cr);
        const uint32_t pair = m_pairs[index];
        if (pair == UnknownPair) {
            remember(index, cb, cr, lowest, highest);
            return;
        }
        lowest = int16_t(uint16_t(pair >> 16));
        highest = int16_t(uint16_t(pair & 0xffffu));
    }
    static constexpr uint32_t UnknownPair = 0x7fff8000u; // lowest 32767 > highest -32768
    // Without chroma (grey pictures): the legal Y codes.
    int lumaLowest() const { return m_yLowest; }
    int lumaHighest() const { return m_yHighest; }

private:
    void remember(size_t index, int cb, int cr, int &lowest, int &highest);

    double m_lumaScale = 1.0;  // normalised R'G'B' per luma code
    double m_low = 0.0;
    double m_high = 1.0;
    int m_yLowest = 0;
    int m_yHighest = 0;
    // Chroma contributions to R, G and B per code value.
    std::vector<double> m_rFromCr, m_gFromCb, m_gFromCr, m_bFromCb;
    int m_depth = 8;
    std::vector<uint32_t> m_pairs; // (lowest, highest) as two int16, or UnknownPair
};

class PictureMeter
{
public:
    PictureMeter(const Settings &settings);

    // rangeOverride: the AVColorRange the display assumes for every picture, 0 for each
    // picture's own. Keeps a reference to the frame for the next difference.
    PictureStats measure(const AVFrame *frame, int rangeOverride);

private:
    struct Layout;
    template <typename T>
    PictureStats measurePlanes(const AVFrame *frame, const Layout &layout);
    const AVFrame *planarSource(const AVFrame *frame, Layout &layout);
    LegalLuma &legalFor(colour::Matrix matrix, colour::Range range, int depth);

    Settings m_settings;
    bool m_wantLevels;
    bool m_wantFreeze;
    av::FramePtr m_previous;      // the last picture measured (same layout as now, or dropped)
    av::FramePtr m_converted;     // repacked picture of a format read through swscale
    av::SwsContextPtr m_repack;
    struct LegalKey {
        colour::Matrix matrix;
        colour::Range range;
        int depth;
    };
    std::optional<LegalKey> m_legalKey;
    std::optional<LegalLuma> m_legal;
    std::vector<int32_t> m_rowLowest, m_rowHighest; // legal luma interval per luma sample of a row
};

} // namespace qc
