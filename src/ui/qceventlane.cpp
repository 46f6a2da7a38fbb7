#include "ui/qceventlane.h"

#include "analysis/qcreport.h"
#include "ui/qcsession.h"
#include "ui/seekbar.h"

QcEventLane::QcEventLane(QcSession *session, SeekBar *seekBar, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_seekBar(seekBar)
{
    connect(session, &QcSession::cleared, this, &QcEventLane::rebuild);
    connect(session, &QcSession::eventAdded, this, &QcEventLane::rebuild);
    connect(session, &QcSession::progressChanged, this, &QcEventLane::showProgress);
    connect(session, &QcSession::stateChanged, this, &QcEventLane::rebuild);
}

int QcEventLane::rowOf(qc::Check check)
{
    switch (check) {
    case qc::Check::Black:
    case qc::Check::Freeze:
    case qc::Check::Levels:
    case qc::Check::MissingFrame:
        return 0;
    case qc::Check::Silence:
    case qc::Check::TruePeak:
    case qc::Check::Loudness:
        return 1;
    case qc::Check::TimestampGap:
    case qc::Check::TimecodeBreak:
        return 2;
    }
    return 2;
}

QColor QcEventLane::colourOf(qc::Check check)
{
    // A palette told apart with every common colour-vision deficiency.
    switch (check) {
    case qc::Check::Black:
        return QColor(0x56, 0xB4, 0xE9); // sky blue
    case qc::Check::Freeze:
        return QColor(0xE6, 0x9F, 0x00); // orange
    case qc::Check::Levels:
        return QColor(0xF0, 0xE4, 0x42); // yellow
    case qc::Check::Silence:
        return QColor(0x00, 0x72, 0xB2); // blue
    case qc::Check::TruePeak:
        return QColor(0xCC, 0x79, 0xA7); // reddish purple
    case qc::Check::Loudness:
        return QColor(0x00, 0x9E, 0x73); // bluish green
    case qc::Check::TimestampGap:
        return QColor(0xBB, 0xBB, 0xBB); // light grey
    case qc::Check::TimecodeBreak:
        return QColor(0xFF, 0xFF, 0xFF); // white
    case qc::Check::MissingFrame:
        return QColor(0xBB, 0xBB, 0xBB); // light grey, as the stream row's gaps
    }
    return Qt::gray;
}

QColor QcEventLane::errorMark()
{
    return QColor(0xD5, 0x5E, 0x00); // vermillion
}

void QcEventLane::setVisible(bool visible)
{
    m_visible = visible;
    rebuild();
}

void QcEventLane::rebuild()
{
    const bool shown = m_visible && m_session->state() != QcSession::State::Idle;
    QList<SeekBarRange> ranges;
    if (shown) {
        ranges.reserve(m_session->events().size());
        for (const qc::Event &event : m_session->events()) {
            SeekBarRange range;
            range.firstFrame = event.startFrame;
            range.lastFrame = event.endFrame;
            range.row = rowOf(event.check);
            range.colour = colourOf(event.check);
            if (event.severity == qc::Severity::Error)
                range.mark = errorMark();
            range.toolTip = qc::eventHeadline(event, m_session->info()) + QLatin1Char('\n') + event.message
                + QStringLiteral(" (") + qc::severityName(event.severity) + QLatin1Char(')');
            ranges.append(range);
        }
    }
    m_seekBar->setLaneRanges(std::move(ranges));
    showProgress();
    if (shown != m_shown) {
        m_shown = shown;
        emit shownChanged(shown);
    }
}

void QcEventLane::showProgress()
{
    const bool running = m_visible && m_session->state() == QcSession::State::Running;
    m_seekBar->setLaneProgress(running ? m_session->progress() / 100.0 : -1.0);
}
