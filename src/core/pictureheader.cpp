#include "core/pictureheader.h"

#include <QFile>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace pictureheader {

namespace {

constexpr double kMinFps = 1.0;
constexpr double kMaxFps = 1000.0;

std::optional<uint32_t> u32At(const QByteArray &bytes, qsizetype offset, bool bigEndian)
{
    if (offset < 0 || offset + 4 > bytes.size())
        return std::nullopt;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData() + offset);
    return bigEndian ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]))
                     : (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | uint32_t(p[0]));
}

std::optional<double> plausibleFps(double fps)
{
    if (!std::isfinite(fps) || fps < kMinFps || fps > kMaxFps)
        return std::nullopt;
    return fps;
}

std::optional<double> floatFps(std::optional<uint32_t> bits)
{
    // All ones marks an unset DPX field.
    if (!bits || *bits == 0xFFFFFFFFu)
        return std::nullopt;
    float value = 0;
    std::memcpy(&value, &*bits, sizeof value);
    return plausibleFps(value);
}

// Two BCD digits; empty when either is not 0-9.
std::optional<int> bcd(uint32_t byte)
{
    const uint32_t tens = (byte >> 4) & 0xF;
    const uint32_t units = byte & 0xF;
    if (tens > 9 || units > 9)
        return std::nullopt;
    return int(tens * 10 + units);
}

QString timecodeText(int h, int m, int s, int f, bool dropFrame)
{
    if (h > 23 || m > 59 || s > 59 || f > 119)
        return {};
    return QStringLiteral("%1:%2:%3%4%5")
        .arg(h, 2, 10, QLatin1Char('0'))
        .arg(m, 2, 10, QLatin1Char('0'))
        .arg(s, 2, 10, QLatin1Char('0'))
        .arg(dropFrame ? QLatin1Char(';') : QLatin1Char(':'))
        .arg(f, 2, 10, QLatin1Char('0'));
}

} // namespace

Facts readDpx(const QByteArray &head)
{
    Facts facts;
    const std::optional<uint32_t> magic = u32At(head, 0, true);
    if (!magic || (*magic != 0x53445058u && *magic != 0x58504453u))
        return facts;
    const bool bigEndian = *magic == 0x53445058u; // "SDPX"
    // The headers end where the picture starts; nothing past that is header.
    const std::optional<uint32_t> imageOffset = u32At(head, 4, bigEndian);
    if (!imageOffset)
        return facts;
    const QByteArray header = head.left(qsizetype(std::min<uint32_t>(*imageOffset, uint32_t(head.size()))));

    constexpr qsizetype kFilmFrameRate = 1724;
    constexpr qsizetype kTvTimecode = 1920;
    constexpr qsizetype kTvFrameRate = 1940;
    facts.fps = floatFps(u32At(header, kTvFrameRate, bigEndian));
    if (!facts.fps)
        facts.fps = floatFps(u32At(header, kFilmFrameRate, bigEndian));

    if (const std::optional<uint32_t> tc = u32At(header, kTvTimecode, bigEndian); tc && *tc != 0xFFFFFFFFu) {
        const std::optional<int> h = bcd(*tc >> 24), m = bcd(*tc >> 16 & 0xFF), s = bcd(*tc >> 8 & 0xFF),
                                 f = bcd(*tc & 0xFF);
        if (h && m && s && f)
            facts.timecode = timecodeText(*h, *m, *s, *f, false);
    }
    return facts;
}

Facts readExr(const QByteArray &head)
{
    Facts facts;
    if (u32At(head, 0, false) != std::optional<uint32_t>(20000630u))
        return facts;
    qsizetype pos = 8; // magic and version
    const auto cString = [&](qsizetype from) -> std::optional<QByteArray> {
        const qsizetype end = head.indexOf('\0', from);
        if (end < 0)
            return std::nullopt;
        return head.mid(from, end - from);
    };
    // Attributes: name, type, size, value; an empty name ends the header.
    for (;;) {
        const std::optional<QByteArray> name = cString(pos);
        if (!name || name->isEmpty())
            break;
        const std::optional<QByteArray> type = cString(pos + name->size() + 1);
        if (!type)
            break;
        const qsizetype sizeAt = pos + name->size() + 1 + type->size() + 1;
        const std::optional<uint32_t> size = u32At(head, sizeAt, false);
        const qsizetype valueAt = sizeAt + 4;
        if (!size || *size > uint32_t(head.size()) || valueAt + qsizetype(*size) > head.size())
            break;
        if (*name == "framesPerSecond" && *type == "rational" && *size == 8) {
            const int32_t num = int32_t(*u32At(head, valueAt, false));
            const uint32_t den = *u32At(head, valueAt + 4, false);
            if (num > 0 && den > 0)
                facts.fps = plausibleFps(double(num) / double(den));
        } else if (*name == "timeCode" && *type == "timecode" && *size == 8) {
            const uint32_t t = *u32At(head, valueAt, false);
            const bool dropFrame = t & (1u << 6);
            const int f = int((t >> 4) & 0x3) * 10 + int(t & 0xF);
            const int s = int((t >> 12) & 0x7) * 10 + int((t >> 8) & 0xF);
            const int m = int((t >> 20) & 0x7) * 10 + int((t >> 16) & 0xF);
            const int h = int((t >> 28) & 0x3) * 10 + int((t >> 24) & 0xF);
            const bool digitsValid = (t & 0xF) <= 9 && ((t >> 8) & 0xF) <= 9 && ((t >> 16) & 0xF) <= 9
                && ((t >> 24) & 0xF) <= 9;
            if (digitsValid)
                facts.timecode = timecodeText(h, m, s, f, dropFrame);
        }
        pos = valueAt + qsizetype(*size);
    }
    return facts;
}

Facts read(const QByteArray &head)
{
    if (head.startsWith("SDPX") || head.startsWith("XPDS"))
        return readDpx(head);
    return readExr(head);
}

Facts readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return read(file.read(kBytesNeeded));
}

} // namespace pictureheader
