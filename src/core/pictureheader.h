#pragma once

// The frame rate and timecode that DPX and OpenEXR files carry in their headers. Reads only
// the bytes it is given, checks every offset against their length and accepts nothing it
// cannot make sense of (an unset field, a rate out of range, a timecode with a bad digit).

#include <QByteArray>
#include <QString>

#include <optional>

namespace pictureheader {

struct Facts {
    std::optional<double> fps;
    QString timecode; // "HH:MM:SS:FF" (';' before the frames when drop-frame); empty if none
};

// Bytes worth reading from the head of a file to find either format's facts.
constexpr int kBytesNeeded = 64 * 1024;

// DPX: the television header's frame rate wins over the film header's; its SMPTE time code.
Facts readDpx(const QByteArray &head);
// OpenEXR: the framesPerSecond and timeCode attributes.
Facts readExr(const QByteArray &head);
// By the magic number; empty facts for anything else.
Facts read(const QByteArray &head);
// The head of the file at 'path' read through read().
Facts readFile(const QString &path);

} // namespace pictureheader
