#pragma once

// The pixel inspector's engine half: which source pixel lies under a point of the viewer
// canvas, the component values stored for it, and the two-line text the window shows.
// No FFmpeg headers here (widgets include videoengine.h, which includes this).

#include "av/ffmpegptr.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <functional>

struct AVFrame;

namespace pixelprobe {

// A point of the viewer canvas. The picture is shown turned by rotationDegrees (any angle;
// it is taken to the quarter turn below it) and fitted centred into width x height.
struct CanvasPoint {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int rotationDegrees = 0;
};

// Stored value of component c (0 = first in the format's own order) at pixel (x, y) of the
// frame, in luma/RGB coordinates: chroma of subsampled formats is read at the chroma sample
// covering (x, y). 0 for a component the format does not have. Packed, bitstream and
// big-endian layouts are read as the format describes them.
unsigned componentValue(const AVFrame *frame, int c, int x, int y);

// "Source:  a,b,c (KINDdepth)": components 0..2 in the format's order, KIND "RGB" or "YUV",
// depth of component 0 (1..16). Float formats show the numbers with four decimals and
// "(KINDF32)". "Source:  --,--,--" when the format is unknown.
QString sourceDescription(const AVFrame *frame, int x, int y);

} // namespace pixelprobe

// Answers inspector queries for one frame at a time: the decoded frame and its RGB
// conversion stay cached until another frame number is asked for, so a mouse moving over
// a paused picture costs one decode and one conversion. Engine thread only.
class PixelProbe
{
public:
    // Decodes frame n (seeking as needed); null when there is none.
    using Decoder = std::function<av::FramePtr(int64_t)>;
    // The engine's RGB image conversion of a frame; null image on failure.
    using Converter = std::function<QImage(const AVFrame *)>;

    // "Source:  ...\nConvert: r,g,b" for the pixel under the canvas point of frame n, or an
    // empty text when there is no frame, no conversion or the point is off the picture.
    QString sourceConvertText(int64_t frameNumber, const pixelprobe::CanvasPoint &point,
                              const Decoder &decode, const Converter &convert);

    // Forgets the cached frame and image (file closed).
    void clear();
    int64_t cachedFrameNumber() const { return m_frameNumber; }

private:
    av::FramePtr m_frame;
    int64_t m_frameNumber = -1; // -1: nothing cached
    QImage m_image;             // RGB of m_frame, made on first use
};
