#include "analysis/qcreport.h"

#include "core/timecode.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <optional>
#include <utility>

namespace qc {

namespace {

// One field of a report record, held once for both text forms.
struct Field {
    enum Kind { Number, Text, Null, Raw };
    const char *key;
    Kind kind;
    QString text;
};
using Record = QList<Field>;

// A number as the report writes it: at most six decimals, always with a decimal point.
Field number(const char *key, double value)
{
    if (!std::isfinite(value))
        return {key, Field::Null, {}};
    QString text = QString::number(value, 'f', 6);
    while (text.endsWith(QLatin1Char('0')) && !text.endsWith(QLatin1String(".0")))
        text.chop(1);
    if (text == QLatin1String("-0.0"))
        text = QStringLiteral("0.0");
    return {key, Field::Number, text};
}

Field optionalNumber(const char *key, const std::optional<double> &value)
{
    return value ? number(key, *value) : Field{key, Field::Null, {}};
}

Field whole(const char *key, int64_t value)
{
    return {key, Field::Number, QString::number(value)};
}

Field text(const char *key, const QString &value)
{
    return {key, Field::Text, value};
}

Field optionalText(const char *key, const QString &value)
{
    return value.isEmpty() ? Field{key, Field::Null, {}} : text(key, value);
}

QString jsonString(const QString &value)
{
    // QJsonDocument escapes; the array brackets are taken off again.
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// The keys keep the order they were added in.
QString toJson(const Record &record)
{
    QString out = QStringLiteral("{");
    for (const Field &field : record) {
        if (out.size() > 1)
            out += QLatin1Char(',');
        out += QLatin1Char('"') + QLatin1String(field.key) + QStringLiteral("\":");
        switch (field.kind) {
        case Field::Number:
        case Field::Raw:
            out += field.text;
            break;
        case Field::Text:
            out += jsonString(field.text);
            break;
        case Field::Null:
            out += QStringLiteral("null");
            break;
        }
    }
    return out + QLatin1Char('}');
}

QString csvCell(const QString &value)
{
    if (!value.contains(QLatin1Char(',')) && !value.contains(QLatin1Char('"')) && !value.contains(QLatin1Char('\n'))
        && !value.contains(QLatin1Char('\r')))
        return value;
    QString quoted = value;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString csvRow(const QStringList &cells)
{
    QStringList out;
    out.reserve(cells.size());
    for (const QString &cell : cells)
        out.append(csvCell(cell));
    return out.join(QLatin1Char(',')) + QStringLiteral("\r\n");
}

Record eventRecord(const QString &file, const Event &event, const MediaInfo &info)
{
    const EventTimecodes timecodes = eventTimecodes(event, info);
    return {
        text("file", file),
        text("check", checkName(event.check)),
        whole("startFrame", event.startFrame),
        whole("endFrame", event.endFrame),
        number("startSec", event.startSec),
        number("endSec", event.endSec),
        optionalText("startTimecode", timecodes.start),
        optionalText("endTimecode", timecodes.end),
        text("severity", severityName(event.severity)),
        number("value", event.value),
        number("limit", event.limit),
        event.channel ? whole("channel", *event.channel) : Field{"channel", Field::Null, {}},
        text("message", event.message),
    };
}

Record summaryRecord(const QString &file, const Summary &summary, bool countsAsObject)
{
    Record record = {
        text("file", file),
        {"summary", Field::Raw, QStringLiteral("true")},
        whole("frames", summary.frames),
        number("durationSec", summary.durationSec),
        optionalNumber("integratedLufs", summary.integratedLufs),
        optionalNumber("truePeakDbtp", summary.truePeakDbtp),
    };
    if (countsAsObject) {
        // The counts keyed by the checks' names.
        QString object = QStringLiteral("{");
        for (Check check : AllChecks) {
            if (const int count = summary.eventCounts[size_t(check)]; count > 0) {
                if (object.size() > 1)
                    object += QLatin1Char(',');
                object += jsonString(checkName(check)) + QLatin1Char(':') + QString::number(count);
            }
        }
        record.append({"events", Field::Raw, object + QLatin1Char('}')});
    }
    record.append(text("result", summary.failed ? QStringLiteral("fail") : QStringLiteral("pass")));
    record.append(number("elapsedSec", std::round(summary.elapsedSec * 1000.0) / 1000.0));
    return record;
}

} // namespace

EventTimecodes eventTimecodes(const Event &event, const MediaInfo &info)
{
    if (info.isAudioOnly)
        return {};
    const std::optional<Timecode> start = Timecode::forVideo(info.fps, info.startTimecode.toStdString());
    if (!start)
        return {};
    const auto at = [&start](int64_t frame) {
        Timecode timecode = *start;
        timecode.addFrames(frame);
        return QString::fromStdString(timecode.toString());
    };
    return {at(event.startFrame), at(event.endFrame)};
}

QString eventHeadline(const Event &event, const MediaInfo &info)
{
    const EventTimecodes timecodes = eventTimecodes(event, info);
    const int64_t frames = event.endFrame - event.startFrame + 1;
    const QString span = timecodes.start.isEmpty()
        ? QStringLiteral("%1–%2 s").arg(event.startSec, 0, 'f', 3).arg(event.endSec, 0, 'f', 3)
        : QStringLiteral("%1–%2").arg(timecodes.start, timecodes.end);
    QString headline = QStringLiteral("%1 %2 (%3 frame%4)")
                           .arg(checkName(event.check), span)
                           .arg(frames)
                           .arg(frames == 1 ? QString() : QStringLiteral("s"));
    if (event.channel)
        headline += QStringLiteral(" channel %1").arg(*event.channel);
    return headline;
}

QString eventJson(const QString &file, const Event &event, const MediaInfo &info)
{
    return toJson(eventRecord(file, event, info));
}

QString summaryJson(const QString &file, const Summary &summary)
{
    return toJson(summaryRecord(file, summary, true));
}

QString errorJson(const QString &file, const QString &error)
{
    return toJson({text("file", file), text("error", error)});
}

QByteArray reportJson(const Report &report)
{
    QString out = QStringLiteral("[\n");
    for (const Event &event : report.events)
        out += eventJson(report.file, event, report.info) + QStringLiteral(",\n");
    out += summaryJson(report.file, report.summary) + QStringLiteral("\n]\n");
    return out.toUtf8();
}

QByteArray reportCsv(const Report &report)
{
    const auto cellsOf = [](const Record &record, bool keys) {
        QStringList cells;
        for (const Field &field : record) {
            if (keys)
                cells.append(QLatin1String(field.key));
            else
                cells.append(field.kind == Field::Null ? QString() : field.text);
        }
        return cells;
    };
    QString out = csvRow(cellsOf(eventRecord({}, {}, {}), true));
    for (const Event &event : report.events)
        out += csvRow(cellsOf(eventRecord(report.file, event, report.info), false));
    out += QStringLiteral("\r\n");
    // The summary as one row; the event counts one column per check.
    Record summary = summaryRecord(report.file, report.summary, false);
    summary.removeIf([](const Field &field) { return qstrcmp(field.key, "summary") == 0; });
    QStringList header = cellsOf(summary, true);
    QStringList row = cellsOf(summary, false);
    for (Check check : AllChecks) {
        header.append(checkName(check) + QStringLiteral("Events"));
        row.append(QString::number(report.summary.eventCounts[size_t(check)]));
    }
    out += csvRow(header) + csvRow(row);
    return out.toUtf8();
}

} // namespace qc
