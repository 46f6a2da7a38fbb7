#pragma once

// libavfilter, loaded the first time a filter graph is made. Only the loudness meter needs
// one, while the library and the thirty-odd libraries it pulls in cost every process about
// 17 ms of start-up (twice what Qt Gui costs), so nothing links it.

#include <QString>

struct AVFilter;
struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;

namespace av::filterlib {

// Loads the library once, from any thread. False when it cannot be loaded or is not the
// major version the headers describe; 'error' then says why.
bool load(QString *error = nullptr);

// FFmpeg's functions of the same names; each loads the library first and fails (null, or
// AVERROR(ENOSYS)) when that is impossible.
AVFilterGraph *graphAlloc();
void graphFree(AVFilterGraph **graph);
const AVFilter *getByName(const char *name);
int graphCreateFilter(AVFilterContext **context, const AVFilter *filter, const char *name, const char *arguments,
                      void *opaque, AVFilterGraph *graph);
int link(AVFilterContext *source, unsigned sourcePad, AVFilterContext *destination, unsigned destinationPad);
int graphConfig(AVFilterGraph *graph, void *logContext);
int bufferSourceAddFrameFlags(AVFilterContext *source, AVFrame *frame, int flags);
int bufferSinkGetFrame(AVFilterContext *sink, AVFrame *frame);

} // namespace av::filterlib
