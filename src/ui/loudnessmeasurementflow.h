#pragma once

#include "core/mediainfo.h"
#include "loudness/loudnessmeasureworker.h"

#include <cstdint>
#include <functional>
#include <optional>

class QDialog;
class QIcon;

// What the window knows when the loudness chord is pressed.
struct LoudnessStartFacts {
    MediaInfo media;
    int64_t totalFrames = 0;
    int64_t currentFrame = 0;
    double fps = 0.0;
    bool stopped = false;
    bool viewerMode = false;
    bool fullScreen = false;
    bool helpVisible = false;
    bool seekBarDragging = false;
    int leftChannel = -1;  // routing combo index - 1; -1 without a combo ("M" is silence)
    int rightChannel = -1;
};

// The measurement of the routed pair from the current frame to the end, or nothing when
// the player is not in a state to measure (playing, scope page, full screen, help shown,
// seek bar held, no audio, or the current frame at or past the end).
std::optional<LoudnessMeasureRequest> loudnessRequestFor(const LoudnessStartFacts &facts);

// Runs one measurement: the worker on a thread of its own and the modal dialog showing its
// progress, the abort and the outcome. Returns once the dialog has closed and the thread
// has ended. The caller pauses the player before and resumes it after.
class LoudnessMeasurementFlow
{
public:
    enum class Outcome { Measured, Failed, Aborted };

    static Outcome run(const LoudnessMeasureRequest &request, const QIcon &icon,
                       const std::function<void(QDialog *)> &centre);
};
