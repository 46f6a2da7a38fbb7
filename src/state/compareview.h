#pragma once

// How the viewer shows two files at once: A, B, a wipe between them, both side by side, or
// their difference. Pure functions over the two converted pictures (RGB from the engine,
// which converts through core/colour), for the window's comparison of a second file
// (ui/CompareSession). GUI thread, but nothing here is shared.

#include <QImage>

namespace compareview {

enum class View { A, B, Wipe, SideBySide, Difference };

// X: A -> B -> wipe -> side by side -> difference -> A.
View next(View view);
// Shift+X: the difference's gain 1 -> 4 -> 16 -> 1.
int nextGain(int gain);

// The picture for 'view'. B is scaled to A's size first when they differ. wipe: the share
// of the width (0..1) left of the divider, which shows A; gain: the difference's factor,
// |A - B| per channel, black where the pictures are identical. A null A gives a null image.
QImage compose(const QImage &a, const QImage &b, View view, double wipe, int gain);

} // namespace compareview
