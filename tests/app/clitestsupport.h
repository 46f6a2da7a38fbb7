#pragma once

// Running the command-line tool from tests: in process through cli::run (fast, output
// captured as text) or as the real executable built next to the tests.

#include "app/cli.h"

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

inline QString cliBinary()
{
    return QStringLiteral(ORVEL_BINARY_DIR "/tools/orvel-cli");
}

} // namespace clitest
