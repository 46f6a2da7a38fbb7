#pragma once

// PSNR and SSIM of two decoded pictures, computed on their stored Y'CbCr planes (no RGB,
// no colour arithmetic). PSNR per plane: 10 log10(max^2 / MSE), max the largest code of
// the bit depth. SSIM of the luma plane: the mean over 8x8 windows placed every 4 samples,
// with sums taken per 4x4 block (constants 0.01 and 0.03 of the code range), so the
// numbers can be held against other tools that use the same windows.

#include "analysis/comparetypes.h"
#include "av/ffmpegptr.h"

#include <cstdint>
#include <optional>

struct AVFrame;

namespace cmp {

// One plane of samples, 8 bits (uint8_t) or 9..16 bits (native uint16_t).
struct PlaneView {
    const uint8_t *data = nullptr;
    int stride = 0; // bytes
    int width = 0;
    int height = 0;
};

// Sum of squared differences; 0 exactly when the planes are equal.
uint64_t sumSquaredError8(const PlaneView &a, const PlaneView &b);
uint64_t sumSquaredError16(const PlaneView &a, const PlaneView &b);
// Whether two planes hold the same samples (a row compare, cheaper than the sum).
bool samePlane(const PlaneView &a, const PlaneView &b, int bytesPerSample);
// PSNR in dB of a summed squared error over 'samples' samples at 'depth' bits; empty
// (infinite) for no error.
std::optional<double> psnrFromError(uint64_t sse, int64_t samples, int depth);
// Mean SSIM of two planes of the same size; empty when smaller than one 8x8 window.
std::optional<double> ssim8(const PlaneView &a, const PlaneView &b);
std::optional<double> ssim16(const PlaneView &a, const PlaneView &b, int depth);

// Compares decoded pictures of two files. B is brought to A's layout first when they
// differ (sample format, or size when scaling is allowed); formats whose planes cannot be
// read directly (packed, semi-planar, big-endian, RGB) are repacked without colour
// arithmetic. Keeps its conversion contexts between calls; one thread.
class FrameComparer
{
public:
    FrameComparer(bool psnr, bool ssim);
    // Fills identical, planes, psnr and ssimY of a result; false when a picture could not
    // be read or converted (the result says nothing then).
    bool compare(const AVFrame *a, const AVFrame *b, PairResult &result);

private:
    const AVFrame *readable(const AVFrame *frame, av::SwsContextPtr &context, av::FramePtr &holder);
    const AVFrame *convert(const AVFrame *frame, int format, int width, int height, av::SwsContextPtr &context,
                           av::FramePtr &holder);

    bool m_psnr;
    bool m_ssim;
    av::SwsContextPtr m_repackA, m_repackB, m_toA;
    av::FramePtr m_heldA, m_heldB, m_convertedB;
};

} // namespace cmp
