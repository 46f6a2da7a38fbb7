#include "core/imagehelpers.h"

#include "core/colour.h"
#include "core/compat.h"

#include <QPainter>
#include <QTransform>

#include <cstring>

namespace {

// BT.709 luma weights in 1/5000ths: (3576 G + 1063 R + 361 B) / 5000.
constexpr colour::LumaWeights kLuma = colour::lumaWeights(colour::Matrix::BT709);
constexpr quint32 kLumaR = quint32(kLuma.kr * 5000 + 0.5);
constexpr quint32 kLumaB = quint32(kLuma.kb * 5000 + 0.5);
constexpr quint32 kLumaG = 5000 - kLumaR - kLumaB;
static_assert(kLumaR == 1063 && kLumaG == 3576 && kLumaB == 361);

template <typename Extract>
void extractPlane(const QImage &source, QImage &target, Extract extract)
{
    const int width = source.width();
    for (int y = 0; y < source.height(); ++y) {
        const auto *in = reinterpret_cast<const quint32 *>(source.constScanLine(y));
        uchar *out = target.scanLine(y);
        for (int x = 0; x < width; ++x)
            out[x] = extract(in[x]);
    }
}

} // namespace

QImage isolateChannel(const QImage &image, DisplayChannel channel)
{
    if (channel == Color)
        return image;
    if (image.isNull())
        return QImage();

    QImage source = image;
    if (source.format() != QImage::Format_ARGB32 && source.format() != QImage::Format_RGB32)
        source = source.convertToFormat(QImage::Format_ARGB32);

    QImage result(source.size(), QImage::Format_Grayscale8);
    if (result.isNull())
        return result;

    switch (channel) {
    case Red:
        extractPlane(source, result, [](quint32 p) { return uchar(p >> 16); });
        break;
    case Green:
        extractPlane(source, result, [](quint32 p) { return uchar(p >> 8); });
        break;
    case Blue:
        extractPlane(source, result, [](quint32 p) { return uchar(p); });
        break;
    case Alpha:
        // RGB32 promises 0xff in the top byte, but pictures wrapped around foreign
        // buffers do not always keep that promise: an opaque format is opaque.
        if (source.format() == QImage::Format_RGB32)
            result.fill(255);
        else
            extractPlane(source, result, [](quint32 p) { return uchar(p >> 24); });
        break;
    case Luma:
        extractPlane(source, result, [](quint32 p) {
            const quint32 r = (p >> 16) & 0xff;
            const quint32 g = (p >> 8) & 0xff;
            const quint32 b = p & 0xff;
            return uchar((kLumaG * g + kLumaR * r + kLumaB * b) / 5000);
        });
        break;
    default:
        result.fill(0);
        break;
    }
    return result;
}

QImage rotateImage(const QImage &image, int degrees)
{
    if (image.isNull())
        return QImage();
    const int r = normalizeQuarterTurn(degrees);
    if (r == 0)
        return image;
    return image.transformed(QTransform().rotate(r), Qt::SmoothTransformation);
}

QImage rotateAndFit(const QImage &image, int degrees, QSize target)
{
    if (image.isNull())
        return QImage();
    const int r = normalizeQuarterTurn(degrees);
    if (r == 0)
        return image;

    QSize canvasSize = image.size();
    if (target.isValid())
        canvasSize = target;
    else if ((r == 90 || r == 270) && image.width() < image.height())
        canvasSize = image.size().transposed();

    QImage canvas(canvasSize, QImage::Format_ARGB32);
    if (canvas.isNull())
        return canvas;
    canvas.fill(Qt::black);

    const QImage rotated = rotateImage(image, r);
    if (rotated.isNull())
        return canvas;
    const QImage scaled = rotated.scaled(canvas.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (scaled.isNull())
        return canvas;

    QPainter painter(&canvas);
    painter.drawImage((canvas.width() - scaled.width()) / 2, (canvas.height() - scaled.height()) / 2, scaled);
    painter.end();
    return canvas;
}

QImage imageFromVideoFrame(const QVideoFrame &frame)
{
    if (!frame.isValid())
        return {};
    QImage::Format format = QImage::Format_Invalid;
    switch (frame.pixelFormat()) {
    case QVideoFrameFormat::Format_BGRA8888: format = QImage::Format_ARGB32; break;
    case QVideoFrameFormat::Format_BGRA8888_Premultiplied: format = QImage::Format_ARGB32_Premultiplied; break;
    case QVideoFrameFormat::Format_BGRX8888: format = QImage::Format_RGB32; break;
    default: return frame.toImage();
    }
    QVideoFrame mapped(frame);
    if (!mapped.map(compat::MapReadOnly))
        return {};
    QImage image(mapped.width(), mapped.height(), format);
    if (!image.isNull()) {
        const size_t rowBytes = size_t(mapped.width()) * 4;
        for (int y = 0; y < mapped.height(); ++y)
            std::memcpy(image.scanLine(y), mapped.bits(0) + qsizetype(y) * mapped.bytesPerLine(0), rowBytes);
        if (format == QImage::Format_RGB32) {
            // RGB32 promises an opaque top byte; BGRX leaves it undefined.
            for (int y = 0; y < image.height(); ++y) {
                auto *row = reinterpret_cast<quint32 *>(image.scanLine(y));
                for (int x = 0; x < image.width(); ++x)
                    row[x] |= 0xff000000u;
            }
        }
    }
    mapped.unmap();
    return image;
}
