#include "app/cli.h"
#include "engine/enginestop.h"

#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char **argv)
{
    // A GUI application on the offscreen platform: exported pictures go through
    // QVideoFrame::toImage exactly as in the player, which needs one; no display is used.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    cli::configureLogging(cli::verboseRequested(argc, argv));
    QGuiApplication app(argc, argv);
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
