// Start timecode from the first picture, for files whose container and streams carry no
// timecode tag.

#include "engine/videoengine.h"

#include "engine/picturetimecode.h"

#include <QDebug>

namespace {

constexpr int kMaxPacketsForFirstPicture = 16;

// The first picture in decoding order, from a decoder of its own without threads: a
// frame-threaded decoder would first want a packet per thread. Decoders that attach the
// timecode as they decode a picture are drained after each packet, which also spares the
// packets reordering would want; MPEG-1/2 attach the GOP timecode only to a picture handed
// out in the course of decoding, so they get packets until one is. Null when none decodes
// that way.
av::FramePtr firstPictureDecodedAlone(AVFormatContext *format, int streamIndex, const AVCodecContext *model)
{
    const bool drainEach = model->codec_id != AV_CODEC_ID_MPEG1VIDEO && model->codec_id != AV_CODEC_ID_MPEG2VIDEO;
    const AVStream *stream = format->streams[streamIndex];
    av::CodecContextPtr decoder(avcodec_alloc_context3(model->codec));
    av::PacketPtr packet = av::makePacket();
    av::FramePtr frame = av::makeFrame();
    if (!decoder || !packet || !frame || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
        return {};
    decoder->thread_count = 1;
    decoder->pkt_timebase = stream->time_base;
    if (avcodec_open2(decoder.get(), model->codec, nullptr) < 0)
        return {};
    for (int sent = 0; sent < kMaxPacketsForFirstPicture;) {
        if (av_read_frame(format, packet.get()) < 0)
            return {};
        if (packet->stream_index != streamIndex) {
            av_packet_unref(packet.get());
            continue;
        }
        ++sent;
        const int accepted = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (accepted < 0)
            continue;
        if (drainEach)
            avcodec_send_packet(decoder.get(), nullptr);
        if (avcodec_receive_frame(decoder.get(), frame.get()) >= 0)
            return frame;
        // A packet that decodes nothing alone (no key frame yet): the next one may.
        if (drainEach)
            avcodec_flush_buffers(decoder.get());
    }
    return {};
}

} // namespace

QString VideoEngine::startTimecodeFromPictures()
{
    if (!file->formatContext || !file->videoCodecContext || !picturetimecode::codecMayCarryTimecode(file->videoCodecContext->codec_id))
        return {};
    const AVStream *stream = file->formatContext->streams[file->videoStreamIndex];
    const AVRational rate = stream->avg_frame_rate.den > 0 && stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate
                                                                                               : stream->r_frame_rate;

    // The counters describe the work of frame requests; this look is part of opening.
    const DecodeCounters requestWork = counters;
    av::FramePtr first;
    if (file->totalFrames > 1 && stream->start_time != AV_NOPTS_VALUE) {
        seekDemuxer(0, 0);
        first = firstPictureDecodedAlone(file->formatContext.get(), file->videoStreamIndex, file->videoCodecContext.get());
        // Only the picture shown first will do; with pictures reordered before it, decode
        // frame 0 the usual way.
        if (first && first->best_effort_timestamp != stream->start_time)
            first.reset();
    }
    if (!first)
        first = decodeFrameAt(0, -1);
    // Leave demuxer and decoder where a fresh open leaves them (a one-frame file keeps its
    // decoded frame, as after its first request).
    if (file->totalFrames > 1) {
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
