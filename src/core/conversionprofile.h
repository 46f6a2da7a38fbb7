#pragma once

#include <QMetaType>

// How the engine converts decoded pictures for display and analysis.
// Int-sized; registered as the meta-type "ConversionProfile" for queued calls.
enum ConversionProfile : int {
    Standard = 0,          // BGRA for RGB/alpha sources, planar YUV 4:2:0 otherwise
    ChannelIsolation = 1,  // BGRA always; planar 4:2:2 through the luma-guided converter
    ScopePercent = 2,      // BGRA always, tagged full range
    ScopeCodeValue = 3,    // BGRA always
};

Q_DECLARE_METATYPE(ConversionProfile)
