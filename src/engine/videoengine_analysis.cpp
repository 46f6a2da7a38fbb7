#include "engine/videoengine.h"

// Pixel-inspector queries.

QString VideoEngine::pixelInspectorSourceConvertText(int64_t frameNumber, int canvasX, int canvasY,
                                                     int canvasW, int canvasH, int rotationDegrees)
{
    if (!hasVideo() || frameNumber < 0)
        return {};
    return file->inspector.sourceConvertText(
        frameNumber, {canvasX, canvasY, canvasW, canvasH, rotationDegrees},
        [this](int64_t n) { return decodeFrameAt(n, -1); },
        [this](const AVFrame *frame) { return pixelConverter.toRgbImage(frame, conversionSource()); });
}
