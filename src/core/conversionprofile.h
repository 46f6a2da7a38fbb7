#pragma once

#include <QMetaType>

// How the engine converts decoded pictures for display and analysis.
// Int-sized; registered as the meta-type "ConversionProfile" for queued calls.
enum ConversionProfile : int {
    // Every profile gives BGRA computed by the colour module; Qt never converts.
    Standard = 0,          // the viewer's; the only one that may use the preview downscale
    ChannelIsolation = 1,  // full-size planar 4:2:2 through the luma-guided converter
    ScopePercent = 2,      // the scope's fallback picture, percent scale
    ScopeCodeValue = 3,    // the scope's fallback picture, code-value scale
};

Q_DECLARE_METATYPE(ConversionProfile)
