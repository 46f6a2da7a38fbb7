#include "app/jsonline.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace cli::json {

QString number(double value)
{
    if (!std::isfinite(value))
        return QStringLiteral("null");
    QString text = QString::number(value, 'f', 6);
    while (text.endsWith(QLatin1Char('0')) && !text.endsWith(QLatin1String(".0")))
        text.chop(1);
    if (text == QLatin1String("-0.0"))
        text = QStringLiteral("0.0");
    return text;
}

QString string(const QString &text)
{
    // QJsonDocument escapes; the array brackets are taken off again.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString timecodeOf(const std::optional<Timecode> &start, int64_t frame)
{
    if (!start)
        return QStringLiteral("null");
    Timecode timecode = *start;
    timecode.addFrames(frame);
    return string(QString::fromStdString(timecode.toString()));
}

} // namespace cli::json
