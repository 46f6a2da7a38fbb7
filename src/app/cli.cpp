#include "app/cli.h"

#include "core/rotation.h"
#include "engine/videoengine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QTextStream>
#include <QThread>

#include <optional>
#include <utility>

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

// Names the conversion profiles go by on the command line; their numbers work too.
const QList<std::pair<QString, ConversionProfile>> &profileNames()
{
    static const QList<std::pair<QString, ConversionProfile>> names = {
        {QStringLiteral("standard"), Standard},
        {QStringLiteral("channel-isolation"), ChannelIsolation},
        {QStringLiteral("scope-percent"), ScopePercent},
        {QStringLiteral("scope-code-value"), ScopeCodeValue},
    };
    return names;
}

std::optional<ConversionProfile> parseProfile(const QString &text)
{
    for (const auto &[name, profile] : profileNames()) {
        if (text.compare(name, Qt::CaseInsensitive) == 0 || text == QString::number(int(profile)))
            return profile;
    }
    return std::nullopt;
}

int frameCommand(const QStringList &arguments, Io &io)
{
    QStringList positional;
    ConversionProfile profile = Standard;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        QString value;
        if (argument == QLatin1String("--profile")) {
            if (i + 1 >= arguments.size()) {
                io.err << "--profile needs a value" << Qt::endl;
                return 1;
            }
            value = arguments.at(++i);
        } else if (argument.startsWith(QLatin1String("--profile="))) {
            value = argument.mid(10);
        } else if (argument.startsWith(QLatin1String("--"))) {
            io.err << "Unknown option: " << argument << Qt::endl;
            return 1;
        } else {
            positional.append(argument);
            continue;
        }
        const std::optional<ConversionProfile> parsed = parseProfile(value);
        if (!parsed) {
            QStringList known;
            for (const auto &entry : profileNames())
                known.append(entry.first);
            io.err << "Unknown profile: " << value << " (one of " << known.join(QStringLiteral(", ")) << ")"
                   << Qt::endl;
            return 1;
        }
        profile = *parsed;
    }
    if (positional.size() != 3) {
        io.err << "Usage: orvel-cli frame FILE N OUT.png [--profile NAME]" << Qt::endl;
        return 1;
    }
    bool numberOk = false;
    const qint64 frameNumber = positional.at(1).toLongLong(&numberOk);
    if (!numberOk || frameNumber < 0) {
        io.err << "Invalid frame number: " << positional.at(1) << Qt::endl;
        return 1;
    }

    const FrameExport result = exportFrame(positional.at(0), frameNumber, profile);
    if (!result.opened) {
        io.err << result.error << Qt::endl;
        return 1;
    }
    if (result.image.isNull()) {
        io.err << "Could not decode frame " << frameNumber << Qt::endl;
        return 1;
    }
    if (!result.image.save(positional.at(2), "PNG")) {
        io.err << "Could not write " << positional.at(2) << Qt::endl;
        return 1;
    }
    // The frame actually written: past the end that is the last frame, with its own number.
    io.out << result.frameNumber << Qt::endl;
    return 0;
}

std::optional<QSize> parseCanvas(const QString &text)
{
    const QStringList sides = text.split(QLatin1Char('x'));
    if (sides.size() != 2)
        return std::nullopt;
    bool widthOk = false;
    bool heightOk = false;
    const QSize size(sides.at(0).toInt(&widthOk), sides.at(1).toInt(&heightOk));
    if (!widthOk || !heightOk || size.width() <= 0 || size.height() <= 0)
        return std::nullopt;
    return size;
}

// Exit 2: the engine had nothing to say about that point (off the picture, no frame).
int pixelCommand(const QStringList &arguments, Io &io)
{
    const char *usage = "Usage: orvel-cli pixel FILE N X Y [--rotation DEG] [--canvas WxH]";
    QStringList positional;
    int rotation = 0;
    QSize canvas;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        // Negative numbers are values here (-90 is a rotation, -1 a coordinate).
        const bool isOption = argument.startsWith(QLatin1String("--"));
        if (!isOption) {
            positional.append(argument);
            continue;
        }
        QString name = argument;
        QString value;
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        if (equals > 0) {
            name = argument.left(equals);
            value = argument.mid(equals + 1);
        } else if (name == QLatin1String("--rotation") || name == QLatin1String("--canvas")) {
            if (i + 1 >= arguments.size()) {
                io.err << name << " needs a value" << Qt::endl;
                return 1;
            }
            value = arguments.at(++i);
        }
        if (name == QLatin1String("--rotation")) {
            bool ok = false;
            rotation = value.toInt(&ok);
            if (!ok) {
                io.err << "Invalid rotation: " << value << Qt::endl;
                return 1;
            }
        } else if (name == QLatin1String("--canvas")) {
            const std::optional<QSize> parsed = parseCanvas(value);
            if (!parsed) {
                io.err << "Invalid canvas (WxH expected): " << value << Qt::endl;
                return 1;
            }
            canvas = *parsed;
        } else {
            io.err << "Unknown option: " << argument << Qt::endl;
            return 1;
        }
    }
    if (positional.size() != 4) {
        io.err << usage << Qt::endl;
        return 1;
    }
    bool numberOk = false;
    const qint64 frameNumber = positional.at(1).toLongLong(&numberOk);
    if (!numberOk || frameNumber < 0) {
        io.err << "Invalid frame number: " << positional.at(1) << Qt::endl;
        return 1;
    }
    bool xOk = false;
    bool yOk = false;
    const int x = positional.at(2).toInt(&xOk);
    const int y = positional.at(3).toInt(&yOk);
    if (!xOk || !yOk) {
        io.err << "Invalid point: " << positional.at(2) << ' ' << positional.at(3) << Qt::endl;
        return 1;
    }

    const PixelQuery result = inspectPixel(positional.at(0), frameNumber, x, y, rotation, canvas);
    if (!result.opened) {
        io.err << result.error << Qt::endl;
        return 1;
    }
    if (result.text.isEmpty())
        return 2;
    io.out << result.text << Qt::endl;
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
        {"frame", "FILE N OUT.png [--profile standard|channel-isolation|scope-percent|scope-code-value]",
         "Write frame N of FILE as the player exports pictures and print the number of the frame "
         "written (past the end: the last frame).",
         3, 5, &frameCommand},
        {"pixel", "FILE N X Y [--rotation DEG] [--canvas WxH]",
         "Print the stored values and the converted RGB of the pixel under canvas point (X, Y) of "
         "frame N, as the player's pixel inspector reads them; the canvas defaults to the picture "
         "as shown at that rotation. Nothing is printed and the exit code is 2 off the picture.",
         4, 8, &pixelCommand},
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

namespace {

// A VideoEngine on a QThread of its own, driven by slot name as the player drives it. The
// destructor stops the thread, which deletes the engine.
class EngineThread
{
public:
    EngineThread()
    {
        m_thread.setObjectName(QStringLiteral("engine"));
        m_engine = new VideoEngine;
        m_engine->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::finished, m_engine, &QObject::deleteLater);
        m_thread.start();
        QMetaObject::invokeMethod(m_engine, "init", Qt::QueuedConnection);
    }
    ~EngineThread()
    {
        m_thread.quit();
        m_thread.wait();
    }
    EngineThread(const EngineThread &) = delete;
    EngineThread &operator=(const EngineThread &) = delete;

    VideoEngine *engine() const { return m_engine; }

    // Opens path and spins a local event loop until the engine answers.
    OpenResult open(const QString &path)
    {
        OpenResult result;
        QEventLoop loop;
        QObject::connect(m_engine, &VideoEngine::fileOpened, &loop,
                         [&](bool success, const QVariantMap &fileInfo, const QString &error) {
                             result.success = success;
                             result.fileInfo = fileInfo;
                             result.error = error;
                             loop.quit();
                         }, Qt::QueuedConnection);
        QMetaObject::invokeMethod(m_engine, "openFile", Qt::QueuedConnection, Q_ARG(QString, path));
        loop.exec();
        return result;
    }

private:
    QThread m_thread;
    VideoEngine *m_engine = nullptr; // lives on m_thread; deleted when it finishes
};

} // namespace

OpenResult openMedia(const QString &path)
{
    EngineThread engine;
    return engine.open(path);
}

FrameExport exportFrame(const QString &path, qint64 frameNumber, ConversionProfile profile)
{
    FrameExport result;
    EngineThread thread;
    const OpenResult opened = thread.open(path);
    result.opened = opened.success;
    result.error = opened.error;
    if (result.opened) {
        VideoEngine *engine = thread.engine();
        QMetaObject::invokeMethod(engine, "setConversionProfile", Qt::QueuedConnection,
                                  Q_ARG(ConversionProfile, profile));
        QMetaObject::invokeMethod(engine, "getFrameAsImage", Qt::BlockingQueuedConnection,
                                  Q_RETURN_ARG(QImage, result.image), Q_ARG(int64_t, frameNumber));
        QMetaObject::invokeMethod(engine, "currentFrameNumber", Qt::BlockingQueuedConnection,
                                  Q_RETURN_ARG(qint64, result.frameNumber));
    }
    return result;
}

PixelQuery inspectPixel(const QString &path, qint64 frameNumber, int x, int y, int rotationDegrees,
                        QSize canvas)
{
    PixelQuery result;
    EngineThread thread;
    const OpenResult opened = thread.open(path);
    result.opened = opened.success;
    result.error = opened.error;
    if (!result.opened)
        return result;
    if (canvas.isEmpty()) {
        canvas = QSize(opened.fileInfo.value(QStringLiteral("width")).toInt(),
                       opened.fileInfo.value(QStringLiteral("height")).toInt());
        const int turn = normalizeQuarterTurn(rotationDegrees);
        if (turn == 90 || turn == 270)
            canvas.transpose();
    }
    QMetaObject::invokeMethod(thread.engine(), "pixelInspectorSourceConvertText", Qt::BlockingQueuedConnection,
                              Q_RETURN_ARG(QString, result.text), Q_ARG(int64_t, frameNumber), Q_ARG(int, x),
                              Q_ARG(int, y), Q_ARG(int, canvas.width()), Q_ARG(int, canvas.height()),
                              Q_ARG(int, rotationDegrees));
    return result;
}

} // namespace cli
