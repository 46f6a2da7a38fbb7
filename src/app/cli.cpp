#include "app/cli.h"

#include "engine/videoengine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QTextStream>
#include <QThread>

namespace cli {

namespace {

int probeCommand(const QStringList &arguments, Io &io)
{
    const OpenResult result = openMedia(arguments.first());
    if (!result.success) {
        io.err << result.error << Qt::endl;
        return 1;
    }
    io.out << QJsonDocument(QJsonObject::fromVariantMap(result.fileInfo)).toJson(QJsonDocument::Indented);
    io.out.flush();
    return 0;
}

QString usageText()
{
    QString text = QStringLiteral("Usage: orvel-cli [--help] [--version] <command> [arguments]\n\nCommands:\n");
    for (const Command &command : commands()) {
        text += QStringLiteral("  %1 %2\n      %3\n")
                    .arg(QString::fromLatin1(command.name), QString::fromLatin1(command.arguments),
                         QString::fromLatin1(command.description));
    }
    return text;
}

} // namespace

const QList<Command> &commands()
{
    static const QList<Command> table = {
        {"probe", "FILE",
         "Open FILE as the player does and print its media properties as one JSON object.",
         1, 1, &probeCommand},
    };
    return table;
}

int run(const QStringList &arguments, Io &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Orvel media engine on the command line."));
    // Everything after the command belongs to the command, options included.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Show the version."));
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command to run."),
                                 QStringLiteral("<command> [arguments]"));

    if (!parser.parse(arguments)) {
        io.err << parser.errorText() << Qt::endl << usageText();
        return 1;
    }
    if (parser.isSet(helpOption)) {
        io.out << usageText();
        return 0;
    }
    if (parser.isSet(versionOption)) {
        io.out << "orvel-cli " << QStringLiteral(ORVEL_VERSION) << Qt::endl;
        return 0;
    }

    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        io.err << usageText();
        return 1;
    }
    const QString name = positional.takeFirst();
    for (const Command &command : commands()) {
        if (name != QLatin1String(command.name))
            continue;
        if (positional.size() < command.minArguments || positional.size() > command.maxArguments) {
            io.err << "Usage: orvel-cli " << command.name << ' ' << command.arguments << Qt::endl;
            return 1;
        }
        return command.run(positional, io);
    }
    io.err << "Unknown command: " << name << Qt::endl << usageText();
    return 1;
}

OpenResult openMedia(const QString &path)
{
    OpenResult result;
    QThread thread;
    thread.setObjectName(QStringLiteral("engine"));
    auto *engine = new VideoEngine;
    engine->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, engine, &QObject::deleteLater);

    QEventLoop loop;
    QObject::connect(engine, &VideoEngine::fileOpened, &loop,
                     [&](bool success, const QVariantMap &fileInfo, const QString &error) {
                         result.success = success;
                         result.fileInfo = fileInfo;
                         result.error = error;
                         loop.quit();
                     }, Qt::QueuedConnection);

    thread.start();
    QMetaObject::invokeMethod(engine, "init", Qt::QueuedConnection);
    QMetaObject::invokeMethod(engine, "openFile", Qt::QueuedConnection, Q_ARG(QString, path));
    loop.exec();

    thread.quit();
    thread.wait();
    return result;
}

} // namespace cli
