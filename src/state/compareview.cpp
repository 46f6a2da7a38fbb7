#include "state/compareview.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace compareview {

View next(View view)
{
    switch (view) {
    case View::A:
        return View::B;
    case View::B:
        return View::Wipe;
    case View::Wipe:
        return View::SideBySide;
    case View::SideBySide:
        return View::Difference;
    case View::Difference:
        break;
    }
    return View::A;
}

int nextGain(int gain)
{
    return gain >= 16 ? 1 : gain >= 4 ? 16 : 4;
}

QImage compose(const QImage &aIn, const QImage &bIn, View view, double wipe, int gain)
{
    if (aIn.isNull())
        return QImage();
    const QImage a = aIn.convertToFormat(QImage::Format_RGB32);
    QImage b = bIn.isNull() ? QImage(a.size(), QImage::Format_RGB32) : bIn.convertToFormat(QImage::Format_RGB32);
    if (bIn.isNull())
        b.fill(Qt::black);
    if (b.size() != a.size())
        b = b.scaled(a.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const int width = a.width();
    const int height = a.height();
    switch (view) {
    case View::A:
        return a;
    case View::B:
        return b;
    case View::Wipe: {
        const int divider = std::clamp(int(std::lround(std::clamp(wipe, 0.0, 1.0) * width)), 0, width);
        QImage out = b;
        for (int y = 0; y < height; ++y)
            std::copy_n(reinterpret_cast<const QRgb *>(a.constScanLine(y)), divider,
                        reinterpret_cast<QRgb *>(out.scanLine(y)));
        return out;
    }
    case View::SideBySide: {
        QImage out(width * 2, height, QImage::Format_RGB32);
        QPainter painter(&out);
        painter.drawImage(0, 0, a);
        painter.drawImage(width, 0, b);
        return out;
    }
    case View::Difference: {
        QImage out(a.size(), QImage::Format_RGB32);
        const int factor = std::max(1, gain);
        for (int y = 0; y < height; ++y) {
            const auto *ra = reinterpret_cast<const QRgb *>(a.constScanLine(y));
            const auto *rb = reinterpret_cast<const QRgb *>(b.constScanLine(y));
            auto *ro = reinterpret_cast<QRgb *>(out.scanLine(y));
            for (int x = 0; x < width; ++x) {
                const auto channel = [factor](int p, int q) { return std::min(255, std::abs(p - q) * factor); };
                ro[x] = qRgb(channel(qRed(ra[x]), qRed(rb[x])), channel(qGreen(ra[x]), qGreen(rb[x])),
                             channel(qBlue(ra[x]), qBlue(rb[x])));
            }
        }
        return out;
    }
    }
    return a;
}

} // namespace compareview
