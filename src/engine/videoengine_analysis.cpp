#include "engine/videoengine.h"

// Scope requests and pixel-inspector queries. The scope is not built yet: it answers with a
// null image (so a waiting scope page does not hang).

void VideoEngine::requestScopeImage(int64_t frameNumber, ScopeRange range, DisplayChannel channel,
                                    int rotationDegrees)
{
    // TODO(scope task): render the waveform of frameNumber.
    Q_UNUSED(range);
    Q_UNUSED(channel);
    Q_UNUSED(rotationDegrees);
    emit scopeImageReady(QImage(), frameNumber);
}

QString VideoEngine::pixelInspectorSourceConvertText(int64_t frameNumber, int canvasX, int canvasY,
                                                     int canvasW, int canvasH, int rotationDegrees)
{
    if (audioOnly || !formatContext || !videoCodecContext || frameNumber < 0)
        return {};
    return inspector.sourceConvertText(
        frameNumber, {canvasX, canvasY, canvasW, canvasH, rotationDegrees},
        [this](int64_t n) { return decodeFrameAt(n, -1); },
        [this](const AVFrame *frame) { return pixelConverter.toRgbImage(frame, conversionSource()); });
}
