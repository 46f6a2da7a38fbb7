#pragma once

// The text form of the CLI's JSON lines: keys in the order they are added, numbers with at
// most six decimals.

#include "core/timecode.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace cli::json {

// A JSON number with at most six decimals, always with a decimal point; null for
// infinities and NaN.
QString number(double value);
// A JSON string, escaped.
QString string(const QString &text);

// The timecode of frame n counted from start as a JSON string; null without a start.
QString timecodeOf(const std::optional<Timecode> &start, int64_t frame);

// An object whose keys keep the order they were added in.
class Line
{
public:
    Line &add(const char *key, const QString &jsonValue)
    {
        m_text += (m_text.isEmpty() ? QStringLiteral("{") : QStringLiteral(","));
        m_text += QLatin1Char('"') + QLatin1String(key) + QStringLiteral("\":") + jsonValue;
        return *this;
    }
    QString text() const { return m_text.isEmpty() ? QStringLiteral("{}") : m_text + QLatin1Char('}'); }

private:
    QString m_text;
};

} // namespace cli::json
