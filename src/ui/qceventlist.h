#pragma once

#include <QDockWidget>

#include <cstdint>

class QLabel;
class QTableWidget;
class QcSession;

// The QC event list: a dock with one row per event (check, start and end timecode,
// duration, value, severity), the analysis's state under it, and buttons for the settings
// and the report. A click or Return on a row asks for a jump there; the row of the event
// under the current frame is kept selected. Keys the list does not use go on to the window,
// so the player's keys keep working while it has the focus. GUI thread.
class QcEventList : public QDockWidget
{
    Q_OBJECT

public:
    QcEventList(QcSession *session, QWidget *keyTarget, QWidget *parent = nullptr);

    QTableWidget *table() const { return m_table; }
    // Selects, without a jump, the event just jumped to ('landed', when not -1), else the
    // event under 'frame': the latest-starting one that covers it, or the last one before it.
    void followFrame(int64_t frame, int landed = -1);

signals:
    void jumpRequested(int index);
    void settingsRequested();
    void exportRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void rebuild();
    void insertRow(int index);
    void showState();

    QcSession *m_session;
    QWidget *m_keyTarget;
    QTableWidget *m_table;
    QLabel *m_state;
    int64_t m_frame = 0;
    int m_landed = -1;
};
