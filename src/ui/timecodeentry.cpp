#include "ui/timecodeentry.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

int TimecodeEntry::digitLimit(double fps)
{
    // Three frame digits only where the timecode has them (120); 100 fps counts 00..99.
    return std::llround(fps) > 100 ? 9 : 8;
}

TimecodeEntry::Action TimecodeEntry::key(int key, const QString &text, double fps)
{
    switch (key) {
    case Qt::Key_Escape:
        return Action::Cancel;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return Action::Apply;
    case Qt::Key_Backspace:
        if (m_input.isEmpty())
            return Action::None;
        m_input.chop(1);
        return Action::Show;
    case Qt::Key_Delete:
        m_input.clear();
        return Action::Show;
    default:
        if (text.isEmpty())
            return Action::None;
        type(text.at(0), fps);
        return Action::Show;
    }
}

void TimecodeEntry::type(QChar c, double fps)
{
    const bool sign = c == QLatin1Char('+') || c == QLatin1Char('-');
    if (sign) {
        if (!m_input.isEmpty())
            return;
        m_input = c;
        return;
    }
    if (c == QLatin1Char('.'))
        m_input += QStringLiteral("00");
    else if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        m_input += c;
    else
        return;

    const bool hasSign = m_input.startsWith(QLatin1Char('+')) || m_input.startsWith(QLatin1Char('-'));
    const QString signText = hasSign ? m_input.left(1) : QString();
    const QString digits = hasSign ? m_input.mid(1) : m_input;
    const int limit = digitLimit(fps);
    if (digits.size() > limit)
        m_input = signText + digits.right(limit);
}

std::optional<int64_t> TimecodeEntry::target(const std::optional<Timecode> &current, int64_t startOffset,
                                             int64_t totalFrames) const
{
    if (m_input.isEmpty() || !current || totalFrames <= 0 || m_input == QLatin1String("+")
        || m_input == QLatin1String("-"))
        return std::nullopt;

    Timecode t = *current;
    bool ok = false;
    if (m_input.startsWith(QLatin1Char('+'))) {
        ok = t.addText(m_input.mid(1).toStdString());
    } else if (m_input.startsWith(QLatin1Char('-'))) {
        ok = t.subtractText(m_input.mid(1).toStdString());
    } else {
        // Typed digits replace the last digits of the timecode shown.
        static const QRegularExpression separators(QStringLiteral("[:;]"));
        const QString shown = QString::fromStdString(t.toString()).remove(separators);
        const QString text = m_input.size() < shown.size() ? shown.left(shown.size() - m_input.size()) + m_input
                                                           : m_input;
        ok = t.setText(text.toStdString());
    }
    if (!ok)
        return std::nullopt;

    // Positions wrap at 24 hours, so "before the start" and "after the end" are both ways
    // round the clock from the file: a time outside it goes to the nearer end. A file that
    // runs through midnight keeps its frames after midnight.
    const int64_t day = int64_t(t.framesPerDay());
    int64_t ahead = (int64_t(t.frames()) - startOffset) % day;
    if (ahead < 0)
        ahead += day;
    if (ahead < totalFrames)
        return ahead;
    const int64_t pastEnd = ahead - (totalFrames - 1);
    const int64_t beforeStart = day - ahead;
    return beforeStart < pastEnd ? 0 : totalFrames - 1;
}
