#pragma once

#include "core/rotation.h"

#include <QPoint>
#include <QSize>

#include <algorithm>
#include <cmath>
#include <optional>

// The source pixel shown at canvas pixel 'canvasPixel' when a frame of 'frameSize' is turned
// clockwise by 'rotationDegrees' (any angle, taken to the quarter turn below it) and fitted
// into 'canvasSize' with its aspect kept, centred. The viewer, the pixel inspector and the
// scope all place the picture this way.
//
// A canvas pixel is on the picture when its centre is: the fitted picture reaches half a
// source pixel beyond the outer pixel centres, so an enlarged picture's edge pixels read as
// inside all the way to the bars, and a reduced one loses no edge column. Empty in the bars,
// off the canvas, or when a size is not positive. Inline: the scope calls it per sample.
inline std::optional<QPoint> canvasToSourcePixel(QPoint canvasPixel, QSize canvasSize, QSize frameSize,
                                                 int rotationDegrees)
{
    const int frameW = frameSize.width();
    const int frameH = frameSize.height();
    if (frameW <= 0 || frameH <= 0 || canvasSize.width() <= 0 || canvasSize.height() <= 0)
        return std::nullopt;
    const int r = normalizeQuarterTurn(rotationDegrees);
    const bool sideways = r == 90 || r == 270;
    const int shownW = sideways ? frameH : frameW;
    const int shownH = sideways ? frameW : frameH;

    const double canvasW = canvasSize.width();
    const double canvasH = canvasSize.height();
    const double scale = std::min(canvasW / shownW, canvasH / shownH);
    if (!(scale > 0))
        return std::nullopt;
    // Canvas pixel centre -> picture coordinates measured from picture pixel centres.
    const double px = (canvasPixel.x() + 0.5 - (canvasW - scale * shownW) * 0.5) / scale - 0.5;
    const double py = (canvasPixel.y() + 0.5 - (canvasH - scale * shownH) * 0.5) / scale - 0.5;
    if (px < -0.5 || py < -0.5 || px >= shownW - 0.5 || py >= shownH - 0.5)
        return std::nullopt;
    const int dx = std::clamp(int(std::lround(px)), 0, shownW - 1);
    const int dy = std::clamp(int(std::lround(py)), 0, shownH - 1);

    // Undo the clockwise turn.
    switch (r) {
    case 90: return QPoint(dy, frameH - 1 - dx);
    case 180: return QPoint(frameW - 1 - dx, frameH - 1 - dy);
    case 270: return QPoint(frameW - 1 - dy, dx);
    default: return QPoint(dx, dy);
    }
}
