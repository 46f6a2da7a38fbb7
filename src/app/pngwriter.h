#pragma once

// PNG files written for speed: one fixed row filter (Up) and zlib's fastest run-length
// matching, the rows split into pieces deflated on the machine's cores. Several times
// quicker than QImage::save, which tries every filter on every row at a high level.
// Lossless all the same; the files are somewhat larger.

#include <QImage>
#include <QString>

namespace pngwriter {

// Writes image (8-bit RGB, or RGBA when it has an alpha channel) to path. False when the
// image is null or encoding or writing failed.
bool writeFast(const QImage &image, const QString &path);

} // namespace pngwriter
