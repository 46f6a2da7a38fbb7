#include "av/ffmpeg.h"

namespace av {

void FormatContextDeleter::operator()(AVFormatContext *ctx) const { avformat_close_input(&ctx); }
void CodecContextDeleter::operator()(AVCodecContext *ctx) const { avcodec_free_context(&ctx); }
void FrameDeleter::operator()(AVFrame *frame) const { av_frame_free(&frame); }
void PacketDeleter::operator()(AVPacket *packet) const { av_packet_free(&packet); }
void SwsContextDeleter::operator()(SwsContext *ctx) const { sws_freeContext(ctx); }
void SwrContextDeleter::operator()(SwrContext *ctx) const { swr_free(&ctx); }
void FilterGraphDeleter::operator()(AVFilterGraph *graph) const { avfilter_graph_free(&graph); }
void OutputContextDeleter::operator()(AVFormatContext *ctx) const
{
    if (!ctx)
        return;
    if (ctx->oformat && !(ctx->oformat->flags & AVFMT_NOFILE))
        avio_closep(&ctx->pb);
    avformat_free_context(ctx);
}

FramePtr makeFrame() { return FramePtr(av_frame_alloc()); }
PacketPtr makePacket() { return PacketPtr(av_packet_alloc()); }
FramePtr cloneFrame(const AVFrame *frame) { return FramePtr(frame ? av_frame_clone(frame) : nullptr); }

int openInput(FormatContextPtr &out, const char *url)
{
    AVFormatContext *raw = nullptr;
    const int ret = avformat_open_input(&raw, url, nullptr, nullptr);
    out.reset(ret >= 0 ? raw : nullptr);
    return ret;
}

} // namespace av
