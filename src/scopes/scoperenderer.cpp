#include "scopes/scoperenderer.h"

#include "scopes/histogramrenderer.h"
#include "scopes/vectorscoperenderer.h"
#include "scopes/waveformrenderer.h"

#include <QPainter>

#include <algorithm>
#include <memory>
#include <optional>

namespace scopes {

namespace {

QImage renderOne(const AVFrame *frame, const ScopeRequest &request)
{
    switch (request.kind) {
    case ScopeVectorscope: return vectorscope::render(frame, request);
    case ScopeHistogram: return histogram::render(frame, request);
    case ScopeWaveform:
    case ScopeParade:
    default: return waveform::renderScope(frame, request);
    }
}

} // namespace

QImage halfSize(const QImage &image)
{
    const QImage source = image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
    QImage half(source.width() / 2, source.height() / 2, QImage::Format_RGB32);
    for (int y = 0; y < half.height(); ++y) {
        const auto *a = reinterpret_cast<const QRgb *>(source.constScanLine(2 * y));
        const auto *b = reinterpret_cast<const QRgb *>(source.constScanLine(2 * y + 1));
        auto *out = reinterpret_cast<QRgb *>(half.scanLine(y));
        for (int x = 0; x < half.width(); ++x) {
            const QRgb p[4] = {a[2 * x], a[2 * x + 1], b[2 * x], b[2 * x + 1]};
            out[x] = qRgb(std::max({qRed(p[0]), qRed(p[1]), qRed(p[2]), qRed(p[3])}),
                          std::max({qGreen(p[0]), qGreen(p[1]), qGreen(p[2]), qGreen(p[3])}),
                          std::max({qBlue(p[0]), qBlue(p[1]), qBlue(p[2]), qBlue(p[3])}));
        }
    }
    return half;
}

QImage renderScope(const AVFrame *frame, const ScopeRequest &request)
{
    if (request.kind != ScopeGrid)
        return renderOne(frame, request);

    // The fallback picture is a whole conversion: made once for the four.
    ScopeRequest part = request;
    if (request.fallbackPicture) {
        auto made = std::make_shared<std::optional<QImage>>();
        part.fallbackPicture = [made, make = request.fallbackPicture] {
            if (!*made)
                *made = make();
            return **made;
        };
    }
    QImage grid(waveform::kScopeWidth, waveform::kScopeHeight, QImage::Format_RGB32);
    grid.fill(Qt::black);
    QPainter painter(&grid);
    const ScopeKind kinds[4] = {ScopeWaveform, ScopeParade, ScopeVectorscope, ScopeHistogram};
    for (int i = 0; i < 4; ++i) {
        part.kind = kinds[i];
        const QImage quarter = halfSize(renderOne(frame, part));
        painter.drawImage((i % 2) * grid.width() / 2, (i / 2) * grid.height() / 2, quarter);
    }
    // Thin lines between the quarters.
    painter.setPen(QColor(80, 80, 80));
    painter.drawLine(grid.width() / 2, 0, grid.width() / 2, grid.height());
    painter.drawLine(0, grid.height() / 2, grid.width(), grid.height() / 2);
    painter.end();
    return grid;
}

} // namespace scopes
