#include "av/ffmpegversion.h"

#include "av/ffmpeg.h"

QString ffmpegVersion()
{
    return QString::fromUtf8(av_version_info());
}
