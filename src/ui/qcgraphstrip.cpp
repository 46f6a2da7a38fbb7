#include "ui/qcgraphstrip.h"

#include "core/timecode.h"
#include "ui/qceventlane.h"
#include "ui/qcsession.h"
#include "ui/seekbar.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace {

// A fixed loudness scale, so that presets' targets sit apart; the luma band a little past
// black and white.
constexpr double kLufsTop = -5.0;
constexpr double kLufsBottom = -50.0;
constexpr double kLumaLow = -0.05;
constexpr double kLumaHigh = 1.1;
constexpr int kGap = 2;

const QColor kBackground(0x14, 0x14, 0x14);
const QColor kReference(0x55, 0x55, 0x55);
const QColor kTarget(0xDD, 0xDD, 0xDD);
const QColor kLumaRange(0x77, 0x77, 0x77);
const QColor kLumaAverage(0xF0, 0xF0, 0xF0);

QString percent(float fraction)
{
    return QString::number(double(fraction) * 100.0, 'f', 1) + QStringLiteral(" %");
}

} // namespace

QcGraphStrip::QcGraphStrip(QcSession *session, QcEventLane *lane, SeekBar *seekBar, QWidget *parent)
    : QWidget(parent)
    , m_session(session)
    , m_seekBar(seekBar)
{
    setObjectName(QStringLiteral("QcGraphStrip"));
    setFixedHeight(2 * BandHeight + kGap);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setVisible(lane->isShown());
    connect(lane, &QcEventLane::shownChanged, this, &QWidget::setVisible);
    const auto redraw = [this] { update(); };
    connect(session, &QcSession::seriesAdded, this, redraw);
    connect(session, &QcSession::cleared, this, redraw);
    connect(session, &QcSession::stateChanged, this, redraw);
}

QSize QcGraphStrip::sizeHint() const
{
    return QSize(m_seekBar->sizeHint().width(), 2 * BandHeight + kGap);
}

void QcGraphStrip::setRouting(const ChannelRouting &routing)
{
    if (routing == m_routing)
        return;
    m_routing = routing;
    update();
}

double QcGraphStrip::targetLufs() const
{
    return m_session->settings().thresholds.loudnessTarget;
}

double QcGraphStrip::frameRate() const
{
    // The analysis's own rule for the frame grid.
    const double fps = m_session->info().fps;
    return fps > 0 ? fps : 30.0;
}

std::optional<qc::LumaPoint> QcGraphStrip::lumaAt(int64_t frame) const
{
    const QList<qc::LumaPoint> &luma = m_session->luma();
    const auto at = std::lower_bound(luma.begin(), luma.end(), frame,
                                     [](const qc::LumaPoint &point, int64_t f) { return point.frame < f; });
    if (at == luma.end() || at->frame != frame)
        return std::nullopt;
    return *at;
}

std::optional<double> QcGraphStrip::shortTermAt(int64_t frame) const
{
    const int64_t block = loudness::ShortTermSeries::blockEndingAt(double(frame + 1) / frameRate());
    const double lufs = m_session->loudness().lufsAt(block, m_routing.left, m_routing.right);
    if (std::isnan(lufs))
        return std::nullopt;
    return lufs;
}

QString QcGraphStrip::textAt(int64_t frame) const
{
    QStringList parts;
    const MediaInfo &info = m_session->info();
    std::optional<Timecode> timecode = Timecode::forVideo(info.fps, info.startTimecode.toStdString());
    if (timecode) {
        timecode->addFrames(frame);
        parts.append(QString::fromStdString(timecode->toString()));
    } else {
        parts.append(QStringLiteral("frame %1").arg(frame));
    }
    if (const std::optional<double> lufs = shortTermAt(frame)) {
        const QString value = std::isfinite(*lufs) ? QString::number(*lufs, 'f', 1) : QStringLiteral("-inf");
        parts.append(QStringLiteral("short-term %1 LUFS (target %2)").arg(value, QString::number(targetLufs(), 'f', 1)));
    }
    if (const std::optional<qc::LumaPoint> luma = lumaAt(frame))
        parts.append(QStringLiteral("luma min %1, avg %2, max %3")
                         .arg(percent(luma->min), percent(luma->average), percent(luma->max)));
    return parts.join(QStringLiteral("\n"));
}

int QcGraphStrip::yOfLufs(double lufs) const
{
    const double t = std::clamp((kLufsTop - lufs) / (kLufsTop - kLufsBottom), 0.0, 1.0);
    return int(std::lround(t * (BandHeight - 1)));
}

int QcGraphStrip::yOfLuma(double fraction) const
{
    const double t = std::clamp((kLumaHigh - fraction) / (kLumaHigh - kLumaLow), 0.0, 1.0);
    return BandHeight + kGap + int(std::lround(t * (BandHeight - 1)));
}

bool QcGraphStrip::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        QToolTip::showText(help->globalPos(), textAt(m_seekBar->frameAt(help->pos().x())), this);
        return true;
    }
    return QWidget::event(event);
}

void QcGraphStrip::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const int w = width();
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.fillRect(QRect(0, 0, w, BandHeight), kBackground);
    painter.fillRect(QRect(0, BandHeight + kGap, w, BandHeight), kBackground);

    // Luma: black and white lines, the range of each column's pictures and their average.
    painter.fillRect(QRect(0, yOfLuma(0.0), w, 1), kReference);
    painter.fillRect(QRect(0, yOfLuma(1.0), w, 1), kReference);
    // Each column shows the pictures of its frames (a frame wider than a column fills them all).
    const QList<qc::LumaPoint> &luma = m_session->luma();
    const auto byFrame = [](const qc::LumaPoint &point, int64_t f) { return point.frame < f; };
    for (int x = 0; x < w && !luma.isEmpty(); ++x) {
        const int64_t first = m_seekBar->frameAt(x);
        const int64_t last = std::max<int64_t>(first, int64_t(m_seekBar->frameAt(x + 1)) - 1);
        float lowest = 2.0f;
        float highest = -2.0f;
        double sum = 0.0;
        int count = 0;
        for (auto at = std::lower_bound(luma.begin(), luma.end(), first, byFrame); at != luma.end() && at->frame <= last;
             ++at) {
            lowest = std::min(lowest, at->min);
            highest = std::max(highest, at->max);
            sum += at->average;
            ++count;
        }
        if (count == 0)
            continue;
        const int top = yOfLuma(highest);
        painter.fillRect(QRect(x, top, 1, yOfLuma(lowest) - top + 1), kLumaRange);
        painter.fillRect(QRect(x, yOfLuma(sum / count), 1, 1), kLumaAverage);
    }

    // Loudness: the target, then the routed pair's short-term reading at each column's frame.
    painter.fillRect(QRect(0, yOfLufs(targetLufs()), w, 1), kTarget);
    const QColor line = QcEventLane::colourOf(qc::Check::Loudness);
    if (m_session->loudness().size() == 0)
        return;
    int lastY = -1; // none
    for (int x = 0; x < w; ++x) {
        const std::optional<double> lufs = shortTermAt(m_seekBar->frameAt(x));
        if (!lufs) {
            lastY = -1;
            continue;
        }
        const int y = yOfLufs(*lufs);
        // Joined to the last column, so steep changes stay one line.
        const int from = lastY >= 0 ? std::min(lastY, y) : y;
        const int to = lastY >= 0 ? std::max(lastY, y) : y;
        painter.fillRect(QRect(x, from, 1, to - from + 1), line);
        lastY = y;
    }
}
