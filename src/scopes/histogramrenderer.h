#pragma once

#include "core/scoperequest.h"

#include <QImage>

#include <array>
#include <cstdint>
#include <vector>

struct AVFrame;

// The histogram: how many pixels of the picture sit at each code value of Y' and of R', G',
// B', drawn as filled bars (linear) with the log of the same counts as a line over them,
// along the waveform's level scale (percent or code values). Pure functions, any thread.
namespace histogram {

inline constexpr int kWidth = 1920;
inline constexpr int kHeight = 1024;

// One channel's counts: bin i holds the pixels whose level (8-bit scale, 0 = black,
// 255 = white) is firstLevel + i * levelPerBin.
struct Channel {
    std::vector<uint32_t> bins;
    double firstLevel = 0.0;
    double levelPerBin = 1.0;
};

// Y', R', G', B' in that order. Y' bins are the source's luma code values; R'G'B' bins are
// code values of the source's depth, with room below black and above white for the
// colours a Y'CbCr picture holds outside R'G'B'.
struct Counts {
    std::array<Channel, 4> channels;
};
enum ChannelIndex { LumaIndex = 0, RedIndex = 1, GreenIndex = 2, BlueIndex = 3 };

// Counts every pixel of the frame (R'G'B' of subsampled chroma from the nearest chroma
// sample); false when the frame cannot be read in place.
bool count(const AVFrame *frame, const ScopeRequest &request, Counts &counts);
// The same from an 8-bit R'G'B' picture (Y' by the BT.709 weights).
void count(const QImage &picture, Counts &counts);

// The value drawn in each of 'columns' columns across the level scale of 'range': the mean
// count of the bins whose levels fall in that column (the bin under it when none does), so
// that equal bins draw equal heights however many share a column.
std::vector<double> columnValues(const Channel &channel, ScopeRange range, int columns = kWidth);

// Horizontal position 0..1 of a level on the scale of 'range' (the waveform's vertical scale).
double scalePosition(double level, ScopeRange range);

QImage buildGraticule(ScopeRange range);

// Always kWidth x kHeight Format_RGB32. Channel Color (and Alpha, which has no histogram)
// stacks Y', R', G', B'; Red, Green, Blue and Luma draw that one over the whole height.
QImage render(const AVFrame *frame, const ScopeRequest &request);

} // namespace histogram
