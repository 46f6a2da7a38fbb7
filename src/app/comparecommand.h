#pragma once

// orvel-cli compare: two files picture by picture, one JSON line per compared pair and a
// summary line.

#include "analysis/comparetypes.h"
#include "app/cli.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace cli {

// Exit codes of the compare command.
enum CompareExit { CompareRan = 0, CompareFileFailed = 1, CompareBadArguments = 2, CompareStrictDifferent = 3 };

struct CompareOptions {
    cmp::Options options;
    QString pathA;
    QString pathB;
    bool strict = false;
    bool audio = false; // --audio: every audio stream compared sample by sample too
};

// Parses the command's arguments; empty with the complaint in 'problem' when they are bad.
std::optional<CompareOptions> parseCompareArguments(const QStringList &arguments, QString &problem);

int compareCommand(const QStringList &arguments, Io &io);

} // namespace cli
