#pragma once

#include "core/timecode.h"
#include "ui/timecodeentry.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <optional>

class ApplicationState;
class QLabel;
class QWidget;

// The large timecode label as the window uses it: the open file's display timecode (its
// start timecode at the file's nominal rate), timecode entry in the label (Return, digits,
// Return), and copying the shown text on a double-click. The label's running text is the
// status presenter's; this class writes it only while entering and on leaving.
// GUI thread only.
class TimecodeField : public QObject
{
    Q_OBJECT

public:
    // seek: jump to a frame on the current page. panel: the bottom panel, shown during
    // entry in full screen so the digits can be seen.
    TimecodeField(ApplicationState *state, QLabel *label, QWidget *panel, std::function<void(int64_t)> seek,
                  QObject *parent = nullptr);

    // Builds the display timecode of the file just opened; empty for audio-only media or a
    // start that does not parse (logged).
    void rebuild();
    // Read by address by the status presenter; replaced on every open, never reallocated.
    std::optional<Timecode> *displayTimecode() { return &m_timecode; }
    const int64_t *startOffset() const { return &m_startOffset; }

    void enter();
    // Leaves the mode; with apply, first jumps to the typed timecode if it names a frame.
    void leave(bool apply);
    // A key while in the mode.
    void key(int key, const QString &text);
    // The label's text to the clipboard, whatever it shows (a half-typed entry too).
    void copyToClipboard() const;

private:
    ApplicationState *m_state;
    QLabel *m_label;
    QWidget *m_panel;
    std::function<void(int64_t)> m_seek;
    TimecodeEntry m_entry;
    std::optional<Timecode> m_timecode;
    int64_t m_startOffset = 0;
};
