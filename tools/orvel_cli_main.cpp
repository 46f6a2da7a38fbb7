#include "app/cli.h"

#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    // A GUI application on the offscreen platform: the scope's graticule is drawn with
    // fonts, which need one; no display is used.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    cli::configureLogging(cli::verboseRequested(argc, argv));
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvel-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVEL_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    cli::Io io{out, err, isatty(fileno(stderr)) != 0};
    return cli::run(QCoreApplication::arguments(), io);
}
