#include "core/imagehelpers.h"

#include <QPainter>
#include <QTransform>

namespace {

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
            return uchar((3576 * g + 1063 * r + 361 * b) / 5000);
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
