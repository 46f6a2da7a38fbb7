#pragma once

// The text forms of a QC analysis: one JSON object per event and per file (the fields and
// number format orvel-cli qc prints, line by line), the whole report as a JSON array or a
// CSV table, and the timecodes and one-line description the player shows for an event.

#include "analysis/qctypes.h"
#include "core/mediainfo.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace qc {

QString eventJson(const QString &file, const Event &event, const MediaInfo &info);
QString summaryJson(const QString &file, const Summary &summary);
QString errorJson(const QString &file, const QString &error);

// An event's first and last frame as timecodes of the picture stream; empty strings when
// the media has none (audio-only).
struct EventTimecodes {
    QString start;
    QString end;
};
EventTimecodes eventTimecodes(const Event &event, const MediaInfo &info);

// "black 10:00:04:00–10:00:04:24 (25 frames)"; seconds instead of timecodes without them.
QString eventHeadline(const Event &event, const MediaInfo &info);

// One file's analysis as written to a report file. Events in time order.
struct Report {
    QString file;
    MediaInfo info;
    Summary summary;
    QList<Event> events;
};

// A JSON array: the event objects, then the summary object, exactly as the command's lines.
QByteArray reportJson(const Report &report);
// A CSV table (RFC 4180, CRLF): a header and one row per event with the JSON event fields
// as columns (null as an empty cell); after an empty line a second table with the summary.
QByteArray reportCsv(const Report &report);

} // namespace qc
