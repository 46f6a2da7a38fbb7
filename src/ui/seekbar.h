#pragma once

#include <QColor>
#include <QList>
#include <QSlider>
#include <QString>

#include <cstdint>
#include <functional>

class QTimer;

// One time range drawn in the lane under the seek bar's track.
struct SeekBarRange {
    int64_t firstFrame = 0;
    int64_t lastFrame = 0; // inclusive
    int row = 0;           // 0 is the row next to the track
    QColor colour;
    QString toolTip;
};

// The seek bar: a slider whose value is a frame number. A click jumps straight to the frame
// under the mouse (the slider's full width, not its groove, so both ends are reachable
// whatever the style); dragging the handle asks for the handle's frame every 100 ms and once
// more on release. Under the track it can draw rows of time ranges, each with hover text.
// With no ranges it looks and sizes exactly like a plain slider. GUI thread only.
class SeekBar : public QSlider
{
    Q_OBJECT

public:
    explicit SeekBar(QWidget *parent = nullptr);

    // Asked on every press: false swallows the press (no media, help shown), so the slider
    // neither jumps nor starts a drag.
    void setClickGate(std::function<bool()> acceptsClicks) { m_acceptsClicks = std::move(acceptsClicks); }
    bool isDragging() const { return m_dragging; }

    // The frame under x: the click arithmetic, over the full width.
    int frameAt(int x) const;

    void setLaneRanges(QList<SeekBarRange> ranges);
    const QList<SeekBarRange> &laneRanges() const { return m_ranges; }
    // Where a range is drawn: the columns whose frameAt lies in it (at least one column),
    // in its row under the track; empty when the range is off the bar's frames.
    QRect laneRect(const SeekBarRange &range) const;
    // The range under pos (the last drawn wins), or -1.
    int laneRangeAt(QPoint pos) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // A click, or the release of a drag: show this frame (and its scope).
    void jumpRequested(int64_t frame);
    // While dragging, every 100 ms: the handle's frame, even when unchanged.
    void scrubRequested(int64_t frame);
    void dragStarted();

protected:
    // Presses are taken here, ahead of the slider's own handling and even while disabled,
    // as the window always did.
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    // The track keeps its own height above the lane.
    void initStyleOption(QStyleOptionSlider *option) const override;

private:
    void onPressed();
    void onReleased();
    int laneHeight() const;
    int rowCount() const;

    std::function<bool()> m_acceptsClicks;
    QTimer *m_throttle;
    bool m_dragging = false;
    QList<SeekBarRange> m_ranges;
};
