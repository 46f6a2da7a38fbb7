#include "ui/pixelinspectoroverlay.h"

#include "core/imagehelpers.h"

#include <QColor>
#include <QLabel>
#include <QRect>
#include <QTimer>
#include <QWidget>

#include <algorithm>

PixelInspectorOverlay::PixelInspectorOverlay(QLabel *label, QWidget *anchor, ViewSource view, EngineQuery query,
                                             QObject *parent)
    : QObject(parent)
    , m_label(label)
    , m_anchor(anchor)
    , m_view(std::move(view))
    , m_query(std::move(query))
    , m_timer(new QTimer(this))
{
    m_timer->setInterval(50);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &PixelInspectorOverlay::refresh);
}

void PixelInspectorOverlay::press()
{
    m_active = true;
    if (!m_timer->isActive())
        m_timer->start();
    refresh();
}

void PixelInspectorOverlay::release()
{
    m_active = false;
    m_timer->stop();
    dropCache();
    hide();
}

void PixelInspectorOverlay::dropCache()
{
    m_image = QImage();
    m_imageFrame = -1;
}

void PixelInspectorOverlay::hide()
{
    if (!m_label)
        return;
    m_label->clear();
    m_label->hide();
}

std::optional<QPoint> PixelInspectorOverlay::imagePixelUnderCursor(QSize imageSize, QSize widgetSize, QPoint cursor)
{
    if (imageSize.isEmpty())
        return std::nullopt;
    const QSize shown = imageSize.scaled(widgetSize, Qt::KeepAspectRatio);
    const int left = (widgetSize.width() - shown.width()) / 2;
    const int top = (widgetSize.height() - shown.height()) / 2;
    if (!QRect(QPoint(left, top), shown).contains(cursor))
        return std::nullopt;
    const double shownW = shown.width() < 2 ? 1.0 : shown.width();
    const double shownH = shown.height() < 2 ? 1.0 : shown.height();
    const int x = std::clamp(int((cursor.x() - left) / shownW * imageSize.width()), 0, imageSize.width() - 1);
    const int y = std::clamp(int((cursor.y() - top) / shownH * imageSize.height()), 0, imageSize.height() - 1);
    return QPoint(x, y);
}

void PixelInspectorOverlay::refresh()
{
    if (!m_label)
        return;
    if (!m_active) {
        hide();
        return;
    }
    const View view = m_view ? m_view() : View();
    if (!view.allowed || !view.frame.isValid()) {
        hide();
        return;
    }
    if (m_image.isNull() || m_imageFrame != view.frameNumber) {
        m_image = imageFromVideoFrame(view.frame);
        m_imageFrame = view.frameNumber;
    }
    if (m_image.isNull()) {
        hide();
        return;
    }
    const std::optional<QPoint> pixel = imagePixelUnderCursor(m_image.size(), view.widgetSize, view.cursor);
    if (!pixel) {
        hide();
        return;
    }
    // The displayed image is already turned, so it is the canvas the engine maps back from.
    const QString engineText = m_query ? m_query(view.frameNumber, pixel->x(), pixel->y(), m_image.width(),
                                                 m_image.height(), view.rotationDegrees)
                                       : QString();
    if (engineText.isEmpty()) {
        hide();
        return;
    }
    const QColor c = m_image.pixelColor(*pixel);
    m_label->setText(engineText + QStringLiteral("\nDisplay: ")
                     + QStringLiteral("%1,%2,%3").arg(c.red()).arg(c.green()).arg(c.blue()));
    m_label->adjustSize();
    if (m_anchor) {
        const QRect button = m_anchor->geometry();
        m_label->move(button.right() + 55, std::max(button.bottom() - m_label->height() + 1, 0));
    }
    m_label->raise();
    m_label->show();
}
