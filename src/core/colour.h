#pragma once

// The one place where Y'CbCr <-> R'G'B' is defined. Display, exports, the pixel inspector,
// the scopes and the analyses all take their matrices and levels from here, so a picture
// reads the same wherever it is looked at. Plain C++: no Qt, no FFmpeg types (colour spaces
// and ranges come in as the integer values of FFmpeg's AVColorSpace / AVColorRange).

#include <array>
#include <bit>
#include <cstdint>
#include <string_view>
#include <vector>

namespace colour {

enum class Matrix {
    BT601,     // BT.470BG, SMPTE 170M
    BT709,
    BT2020NCL, // BT.2020 non-constant luminance (also used for BT.2020 CL pictures)
    SMPTE240M,
    FCC,
};

enum class Range {
    Limited, // "video" / "TV" range: 16..235 luma, 16..240 chroma at 8 bits
    Full,    // 0..2^depth-1
};

// Luma weights; Kg = 1 - Kr - Kb.
struct LumaWeights {
    double kr = 0.0;
    double kb = 0.0;
    constexpr double kg() const { return 1.0 - kr - kb; }
};

constexpr LumaWeights lumaWeights(Matrix matrix)
{
    switch (matrix) {
    case Matrix::BT601: return {0.299, 0.114};
    case Matrix::BT709: return {0.2126, 0.0722};
    case Matrix::BT2020NCL: return {0.2627, 0.0593};
    case Matrix::SMPTE240M: return {0.212, 0.087};
    case Matrix::FCC: return {0.30, 0.11};
    }
    return {0.2126, 0.0722};
}
std::string_view matrixName(Matrix matrix);

// How a picture's colour-space tag was read.
struct MatrixChoice {
    Matrix matrix = Matrix::BT709;
    // False when the tag names a matrix this module does not know (YCgCo, ICtCp, ...):
    // the untagged rule was applied instead. Unspecified and reserved tags count as known.
    bool recognised = true;
};

// The matrix for an AVColorSpace value. Untagged rule: unspecified (2), reserved (3) and
// anything unknown read as BT.709; RGB (0) also yields BT.709 but has no matrix to apply.
MatrixChoice matrixForColorSpace(int avColorSpace);

// The range for an AVColorRange value: 2 (JPEG) is full, anything else limited. RGB
// pictures are always full; callers decide that before asking.
Range rangeForColorRange(int avColorRange);

// Code-value layout of one bit depth and range.
struct CodeLevels {
    double lumaBlack = 0.0;  // code value of black (Y' = 0)
    double lumaSpan = 0.0;   // code values from black to white
    double chromaMid = 0.0;  // code value of zero chroma
    double chromaSpan = 0.0; // code values from Cb/Cr = -0.5 to +0.5
    double maxCode = 0.0;    // 2^depth - 1
};
CodeLevels codeLevels(Range range, int bitDepth);

// Y'CbCr code values at one depth/range -> normalised R'G'B' (0 = black, 1 = white,
// not clamped). rgb[i] = m[i][0]*Y + m[i][1]*Cb + m[i][2]*Cr + offset[i].
struct YuvToRgb {
    std::array<std::array<double, 3>, 3> m{};
    std::array<double, 3> offset{};

    std::array<double, 3> apply(double y, double cb, double cr) const
    {
        return {m[0][0] * y + m[0][1] * cb + m[0][2] * cr + offset[0],
                m[1][0] * y + m[1][1] * cb + m[1][2] * cr + offset[1],
                m[2][0] * y + m[2][1] * cb + m[2][2] * cr + offset[2]};
    }
};
YuvToRgb yuvToRgb(Matrix matrix, Range range, int bitDepth);

// Normalised R'G'B' -> Y'CbCr code values at one depth/range (not rounded or clamped).
// The inverse of yuvToRgb; used for scope targets and test pictures.
std::array<double, 3> rgbToYuv(Matrix matrix, Range range, int bitDepth,
                               double r, double g, double b);

// Normalised value -> 8-bit code, rounded and clamped to 0..255.
inline int toByte(double normalised)
{
    const double v = normalised * 255.0 + 0.5;
    return v <= 0.0 ? 0 : v >= 255.0 ? 255 : int(v);
}

// Scene-linear pictures (float samples, as EXR carries them) on a BT.709/sRGB display:
// the linear value times 2^exposureStops, clipped to 0..1, then the sRGB encoding
// (12.92 v up to 0.0031308, else 1.055 v^(1/2.4) - 0.055). Same primaries, so no gamut
// mapping; no tone curve, so what the exposure pushes above 1 clips. NaN reads as 0.
double sceneLinearToDisplay(double linear, double exposureStops);
constexpr double kMaxExposureStops = 16.0;

// sceneLinearToDisplay to 8-bit codes (rounded as toByte) without a power per sample: the
// linear threshold of every code, found from a table indexed by the sample's top 16 bits.
// Exposure is kept to +/- kMaxExposureStops, where the thresholds stay normal floats.
class SceneLinearToByte
{
public:
    explicit SceneLinearToByte(double exposureStops = 0.0);
    double exposureStops() const { return m_stops; }

    uint8_t operator()(float linear) const
    {
        unsigned code = m_coarse[std::bit_cast<uint32_t>(linear) >> 16];
        // A bucket spans under one code step of the curve: at most a step or two up.
        while (code < 255 && linear >= m_threshold[code + 1])
            ++code;
        return uint8_t(code);
    }

private:
    double m_stops = 0.0;
    std::array<float, 256> m_threshold{}; // lowest linear value giving each code (0: unused)
    std::vector<uint8_t> m_coarse;        // code of the lowest float of each 16-bit bucket
};

} // namespace colour
