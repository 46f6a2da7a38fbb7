#pragma once

// Owning smart pointers for FFmpeg objects. Every FFmpeg object in the tree is held by
// one of these; no other code frees FFmpeg objects by hand.
//
// This header does not include FFmpeg, so class headers that widgets include may hold
// these pointers with forward-declared structs. Sources that use FFmpeg include
// "engine/ffmpeg.h".

#include <memory>
#include <string>
#include <utility>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;
struct SwrContext;
struct AVFilterGraph;
struct AVIOInterruptCB;
struct AVDictionary;

namespace av {

struct FormatContextDeleter { void operator()(AVFormatContext *ctx) const; };
struct CodecContextDeleter { void operator()(AVCodecContext *ctx) const; };
struct FrameDeleter { void operator()(AVFrame *frame) const; };
struct PacketDeleter { void operator()(AVPacket *packet) const; };
struct SwsContextDeleter { void operator()(SwsContext *ctx) const; };
struct SwrContextDeleter { void operator()(SwrContext *ctx) const; };
struct FilterGraphDeleter { void operator()(AVFilterGraph *graph) const; };
struct DictionaryDeleter { void operator()(AVDictionary *dict) const; };
// For muxing contexts: closes the output file (when the muxer does not) and frees the context.
struct OutputContextDeleter { void operator()(AVFormatContext *ctx) const; };

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

FramePtr makeFrame();
PacketPtr makePacket();
// New reference to the same buffers; null when 'frame' is null or allocation fails.
FramePtr cloneFrame(const AVFrame *frame);

// avformat_open_input frees the context itself on failure; 'out' is null then. With
// 'interrupt', every blocking read of the open and of later demuxing asks it first.
// 'options' go to the demuxer; those it does not know are ignored.
using OptionList = std::vector<std::pair<std::string, std::string>>;
int openInput(FormatContextPtr &out, const char *url, const AVIOInterruptCB *interrupt = nullptr,
              const OptionList &options = {});

} // namespace av
