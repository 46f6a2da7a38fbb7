#pragma once

// Start timecode carried in the picture stream itself rather than in a container tag:
// MPEG-1/2 GOP headers, H.264/HEVC picture timing, as FFmpeg's decoders export them on
// the decoded frame.

#include "av/ffmpeg.h"

#include <QString>

#include <optional>

namespace picturetimecode {

struct Found {
    QString text;   // HH:MM:SS:FF, or HH:MM:SS;FF for drop-frame
    QString source; // where it was read, for the log
};

// Codecs whose decoders can attach a timecode to their frames; others are not decoded
// at open to look for one.
bool codecMayCarryTimecode(AVCodecID codecId);

// The frame's timecode: the GOP timecode side data first, then the SMPTE timecode side
// data (its first entry), then the frame's "timecode" tag. frameRate serves the SMPTE
// form, whose frame field depends on it. Empty when the frame has none.
std::optional<Found> fromFrame(const AVFrame *frame, AVRational frameRate);

} // namespace picturetimecode
