#pragma once

// Independent references for decoding tests: the ffmpeg command line's own full decode of
// one frame, frame counts, tiny purpose-made clips, and packing of decoded planes so they
// can be compared byte for byte.

#include "engine/ffmpeg.h"

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdlib>

namespace decodetest {

inline bool runFfmpeg(const QStringList &arguments)
{
    QStringList all = {"-hide_banner", "-loglevel", "error", "-y"};
    all += arguments;
    QProcess process;
    process.start(QStringLiteral("ffmpeg"), all);
    if (!process.waitForFinished(300000))
        return false;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Frame n of the file as ffmpeg decodes it from the start (every frame counted, so open
// GOPs and long GOPs are decoded the long way), in pixelFormat, planes packed tightly.
inline QByteArray referenceFrame(const QString &path, int64_t n, const QString &pixelFormat)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"),
                  {"-hide_banner", "-loglevel", "error", "-i", path, "-map", "0:v:0", "-vf",
                   QStringLiteral("select=eq(n\\,%1)").arg(n), "-frames:v", "1", "-pix_fmt", pixelFormat,
                   "-f", "rawvideo", "-"});
    if (!process.waitForFinished(300000) || process.exitCode() != 0)
        return {};
    return process.readAllStandardOutput();
}

// Frame n as 8-bit BGRA (QImage::Format_ARGB32 on little-endian hosts).
inline QImage referenceImage(const QString &path, int64_t n, int width, int height)
{
    const QByteArray bytes = referenceFrame(path, n, QStringLiteral("bgra"));
    if (bytes.size() != qsizetype(width) * height * 4)
        return {};
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y)
        std::copy_n(bytes.constData() + qsizetype(y) * width * 4, width * 4, image.scanLine(y));
    return image;
}

// Number of video frames ffmpeg decodes from the file.
inline int64_t decodedFrameCount(const QString &path)
{
    QProcess process;
    process.start(QStringLiteral("ffprobe"), {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                              "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path});
    if (!process.waitForFinished(300000))
        return -1;
    bool ok = false;
    const int64_t count = process.readAllStandardOutput().trimmed().toLongLong(&ok);
    return ok ? count : -1;
}

// The decoded planes packed like ffmpeg's rawvideo output.
inline QByteArray packFrame(const AVFrame *frame)
{
    if (!frame)
        return {};
    const auto format = AVPixelFormat(frame->format);
    const int size = av_image_get_buffer_size(format, frame->width, frame->height, 1);
    if (size <= 0)
        return {};
    QByteArray bytes(size, Qt::Uninitialized);
    if (av_image_copy_to_buffer(reinterpret_cast<uint8_t *>(bytes.data()), size, frame->data, frame->linesize,
                                format, frame->width, frame->height, 1)
        < 0)
        return {};
    return bytes;
}

inline QString pixelFormatName(const AVFrame *frame)
{
    const char *name = frame ? av_get_pix_fmt_name(AVPixelFormat(frame->format)) : nullptr;
    return name ? QString::fromLatin1(name) : QString();
}

// Mean absolute difference of the colour bytes of two same-sized ARGB32 images; -1 when
// they cannot be compared.
inline double meanAbsoluteDifference(const QImage &a, const QImage &b)
{
    if (a.isNull() || b.isNull() || a.size() != b.size())
        return -1;
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const uchar *p = x.constScanLine(row);
        const uchar *q = y.constScanLine(row);
        for (int i = 0; i < x.width() * 4; ++i) {
            if (i % 4 != 3)
                sum += std::abs(int(p[i]) - int(q[i]));
        }
    }
    return sum / (double(x.width()) * x.height() * 3);
}

} // namespace decodetest
