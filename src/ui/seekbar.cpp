#include "ui/seekbar.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <limits>

namespace {

constexpr int kThrottleMs = 100;
constexpr int kLaneGap = 2;       // between the track and the first row
constexpr int kLaneRowHeight = 4; // each row, the last pixel of which stays empty

int clampToInt(int64_t value)
{
    return int(std::clamp<int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

} // namespace

SeekBar::SeekBar(QWidget *parent)
    : QSlider(Qt::Horizontal, parent)
    , m_throttle(new QTimer(this))
{
    m_throttle->setObjectName(QStringLiteral("SeekThrottleTimer"));
    m_throttle->setInterval(kThrottleMs);
    connect(m_throttle, &QTimer::timeout, this, [this] { emit scrubRequested(int64_t(value())); });
    connect(this, &QSlider::sliderPressed, this, &SeekBar::onPressed);
    connect(this, &QSlider::sliderReleased, this, &SeekBar::onReleased);
}

int SeekBar::frameAt(int x) const
{
    return QStyle::sliderValueFromPosition(minimum(), maximum(), x, width(), false);
}

bool SeekBar::event(QEvent *event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        if (m_acceptsClicks && !m_acceptsClicks())
            return true;
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton) {
            const int frame = frameAt(int(mouse->position().x()));
            setValue(frame);
            emit jumpRequested(frame);
        }
        // The slider still gets the press, grabs the handle now under the mouse and
        // starts a drag.
    } else if (event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        const int index = laneRangeAt(help->pos());
        if (index >= 0 && !m_ranges[index].toolTip.isEmpty()) {
            QToolTip::showText(help->globalPos(), m_ranges[index].toolTip, this, laneRect(m_ranges[index]));
            return true;
        }
    }
    return QSlider::event(event);
}

void SeekBar::onPressed()
{
    m_dragging = true;
    m_throttle->start();
    emit dragStarted();
}

void SeekBar::onReleased()
{
    if (!m_dragging)
        return;
    m_dragging = false;
    m_throttle->stop();
    emit jumpRequested(int64_t(value()));
}

void SeekBar::setLaneRanges(QList<SeekBarRange> ranges)
{
    const int rowsBefore = rowCount();
    m_ranges = std::move(ranges);
    if (rowCount() != rowsBefore)
        updateGeometry();
    update();
}

int SeekBar::rowCount() const
{
    int rows = 0;
    for (const SeekBarRange &range : m_ranges)
        rows = std::max(rows, range.row + 1);
    return rows;
}

int SeekBar::laneHeight() const
{
    const int rows = rowCount();
    return rows > 0 ? kLaneGap + rows * kLaneRowHeight : 0;
}

QSize SeekBar::sizeHint() const
{
    return QSlider::sizeHint() + QSize(0, laneHeight());
}

QSize SeekBar::minimumSizeHint() const
{
    return QSlider::minimumSizeHint() + QSize(0, laneHeight());
}

void SeekBar::initStyleOption(QStyleOptionSlider *option) const
{
    QSlider::initStyleOption(option);
    if (const int lane = laneHeight(); lane > 0)
        option->rect.setHeight(std::max(option->rect.height() - lane, 0));
}

QRect SeekBar::laneRect(const SeekBarRange &range) const
{
    const int w = width();
    if (range.row < 0 || w <= 0 || range.lastFrame < range.firstFrame || range.lastFrame < minimum()
        || range.firstFrame > maximum())
        return {};
    const int first = clampToInt(std::max<int64_t>(range.firstFrame, minimum()));
    const int last = clampToInt(std::min<int64_t>(range.lastFrame, maximum()));
    // frameAt never decreases along the bar: the first column showing 'first' and the
    // first column past 'last', found by halving.
    const auto firstColumnWhere = [this, w](auto predicate) {
        int lo = 0;
        int hi = w;
        while (lo < hi) {
            const int mid = lo + (hi - lo) / 2;
            if (predicate(frameAt(mid)))
                hi = mid;
            else
                lo = mid + 1;
        }
        return lo;
    };
    int left = firstColumnWhere([first](int frame) { return frame >= first; });
    int right = firstColumnWhere([last](int frame) { return frame > last; });
    // A range narrower than a column still shows as one.
    if (right <= left) {
        left = std::min(left, w - 1);
        right = left + 1;
    }
    const int top = height() - laneHeight() + kLaneGap + range.row * kLaneRowHeight;
    return QRect(left, top, right - left, kLaneRowHeight - 1);
}

int SeekBar::laneRangeAt(QPoint pos) const
{
    for (qsizetype i = m_ranges.size() - 1; i >= 0; --i)
        if (laneRect(m_ranges[i]).contains(pos))
            return int(i);
    return -1;
}

void SeekBar::paintEvent(QPaintEvent *event)
{
    QSlider::paintEvent(event);
    if (m_ranges.isEmpty())
        return;
    QPainter painter(this);
    for (const SeekBarRange &range : m_ranges)
        painter.fillRect(laneRect(range), range.colour);
}
