#pragma once

// Owning smart pointers for FFmpeg objects. Every FFmpeg object in the tree is held by
// one of these; no other code frees FFmpeg objects by hand.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "compat.h"

#include <memory>

namespace av {

struct FormatContextDeleter {
    void operator()(AVFormatContext *ctx) const { avformat_close_input(&ctx); }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext *ctx) const { avcodec_free_context(&ctx); }
};
struct FrameDeleter {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct SwsContextDeleter {
    void operator()(SwsContext *ctx) const { sws_freeContext(ctx); }
};
struct FilterGraphDeleter {
    void operator()(AVFilterGraph *graph) const { avfilter_graph_free(&graph); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;

inline FramePtr makeFrame() { return FramePtr(av_frame_alloc()); }
inline PacketPtr makePacket() { return PacketPtr(av_packet_alloc()); }
// New reference to the same buffers; null when 'frame' is null or allocation fails.
inline FramePtr cloneFrame(const AVFrame *frame) { return FramePtr(frame ? av_frame_clone(frame) : nullptr); }

// avformat_open_input frees the context itself on failure, so it is wrapped here.
inline int openInput(FormatContextPtr &out, const char *url)
{
    AVFormatContext *raw = nullptr;
    const int ret = avformat_open_input(&raw, url, nullptr, nullptr);
    out.reset(ret >= 0 ? raw : nullptr);
    return ret;
}

} // namespace av
