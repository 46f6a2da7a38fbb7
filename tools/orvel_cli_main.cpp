#include "app/cli.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvel-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVEL_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    cli::Io io{out, err};
    return cli::run(QCoreApplication::arguments(), io);
}
