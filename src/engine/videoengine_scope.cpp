// Scope requests: the exact frame, the decoder facts the renderer needs, and the 8-bit
// fallback picture. The waveform itself is drawn by the renderer handed in from above.

#include "engine/videoengine.h"

#include "av/ffmpeg.h"
#include "core/imagehelpers.h"
#include "core/rotation.h"

#include <QVideoFrameFormat>

#include <algorithm>

namespace {

constexpr int kDnxhr444Profile = 5;

} // namespace

void VideoEngine::setScopeRenderer(ScopeRenderFn renderer)
{
    scopeRenderer = std::move(renderer);
}

bool VideoEngine::scopeSourceIsRgb() const
{
    if (!hasVideo())
        return false;
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(file->videoCodecContext->pix_fmt);
    if (descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_RGB))
        return true;
    return file->videoCodecContext->codec_id == AV_CODEC_ID_DNXHD && file->videoCodecContext->profile == kDnxhr444Profile;
}

QImage VideoEngine::scopeFallbackPicture(const AVFrame *frame, ScopeRange range, int rotationDegrees)
{
    // A converter of its own: the viewer's profile and cached context stay as they are.
    ++counters.framesConverted;
    return scopeFallbackPicture(scopeConverter, conversionSource(), frame, range, rotationDegrees);
}

QImage VideoEngine::scopeFallbackPicture(PixelConverter &converter, const ConversionSource &source,
                                         const AVFrame *frame, ScopeRange range, int rotationDegrees)
{
    converter.setConversionProfile(range == Percent ? ScopePercent : ScopeCodeValue);
    const QImage picture = imageFromVideoFrame(converter.toVideoFrame(frame, source, false));
    if (picture.isNull() || normalizeQuarterTurn(rotationDegrees) == 0)
        return picture;
    return rotateAndFit(picture, rotationDegrees, QSize());
}

void VideoEngine::requestScopeImage(int64_t frameNumber, ScopeRange range, DisplayChannel channel,
                                    int rotationDegrees, ScopeKind kind, bool live)
{
    if (!scopeRenderer) {
        emit scopeImageReady(QImage(), frameNumber);
        return;
    }
    ScopeRequest request;
    request.kind = kind;
    request.range = range;
    request.channel = channel;
    request.rotationDegrees = rotationDegrees;
    request.rangeOverride = file ? file->rangeOverride : 0;

    // Playing: the picture on screen, drawn on the scope thread, so that neither the decoder
    // nor the time it has for the next pictures is touched.
    if (live && !isAudioOnly() && shownFrame) {
        request.rgbSource = scopeSourceIsRgb();
        std::shared_ptr<AVFrame> frame = av::cloneFrame(shownFrame.get());
        if (frame) {
            if (!liveScopeWorker)
                liveScopeWorker = std::make_unique<ScopeWorker>();
            liveScopeWorker->post([this, frame, request, source = conversionSource(), number = shownFrameNumber,
                                   render = scopeRenderer]() mutable {
                PixelConverter converter;
                request.fallbackPicture = [&converter, &source, &frame, &request] {
                    return scopeFallbackPicture(converter, source, frame.get(), request.range,
                                                request.rotationDegrees);
                };
                emit scopeImageReady(render(frame.get(), request), number);
            });
            return;
        }
    }

    // An answer here must not overtake a live scope still being drawn.
    if (liveScopeWorker)
        liveScopeWorker->waitIdle();
    // Audio-only media never reach the decoder: the answer is the bare graticule.
    av::FramePtr frame;
    if (!isAudioOnly()) {
        request.rgbSource = scopeSourceIsRgb();
        frame = decodeFrameAt(frameNumber, -1);
    }
    if (frame) {
        const AVFrame *decoded = frame.get();
        request.fallbackPicture = [this, decoded, range, rotationDegrees] {
            return scopeFallbackPicture(decoded, range, rotationDegrees);
        };
    }
    emit scopeImageReady(scopeRenderer(frame.get(), request), frameNumber);
}
