#pragma once

// The generated clips of eight bars of known R'G'B' (tests/media/generate_media.sh), shared
// by every test that checks a picture path against them.

#include <QList>
#include <QPoint>
#include <QSize>
#include <QString>

#include <cstdlib>

namespace colourbars {

// Largest difference per channel from the encoded value at a bar's centre.
constexpr int kTolerance = 2;

struct Bar {
    const char *name;
    int r, g, b;
};

// Left to right, each an eighth of the picture wide.
constexpr Bar kBars[8] = {
    {"red", 191, 0, 0},     {"green", 0, 191, 0},     {"blue", 0, 0, 191},      {"yellow", 191, 191, 0},
    {"cyan", 0, 191, 191},  {"magenta", 191, 0, 191}, {"grey", 128, 128, 128}, {"orange", 230, 120, 40},
};

struct Clip {
    const char *row;
    const char *file;
    QSize size;
    bool rgb = false; // R,G,B samples: read without a matrix
};

// Every matrix, range, depth and chroma layout the player reads.
inline QList<Clip> clips()
{
    const QSize hd(1920, 1080), sd(720, 576);
    return {
        {"BT.601 SD 4:2:0", "colour_bt601_sd420.mp4", sd},
        {"BT.601 full range 4:2:2", "colour_bt601_full422.mkv", hd},
        {"BT.709 HD 4:2:0", "colour_bt709_hd420.mp4", hd},
        {"BT.709 HD 4:4:4", "colour_bt709_hd444.mp4", hd},
        {"BT.709 10-bit 4:4:4", "colour_bt709_10bit444.mkv", hd},
        {"BT.2020 10-bit 4:2:2", "colour_bt2020_10bit422.mkv", hd},
        {"BT.709 full range", "colour_bt709_full420.mkv", hd},
        {"untagged HD", "colour_untagged_hd420.mp4", hd},
        {"untagged SD", "colour_untagged_sd420.mp4", sd},
        {"gbrp10", "colour_gbrp10.mkv", hd, true},
        {"rgb48", "colour_rgb48.mov", hd, true},
    };
}

inline QPoint barCentre(int bar, QSize picture)
{
    return QPoint(picture.width() * (2 * bar + 1) / 16, picture.height() / 2);
}

// "" when r, g, b is within tolerance of the bar, otherwise what went wrong.
inline QString compareToBar(int bar, int r, int g, int b)
{
    const Bar &want = kBars[bar];
    if (std::abs(r - want.r) <= kTolerance && std::abs(g - want.g) <= kTolerance && std::abs(b - want.b) <= kTolerance)
        return {};
    return QStringLiteral("%1 bar reads %2,%3,%4, expected %5,%6,%7")
        .arg(QString::fromLatin1(want.name))
        .arg(r).arg(g).arg(b)
        .arg(want.r).arg(want.g).arg(want.b);
}

} // namespace colourbars
