#pragma once

#include <QMetaType>

// Enumerations every subsystem shares. The integer values are fixed: they are stored,
// compared and passed across threads as plain integers, so never renumber them.
// Unscoped with an int base so both `Red` and `DisplayChannel::Red` read naturally.

enum PlayState : int {
    Stopped = 0,
    Forward = 1,
    Backward = 2,
};

enum AppMode : int {
    Viewer = 0,
    Scope = 1,
};

// Scope graticule: percent (-10 % … 110 %) or 10-bit code values (0 … 1023).
enum ScopeRange : int {
    Percent = 0,
    CodeValue = 1,
};

// What the scope page draws; V steps through them in this order.
enum ScopeKind : int {
    ScopeWaveform = 0,
    ScopeParade = 1,     // R, G and B waveforms side by side
    ScopeVectorscope = 2,
    ScopeHistogram = 3,
    ScopeGrid = 4,       // the four above, 2 x 2
};
inline constexpr int kScopeKindCount = 5;

// Any value outside Color…Luma isolates nothing and yields a black greyscale picture.
enum DisplayChannel : int {
    Color = 0,
    Red = 1,
    Green = 2,
    Blue = 3,
    Alpha = 4,
    Luma = 5,
};

Q_DECLARE_METATYPE(PlayState)
Q_DECLARE_METATYPE(AppMode)
Q_DECLARE_METATYPE(ScopeRange)
Q_DECLARE_METATYPE(ScopeKind)
Q_DECLARE_METATYPE(DisplayChannel)
