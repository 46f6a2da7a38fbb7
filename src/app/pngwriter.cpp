#include "app/pngwriter.h"

#include "core/parallelrows.h"

#include <QByteArray>
#include <QFile>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace pngwriter {

namespace {

// Rows per piece at least: below that a thread costs more than it saves.
constexpr int kMinRowsPerPiece = 128;
constexpr int kMaxPieces = 4;
constexpr unsigned char kFilterUp = 2;

void appendBigEndian(QByteArray &out, quint32 value)
{
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    out.append(bytes, 4);
}

void appendChunk(QByteArray &out, const char *type, const QByteArray &data)
{
    appendBigEndian(out, quint32(data.size()));
    const qsizetype start = out.size();
    out.append(type, 4);
    out.append(data);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(out.constData() + start), uInt(out.size() - start));
    appendBigEndian(out, quint32(crc));
}

// One stretch of rows, filtered and deflated on its own. Pieces that end with a sync flush
// (all but the last) join into one valid deflate stream; their Adler-32 sums combine.
struct Piece {
    int firstRow = 0;
    int endRow = 0;
    std::vector<unsigned char> deflated;
    uLong adler = 1;
    uLong rawBytes = 0;
    bool ok = false;
};

void deflatePiece(const QImage &image, int rowBytes, bool last, Piece &piece)
{
    const size_t lineBytes = size_t(rowBytes) + 1;
    std::vector<unsigned char> raw(lineBytes * size_t(piece.endRow - piece.firstRow));
    for (int y = piece.firstRow; y < piece.endRow; ++y) {
        unsigned char *line = raw.data() + lineBytes * size_t(y - piece.firstRow);
        const uchar *row = image.constScanLine(y);
        line[0] = kFilterUp;
        if (y == 0) {
            std::memcpy(line + 1, row, size_t(rowBytes));
        } else {
            const uchar *above = image.constScanLine(y - 1);
            for (int i = 0; i < rowBytes; ++i)
                line[1 + i] = uchar(row[i] - above[i]);
        }
    }
    piece.rawBytes = uLong(raw.size());
    piece.adler = adler32(adler32(0, nullptr, 0), raw.data(), uInt(raw.size()));

    z_stream stream{};
    // Raw deflate at the fastest level; run-length matching suits filtered pictures (as
    // small as the default matcher on camera material, at a fraction of its time).
    if (deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_RLE) != Z_OK)
        return;
    piece.deflated.resize(deflateBound(&stream, uLong(raw.size())) + 16);
    stream.next_in = raw.data();
    stream.avail_in = uInt(raw.size());
    stream.next_out = piece.deflated.data();
    stream.avail_out = uInt(piece.deflated.size());
    const int result = deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
    piece.ok = last ? result == Z_STREAM_END : (result == Z_OK && stream.avail_in == 0);
    piece.deflated.resize(stream.total_out);
    deflateEnd(&stream);
}

} // namespace

bool writeFast(const QImage &image, const QString &path)
{
    if (image.isNull())
        return false;
    const bool alpha = image.hasAlphaChannel();
    // Byte orders that are PNG's RGB and RGBA exactly.
    const QImage packed = image.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    const int width = packed.width();
    const int height = packed.height();
    const int rowBytes = width * (alpha ? 4 : 3);

    const int pieceCount = std::clamp(std::min(parallel::coreCount(), height / kMinRowsPerPiece), 1, kMaxPieces);
    std::vector<Piece> pieces(static_cast<size_t>(pieceCount));
    for (int i = 0; i < pieceCount; ++i) {
        const parallel::Rows rows = parallel::bandRows(height, i, pieceCount);
        pieces[size_t(i)].firstRow = rows.first;
        pieces[size_t(i)].endRow = rows.end;
    }
    parallel::forEachBand(pieceCount, [&](int i) {
        deflatePiece(packed, rowBytes, i == pieceCount - 1, pieces[size_t(i)]);
    });

    QByteArray idat;
    // zlib header: deflate, 32 KiB window, fastest level (0x7801 is a multiple of 31).
    idat.append(char(0x78));
    idat.append(char(0x01));
    uLong adler = adler32(0, nullptr, 0);
    for (const Piece &piece : pieces) {
        if (!piece.ok)
            return false;
        idat.append(reinterpret_cast<const char *>(piece.deflated.data()), qsizetype(piece.deflated.size()));
        adler = adler32_combine(adler, piece.adler, z_off_t(piece.rawBytes));
    }
    appendBigEndian(idat, quint32(adler));

    QByteArray header;
    appendBigEndian(header, quint32(width));
    appendBigEndian(header, quint32(height));
    header.append(char(8));              // bits per sample
    header.append(char(alpha ? 6 : 2));  // RGBA or RGB
    header.append(3, char(0));           // deflate, adaptive filters, no interlace

    QByteArray file("\x89PNG\r\n\x1a\n", 8);
    appendChunk(file, "IHDR", header);
    appendChunk(file, "IDAT", idat);
    appendChunk(file, "IEND", QByteArray());

    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return out.write(file) == file.size() && out.flush();
}

} // namespace pngwriter
