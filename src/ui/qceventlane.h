#pragma once

#include "analysis/qctypes.h"

#include <QColor>
#include <QObject>

class QcSession;
class SeekBar;

// The QC events drawn in the seek bar's lane: one row per kind of check (picture, sound,
// stream), each event over its frames in its check's colour, errors underlined in red,
// hover text with the event's timecodes and message; the analysis's progress as a thin
// line along the lane. Follows the session as events arrive. GUI thread.
class QcEventLane : public QObject
{
    Q_OBJECT

public:
    QcEventLane(QcSession *session, SeekBar *seekBar, QObject *parent = nullptr);

    static constexpr int RowCount = 3;
    static int rowOf(qc::Check check);
    // Colour-blind safe and never red: red marks errors.
    static QColor colourOf(qc::Check check);
    static QColor errorMark();

    void setVisible(bool visible);
    bool isVisible() const { return m_visible; }
    // Drawn: visible, with an analysis run or done.
    bool isShown() const { return m_shown; }

signals:
    void shownChanged(bool shown);

private:
    void rebuild();
    void showProgress();

    QcSession *m_session;
    SeekBar *m_seekBar;
    bool m_visible = true;
    bool m_shown = false;
};
