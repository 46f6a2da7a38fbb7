// Version differences between the Qt and FFmpeg releases we build against
// (Qt 6.4 … 6.8+, FFmpeg 5.1 … 8). Nothing else in the tree tests version macros.
//
// The Qt part is always available. The FFmpeg part is compiled only where the FFmpeg
// headers were included first (engine sources, via engine/ffmpegptr.h), so widget code
// that includes this header never sees FFmpeg.

#ifndef ORVEL_COMPAT_QT
#define ORVEL_COMPAT_QT

#include <QtGlobal>
#include <QImage>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <utility>

namespace compat {

// QVideoFrame(const QImage &) arrived in Qt 6.8; before that the pixels are copied into
// a mapped BGRA frame by hand. Translucent pictures are stored premultiplied on both.
QVideoFrame videoFrameFromImage(const QImage &image);

// QVideoFrame::MapMode up to Qt 6.8, QtVideo::MapMode later (the old name deprecated): take
// whatever mapMode() returns, so no release number has to be guessed.
using VideoMapMode = decltype(std::declval<const QVideoFrame &>().mapMode());
inline constexpr VideoMapMode MapReadOnly = VideoMapMode::ReadOnly;
inline constexpr VideoMapMode MapWriteOnly = VideoMapMode::WriteOnly;
inline constexpr VideoMapMode MapReadWrite = VideoMapMode::ReadWrite;

// Qt Multimedia's FFmpeg back end on every Qt we build against: the default from Qt 6.5 and
// the only one Debian 13 ships, where Qt 6.4 would pick GStreamer. One back end means one
// video-sink and device path to test. A QT_MEDIA_BACKEND set by the user still wins. Call
// before the first multimedia object (QMediaDevices, QVideoSink, QAudioSink) exists.
void selectMediaBackend();

// Dark colour scheme: asked of the platform through QStyleHints::setColorScheme from Qt 6.8;
// where that is unavailable or ignored, Fusion's equivalent dark palette is set by hand.
// Call after setStyle("Fusion").
void applyDarkColorScheme();

// glibc gives each thread that allocates its own arena (up to 8 per core), and once a
// frame-sized block has been freed it raises its thresholds so that every arena keeps up
// to 64 MiB of free memory at its top, resident for ever: a player that decodes on many
// threads only ever grows. configureAllocator fixes the thresholds (blocks from 16 MiB are
// mapped on their own, an arena keeps at most 32 MiB free at its top) and the number of
// arenas (4); call it before threads start allocating (the engine's constructor does; it
// runs once). releaseFreedMemory hands the free pages inside the arenas back (malloc_trim).
// Both are no-ops on other C libraries and under a sanitizer's allocator.
void configureAllocator();
void releaseFreedMemory();

} // namespace compat

#endif // ORVEL_COMPAT_QT

#if defined(LIBAVCODEC_VERSION_MAJOR) && !defined(ORVEL_COMPAT_FFMPEG)
#define ORVEL_COMPAT_FFMPEG

// AV_PROFILE_* replaced FF_PROFILE_* in libavcodec 60.31 (FFmpeg 6.1); FF_PROFILE_* is
// gone in FFmpeg 8.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 31, 100)
#define ORVEL_PROFILE(name) AV_PROFILE_##name
#else
#define ORVEL_PROFILE(name) FF_PROFILE_##name
#endif

namespace compat {

// AVFrame::key_frame / interlaced_frame became flags in libavutil 58.
inline bool frameIsKey(const AVFrame *frame)
{
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
    return (frame->flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return frame->key_frame != 0;
#endif
}

inline bool frameIsInterlaced(const AVFrame *frame)
{
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
    return (frame->flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
    return frame->interlaced_frame != 0;
#endif
}

// Channel count of a stream's codec parameters or a decoder context (ch_layout exists
// since FFmpeg 5.1, the old 'channels' field is gone in 7).
inline int channelCount(const AVCodecParameters *par) { return par->ch_layout.nb_channels; }
inline int channelCount(const AVCodecContext *ctx) { return ctx->ch_layout.nb_channels; }
inline int channelCount(const AVFrame *frame) { return frame->ch_layout.nb_channels; }

// Arguments of the loudness meter: true peak on, figures as frame metadata, no per-frame
// log. The "quiet" name for framelog is missing from older ebur128 filters (FFmpeg 5.1);
// its number, AV_LOG_QUIET, means the same there.
#if LIBAVFILTER_VERSION_MAJOR >= 10
inline constexpr const char *kEbur128Arguments = "peak=true:metadata=1:framelog=quiet";
#else
inline constexpr const char *kEbur128Arguments = "peak=true:metadata=1:framelog=-8";
#endif

} // namespace compat

#endif // FFmpeg part
