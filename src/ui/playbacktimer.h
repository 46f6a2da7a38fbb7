#pragma once

#include <QTimer>

// The playback clock ticks every trunc(1000 / fps) ms; without a sensible rate there is
// nothing to time and it stays as it is.
inline void startPlaybackTimer(QTimer *timer, double fps)
{
    if (!(fps > 0.0))
        return;
    if (const int interval = int(1000.0 / fps); interval > 0)
        timer->start(interval);
}
