#pragma once

#include <QImage>
#include <QSize>
#include <QVideoFrame>

#include <cstdint>
#include <memory>
#include <vector>

#include "core/conversionprofile.h"
#include "av/ffmpegptr.h"

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
};

// Luma-guided reconstruction of planar 4:2:2 (8 to 16 bits) into 8-bit B,G,R,A rows. Keeps
// its lookup tables, row buffers and worker threads between calls; tables are rebuilt only
// when depth, range or matrix change. Rows are split into bands converted in parallel; the
// calling thread blocks until all are done. Not reentrant: one instance per calling thread.
class Planar422Converter
{
public:
    Planar422Converter();
    ~Planar422Converter();
    Planar422Converter(const Planar422Converter &) = delete;
    Planar422Converter &operator=(const Planar422Converter &) = delete;

    // False (and nothing written) when the frame is not planar 4:2:2, a plane is missing,
    // or width/height differ from the frame's. range: AVColorRange (2 = full);
    // colorSpace: AVColorSpace (selects the matrix).
    bool convert(const AVFrame *frame, uint8_t *dst, int dstStride, int width, int height,
                 int range, int colorSpace);

private:
    void prepare(int depth, bool fullRange, int colorSpace);

    int m_depth = -1;
    bool m_fullRange = false;
    int m_matrix = -1;
    double m_kr = 0, m_kb = 0, m_kg = 0;
    std::vector<double> m_lumaLut;    // sample -> Y in 0..255 (clamped)
    std::vector<double> m_chromaLut;  // sample -> signed chroma on the 0..255 scale
    std::vector<std::vector<double>> m_bandRows; // per band: one row of Y, then its pair means
};

// Turns decoded frames into what the rest of the program shows and analyses: a QVideoFrame
// for the viewer (plane copy when the source already is the output format, otherwise one
// cached swscale context), and an 8-bit ARGB QImage for the inspector, export and scopes.
//
// Owned by the VideoEngine and used only on the engine's thread.
class PixelConverter
{
public:
    // Key of the cached display context; initial values mean "no context". The context is
    // also rebuilt when the range, matrix or scaling flags it was made with change.
    struct CacheKey {
        int swsSourceFormat = -1;
        int swsSourceWidth = 0;
        int swsSourceHeight = 0;
        int swsTargetWidth = 0;
        int swsTargetHeight = 0;
        int swsTargetFormat = -1;
        bool operator==(const CacheKey &) const = default;
    };

    PixelConverter();
    ~PixelConverter();
    PixelConverter(const PixelConverter &) = delete;
    PixelConverter &operator=(const PixelConverter &) = delete;

    // The same profile again keeps the cached context; another one drops it.
    void setConversionProfile(ConversionProfile profile);
    ConversionProfile conversionProfile() const { return m_conversionProfile; }

    // Viewer picture of 'frame' under the current profile, tagged with range, matrix and
    // transfer (YUV output of BT.2020 sources is tagged BT.2020, so Qt decodes it with the
    // matrix it was made with); invalid when there is no frame or it cannot be converted. previewDownscaleActive: shrink to fit 1280x720 with bilinear
    // scaling (playback of heavy UHD files). Costs one frame-sized allocation and one copy or
    // scale per call; the swscale context is reused while formats and sizes stay the same.
    QVideoFrame toVideoFrame(const AVFrame *frame, const ConversionSource &source,
                             bool previewDownscaleActive);

    // QImage::Format_ARGB32 of the frame at full size, independent of the profile and the
    // cached context (a one-off swscale context per call). Null on failure.
    QImage toRgbImage(const AVFrame *frame, const ConversionSource &source);

    // File closed: frees the context and resets the key. The profile is kept.
    void reset();

    CacheKey cacheKey() const { return m_key; }
    bool hasCachedContext() const { return m_swsContext != nullptr; }
    // Number of display contexts built so far (for tests and diagnostics).
    int contextBuildCount() const { return m_contextBuilds; }

    // Preview size for a frame: fits inside 1280x720 keeping the aspect ratio, each side
    // rounded down to even (at least 2). Frames that already fit keep their size.
    static QSize previewSize(QSize frameSize);

private:
    // Colour facts of the cached context; the context bakes them in, so a change rebuilds it.
    struct ColourKey {
        bool sourceFull = false;
        bool targetFull = false;
        int matrix = -1;
        int flags = 0;
        bool operator==(const ColourKey &) const = default;
    };

    void dropContext();

    av::SwsContextPtr m_swsContext;
    CacheKey m_key;
    ColourKey m_colourKey;
    ConversionProfile m_conversionProfile = Standard;
    int m_contextBuilds = 0;
    Planar422Converter m_planar422;
};
