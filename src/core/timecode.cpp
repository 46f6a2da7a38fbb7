#include "core/timecode.h"

#include <array>
#include <cmath>
#include <limits>

namespace {

// Constant-initialised: usable from static constructors of other units.
constexpr std::array<std::string_view, 12> kValidRates = {
    "16", "18", "24", "25", "30", "48", "50", "60", "72", "96", "100", "120"};
constexpr std::array<std::string_view, 9> kDropFrameRefused = {
    "16", "18", "24", "25", "48", "50", "72", "96", "100"};

template <size_t N>
constexpr bool contains(const std::array<std::string_view, N> &table, std::string_view text)
{
    for (std::string_view entry : table) {
        if (entry == text)
            return true;
    }
    return false;
}

constexpr uint64_t rateValue(std::string_view text)
{
    uint64_t value = 0;
    for (char c : text)
        value = value * 10 + uint64_t(c - '0');
    return value;
}

uint64_t readField(const char *digits, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value * 10 + uint64_t(digits[i] - '0');
    return value;
}

char *writeDigits(char *out, uint64_t value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = char('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

} // namespace

Timecode::Timecode(std::string_view rateText, uint64_t nominalFps, bool dropFrame)
    : m_dropFrame(dropFrame)
    , m_rateText(rateText)
    , m_nominalFps(nominalFps)
{
}

std::optional<Timecode> Timecode::create(std::string_view rateText, bool dropFrame)
{
    if (!contains(kValidRates, rateText))
        return std::nullopt;
    if (dropFrame && contains(kDropFrameRefused, rateText))
        return std::nullopt;
    return Timecode(rateText, rateValue(rateText), dropFrame);
}

std::optional<Timecode> Timecode::create(std::string_view rateText, bool dropFrame,
                                         std::string_view timecodeText)
{
    std::optional<Timecode> timecode = create(rateText, dropFrame);
    if (!timecode)
        return std::nullopt;
    const std::optional<uint64_t> position = timecode->parse(timecodeText);
    if (!position)
        return std::nullopt;
    timecode->m_frames = *position;
    return timecode;
}

std::optional<Timecode> Timecode::forVideo(double fps, std::string_view startTimecode)
{
    const std::string_view start = startTimecode.empty() ? std::string_view("00:00:00:00") : startTimecode;
    const bool dropFrame = start.find(';') != std::string_view::npos;
    return create(nominalRateText(fps), dropFrame, start);
}

std::string Timecode::nominalRateText(double fps)
{
    if (std::abs(fps - 29.97) < 0.1)
        return "30";
    if (std::abs(fps - 59.94) < 0.1)
        return "60";
    if (std::abs(fps - 23.976) < 0.1)
        return "24";
    if (!std::isfinite(fps) || fps < 0.0 || fps > 1e9)
        return "0";
    return std::to_string(std::llround(fps));
}

uint64_t Timecode::dropCount() const
{
    return m_dropFrame ? m_nominalFps / 15 : 0;
}

uint64_t Timecode::framesPer10Minutes() const
{
    return 600 * m_nominalFps - 9 * dropCount();
}

uint64_t Timecode::framesPerDay() const
{
    // 1296 minutes of a day skip labels.
    return 86400 * m_nominalFps - 1296 * dropCount();
}

uint64_t Timecode::wrap(int64_t n) const
{
    // Works on the remainder, so INT64_MIN needs no negation.
    const int64_t perDay = int64_t(framesPerDay());
    int64_t r = n % perDay;
    if (r < 0)
        r += perDay;
    return uint64_t(r);
}

void Timecode::setFrames(int64_t n)
{
    m_frames = wrap(n);
}

bool Timecode::setText(std::string_view text)
{
    const std::optional<uint64_t> position = parse(text);
    if (!position)
        return false;
    m_frames = *position;
    return true;
}

void Timecode::addFrames(int64_t n)
{
    const uint64_t perDay = framesPerDay();
    m_frames = (m_frames % perDay + wrap(n)) % perDay;
}

void Timecode::subtractFrames(int64_t n)
{
    const uint64_t perDay = framesPerDay();
    m_frames = (m_frames % perDay + perDay - wrap(n)) % perDay;
}

bool Timecode::addText(std::string_view text)
{
    const std::optional<uint64_t> position = parse(text);
    if (!position)
        return false;
    addFrames(int64_t(*position % framesPerDay()));
    return true;
}

bool Timecode::subtractText(std::string_view text)
{
    const std::optional<uint64_t> position = parse(text);
    if (!position)
        return false;
    subtractFrames(int64_t(*position % framesPerDay()));
    return true;
}

std::optional<uint64_t> Timecode::parse(std::string_view text) const
{
    if (text.empty() || m_nominalFps == 0)
        return std::nullopt;

    constexpr int64_t maxValue = std::numeric_limits<int64_t>::max();
    int64_t value = 0;
    bool anyDigit = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            const int digit = c - '0';
            if (value > (maxValue - digit) / 10)
                return std::nullopt;
            value = value * 10 + digit;
            anyDigit = true;
        } else if (c != ':' && c != ';') {
            return std::nullopt;
        }
    }
    if (!anyDigit)
        return std::nullopt;

    // Right-align the typed digits: zero-pad to the field width, keep any extra digits.
    const bool threeFrameDigits = m_nominalFps == 120;
    const int minWidth = threeFrameDigits ? 9 : 8;
    char digits[24];
    int valueDigits = 0;
    for (int64_t v = value; v > 0; v /= 10)
        ++valueDigits;
    const int width = valueDigits > minWidth ? valueDigits : minWidth;
    writeDigits(digits, uint64_t(value), width);

    const uint64_t fps = m_nominalFps;
    const uint64_t hours = readField(digits, 2);
    const uint64_t minutes = readField(digits + 2, 2);
    const uint64_t seconds = readField(digits + 4, 2);
    uint64_t frame = readField(digits + 6, threeFrameDigits ? 3 : 2);
    if (hours > 23 || minutes > 59 || seconds > 59 || frame >= fps)
        return std::nullopt;

    if (!m_dropFrame)
        return fps * (3600 * hours + 60 * minutes + seconds) + frame;

    // A skipped label reads as the first real frame of its minute.
    const uint64_t drop = fps / 15;
    if (minutes % 10 != 0 && seconds == 0 && (fps == 30 || fps == 60 || fps == 120) && frame < drop)
        frame = drop;
    const uint64_t tenMinuteBlocks = 6 * hours + minutes / 10;
    const uint64_t minuteInBlock = minutes % 10;
    uint64_t position = frame + (600 * fps - 9 * drop) * tenMinuteBlocks;
    if (minuteInBlock == 0)
        position += fps * seconds;
    else
        position += minuteInBlock * (60 * fps - drop) + fps * seconds;
    return position;
}

std::string Timecode::toString() const
{
    const uint64_t fps = m_nominalFps;
    if (fps == 0)
        return {};
    const uint64_t drop = dropCount();
    const uint64_t perTen = framesPer10Minutes();
    const uint64_t p = m_frames % framesPerDay();
    const uint64_t block = p / perTen;
    uint64_t m = p % perTen;

    uint64_t minuteInBlock = 0;
    uint64_t index = m;
    if (m >= 60 * fps) {
        // The first minute of a block has every label; the other nine lack 'drop' labels.
        m -= 60 * fps;
        const uint64_t shortMinute = 60 * fps - drop;
        uint64_t extra = m / shortMinute;
        if (extra > 8)
            extra = 8;
        m -= extra * shortMinute;
        minuteInBlock = 1 + extra;
        index = m + drop;
    }

    const uint64_t seconds = index / fps;
    const uint64_t frame = index % fps;
    const uint64_t hours = block / 6;
    const uint64_t minutes = (block % 6) * 10 + minuteInBlock;

    char buffer[16];
    char *out = buffer;
    out = writeDigits(out, hours, 2);
    *out++ = ':';
    out = writeDigits(out, minutes, 2);
    *out++ = ':';
    out = writeDigits(out, seconds, 2);
    *out++ = m_dropFrame ? ';' : ':';
    out = writeDigits(out, frame, fps == 120 ? 3 : 2);
    return std::string(buffer, out);
}
