#pragma once

#include "core/timecode.h"

#include <QChar>
#include <QString>

#include <cstdint>
#include <optional>

// The typed text of timecode entry (goto mode) and what it means. Digits fill the timecode
// from the right (HHMMSSFF, nine digits when frames take three), a leading sign makes the
// text a duration to add or subtract, "." types "00". The window owns the mode flag, the
// label and the seek; this class only edits the text and turns it into a frame number.
class TimecodeEntry
{
public:
    enum class Action {
        None,   // nothing changed
        Show,   // the typed text changed or was offered a character: show input()
        Cancel, // leave without applying
        Apply,  // leave and jump to target()
    };

    // Timecode entry needs more than one frame of picture.
    static bool canEnter(int64_t totalFrames, bool audioOnly) { return totalFrames > 1 && !audioOnly; }

    // Starts (or ends) with an empty text.
    void clear() { m_input.clear(); }
    const QString &input() const { return m_input; }

    // One key press while in the mode (Qt::Key value and the event's text). fps picks the
    // digit limit.
    Action key(int key, const QString &text, double fps);
    // Offers one typed character: digits, "." and one leading sign are taken.
    void type(QChar c, double fps);

    // The frame the typed text points to, with the display timecode 'current' (its frames()
    // is the frame shown plus startOffset). Empty when there is nothing to apply or the text
    // does not parse. A time outside the file goes to the nearer end round the 24-hour
    // clock (before the start: frame 0; after the end: the last frame); in a file running
    // through midnight, timecodes after midnight count on from the start.
    std::optional<int64_t> target(const std::optional<Timecode> &current, int64_t startOffset,
                                  int64_t totalFrames) const;

    // Digits kept: nine where frames are counted in three digits, else eight.
    static int digitLimit(double fps);

private:
    QString m_input;
};
