#pragma once

#include "core/levels.h"

#include <QColor>
#include <QList>
#include <QWidget>

class QPainter;

// Two horizontal level bars (left output above, right below) with peak markers, one dot
// per source channel (at most eight) and "Silent" once both sides stayed at the floor
// for more than one update. Scale: linear in dB, -60 at the left edge to 0 at the right.
// It only draws what setLevels() hands it; paints nothing while the channel list is
// empty. GUI thread only.
class AudioMeterWidget : public QWidget
{
    Q_OBJECT

public:
    static constexpr float floorDb = levels::kFloorDb;
    static constexpr int maxChannelDots = 8;
    static constexpr int upperBarY = 23;
    static constexpr int lowerBarY = 33;
    static constexpr int barHeight = 8;

    explicit AudioMeterWidget(QWidget *parent = nullptr);

    bool isSilent() const { return m_silent; }
    QSize sizeHint() const override;

    // Pixel position of a level on a scale 'width' wide: 0 at or below -60 dB (NaN too),
    // 'width' at or above 0 dB. The zone ends are the positions of -18 and -10 dB.
    static int position(float db, int width);

    static const QColor lowColor;
    static const QColor middleColor;
    static const QColor highColor;
    static const QColor floorDotColor;
    static const QColor lowZoneColor;
    static const QColor middleZoneColor;
    static const QColor highZoneColor;

public slots:
    // Levels in dBFS. A -60 list of the file's channel count resets the meter.
    void setLevels(float leftLevel, float rightLevel, float leftPeak, float rightPeak,
                   const QList<float> &channelLevels);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void paintBar(QPainter &painter, int y, float level, float peak) const;

    float m_leftLevel = floorDb;
    float m_rightLevel = floorDb;
    float m_leftPeak = floorDb;
    float m_rightPeak = floorDb;
    QList<float> m_channelLevels;
    bool m_silent = false;
    int m_silentCount = 0;
};
