#pragma once

#include "core/colour.h"
#include "core/scoperequest.h"

#include <QImage>
#include <QPointF>

#include <array>
#include <cstdint>
#include <vector>

struct AVFrame;

// The vectorscope: every chroma sample of the picture as a point of the Cb/Cr plane, Cb to
// the right and Cr up, drawn as brightness over a graticule with the 75 % and 100 % colour
// targets of the picture's matrix and the skin-tone line. Pure functions, any thread.
namespace vectorscope {

inline constexpr int kWidth = 1920;
inline constexpr int kHeight = 1024;
// The plane is a square of kPlane x kPlane image pixels centred on the image.
inline constexpr int kPlane = 1024;
inline constexpr int kPlaneLeft = (kWidth - kPlane) / 2;
// Pixels per unit of chroma: Cb or Cr of +-0.5 is 400 pixels from the centre, so that an
// 8-bit chroma step (1/224) is 3.6 pixels and the 100 % targets stay inside the plane.
inline constexpr double kPixelsPerUnit = 800.0;

// Image position of a normalised chroma pair (-0.5 .. 0.5 each).
QPointF position(double cb, double cr);

struct Target {
    const char *name; // "R", "Yl", "G", "Cy", "B", "Mg"
    double percent;   // 75 or 100
    double cb, cr;    // normalised
};
// The six primaries and secondaries at 75 % and 100 % under 'matrix'.
std::array<Target, 12> targets(colour::Matrix matrix);

// Counts per plane cell (kPlane x kPlane, row-major, row 0 at the top) of the frame's chroma
// samples; false when the frame cannot be read in place (then nothing is counted).
bool countChroma(const AVFrame *frame, const ScopeRequest &request, std::vector<uint32_t> &counts);
// The same from an 8-bit R'G'B' picture (the engine's fallback), under the BT.709 matrix.
void countChroma(const QImage &picture, std::vector<uint32_t> &counts);

// The matrix the frame's chroma is read with (BT.709 for R'G'B' sources).
colour::Matrix matrixOf(const AVFrame *frame);

// The graticule for 'matrix', built once per matrix.
QImage buildGraticule(colour::Matrix matrix);

// Always kWidth x kHeight Format_RGB32; a null frame gives the bare BT.709 graticule.
QImage render(const AVFrame *frame, const ScopeRequest &request);

} // namespace vectorscope
