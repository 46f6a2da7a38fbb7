#pragma once

#include "core/enums.h"
#include "core/scoperequest.h"

#include <QImage>
#include <QSize>


struct AVFrame;

// The waveform scope: for each of 1920 positions across the picture, how many pixels of
// that canvas column sit at each level, drawn as brightness over a fixed graticule. The
// parade (request.kind ScopeParade) is the same count with 640 positions per third, one
// colour component in each.
// Pure functions, callable from any thread; the engine calls renderScope on its own thread.
namespace waveform {

inline constexpr int kScopeWidth = 1920;
inline constexpr int kScopeHeight = 1024;
// Width of each of the parade's three waveforms (red, green, blue from the left).
inline constexpr int kParadeWidth = kScopeWidth / 3;

// The whole request: graticule, then the 16-bit YUV or GBR path, then the 8-bit fallback
// when that path declines. A null frame gives the bare graticule. Always 1920 x 1024
// Format_RGB32. Cost: one 16-bit 4:4:4 conversion of the frame plus 1920 x canvas-height
// samples, spread over the machine's cores by column bands.
QImage renderScope(const AVFrame *frame, const ScopeRequest &request);

// Black image with the scale lines and labels of 'range' (anything but Percent draws the
// code-value scale). Built once per range and size, then shared.
QImage buildScopeGraticule(ScopeRange range, int width = kScopeWidth, int height = kScopeHeight);

// The waveform graticule split into the parade's three thirds, labelled R, G, B.
QImage buildParadeGraticule(ScopeRange range);

// Row of an 8-bit-scaled sample value; out-of-scale values pile up on the first/last row.
int scopeRow(double value, int height, ScopeRange range);

// scopeRow through a step table built once per range and height, as the renderers use it
// per sample: the same rows without a division or a rounding call.
int tabulatedScopeRow(double value, int height, ScopeRange range);

// Brightness 0..1 of a cell with count n in a column whose largest count is m.
float scopeIntensity(float n, float m);

// The canvas the scope scans for a frame of frameSize under 'rotationDegrees': the frame
// itself, or for a quarter turn of a portrait frame its transposed (landscape) size.
QSize scopeCanvasSize(QSize frameSize, int rotationDegrees);

// The three renderers add traces to 'image' (the graticule). The first two decline
// (return false, image untouched) when the frame is not theirs or a work buffer cannot be
// made; the image one draws whatever it is given (a Format_ARGB32 picture, as the viewer
// would show it).
bool renderWaveformFromYuv(QImage &image, const AVFrame *frame, const ScopeRequest &request);
bool renderWaveformFromRgb(QImage &image, const AVFrame *frame, const ScopeRequest &request);
void renderWaveformFromImage(QImage &image, const QImage &picture, const ScopeRequest &request);

} // namespace waveform
