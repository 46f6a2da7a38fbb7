#include "ui/audiometerwidget.h"

#include <QFont>
#include <QPainter>

#include <algorithm>
#include <cmath>

const QColor AudioMeterWidget::lowColor(0, 255, 0);
const QColor AudioMeterWidget::middleColor(255, 255, 0);
const QColor AudioMeterWidget::highColor(255, 0, 0);
const QColor AudioMeterWidget::floorDotColor(100, 100, 100);
const QColor AudioMeterWidget::lowZoneColor(0, 100, 0, 100);
const QColor AudioMeterWidget::middleZoneColor(100, 100, 0, 100);
const QColor AudioMeterWidget::highZoneColor(100, 0, 0, 100);

namespace {

constexpr float kLowZoneTopDb = -18.0f;
constexpr float kMiddleZoneTopDb = -10.0f;

// NaN and anything at or below the floor count as silence.
bool atFloor(float db)
{
    return !(db > AudioMeterWidget::floorDb);
}

} // namespace

AudioMeterWidget::AudioMeterWidget(QWidget *parent)
    : QWidget(parent)
{
}

QSize AudioMeterWidget::sizeHint() const
{
    return QSize(240, lowerBarY + barHeight + 2);
}

int AudioMeterWidget::position(float db, int width)
{
    if (atFloor(db))
        return 0;
    if (db >= 0.0f)
        return width;
    // Double arithmetic so -18 dB lands exactly on trunc(0.7 * width), the zone end.
    return int((double(db) + 60.0) / 60.0 * width);
}

void AudioMeterWidget::setLevels(float leftLevel, float rightLevel, float leftPeak, float rightPeak,
                                 const QList<float> &channelLevels)
{
    m_leftLevel = leftLevel;
    m_rightLevel = rightLevel;
    m_leftPeak = leftPeak;
    m_rightPeak = rightPeak;
    m_channelLevels = channelLevels;
    if (atFloor(leftLevel) && atFloor(rightLevel))
        m_silentCount = std::min(m_silentCount + 1, 2); // only "more than one" matters
    else
        m_silentCount = 0;
    m_silent = m_silentCount > 1;
    update();
}

void AudioMeterWidget::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    // Blank until a file with audio is open.
    if (m_channelLevels.isEmpty())
        return;

    const int w = width();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);

    painter.setPen(Qt::NoPen);
    const int dots = std::min<int>(int(m_channelLevels.size()), maxChannelDots);
    for (int i = 0; i < dots; ++i) {
        const float v = m_channelLevels.at(i);
        QColor colour = floorDotColor;
        if (v > kMiddleZoneTopDb)
            colour = highColor;
        else if (v > kLowZoneTopDb)
            colour = middleColor;
        else if (v > floorDb)
            colour = lowColor;
        painter.setBrush(colour);
        painter.drawEllipse(QPointF(12 * i + 4, 10), 4.0, 4.0);
    }

    QFont font(QStringLiteral("Courier New"), 10);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    painter.setPen(Qt::white);
    if (m_silent)
        painter.drawText(QRect(0, 0, w, 20), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Silent"));

    painter.setPen(Qt::NoPen);
    paintBar(painter, upperBarY, m_leftLevel, m_leftPeak);
    paintBar(painter, lowerBarY, m_rightLevel, m_rightPeak);
}

void AudioMeterWidget::paintBar(QPainter &painter, int y, float level, float peak) const
{
    const int w = width();
    const int lowEnd = position(kLowZoneTopDb, w);
    const int middleEnd = position(kMiddleZoneTopDb, w);

    painter.fillRect(QRect(0, y, lowEnd, barHeight), lowZoneColor);
    painter.fillRect(QRect(lowEnd, y, middleEnd - lowEnd, barHeight), middleZoneColor);
    painter.fillRect(QRect(middleEnd, y, w - middleEnd, barHeight), highZoneColor);

    const int b = position(level, w);
    painter.fillRect(QRect(0, y, std::min(b, lowEnd), barHeight), lowColor);
    if (b > lowEnd)
        painter.fillRect(QRect(lowEnd, y, std::min(b - lowEnd, middleEnd - lowEnd), barHeight), middleColor);
    if (b > middleEnd)
        painter.fillRect(QRect(middleEnd, y, b - middleEnd, barHeight), highColor);

    if (!atFloor(peak)) {
        const int p = position(peak, w);
        if (p > 0)
            painter.fillRect(QRect(p - 1, y, 2, barHeight), Qt::white);
    }
}
