#include "ui/qceventnavigator.h"

#include "analysis/qcreport.h"
#include "ui/qcsession.h"

#include <QLabel>

QcEventNavigator::QcEventNavigator(Parts parts, QObject *parent)
    : QObject(parent)
    , m(std::move(parts))
{
    connect(m.session, &QcSession::cleared, this, &QcEventNavigator::forget);
    // An event found earlier in time moves the one landed on down the list.
    connect(m.session, &QcSession::eventAdded, this, [this](int index) {
        if (m_landed >= 0 && index <= m_landed)
            ++m_landed;
    });
}

int QcEventNavigator::nextIndex(const QList<qc::Event> &events, int64_t frame, int landed)
{
    if (landed >= 0 && landed < events.size())
        return landed + 1 < events.size() ? landed + 1 : -1;
    for (int i = 0; i < events.size(); ++i)
        if (events[i].startFrame > frame)
            return i;
    return -1;
}

int QcEventNavigator::previousIndex(const QList<qc::Event> &events, int64_t frame, int landed)
{
    if (landed >= 0 && landed < events.size())
        return landed - 1;
    for (int i = int(events.size()) - 1; i >= 0; --i)
        if (events[i].startFrame < frame)
            return i;
    return -1;
}

bool QcEventNavigator::next()
{
    const int index = nextIndex(m.session->events(), m.currentFrame(), m_landed);
    if (index < 0)
        return false;
    jumpTo(index);
    return true;
}

bool QcEventNavigator::previous()
{
    const int index = previousIndex(m.session->events(), m.currentFrame(), m_landed);
    if (index < 0)
        return false;
    jumpTo(index);
    return true;
}

void QcEventNavigator::jumpTo(int index)
{
    const QList<qc::Event> &events = m.session->events();
    if (index < 0 || index >= events.size())
        return;
    const qc::Event &event = events[index];
    m.stopPlayback();
    m_landed = index;
    m_landedFrame = event.startFrame;
    m_lastFrame = event.endFrame;
    m_arrived = m.currentFrame() == event.startFrame;
    m_shown = qc::eventHeadline(event, m.session->info());
    // After the stop, whose rate text would otherwise replace it.
    m.info->setText(m_shown);
    m.seekTo(event.startFrame);
    emit landed(index);
}

void QcEventNavigator::onFrameShown(int64_t frame)
{
    if (m_landedFrame < 0)
        return;
    if (frame == m_landedFrame) {
        m_arrived = true;
        return;
    }
    // A missing picture's event is shown by the next picture there is.
    if (!m_arrived && frame > m_landedFrame && frame <= m_lastFrame + 1) {
        m_arrived = true;
        m_landedFrame = frame;
        return;
    }
    m_landedFrame = -1;
    m_landed = -1;
    if (!m_shown.isEmpty() && m.info->text() == m_shown)
        m.info->clear();
    m_shown.clear();
}

void QcEventNavigator::forget()
{
    if (!m_shown.isEmpty() && m.info->text() == m_shown)
        m.info->clear();
    m_shown.clear();
    m_landed = -1;
    m_landedFrame = -1;
}
