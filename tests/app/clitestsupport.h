#pragma once

// Running the command-line tool from tests: in process through cli::run (fast, output
// captured as text) or as the real executable built next to the tests.

#include "app/cli.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>

namespace clitest {

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

inline CliRun runInProcess(const QStringList &arguments)
{
    CliRun run;
    QTextStream out(&run.out);
    QTextStream err(&run.err);
    cli::Io io{out, err};
    run.exitCode = cli::run(QStringList{QStringLiteral("orvel-cli")} + arguments, io);
    out.flush();
    err.flush();
    return run;
}

// A report of JSON lines as objects; empty when a line is not one.
inline QList<QJsonObject> parseLines(const QString &text)
{
    QList<QJsonObject> lines;
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            qWarning() << "not a JSON object:" << line;
            return {};
        }
        lines.append(document.object());
    }
    return lines;
}

inline QString cliBinary()
{
    return QStringLiteral(ORVEL_BINARY_DIR "/tools/orvel-cli");
}

} // namespace clitest
