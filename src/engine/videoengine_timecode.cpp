// Start timecode from the first picture, for files whose container and streams carry no
// timecode tag.

#include "engine/videoengine.h"

#include "engine/picturetimecode.h"

#include <QDebug>

QString VideoEngine::startTimecodeFromPictures()
{
    if (!formatContext || !videoCodecContext || !picturetimecode::codecMayCarryTimecode(videoCodecContext->codec_id))
        return {};
    const AVStream *stream = formatContext->streams[videoStreamIndex];
    const AVRational rate = stream->avg_frame_rate.den > 0 && stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate
                                                                                               : stream->r_frame_rate;

    // The counters describe the work of frame requests; this look is part of opening.
    const DecodeCounters requestWork = counters;
    const av::FramePtr first = decodeFrameAt(0, -1);
    // Leave demuxer and decoder where a fresh open leaves them (a one-frame file keeps its
    // decoded frame, as after its first request).
    if (totalFrames > 1) {
        seekDemuxer(0, 0);
        resetAfterSeek();
        forgetCachedFrames();
    }
    currentFrame = 0;
    counters = requestWork;

    const std::optional<picturetimecode::Found> found = picturetimecode::fromFrame(first.get(), rate);
    if (!found)
        return {};
    qDebug().noquote() << "Start timecode from the picture stream (" + found->source + "):" << found->text;
    return found->text;
}
