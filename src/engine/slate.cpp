#include "engine/slate.h"

#include "av/ffmpeg.h"

#include <algorithm>
#include <array>

namespace slate {

namespace {

constexpr const char *kReasonKey = "orvel.slate";

// 5 x 7 glyphs, one byte per row, bit 4 the leftmost column.
struct Glyph {
    char c;
    std::array<uint8_t, 7> rows;
};

constexpr Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'a', {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F}}, {'c', {0x00, 0x00, 0x0E, 0x10, 0x10, 0x11, 0x0E}},
    {'d', {0x01, 0x01, 0x0D, 0x13, 0x11, 0x11, 0x0F}}, {'e', {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E}},
    {'g', {0x00, 0x0F, 0x11, 0x11, 0x0F, 0x01, 0x0E}}, {'i', {0x04, 0x00, 0x0C, 0x04, 0x04, 0x04, 0x0E}},
    {'m', {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11}}, {'n', {0x00, 0x00, 0x16, 0x19, 0x11, 0x11, 0x11}},
    {'o', {0x00, 0x00, 0x0E, 0x11, 0x11, 0x11, 0x0E}}, {'r', {0x00, 0x00, 0x16, 0x19, 0x10, 0x10, 0x10}},
    {'s', {0x00, 0x00, 0x0E, 0x10, 0x0E, 0x01, 0x1E}}, {'t', {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06}},
};

const Glyph *glyphFor(QChar c)
{
    for (const Glyph &g : kGlyphs) {
        if (QChar::fromLatin1(g.c) == c)
            return &g;
    }
    return nullptr;
}

// Draws 'text' centred on row 'centreY' with each font pixel a scale x scale block.
void drawLine(AVFrame *frame, const QString &text, int centreY, int scale)
{
    const int advance = 6 * scale;
    const int textWidth = int(text.size()) * advance - scale;
    const int x0 = (frame->width - textWidth) / 2;
    const int y0 = centreY - 7 * scale / 2;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const Glyph *glyph = glyphFor(text.at(i));
        if (!glyph)
            continue;
        for (int row = 0; row < 7; ++row) {
            for (int col = 0; col < 5; ++col) {
                if (!(glyph->rows[size_t(row)] & (0x10 >> col)))
                    continue;
                for (int dy = 0; dy < scale; ++dy) {
                    const int y = y0 + row * scale + dy;
                    if (y < 0 || y >= frame->height)
                        continue;
                    uint8_t *line = frame->data[0] + ptrdiff_t(y) * frame->linesize[0];
                    const int xs = std::max(0, x0 + int(i) * advance + col * scale);
                    const int xe = std::min(frame->width, x0 + int(i) * advance + (col + 1) * scale);
                    for (int x = xs; x < xe; ++x)
                        std::fill_n(line + 3 * x, 3, kInk);
                }
            }
        }
    }
}

} // namespace

QString reasonOf(const AVFrame *frame)
{
    const AVDictionaryEntry *entry = frame ? av_dict_get(frame->metadata, kReasonKey, nullptr, 0) : nullptr;
    return entry ? QString::fromUtf8(entry->value) : QString();
}

av::FramePtr make(int width, int height, int64_t fileNumber, const QString &reason)
{
    av::FramePtr frame = av::makeFrame();
    if (!frame)
        return {};
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = std::max(width, 16);
    frame->height = std::max(height, 16);
    frame->color_range = AVCOL_RANGE_JPEG;
    av_dict_set(&frame->metadata, kReasonKey, reason.toUtf8().constData(), 0);
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    for (int y = 0; y < frame->height; ++y)
        std::fill_n(frame->data[0] + ptrdiff_t(y) * frame->linesize[0], 3 * frame->width, kBackground);
    const QString number = QString::number(fileNumber);
    // As large as the longer line allows across 80% of the width, within a third of the height.
    const qsizetype longest = std::max(number.size(), reason.size());
    const int scale = std::max(1, std::min(int(frame->width * 0.8 / (6.0 * double(longest))), frame->height / 3 / 16));
    drawLine(frame.get(), number, frame->height / 2 - 5 * scale, scale);
    drawLine(frame.get(), reason, frame->height / 2 + 5 * scale, scale);
    return frame;
}

} // namespace slate
