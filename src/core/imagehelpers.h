#pragma once

#include "core/enums.h"
#include "core/rotation.h"

#include <QImage>
#include <QSize>
#include <QVideoFrame>

// Still-image helpers shared by the viewer, the scope and the image export. Pure
// functions: no state, safe on any thread. Each costs one pass over the pixels (plus a
// smooth scale for rotateAndFit).

// Color returns the image as it is (shared copy, format kept). Every other channel gives
// a Format_Grayscale8 picture of the same size: the red, green, blue or alpha byte, or
// BT.709 luma in integers, (3576 G + 1063 R + 361 B) / 5000; an unknown channel value
// gives black.
QImage isolateChannel(const QImage &image, DisplayChannel channel);

// Quarter-turn multiples only: any angle is normalised (truncating remainder, made
// positive, rounded down to 90), clockwise on screen. 90 and 270 swap width and height.
QImage rotateImage(const QImage &image, int degrees);

// Rotates and fits the result, centred and aspect-kept, into an opaque black ARGB32
// canvas of 'target' size. Without a valid target the canvas keeps the picture's own
// size, except that a portrait picture turned sideways gets the swapped (landscape)
// size. A rotation that normalises to 0 returns the image unchanged and ignores 'target'.
QImage rotateAndFit(const QImage &image, int degrees, QSize target);

// The picture of a video frame, copied byte for byte from the 32-bit B,G,R layouts the
// program hands the viewer (BGRA, premultiplied BGRA, BGRX, as ARGB32, its premultiplied
// twin and RGB32): the toolkit never converts its colours. Other layouts are left to
// QVideoFrame::toImage. Null for an invalid frame or one that cannot be read.
QImage imageFromVideoFrame(const QVideoFrame &frame);
