#include "state/viewerpath.h"

#include "state/pacing.h"
#include "core/rotation.h"

#include <QColor>
#include <QPainter>
#include <QPen>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace viewerpath {

namespace {

constexpr double kVisibleThreshold = 0.0005;
constexpr int kFigureHold = 4;
constexpr int kTraceHold = 6;
constexpr int kFigureMaxPoints = 1600;
constexpr int kTraceMaxPoints = 2400;

int roundInt(double value)
{
    return int(pacing::roundHalfAway(value));
}

double sampleAt(const QByteArray &block, qsizetype byteOffset)
{
    const auto raw = qFromLittleEndian<qint16>(block.constData() + byteOffset);
    return std::clamp(raw / 32768.0, -1.0, 1.0);
}

// Builds the figure from every m-th sample frame around 'centre'; true when it holds
// anything above the visibility threshold.
bool buildPath(const QByteArray &block, QPointF centre, double radius, int maxPoints, QPainterPath &path)
{
    const qsizetype frames = block.size() / 4;
    const qsizetype every = std::max<qsizetype>(1, frames / maxPoints);
    double peak = 0.0;
    bool first = true;
    for (qsizetype i = 0; i < frames; i += every) {
        const double l = sampleAt(block, i * 4);
        const double r = sampleAt(block, i * 4 + 2);
        const QPointF point(centre.x() + r * radius, centre.y() - l * radius);
        if (first) {
            path.moveTo(point);
            first = false;
        } else {
            path.lineTo(point);
        }
        peak = std::max({peak, std::abs(l), std::abs(r)});
    }
    return !first && peak > kVisibleThreshold;
}

// Shared by figure and trace: a short block holds the last drawing for a while.
void updateTrace(const QByteArray &block, QPointF centre, double radius, int maxPoints, int hold,
                 AudioTrace &trace)
{
    if (block.size() < 8) {
        if (trace.hold < 1)
            trace.clear();
        else
            --trace.hold;
        return;
    }
    QPainterPath path;
    if (buildPath(block, centre, radius, maxPoints, path)) {
        trace.path = path;
        trace.visible = true;
        trace.hold = hold;
    } else {
        trace.clear();
    }
}

QPen whitePen(double width)
{
    return QPen(QColor(255, 255, 255, 255), width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

} // namespace

SafetyArea SafetyArea::clamped(int h, int v, int l)
{
    const auto extent = [](int value) { return value < 3 ? 2 : std::min(value, 100); };
    return SafetyArea{extent(h), extent(v), std::clamp(l, 0, 100)};
}

int chunkBytes(int sampleRate, double fps)
{
    const int r = std::max(sampleRate, 1);
    const int n = roundInt(r / std::max(fps, 1.0));
    const int frames = std::max(r / 90, std::min(r / 15, n));
    return std::max(frames * 4, 8);
}

QByteArray takeOverlayChunk(QByteArray &overlayAudio, int sampleRate, double fps)
{
    const qsizetype k = chunkBytes(sampleRate, fps);
    const qsizetype limit = std::max<qsizetype>(4 * k, 2 * qsizetype(std::max(sampleRate, 1)));
    if (overlayAudio.size() > limit)
        overlayAudio.remove(0, overlayAudio.size() - limit);
    const qsizetype take = std::min(k, overlayAudio.size());
    QByteArray chunk = overlayAudio.left(take);
    overlayAudio.remove(0, take);
    return chunk;
}

QByteArray takeTraceChunk(QByteArray &audioOnlyAudio, int sampleRate, double fps)
{
    const qsizetype k = chunkBytes(sampleRate, fps);
    QByteArray chunk = audioOnlyAudio.right(std::min(k, audioOnlyAudio.size()));
    audioOnlyAudio.clear();
    return chunk;
}

QImage paintable(const QImage &image)
{
    if (image.format() == QImage::Format_ARGB32 || image.format() == QImage::Format_RGBA8888)
        return image;
    return image.convertToFormat(QImage::Format_ARGB32);
}

void drawLissajous(QImage &image, const QByteArray &block, AudioTrace &trace)
{
    image = paintable(image);
    if (image.isNull())
        return;
    const int w = image.width();
    const int h = image.height();
    const double sx = w / 1280.0;
    const double sy = h / 720.0;
    const double s = std::min(sx, sy);
    const int mx = std::max(roundInt(20 * sx), 1);
    const int my = std::max(roundInt(20 * sy), 1);
    const int side = std::max(roundInt(320 * s), 16);
    const QRectF panel(mx, std::max(my, h - my - side), side, side);

    const double inset = 0.05625 * side;
    const QRectF inner = panel.adjusted(inset, inset, -inset, -inset);
    updateTrace(block, inner.center(), 0.48 * inner.width(), kFigureMaxPoints, kFigureHold, trace);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 77));
    painter.drawRoundedRect(panel, 8 * s, 8 * s);
    if (trace.visible) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(whitePen(std::max(s, 1.0)));
        painter.drawPath(trace.path);
    }
}

void drawAudioOnlyTrace(QImage &image, const QByteArray &block, AudioTrace &trace)
{
    image = paintable(image);
    if (image.isNull())
        return;
    const int side = std::min(image.width(), image.height());
    const QRectF square((image.width() - side) / 2, (image.height() - side) / 2, side, side);
    updateTrace(block, square.center(), 0.47 * side, kTraceMaxPoints, kTraceHold, trace);
    if (!trace.visible)
        return;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(whitePen(1));
    painter.drawPath(trace.path);
}

void drawSafetyArea(QImage &image, QSize contentSize, int rotationDegrees, int h, int v, int grey)
{
    image = paintable(image);
    const int w = image.width();
    const int ht = image.height();
    if (w < 2 || ht < 2)
        return;
    QSize content = contentSize.isValid() ? contentSize : image.size();
    const int degrees = normalizeQuarterTurn(rotationDegrees);
    const bool swapped = degrees == 90 || degrees == 270;
    if (swapped)
        content.transpose();
    const QSize fitted = content.scaled(w, ht, Qt::KeepAspectRatio);
    if (fitted.width() < 2 || fitted.height() < 2)
        return;
    const QRect area((w - fitted.width()) / 2, (ht - fitted.height()) / 2, fitted.width(), fitted.height());

    const int g = roundInt(grey * 255.0 / 100.0);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(g, g, g), 1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));

    const int across = swapped ? v : h;
    const int down = swapped ? h : v;
    const int x0 = roundInt((area.width() - 1) * (100 - across) / 200.0);
    const int y0 = roundInt((area.height() - 1) * (100 - down) / 200.0);
    painter.drawLine(area.left() + x0, area.top(), area.left() + x0, area.bottom());
    painter.drawLine(area.right() - x0, area.top(), area.right() - x0, area.bottom());
    painter.drawLine(area.left(), area.top() + y0, area.right(), area.top() + y0);
    painter.drawLine(area.left(), area.bottom() - y0, area.right(), area.bottom() - y0);
}

} // namespace viewerpath
