#include "app/cli.h"
#include "engine/enginestop.h"

#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

int main(int argc, char **argv)
{
    cli::configureLogging(cli::verboseRequested(argc, argv));
    std::unique_ptr<QCoreApplication> app;
    if (cli::needsGuiApplication(argc, argv)) {
        // The scope's graticule is drawn with fonts, which need a platform; no display is used.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        // Pictures are made and written without the toolkit's platform plugin or fonts.
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("orvel-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVEL_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    cli::Io io{out, err, isatty(fileno(stderr)) != 0};
    const int status = cli::run(QCoreApplication::arguments(), io);
    if (enginestop::threadsLeftBehind() > 0) {
        // An engine thread still inside a read that nothing interrupts: Qt stays up for it.
        out.flush();
        err.flush();
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
