#pragma once

#include "core/enums.h"

#include <QImage>

#include <functional>

// One scope request as the engine hands it to the scope renderer: what the user asked
// for plus the facts about the open decoder that decide how the frame is read.
struct ScopeRequest {
    ScopeKind kind = ScopeWaveform;
    ScopeRange range = Percent;
    DisplayChannel channel = Color;
    int rotationDegrees = 0;
    int rangeOverride = 0;  // AVColorRange assumed for YUV frames; 0 = each frame's own
    bool rgbSource = false; // the decoder delivers RGB (or DNxHR 4:4:4): the GBR path first
    // The frame as an 8-bit Format_ARGB32 picture, already rotated and fitted, for when the
    // 16-bit paths decline; null when it cannot be made. Costs a full conversion, so the
    // renderer calls it only when it needs it. May be empty (no fallback available).
    std::function<QImage()> fallbackPicture;
};
