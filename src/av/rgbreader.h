#pragma once

// Decoded pictures read as R'G'B'A with the matrices, ranges and untagged rule of
// core/colour.h. This is the one conversion behind the viewer, the picture exports, the
// pixel inspector and anything that analyses colour, so a picture reads the same wherever
// it is looked at, whatever the Qt or FFmpeg release. Sources are read at their full depth;
// RGB sources pass without a matrix; alpha is kept. No FFmpeg headers here.

#include "av/ffmpegptr.h"
#include "core/colour.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

struct AVFrame;

// What the engine knows about the open video decoder that changes how its frames are read.
struct ConversionSource {
    int codecId = 0;           // AVCodecID of the open video decoder; 0 (none) when unknown
    int codecProfile = -99;    // its profile; -99 is FFmpeg's "unknown"
    int rangeOverride = 0;     // AVColorRange assumed for every frame; 0 = each frame's own
    // DNxHR 4:4:4 RGB read as R,G,B planes (GBR planes taken 1,2,0; YUV 4:4:4 frames of the
    // DNxHR 444 profile taken as GBR). FFmpeg's dnxhd decoder already writes planes in the
    // order its pixel format declares, so the engine leaves this off; turning it on for such
    // a decoder swaps the colours of every DNxHR 444 picture.
    bool dnxhrPlanesInRgbOrder = false;
    // Float samples are scene-linear (EXR): shown through colour::sceneLinearToDisplay at
    // this exposure. The float rows stay linear.
    double exposureStops = 0.0;
};

namespace rgbreader {

// The matrix of a frame's AVColorSpace by the untagged rule of core/colour. A tag the
// module does not know reads as BT.709 and is named in the log, once per tag and process.
colour::MatrixChoice matrixFor(int avColorSpace);

// The frame as its samples are to be read: a new reference to the same buffers, with the
// DNxHR plane order applied, the full-range "J" formats taken as their plain layouts, and
// color_range set to the range that applies (the override, else the frame's own tag, else
// full for RGB and "J" formats and limited for the rest). Null for a frame without a size
// or with an unknown format.
av::FramePtr sourceView(const AVFrame *frame, const ConversionSource &source);

} // namespace rgbreader

// Reads one frame's rows as R'G'B'A. open() costs little (no pixels are touched, except for
// the rare layouts that are first unpacked by swscale); the row calls do the work and may
// run on several threads at once for different rows.
class RgbReader
{
public:
    // How the open frame is read.
    struct Facts {
        bool rgb = false;          // R,G,B samples: no matrix
        bool alpha = false;        // an alpha channel is carried
        colour::Matrix matrix = colour::Matrix::BT709; // of a YUV source
        colour::Range range = colour::Range::Limited;  // of a YUV source
        int depth = 0;             // bits of the first component (32: float samples)
        int colorSpaceTag = 2;     // the frame's AVColorSpace
        bool tagRecognised = true; // false: an unknown tag, read by the untagged rule
        bool sceneLinear = false;  // float samples: 8-bit rows go through the view transform
    };

    RgbReader();
    ~RgbReader();
    RgbReader(const RgbReader &) = delete;
    RgbReader &operator=(const RgbReader &) = delete;

    // Prepares to read 'frame' through rgbreader::sourceView; the frame's buffers must stay
    // unchanged while rows are read. False for frames without a size, unknown or hardware
    // formats, and missing planes. An unknown colour-space tag is read by the untagged rule
    // (BT.709) and named in the log, once per tag and process.
    bool open(const AVFrame *frame, const ConversionSource &source = {});
    bool isOpen() const { return m_open; }
    const Facts &facts() const { return m_facts; }
    int width() const { return m_width; }
    int height() const { return m_height; }

    // Rows [first, end) as bytes B, G, R, A per pixel (QImage::Format_ARGB32 on
    // little-endian machines), each value rounded and clamped to 0..255; alpha is 255
    // without an alpha channel. Scene-linear sources get the view transform first. Row y of the picture goes to dst + (y - first) * dstStride.
    void rowsToBgra8(int first, int end, uint8_t *dst, ptrdiff_t dstStride) const;

    // Rows [first, end) as floats R, G, B, A per pixel: 0 = black, 1 = nominal white, at full
    // precision and not clamped, so below-black, above-white and out-of-gamut values of YUV
    // sources stay visible. Alpha 0..1. Row y goes to dst + (y - first) * dstStride floats.
    void rowsToRgbaFloat(int first, int end, float *dst, ptrdiff_t dstStride) const;

    // The whole picture as rowsToBgra8, the rows split into bands on the machine's cores;
    // returns when every row is written.
    void toBgra8(uint8_t *dst, ptrdiff_t dstStride) const;

private:
    // One component's samples in memory, as the pixel-format descriptor lays them out.
    struct Component {
        const uint8_t *data = nullptr;
        ptrdiff_t stride = 0;
        int step = 1;        // bytes from one sample to the next
        int offset = 0;      // bytes before the first sample
        int shift = 0;
        int depth = 8;
        int unit = 1;        // bytes read per sample: 1, 2 or 4
        bool bigEndian = false;
        bool isFloat = false;
        uint32_t mask = 0xff;
    };
    enum class Mode { Yuv, Rgb, Grey };
    struct Scratch;

    bool prepare(const AVFrame *view);
    void readComponent(const Component &c, int row, int count, float *out) const;
    // Chroma component c (1 or 2) at full picture width for picture row y, interpolated
    // between the chroma samples around it.
    void readChroma(int c, int y, float *out, Scratch &scratch) const;
    // Fills the scratch rows with the code values of picture row y.
    void readRow(int y, Scratch &scratch) const;

    bool m_open = false;
    Facts m_facts;
    Mode m_mode = Mode::Yuv;
    int m_width = 0;
    int m_height = 0;
    std::array<Component, 4> m_components{};
    int m_alphaComponent = -1;
    std::array<int, 3> m_rgbOrder{0, 1, 2}; // components holding R, G, B
    // Chroma subsampling (log2) and where the first chroma sample sits, in luma samples.
    int m_log2ChromaW = 0;
    int m_log2ChromaH = 0;
    int m_chromaWidth = 0;
    int m_chromaHeight = 0;
    double m_chromaOffsetX = 0.0;
    double m_chromaOffsetY = 0.0;
    // Horizontal interpolation for subsampling other than 2:1: per output pixel the two
    // chroma samples and the weight of the second.
    std::vector<int> m_chromaIndex0, m_chromaIndex1;
    std::vector<float> m_chromaWeight;
    // Code values -> normalised R'G'B': YUV: rgb = m * (Y, Cb, Cr) + offset; RGB: per
    // component scale; grey: scale and offset of Y.
    std::array<std::array<float, 3>, 3> m_matrix{};
    std::array<float, 3> m_offset{};
    std::array<float, 3> m_scale{};
    float m_alphaScale = 0.0f;
    std::optional<colour::SceneLinearToByte> m_sceneLinearView;
    av::FramePtr m_view;     // the frame's planes as read
    av::FramePtr m_unpacked; // rare layouts, unpacked by swscale first
};
