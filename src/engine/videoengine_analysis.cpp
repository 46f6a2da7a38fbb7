#include "engine/videoengine.h"

// Pixel-inspector queries. Not built yet: the inspector answers with an empty text.

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
