#pragma once

// orvel-cli qc: the QC analysis over files and folders, one JSON object per line.

#include "analysis/qctypes.h"
#include "app/cli.h"
#include "core/mediainfo.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace cli {

// Exit codes of the qc command.
enum QcExit { QcAnalysed = 0, QcFileFailed = 1, QcBadArguments = 2, QcStrictErrors = 3 };

struct QcOptions {
    qc::Settings settings;
    QStringList inputs;   // files and folders as given
    bool recursive = false;
    bool strict = false;
};

// Parses the command's arguments; empty with the complaint in 'problem' when they are bad.
std::optional<QcOptions> parseQcArguments(const QStringList &arguments, QString &problem);

// The files to analyse, in argument order; a folder contributes its media files (by
// extension) in name order, and those of its subfolders when recursive. Paths that are
// neither are kept, so that their error is reported.
QStringList expandQcInputs(const QStringList &inputs, bool recursive);

// One line of the report, without the newline.
QString qcEventLine(const QString &file, const qc::Event &event, const MediaInfo &info);
QString qcSummaryLine(const QString &file, const qc::Summary &summary);
QString qcErrorLine(const QString &file, const QString &error);

int qcCommand(const QStringList &arguments, Io &io);

} // namespace cli
