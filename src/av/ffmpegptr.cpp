#include "av/ffmpeg.h"
#include "av/filterlib.h"

namespace av {

void FormatContextDeleter::operator()(AVFormatContext *ctx) const { avformat_close_input(&ctx); }
void CodecContextDeleter::operator()(AVCodecContext *ctx) const { avcodec_free_context(&ctx); }
void FrameDeleter::operator()(AVFrame *frame) const { av_frame_free(&frame); }
void PacketDeleter::operator()(AVPacket *packet) const { av_packet_free(&packet); }
void SwsContextDeleter::operator()(SwsContext *ctx) const { sws_freeContext(ctx); }
void SwrContextDeleter::operator()(SwrContext *ctx) const { swr_free(&ctx); }
void FilterGraphDeleter::operator()(AVFilterGraph *graph) const { filterlib::graphFree(&graph); }
void DictionaryDeleter::operator()(AVDictionary *dict) const { av_dict_free(&dict); }
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

int openInput(FormatContextPtr &out, const char *url, const AVIOInterruptCB *interrupt, const OptionList &options,
              const char *demuxer)
{
    const AVInputFormat *format = nullptr;
    if (demuxer) {
        format = av_find_input_format(demuxer);
        if (!format) {
            out.reset();
            return AVERROR_DEMUXER_NOT_FOUND;
        }
    }
    AVFormatContext *raw = nullptr;
    if (interrupt) {
        raw = avformat_alloc_context();
        if (!raw) {
            out.reset();
            return AVERROR(ENOMEM);
        }
        raw->interrupt_callback = *interrupt;
    }
    AVDictionary *rawOptions = nullptr;
    for (const auto &[key, value] : options)
        av_dict_set(&rawOptions, key.c_str(), value.c_str(), 0);
    const int ret = avformat_open_input(&raw, url, format, rawOptions ? &rawOptions : nullptr);
    // What the demuxer did not take is left in the dictionary.
    const DictionaryPtr unused(rawOptions);
    out.reset(ret >= 0 ? raw : nullptr);
    return ret;
}

} // namespace av
