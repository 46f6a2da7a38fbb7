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
    scopeConverter.setConversionProfile(range == Percent ? ScopePercent : ScopeCodeValue);
    ++counters.framesConverted;
    const QImage picture = imageFromVideoFrame(scopeConverter.toVideoFrame(frame, conversionSource(), false));
    if (picture.isNull() || normalizeQuarterTurn(rotationDegrees) == 0)
        return picture;
    return rotateAndFit(picture, rotationDegrees, QSize());
}

void VideoEngine::requestScopeImage(int64_t frameNumber, ScopeRange range, DisplayChannel channel,
                                    int rotationDegrees, ScopeKind kind, bool live)
{
    QImage image;
    if (scopeRenderer) {
        ScopeRequest request;
        request.kind = kind;
        request.range = range;
        request.channel = channel;
        request.rotationDegrees = rotationDegrees;
        request.rangeOverride = file ? file->rangeOverride : 0;
        // Audio-only media never reach the decoder: the answer is the bare graticule.
        av::FramePtr frame;
        if (!isAudioOnly()) {
            request.rgbSource = scopeSourceIsRgb();
            // Playing: the picture on screen, so the decoder and its queue stay as they are.
            if (live && shownFrame) {
                frame = av::cloneFrame(shownFrame.get());
                frameNumber = shownFrameNumber;
            } else {
                frame = decodeFrameAt(frameNumber, -1);
            }
        }
        if (frame) {
            const AVFrame *decoded = frame.get();
            request.fallbackPicture = [this, decoded, range, rotationDegrees] {
                return scopeFallbackPicture(decoded, range, rotationDegrees);
            };
        }
        image = scopeRenderer(frame.get(), request);
    }
    emit scopeImageReady(image, frameNumber);
}
