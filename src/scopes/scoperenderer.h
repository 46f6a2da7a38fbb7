#pragma once

#include "core/scoperequest.h"

#include <QImage>

struct AVFrame;

// Every kind of scope behind one call: the function the window and orvel-cli hand the
// engine. Pure, any thread.
namespace scopes {

// 1920 x 1024 Format_RGB32 of request.kind; ScopeGrid puts waveform, parade, vectorscope
// and histogram at half size into the four quarters (left to right, top to bottom).
QImage renderScope(const AVFrame *frame, const ScopeRequest &request);

// 'image' at half size, each pixel the brightest of the four it covers per component, so
// that one-pixel traces and lines survive.
QImage halfSize(const QImage &image);

} // namespace scopes
