#pragma once

// PNG files written for speed: FFmpeg's encoder at zlib's fastest level with one fixed
// row filter, several times quicker than QImage::save, which tries every filter on every
// row. Lossless all the same; the files are somewhat larger.

#include <QImage>
#include <QString>

namespace pngwriter {

// Writes image (8-bit RGB, or RGBA when it has an alpha channel) to path. False when the
// image is null or encoding or writing failed.
bool writeFast(const QImage &image, const QString &path);

} // namespace pngwriter
