#include "app/pngwriter.h"

#include "core/parallelrows.h"

#include <QByteArray>
#include <QFile>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace pngwriter {

namespace {

// Rows per piece at least: below that a thread costs more than it saves.
constexpr int kMinRowsPerPiece = 128;
constexpr int kMaxPieces = 4;
constexpr unsigned char kFilterUp = 2;
// Rows filtered per deflate call: the slab stays in the cache, and no copy of the whole
// picture is ever made (its pages would be faulted in only to be read once).
constexpr int kRowsPerSlab = 16;

void appendBigEndian(QByteArray &out, quint32 value)
{
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    out.append(bytes, 4);
}

QByteArray bigEndian(quint32 value)
{
    QByteArray out;
    appendBigEndian(out, value);
    return out;
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

// The picture's rows as PNG's R,G,B(,A) bytes: read through 'pack' from the toolkit's
// 32-bit pixels, or as they are when 'pack' is null.
struct Source {
    const QImage *image = nullptr;
    int rowBytes = 0;
    void (*pack)(const uchar *pixels, int width, uchar *out) = nullptr;

    const uchar *row(int y, uchar *scratch) const
    {
        if (!pack)
            return image->constScanLine(y);
        pack(image->constScanLine(y), image->width(), scratch);
        return scratch;
    }
};

void packRgb(const uchar *pixels, int width, uchar *out)
{
    const auto *rgb = reinterpret_cast<const QRgb *>(pixels);
    for (int x = 0; x < width; ++x, out += 3) {
        out[0] = uchar(qRed(rgb[x]));
        out[1] = uchar(qGreen(rgb[x]));
        out[2] = uchar(qBlue(rgb[x]));
    }
}

void packRgba(const uchar *pixels, int width, uchar *out)
{
    const auto *rgba = reinterpret_cast<const QRgb *>(pixels);
    for (int x = 0; x < width; ++x, out += 4) {
        out[0] = uchar(qRed(rgba[x]));
        out[1] = uchar(qGreen(rgba[x]));
        out[2] = uchar(qBlue(rgba[x]));
        out[3] = uchar(qAlpha(rgba[x]));
    }
}

// One stretch of rows, filtered and deflated on its own. Pieces that end with a sync flush
// (all but the last) join into one valid deflate stream; their Adler-32 sums combine.
struct Piece {
    int firstRow = 0;
    int endRow = 0;
    // Not value-initialised: only the pages deflate writes are ever touched.
    std::unique_ptr<unsigned char[]> deflated;
    size_t deflatedBytes = 0;
    uLong adler = 1;
    uLong rawBytes = 0;
    bool ok = false;
};

void deflatePiece(const Source &source, bool last, Piece &piece)
{
    const int rowBytes = source.rowBytes;
    const size_t lineBytes = size_t(rowBytes) + 1;
    const int rows = piece.endRow - piece.firstRow;
    piece.rawBytes = uLong(lineBytes * size_t(rows));

    z_stream stream{};
    // Raw deflate at the fastest level; run-length matching suits filtered pictures (as
    // small as the default matcher on camera material, at a fraction of its time).
    if (deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_RLE) != Z_OK)
        return;
    // Fed slab by slab without flushing, deflate writes what one call on all rows would.
    const size_t capacity = deflateBound(&stream, piece.rawBytes) + 16;
    piece.deflated.reset(new (std::nothrow) unsigned char[capacity]);
    std::vector<unsigned char> slab(lineBytes * size_t(std::min(rows, kRowsPerSlab)));
    std::vector<unsigned char> scratch(source.pack ? 2 * size_t(rowBytes) : 0);
    if (!piece.deflated) {
        deflateEnd(&stream);
        return;
    }
    stream.next_out = piece.deflated.get();
    stream.avail_out = uInt(capacity);

    uchar *scratchRows[2] = {scratch.data(), scratch.data() + (scratch.empty() ? 0 : rowBytes)};
    const uchar *above = piece.firstRow > 0 ? source.row(piece.firstRow - 1, scratchRows[(piece.firstRow - 1) & 1]) : nullptr;
    uLong adler = adler32(0, nullptr, 0);
    bool ok = true;
    for (int slabStart = piece.firstRow; slabStart < piece.endRow && ok; slabStart += kRowsPerSlab) {
        const int slabEnd = std::min(piece.endRow, slabStart + kRowsPerSlab);
        unsigned char *line = slab.data();
        for (int y = slabStart; y < slabEnd; ++y, line += lineBytes) {
            const uchar *row = source.row(y, scratchRows[y & 1]);
            line[0] = kFilterUp;
            if (!above) {
                std::memcpy(line + 1, row, size_t(rowBytes));
            } else {
                for (int i = 0; i < rowBytes; ++i)
                    line[1 + i] = uchar(row[i] - above[i]);
            }
            above = row;
        }
        const uInt slabBytes = uInt(line - slab.data());
        adler = adler32(adler, slab.data(), slabBytes);
        const bool final = slabEnd == piece.endRow;
        stream.next_in = slab.data();
        stream.avail_in = slabBytes;
        const int result = deflate(&stream, final ? (last ? Z_FINISH : Z_SYNC_FLUSH) : Z_NO_FLUSH);
        if (final && last)
            ok = result == Z_STREAM_END;
        else
            ok = result == Z_OK && stream.avail_in == 0 && stream.avail_out > 0;
    }
    piece.adler = adler;
    piece.deflatedBytes = stream.total_out;
    piece.ok = ok;
    deflateEnd(&stream);
}

} // namespace

bool writeFast(const QImage &image, const QString &path)
{
    if (image.isNull())
        return false;
    const bool alpha = image.hasAlphaChannel();
    // The exported pictures' own formats are read as they are; anything else goes through
    // the toolkit to byte orders that are PNG's RGB and RGBA exactly.
    QImage converted;
    Source source;
    source.image = &image;
    source.rowBytes = image.width() * (alpha ? 4 : 3);
    if (image.format() == QImage::Format_RGB32) {
        source.pack = &packRgb;
    } else if (image.format() == QImage::Format_ARGB32) {
        source.pack = &packRgba;
    } else {
        converted = image.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
        source.image = &converted;
    }
    const int width = image.width();
    const int height = image.height();

    const int pieceCount = std::clamp(std::min(parallel::coreCount(), height / kMinRowsPerPiece), 1, kMaxPieces);
    std::vector<Piece> pieces(static_cast<size_t>(pieceCount));
    for (int i = 0; i < pieceCount; ++i) {
        const parallel::Rows rows = parallel::bandRows(height, i, pieceCount);
        pieces[size_t(i)].firstRow = rows.first;
        pieces[size_t(i)].endRow = rows.end;
    }
    parallel::forEachBand(pieceCount, [&](int i) { deflatePiece(source, i == pieceCount - 1, pieces[size_t(i)]); });

    // zlib header: deflate, 32 KiB window, fastest level (0x7801 is a multiple of 31).
    const char zlibHeader[2] = {char(0x78), char(0x01)};
    uLong adler = adler32(0, nullptr, 0);
    size_t idatBytes = sizeof zlibHeader + 4;
    for (const Piece &piece : pieces) {
        if (!piece.ok)
            return false;
        adler = adler32_combine(adler, piece.adler, z_off_t(piece.rawBytes));
        idatBytes += piece.deflatedBytes;
    }
    if (idatBytes > 0x7fffffffu)
        return false;

    QByteArray header;
    appendBigEndian(header, quint32(width));
    appendBigEndian(header, quint32(height));
    header.append(char(8));              // bits per sample
    header.append(char(alpha ? 6 : 2));  // RGBA or RGB
    header.append(3, char(0));           // deflate, adaptive filters, no interlace

    QByteArray head("\x89PNG\r\n\x1a\n", 8);
    appendChunk(head, "IHDR", header);
    appendBigEndian(head, quint32(idatBytes));
    head.append("IDAT", 4);
    head.append(zlibHeader, sizeof zlibHeader);

    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    // The IDAT chunk is written from the pieces where they lie; its CRC runs along.
    const qsizetype idatStart = head.size() - 4 - qsizetype(sizeof zlibHeader);
    uLong crc = crc32(0, reinterpret_cast<const Bytef *>(head.constData() + idatStart), uInt(head.size() - idatStart));
    bool written = out.write(head) == head.size();
    for (const Piece &piece : pieces) {
        if (!written)
            break;
        crc = crc32(crc, piece.deflated.get(), uInt(piece.deflatedBytes));
        written = out.write(reinterpret_cast<const char *>(piece.deflated.get()), qint64(piece.deflatedBytes))
            == qint64(piece.deflatedBytes);
    }
    QByteArray tail = bigEndian(quint32(adler));
    crc = crc32(crc, reinterpret_cast<const Bytef *>(tail.constData()), 4);
    appendBigEndian(tail, quint32(crc));
    appendChunk(tail, "IEND", QByteArray());
    written = written && out.write(tail) == tail.size();
    return written && out.flush();
}

} // namespace pngwriter
