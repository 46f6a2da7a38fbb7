#pragma once

// The picture shown for a frame of an image sequence that has no picture: a dark field with
// the file's frame number and the reason ("missing", "cannot read", "cannot decode") in
// large letters. Drawn with a built-in pixel font, so it needs no font system (orvel-cli
// runs without one).

#include "av/ffmpegptr.h"

#include <QString>

#include <cstdint>

namespace slate {

// An RGB24 frame of width x height (at least 16 x 16); null when it cannot be allocated.
// Characters the font lacks are left blank.
av::FramePtr make(int width, int height, int64_t fileNumber, const QString &reason);

// The reason of a slate made by make(); empty for any other picture.
QString reasonOf(const AVFrame *frame);

// The slate's colours, for tests that tell a slate from a picture.
constexpr uint8_t kBackground = 40;
constexpr uint8_t kInk = 230;

} // namespace slate
