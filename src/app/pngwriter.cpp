#include "app/pngwriter.h"

#include "av/ffmpeg.h"
#include "av/ffmpegptr.h"

#include <QFile>

#include <algorithm>
#include <cstring>

namespace pngwriter {

bool writeFast(const QImage &image, const QString &path)
{
    if (image.isNull())
        return false;
    const bool alpha = image.hasAlphaChannel();
    // Byte orders that match FFmpeg's rgba / rgb24 exactly.
    const QImage packed = image.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);

    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec)
        return false;
    av::CodecContextPtr encoder(avcodec_alloc_context3(codec));
    av::FramePtr frame = av::makeFrame();
    av::PacketPtr packet = av::makePacket();
    if (!encoder || !frame || !packet)
        return false;
    encoder->width = packed.width();
    encoder->height = packed.height();
    encoder->pix_fmt = alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24;
    encoder->time_base = AVRational{1, 25};
    encoder->compression_level = 1;
    // Paeth compresses best of the single filters at the same cost.
    av_opt_set(encoder->priv_data, "pred", "paeth", 0);
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0)
        return false;

    frame->format = encoder->pix_fmt;
    frame->width = packed.width();
    frame->height = packed.height();
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return false;
    const qsizetype rowBytes = qsizetype(packed.width()) * (alpha ? 4 : 3);
    for (int y = 0; y < packed.height(); ++y)
        std::memcpy(frame->data[0] + qsizetype(y) * frame->linesize[0], packed.constScanLine(y), size_t(rowBytes));

    if (avcodec_send_frame(encoder.get(), frame.get()) < 0 || avcodec_send_frame(encoder.get(), nullptr) < 0)
        return false;
    if (avcodec_receive_packet(encoder.get(), packet.get()) < 0)
        return false;

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const qint64 written = file.write(reinterpret_cast<const char *>(packet->data), packet->size);
    return written == packet->size && file.flush();
}

} // namespace pngwriter
