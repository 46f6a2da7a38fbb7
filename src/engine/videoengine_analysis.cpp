#include "engine/videoengine.h"

// Scope requests and pixel-inspector queries. Not built yet: the scope answers with a null
// image (so a waiting scope page does not hang) and the inspector with an empty text.

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
    // TODO(inspector task): source and converted values of the pixel under the canvas point.
    Q_UNUSED(frameNumber);
    Q_UNUSED(canvasX);
    Q_UNUSED(canvasY);
    Q_UNUSED(canvasW);
    Q_UNUSED(canvasH);
    Q_UNUSED(rotationDegrees);
    return {};
}
