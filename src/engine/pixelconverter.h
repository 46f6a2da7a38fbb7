#pragma once

#include <QImage>
#include <QSize>
#include <QVideoFrame>

#include <cstdint>
#include <memory>
#include <vector>

#include "av/ffmpegptr.h"
#include "av/rgbreader.h"
#include "core/conversionprofile.h"

struct AVFrame;

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
    int m_matrix = -1; // colour::Matrix of the tables
    double m_kr = 0, m_kb = 0, m_kg = 0;
    std::vector<double> m_lumaLut;    // sample -> Y in 0..255 (clamped)
    std::vector<double> m_chromaLut;  // sample -> signed chroma on the 0..255 scale
    std::vector<std::vector<double>> m_bandRows; // per band: one row of Y, then its pair means
};

// Turns decoded frames into what the rest of the program shows and saves: 8-bit B,G,R,A
// pictures computed by the colour module (av/rgbreader.h), never by the toolkit, so the
// viewer, the picture export, orvel-cli and the pixel inspector show the same pixels on
// every Qt release. Only the preview downscale uses swscale, and only to shrink the
// planes, before any colour is computed.
//
// Owned by the VideoEngine and used only on the engine's thread.
class PixelConverter
{
public:
    // Key of the cached preview scaler; initial values mean "no scaler".
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

    // The same profile again keeps the cached scaler; another one drops it.
    void setConversionProfile(ConversionProfile profile);
    ConversionProfile conversionProfile() const { return m_conversionProfile; }

    // Viewer picture of 'frame' under the current profile: Format_BGRA8888, full range,
    // tagged with the source's matrix and transfer for information only (the colours are
    // final). Planar 4:2:2 sources under ChannelIsolation take the luma-guided converter;
    // everything else the colour module's conversion. previewDownscaleActive: shrink to fit
    // 1280x720 first (bilinear, playback of heavy UHD files). Invalid when there is no frame
    // or it cannot be read. Costs one frame-sized allocation and one conversion per call.
    QVideoFrame toVideoFrame(const AVFrame *frame, const ConversionSource &source,
                             bool previewDownscaleActive);

    // The same picture at full size as a QImage (the picture export): Format_RGB32, or
    // Format_ARGB32 (straight alpha) when the source has alpha. Null on failure.
    QImage toImage(const AVFrame *frame, const ConversionSource &source);

    // Format_ARGB32 of the frame at full size as the viewer shows it under the Standard
    // profile, whatever the current one (the pixel inspector's "Convert:"). Null on failure.
    QImage toRgbImage(const AVFrame *frame, const ConversionSource &source);

    // File closed: frees the scaler and resets the key. The profile is kept.
    void reset();

    CacheKey cacheKey() const { return m_key; }
    bool hasCachedContext() const { return m_swsContext != nullptr; }
    // Number of preview scalers built so far (for tests and diagnostics).
    int contextBuildCount() const { return m_contextBuilds; }

    // Preview size for a frame: fits inside 1280x720 keeping the aspect ratio, each side
    // rounded down to even (at least 2). Frames that already fit keep their size.
    static QSize previewSize(QSize frameSize);

private:
    // Converts 'frame' under 'profile' into B,G,R,A rows of targetSize (the frame's size,
    // or the preview size when shrinking). False when nothing could be written.
    bool convertInto(const AVFrame *frame, const ConversionSource &source, ConversionProfile profile,
                     QSize targetSize, uint8_t *dst, int dstStride);
    // The view shrunk to targetSize in its own layout; null on failure.
    const AVFrame *shrink(const AVFrame *view, QSize targetSize);
    void dropContext();

    av::SwsContextPtr m_swsContext;
    av::FramePtr m_shrunk; // the last preview picture, reused while the key holds
    CacheKey m_key;
    ConversionProfile m_conversionProfile = Standard;
    int m_contextBuilds = 0;
    Planar422Converter m_planar422;
};
