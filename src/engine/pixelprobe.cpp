#include "engine/pixelprobe.h"

#include "av/ffmpeg.h"
#include "core/canvasmapping.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pixelprobe {

unsigned componentValue(const AVFrame *frame, int c, int x, int y)
{
    if (!frame || c < 0 || c > 3)
        return 0;
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!desc || c >= desc->nb_components || (desc->flags & AV_PIX_FMT_FLAG_HWACCEL))
        return 0;
    const AVComponentDescriptor &comp = desc->comp[c];
    if (comp.plane > 7 || comp.plane >= AV_NUM_DATA_POINTERS || !frame->data[comp.plane])
        return 0;
    if (x < 0 || y < 0 || x >= frame->width || y >= frame->height)
        return 0;
    if (!(desc->flags & AV_PIX_FMT_FLAG_RGB) && (c == 1 || c == 2)) {
        x >>= desc->log2_chroma_w;
        y >>= desc->log2_chroma_h;
    }
    // FFmpeg's own reader: it knows words that straddle bytes (RGB565, X2RGB10), bitstream
    // formats and byte order, which a plain byte-or-16-bit-word read gets wrong.
    const uint8_t *planes[4] = {frame->data[0], frame->data[1], frame->data[2], frame->data[3]};
    const int linesizes[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2],
                              frame->linesize[3]};
    uint32_t value = 0;
    av_read_image_line2(&value, planes, linesizes, desc, x, y, c, 1, 0, int(sizeof value));
    return value;
}

QString sourceDescription(const AVFrame *frame, int x, int y)
{
    const AVPixFmtDescriptor *desc = frame ? av_pix_fmt_desc_get(AVPixelFormat(frame->format)) : nullptr;
    if (!desc)
        return QStringLiteral("Source:  --,--,--");
    const QString kindText = (desc->flags & AV_PIX_FMT_FLAG_RGB) ? QStringLiteral("RGB") : QStringLiteral("YUV");
    if (desc->flags & AV_PIX_FMT_FLAG_FLOAT) {
        // Float samples (EXR decodes to these): the stored number, not its bit pattern.
        QStringList values;
        for (int c = 0; c < 3; ++c) {
            const uint32_t bits = c < desc->nb_components ? componentValue(frame, c, x, y) : 0;
            float value = 0;
            static_assert(sizeof value == sizeof bits);
            std::memcpy(&value, &bits, sizeof value);
            values.append(QString::number(double(value), 'f', 4));
        }
        return QStringLiteral("Source:  %1 (%2F%3)").arg(values.join(QLatin1Char(',')), kindText).arg(desc->comp[0].depth);
    }
    const int depth = std::clamp(desc->comp[0].depth, 1, 16);
    const QString values = QStringLiteral("%1,%2,%3")
                               .arg(componentValue(frame, 0, x, y))
                               .arg(componentValue(frame, 1, x, y))
                               .arg(componentValue(frame, 2, x, y));
    return QStringLiteral("Source:  %1 (%2%3)").arg(values, kindText).arg(depth);
}

} // namespace pixelprobe

QString PixelProbe::sourceConvertText(int64_t frameNumber, const pixelprobe::CanvasPoint &point,
                                      const Decoder &decode, const Converter &convert)
{
    if (frameNumber < 0)
        return {};
    if (frameNumber != m_frameNumber || !m_frame) {
        clear();
        m_frame = decode(frameNumber);
        if (!m_frame)
            return {};
        m_frameNumber = frameNumber;
    }
    const std::optional<QPoint> pixel = canvasToSourcePixel(QPoint(point.x, point.y), QSize(point.width, point.height),
                                                            QSize(m_frame->width, m_frame->height),
                                                            point.rotationDegrees);
    if (!pixel)
        return {};
    if (m_image.isNull())
        m_image = convert(m_frame.get());
    if (m_image.isNull() || !m_image.rect().contains(*pixel))
        return {};
    const QColor rgb = m_image.pixelColor(*pixel);
    return pixelprobe::sourceDescription(m_frame.get(), pixel->x(), pixel->y())
           + QStringLiteral("\nConvert: %1,%2,%3").arg(rgb.red()).arg(rgb.green()).arg(rgb.blue());
}

void PixelProbe::clear()
{
    m_frame.reset();
    m_frameNumber = -1;
    m_image = QImage();
}
