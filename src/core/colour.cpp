#include "core/colour.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace colour {

std::string_view matrixName(Matrix matrix)
{
    switch (matrix) {
    case Matrix::BT601: return "BT.601";
    case Matrix::BT709: return "BT.709";
    case Matrix::BT2020NCL: return "BT.2020";
    case Matrix::SMPTE240M: return "SMPTE 240M";
    case Matrix::FCC: return "FCC";
    }
    return "BT.709";
}

MatrixChoice matrixForColorSpace(int avColorSpace)
{
    // Values of AVColorSpace; spelled out so that this header needs no FFmpeg.
    switch (avColorSpace) {
    case 0:  // RGB: no matrix, but a caller that asks anyway gets the default
    case 1:  // BT.709
    case 2:  // unspecified
    case 3:  // reserved
        return {Matrix::BT709, true};
    case 4:  // FCC
        return {Matrix::FCC, true};
    case 5:  // BT.470BG
    case 6:  // SMPTE 170M
        return {Matrix::BT601, true};
    case 7:  // SMPTE 240M
        return {Matrix::SMPTE240M, true};
    case 9:  // BT.2020 NCL
    case 10: // BT.2020 CL: no exact CL decode here; the NCL matrix is the close reading
        return {Matrix::BT2020NCL, true};
    default:
        return {Matrix::BT709, false};
    }
}

Range rangeForColorRange(int avColorRange)
{
    return avColorRange == 2 ? Range::Full : Range::Limited;
}

CodeLevels codeLevels(Range range, int bitDepth)
{
    const int depth = bitDepth > 0 ? bitDepth : 8;
    CodeLevels levels;
    levels.maxCode = std::ldexp(1.0, depth) - 1.0;
    levels.chromaMid = std::ldexp(1.0, depth - 1);
    if (range == Range::Full) {
        levels.lumaBlack = 0.0;
        levels.lumaSpan = levels.maxCode;
        levels.chromaSpan = levels.maxCode;
    } else {
        const double scale = std::ldexp(1.0, depth - 8);
        levels.lumaBlack = 16.0 * scale;
        levels.lumaSpan = 219.0 * scale;
        levels.chromaSpan = 224.0 * scale;
    }
    return levels;
}

YuvToRgb yuvToRgb(Matrix matrix, Range range, int bitDepth)
{
    const LumaWeights w = lumaWeights(matrix);
    const double kg = w.kg();
    const CodeLevels levels = codeLevels(range, bitDepth);

    // Normalised: Y' in 0..1, Cb/Cr in -0.5..0.5.
    const double ys = 1.0 / levels.lumaSpan;
    const double cs = 1.0 / levels.chromaSpan;
    const double rFromCr = 2.0 * (1.0 - w.kr);
    const double bFromCb = 2.0 * (1.0 - w.kb);
    const double gFromCb = -2.0 * w.kb * (1.0 - w.kb) / kg;
    const double gFromCr = -2.0 * w.kr * (1.0 - w.kr) / kg;

    YuvToRgb t;
    t.m[0] = {ys, 0.0, rFromCr * cs};
    t.m[1] = {ys, gFromCb * cs, gFromCr * cs};
    t.m[2] = {ys, bFromCb * cs, 0.0};
    const double y0 = -levels.lumaBlack * ys;
    const double c0 = -levels.chromaMid * cs;
    t.offset[0] = y0 + rFromCr * c0;
    t.offset[1] = y0 + (gFromCb + gFromCr) * c0;
    t.offset[2] = y0 + bFromCb * c0;
    return t;
}

std::array<double, 3> rgbToYuv(Matrix matrix, Range range, int bitDepth, double r, double g,
                               double b)
{
    const LumaWeights w = lumaWeights(matrix);
    const CodeLevels levels = codeLevels(range, bitDepth);
    const double y = w.kr * r + w.kg() * g + w.kb * b;
    const double cb = (b - y) / (2.0 * (1.0 - w.kb));
    const double cr = (r - y) / (2.0 * (1.0 - w.kr));
    return {levels.lumaBlack + y * levels.lumaSpan, levels.chromaMid + cb * levels.chromaSpan,
            levels.chromaMid + cr * levels.chromaSpan};
}

namespace {

double srgbEncode(double v)
{
    return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}

double srgbDecode(double d)
{
    return d <= 0.04045 ? d / 12.92 : std::pow((d + 0.055) / 1.055, 2.4);
}

} // namespace

double sceneLinearToDisplay(double linear, double exposureStops)
{
    if (std::isnan(linear))
        return 0.0;
    const double exposed = linear * std::exp2(std::clamp(exposureStops, -kMaxExposureStops, kMaxExposureStops));
    return srgbEncode(std::clamp(exposed, 0.0, 1.0));
}

SceneLinearToByte::SceneLinearToByte(double exposureStops)
    : m_stops(std::clamp(exposureStops, -kMaxExposureStops, kMaxExposureStops))
{
    const double gain = std::exp2(m_stops);
    // Code c from display value (c - 0.5) / 255 on; back through the curve and the gain.
    for (int c = 1; c < 256; ++c)
        m_threshold[size_t(c)] = float(srgbDecode((c - 0.5) / 255.0) / gain);
    // Rounded to a float, a threshold may fall below the exact one and let the float
    // under it through: move it up to the first float at or above.
    for (int c = 1; c < 256; ++c) {
        float t = m_threshold[size_t(c)];
        while (double(t) * gain < srgbDecode((c - 0.5) / 255.0))
            t = std::nextafter(t, HUGE_VALF);
        m_threshold[size_t(c)] = t;
    }
    m_coarse.assign(65536, 0);
    unsigned code = 0;
    // Positive floats ascend with their bits up to infinity (0x7f80); NaNs and negatives
    // stay 0.
    for (uint32_t top = 0; top <= 0x7f80; ++top) {
        const float lowest = std::bit_cast<float>(top << 16);
        while (code < 255 && lowest >= m_threshold[code + 1])
            ++code;
        m_coarse[top] = uint8_t(code);
    }
}

} // namespace colour
