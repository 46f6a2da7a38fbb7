#include "app/cli.h"

#include "app/comparecommand.h"
#include "app/pngwriter.h"
#include "app/qccommand.h"
#include "core/colour.h"
#include "core/rotation.h"
#include "core/workerthread.h"
#include "engine/mediachecks.h"
#include "av/ffmpeg.h"
#include "state/openmedia.h"
#include "loudness/loudnessmeasureworker.h"
#include "scopes/scoperenderer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

namespace cli {

namespace {

// Started before main: what a command finds on it is the process's own start-up.
const QElapsedTimer &processClock()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return clock;
}
[[maybe_unused]] const QElapsedTimer &startedBeforeMain = processClock();

int probeCommand(const QStringList &arguments, Io &io)
{
    const OpenResult result = openMedia(arguments.first());
    if (!result.success) {
        io.err << result.error << Qt::endl;
        return 1;
    }
    io.out << QJsonDocument(QJsonObject::fromVariantMap(result.info.toMap())).toJson(QJsonDocument::Indented);
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

// A frame number argument: a whole number from 0; complains on stderr otherwise.
std::optional<qint64> parseFrameNumber(const QString &text, Io &io)
{
    bool ok = false;
    const qint64 frameNumber = text.toLongLong(&ok);
    if (!ok || frameNumber < 0) {
        io.err << "Invalid frame number: " << text << Qt::endl;
        return std::nullopt;
    }
    return frameNumber;
}

bool writePng(const QImage &image, const QString &path, Io &io)
{
    if (pngwriter::writeFast(image, path))
        return true;
    io.err << "Could not write " << path << Qt::endl;
    return false;
}

int frameCommand(const QStringList &arguments, Io &io)
{
    const qint64 startUpMs = processClock().elapsed();
    QStringList positional;
    ConversionProfile profile = Standard;
    bool timings = false;
    double exposure = 0.0;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        QString value;
        if (argument == QLatin1String("--timings")) {
            timings = true;
            continue;
        }
        if (argument == QLatin1String("--exposure")) {
            bool valid = false;
            // May be negative: "--exposure -2".
            exposure = i + 1 < arguments.size() ? arguments.at(++i).toDouble(&valid) : 0.0;
            if (!valid || std::abs(exposure) > colour::kMaxExposureStops) {
                io.err << "--exposure needs stops from " << -colour::kMaxExposureStops << " to "
                       << colour::kMaxExposureStops << Qt::endl;
                return 1;
            }
            continue;
        }
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
        io.err << "Usage: orvel-cli frame FILE N OUT.png [--profile NAME] [--exposure STOPS] [--timings]" << Qt::endl;
        return 1;
    }
    const std::optional<qint64> frameNumber = parseFrameNumber(positional.at(1), io);
    if (!frameNumber)
        return 1;

    const FrameExport result = exportFrame(positional.at(0), *frameNumber, profile, exposure);
    if (!result.opened) {
        io.err << result.error << Qt::endl;
        return 1;
    }
    if (result.image.isNull()) {
        io.err << "Could not decode frame " << *frameNumber << Qt::endl;
        return 1;
    }
    QElapsedTimer encoding;
    encoding.start();
    if (!writePng(result.image, positional.at(2), io))
        return 1;
    if (timings) {
        io.err << "timings: start-up " << startUpMs << " ms, open " << result.timings.openMs << " ms, decode "
               << result.timings.decodeMs << " ms (" << result.timings.framesDecoded << " frames), conversion " << result.timings.conversionMs << " ms, png "
               << encoding.elapsed() << " ms, total " << processClock().elapsed() << " ms" << Qt::endl;
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
    const std::optional<qint64> frameNumber = parseFrameNumber(positional.at(1), io);
    if (!frameNumber)
        return 1;
    bool xOk = false;
    bool yOk = false;
    const int x = positional.at(2).toInt(&xOk);
    const int y = positional.at(3).toInt(&yOk);
    if (!xOk || !yOk) {
        io.err << "Invalid point: " << positional.at(2) << ' ' << positional.at(3) << Qt::endl;
        return 1;
    }

    const PixelQuery result = inspectPixel(positional.at(0), *frameNumber, x, y, rotation, canvas);
    if (!result.opened) {
        io.err << result.error << Qt::endl;
        return 1;
    }
    if (result.text.isEmpty())
        return 2;
    io.out << result.text << Qt::endl;
    return 0;
}

// A JSON number, or null for minus infinity and NaN, which JSON cannot carry.
QJsonValue jsonNumber(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

int loudnessCommand(const QStringList &arguments, Io &io)
{
    const QString usage =
        QStringLiteral("Usage: orvel-cli loudness FILE [--start SEC] [--end SEC] [--left N] [--right N]");
    QStringList positional;
    std::optional<double> start, end;
    std::optional<int> left, right;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (!argument.startsWith(QLatin1String("--"))) {
            positional.append(argument);
            continue;
        }
        const QString name = argument.section(QLatin1Char('='), 0, 0);
        const bool seconds = name == QLatin1String("--start") || name == QLatin1String("--end");
        const bool channel = name == QLatin1String("--left") || name == QLatin1String("--right");
        if (!seconds && !channel) {
            io.err << "Unknown option: " << argument << Qt::endl << usage << Qt::endl;
            return 1;
        }
        QString value;
        if (argument.contains(QLatin1Char('='))) {
            value = argument.section(QLatin1Char('='), 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments.at(++i); // may be negative: "--left -1"
        } else {
            io.err << name << " needs a value" << Qt::endl << usage << Qt::endl;
            return 1;
        }
        bool ok = false;
        if (seconds) {
            const double number = value.toDouble(&ok);
            if (!ok || !std::isfinite(number)) {
                io.err << "Invalid number of seconds: " << value << Qt::endl;
                return 1;
            }
            (name == QLatin1String("--start") ? start : end) = number;
        } else {
            const int number = value.toInt(&ok);
            if (!ok) {
                io.err << "Invalid channel: " << value << Qt::endl;
                return 1;
            }
            // Negative means silence on that side, like the player's "M" routing.
            (name == QLatin1String("--left") ? left : right) = number < 0 ? -1 : number;
        }
    }
    if (positional.size() != 1) {
        io.err << usage << Qt::endl;
        return 1;
    }
    const QString path = positional.first();

    // The defaults come from the facts the player works with: its duration and channels.
    if (!end || !left || !right) {
        const OpenResult opened = openMedia(path);
        if (!opened.success) {
            io.err << opened.error << Qt::endl;
            return 1;
        }
        const MediaInfo &info = opened.info;
        if (!end) {
            double duration = info.videoDurationSec;
            if (!(duration > 0.0) && info.fps > 0.0)
                duration = double(info.totalFrames) / info.fps;
            end = duration;
        }
        const bool mono = info.audioChannelCount == 1;
        if (!left)
            left = 0;
        if (!right)
            right = mono ? 0 : 1;
    }
    if (!start)
        start = 0.0;

    std::function<void(int)> progress;
    int shown = -1;
    if (io.errIsTerminal) {
        // The engine's and the worker's debug lines would tear the bar apart.
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        progress = [&io, &shown](int value) {
            const int width = 40;
            const int filled = value * width / 100;
            if (value == shown)
                return;
            shown = value;
            io.err << '\r' << '[' << QString(filled, QLatin1Char('#')) << QString(width - filled, QLatin1Char('.'))
                   << "] " << value << '%';
            io.err.flush();
        };
    }
    const LoudnessResult result = measureLoudness(path, *start, *end, *left, *right, progress);
    if (shown >= 0) {
        io.err << '\r' << QString(48, QLatin1Char(' ')) << '\r';
        io.err.flush();
    }
    if (io.errIsTerminal)
        QLoggingCategory::setFilterRules(QString());
    if (!result.measured) {
        io.err << result.error << Qt::endl;
        return 1;
    }
    QJsonObject object;
    object.insert(QStringLiteral("integratedLufs"), jsonNumber(result.integratedLufs));
    object.insert(QStringLiteral("truePeakDbtp"), jsonNumber(result.truePeakDb));
    object.insert(QStringLiteral("startSec"), *start);
    object.insert(QStringLiteral("endSec"), *end);
    object.insert(QStringLiteral("left"), *left);
    object.insert(QStringLiteral("right"), *right);
    io.out << QJsonDocument(object).toJson(QJsonDocument::Indented);
    io.out.flush();
    return 0;
}

// Bad arguments of the scope command; a failure to open, decode or write is 1.
constexpr int kBadArguments = 2;

template <typename T>
std::optional<T> lookUp(const QList<std::pair<QString, T>> &names, const QString &text)
{
    for (const auto &[name, value] : names) {
        if (text.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

template <typename T>
QString nameList(const QList<std::pair<QString, T>> &names)
{
    QStringList list;
    for (const auto &entry : names)
        list.append(entry.first);
    return list.join(QLatin1Char('|'));
}

int scopeCommand(const QStringList &arguments, Io &io)
{
    static const QList<std::pair<QString, ScopeRange>> ranges = {
        {QStringLiteral("percent"), Percent},
        {QStringLiteral("code"), CodeValue},
    };
    static const QList<std::pair<QString, DisplayChannel>> channels = {
        {QStringLiteral("color"), Color}, {QStringLiteral("red"), Red},     {QStringLiteral("green"), Green},
        {QStringLiteral("blue"), Blue},   {QStringLiteral("alpha"), Alpha}, {QStringLiteral("luma"), Luma},
    };
    static const QList<std::pair<QString, int>> rotations = {
        {QStringLiteral("0"), 0}, {QStringLiteral("90"), 90}, {QStringLiteral("180"), 180}, {QStringLiteral("270"), 270},
    };
    static const QList<std::pair<QString, ScopeKind>> kinds = {
        {QStringLiteral("waveform"), ScopeWaveform},
        {QStringLiteral("parade"), ScopeParade},
        {QStringLiteral("vectorscope"), ScopeVectorscope},
        {QStringLiteral("histogram"), ScopeHistogram},
    };
    const char *usage = "Usage: orvel-cli scope FILE N OUT.png [--range percent|code] "
                        "[--channel color|red|green|blue|alpha|luma] [--rotation 0|90|180|270] "
                        "[--kind waveform|parade|vectorscope|histogram]";

    QStringList positional;
    ScopeRange range = Percent;
    DisplayChannel channel = Color;
    int rotation = 0;
    ScopeKind kind = ScopeWaveform;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (!argument.startsWith(QLatin1String("--"))) {
            positional.append(argument);
            continue;
        }
        QString option = argument;
        QString value;
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        if (equals > 0) {
            option = argument.left(equals);
            value = argument.mid(equals + 1);
        } else if (option == QLatin1String("--range") || option == QLatin1String("--channel")
                   || option == QLatin1String("--rotation") || option == QLatin1String("--kind")) {
            if (i + 1 >= arguments.size()) {
                io.err << option << " needs a value" << Qt::endl << usage << Qt::endl;
                return kBadArguments;
            }
            value = arguments.at(++i);
        }
        // Sets 'target' from the option's table, or names the accepted values.
        const auto pick = [&](auto &target, const auto &table, const char *what) {
            const auto parsed = lookUp(table, value);
            if (parsed)
                target = *parsed;
            else
                io.err << "Unknown " << what << ": " << value << " (one of " << nameList(table) << ")" << Qt::endl;
            return parsed.has_value();
        };
        bool known = true;
        if (option == QLatin1String("--range")) {
            known = pick(range, ranges, "range");
        } else if (option == QLatin1String("--channel")) {
            known = pick(channel, channels, "channel");
        } else if (option == QLatin1String("--rotation")) {
            known = pick(rotation, rotations, "rotation");
        } else if (option == QLatin1String("--kind")) {
            known = pick(kind, kinds, "kind");
        } else {
            io.err << "Unknown option: " << argument << Qt::endl << usage << Qt::endl;
            return kBadArguments;
        }
        if (!known)
            return kBadArguments;
    }
    if (positional.size() != 3) {
        io.err << usage << Qt::endl;
        return kBadArguments;
    }
    const std::optional<qint64> frameNumber = parseFrameNumber(positional.at(1), io);
    if (!frameNumber)
        return kBadArguments;

    const ScopeExport result = exportScope(positional.at(0), *frameNumber, range, channel, rotation, kind);
    if (!result.opened) {
        io.err << result.error << Qt::endl;
        return 1;
    }
    if (result.image.isNull()) {
        io.err << "Could not draw the scope of frame " << *frameNumber << Qt::endl;
        return 1;
    }
    if (!writePng(result.image, positional.at(2), io))
        return 1;
    io.out << result.frameNumber << Qt::endl;
    return 0;
}

QString usageText()
{
    QString text = QStringLiteral("Usage: orvel-cli [--help] [--version] [--verbose] [--fps RATE] <command> [arguments]\n\n"
                                  "FILE may be one file of a numbered image sequence (DPX, EXR, TIFF, PNG) or a folder\n"
                                  "holding one: the whole sequence opens, at --fps, else its header's rate, else 24.\n\n"
                                  "Commands:\n");
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
        {"frame", "FILE N OUT.png [--profile standard|channel-isolation|scope-percent|scope-code-value] "
                  "[--exposure STOPS] [--timings]",
         "Write frame N of FILE as the player exports pictures and print the number of the frame "
         "written (past the end: the last frame); --exposure sets the view of scene-linear (float) "
         "pictures in stops; --timings adds where the time went on stderr.",
         3, 8, &frameCommand},
        {"pixel", "FILE N X Y [--rotation DEG] [--canvas WxH]",
         "Print the stored values and the converted RGB of the pixel under canvas point (X, Y) of "
         "frame N, as the player's pixel inspector reads them; the canvas defaults to the picture "
         "as shown at that rotation. Nothing is printed and the exit code is 2 off the picture.",
         4, 8, &pixelCommand},
        {"loudness", "FILE [--start SEC] [--end SEC] [--left N] [--right N]",
         "Measure the integrated loudness (LUFS) and true peak (dBTP) of channels N (global channel "
         "numbers from 0; negative for silence) from --start to --end seconds of FILE as the player "
         "does; defaults: the whole file, channels 0 and 1 (0 and 0 for mono). Prints one JSON object.",
         1, 9, &loudnessCommand},
        // The argument count is checked by the command itself: bad arguments exit with 2.
        {"scope", "FILE N OUT.png [--range percent|code] [--channel color|red|green|blue|alpha|luma] "
                  "[--rotation 0|90|180|270] [--kind waveform|parade|vectorscope|histogram]",
         "Write the 1920x1024 scope of frame N of FILE as the scope page shows it "
         "(defaults: percent, color, 0, waveform) and print the number of the frame analysed. Exit code 2 "
         "for bad arguments, 1 when the file cannot be opened or the image written.",
         0, 1000, &scopeCommand},
        {"qc", "FILE|FOLDER... [-r] [--preset ebu|atsc|streaming] [--checks NAME,...] [--strict] [--black-min-frames N ...]",
         "Look for faults (black, freeze, levels, silence, truePeak, loudness, timestampGap, "
         "timecodeBreak, missingFrame) in each FILE, or in the media files and image sequences of FOLDER "
         "(-r: and below), one after "
         "another; prints each file's events in time order and a summary as JSON lines. Exit code 0 "
         "when every file was analysed, 1 when one could not be, 2 for bad arguments, 3 with "
         "--strict when an event is an error. See orvel-cli(1) for the thresholds.",
         0, 100000, &qcCommand},
        {"compare", "A B [--align timecode|start|offset:N] [--metric psnr,ssim] [--threshold DB] [--strict] [--scale] [--audio]",
         "Compare B with A picture by picture (aligned by source timecode when both carry one, else "
         "first frame to first frame; offset:N puts B's frame 0 on A's frame N); prints PSNR and SSIM "
         "of each pair and a summary (frames only in one file, runs of differing frames) as JSON "
         "lines. Exit code 0 when the comparison ran, 1 when a file cannot be opened or aligned "
         "(other frame rate, other size without --scale), 2 for bad arguments, 3 with --strict when "
         "a pair differs (below --threshold dB PSNR when given).",
         0, 100000, &compareCommand},
    };
    return table;
}

bool verboseRequested(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--verbose") == 0)
            return true;
        if (argv[i][0] != '-')
            return false; // the command: what follows belongs to it
    }
    return false;
}

bool needsGuiApplication(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fps") == 0) {
            ++i; // its value
            continue;
        }
        if (argv[i][0] != '-')
            return std::strcmp(argv[i], "scope") == 0;
    }
    return false;
}

namespace {

void quietMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

void configureLogging(bool verbose)
{
    if (verbose) {
        qInstallMessageHandler(nullptr);
        av_log_set_level(AV_LOG_INFO);
        return;
    }
    qInstallMessageHandler(quietMessageHandler);
    av_log_set_level(AV_LOG_QUIET);
    // Qt's multimedia plugin raises FFmpeg's log level when it loads; a silent callback
    // keeps the log out of stderr whatever the level.
    av_log_set_callback([](void *, int, const char *, va_list) {});
}

namespace {
double g_sequenceFps = 0.0;
}

double sequenceFpsOption()
{
    return g_sequenceFps;
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
    // Acted on by configureLogging before the application exists; accepted here.
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Also print the engine's log and warnings."));
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    parser.addOption(verboseOption);
    const QCommandLineOption fpsOption(QStringLiteral("fps"),
                                       QStringLiteral("Frame rate of image sequences, over what their files say."),
                                       QStringLiteral("RATE"));
    parser.addOption(fpsOption);
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

    g_sequenceFps = 0.0;
    if (parser.isSet(fpsOption)) {
        bool valid = false;
        const double fps = parser.value(fpsOption).toDouble(&valid);
        if (!valid || !mediachecks::isPlausibleVideoFps(fps)) {
            io.err << "--fps needs a rate from 1 to 120: " << parser.value(fpsOption) << Qt::endl;
            return 1;
        }
        g_sequenceFps = fps;
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

// The file opened as the player opens it; the CLI waits for the answer.
OpenResult openInto(OpenMedia &media)
{
    OpenResult result;
    result.success = media.waitUntilOpened(-1);
    result.info = media.info();
    result.error = media.error();
    return result;
}

OpenMedia::Options engineOptions(bool oneFrame = false)
{
    OpenMedia::Options options;
    options.scopeRenderer = &scopes::renderScope;
    options.oneFrame = oneFrame;
    // One answer per process: a decoded frame kept for a step back would only hold its
    // buffer, and the decoder would fault in a fresh one for every frame after it.
    options.frameCacheBytes = 0;
    options.sequenceFps = g_sequenceFps;
    return options;
}

// The number of the frame the engine answered last.
qint64 currentFrameOf(OpenMedia &media)
{
    qint64 number = -1;
    if (!media.runOnEngine([&number](VideoEngine &engine) { number = engine.currentFrameNumber(); }))
        return -1;
    return number;
}

} // namespace

OpenResult openMedia(const QString &path)
{
    OpenMedia media(path, engineOptions());
    return openInto(media);
}

FrameExport exportFrame(const QString &path, qint64 frameNumber, ConversionProfile profile, double exposureStops)
{
    FrameExport result;
    QElapsedTimer clock;
    clock.start();
    OpenMedia media(path, engineOptions(true));
    const OpenResult opened = openInto(media);
    result.timings.openMs = clock.elapsed();
    result.opened = opened.success;
    result.error = opened.error;
    if (!result.opened)
        return result;

    media.setConversionProfile(profile);
    media.setExposure(exposureStops);
    if (opened.info.isAudioOnly) {
        result.image = media.frameAsImage(frameNumber);
    } else {
        // getFrameAsImage in two timed halves; a picture needs no sound.
        const bool ran = media.runOnEngine([&](VideoEngine &engine) {
            QElapsedTimer step;
            step.start();
            engine.stopAudioDecoding();
            const av::FramePtr frame = engine.decodeFrameAt(frameNumber, -1);
            result.timings.decodeMs = step.restart();
            result.timings.framesDecoded = engine.decodeCounters().framesDecoded;
            result.image = engine.exportImage(frame.get());
            result.timings.conversionMs = step.elapsed();
        });
        // No answer at all: the picture stays null and the number unknown.
        if (!ran)
            return result;
    }
    result.frameNumber = currentFrameOf(media);
    return result;
}

PixelQuery inspectPixel(const QString &path, qint64 frameNumber, int x, int y, int rotationDegrees,
                        QSize canvas)
{
    PixelQuery result;
    OpenMedia media(path, engineOptions());
    const OpenResult opened = openInto(media);
    result.opened = opened.success;
    result.error = opened.error;
    if (!result.opened)
        return result;
    if (canvas.isEmpty()) {
        canvas = QSize(opened.info.width, opened.info.height);
        const int turn = normalizeQuarterTurn(rotationDegrees);
        if (turn == 90 || turn == 270)
            canvas.transpose();
    }
    result.text = media.pixelInspectorSourceConvertText(frameNumber, x, y, canvas.width(), canvas.height(),
                                                        rotationDegrees);
    return result;
}

LoudnessResult measureLoudness(const QString &path, double startSec, double endSec, int left, int right,
                               const std::function<void(int)> &progress)
{
    // The meter logs its own summary at the info level when it is freed; the command's
    // answer is the JSON, so FFmpeg may only speak up for warnings meanwhile.
    const int logLevel = av_log_get_level();
    if (logLevel > AV_LOG_WARNING)
        av_log_set_level(AV_LOG_WARNING);

    LoudnessResult result;
    result.error = QStringLiteral("Loudness measurement ended without an outcome.");
    WorkerThread<LoudnessMeasureWorker> job(
        new LoudnessMeasureWorker(LoudnessMeasureRequest{path, startSec, endSec, left, right}), QStringLiteral("loudness"));
    LoudnessMeasureWorker *worker = job.worker();
    QObject receiver;
    if (progress)
        QObject::connect(worker, &LoudnessMeasureWorker::progressChanged, &receiver, progress);
    QObject::connect(worker, &LoudnessMeasureWorker::measurementReady, &receiver, [&result](double peak, double lufs) {
        result.measured = true;
        result.error.clear();
        result.truePeakDb = peak;
        result.integratedLufs = lufs;
    });
    QObject::connect(worker, &LoudnessMeasureWorker::failed, &receiver,
                     [&result](const QString &message) { result.error = message; });
    job.runToEnd();

    av_log_set_level(logLevel);
    return result;
}

ScopeExport exportScope(const QString &path, qint64 frameNumber, ScopeRange range, DisplayChannel channel,
                        int rotationDegrees, ScopeKind kind)
{
    ScopeExport result;
    OpenMedia media(path, engineOptions());
    const OpenResult opened = openInto(media);
    result.opened = opened.success;
    result.error = opened.error;
    if (!result.opened)
        return result;
    QEventLoop loop;
    QObject::connect(&media, &OpenMedia::scopeImageReady, &loop, [&](const QImage &image, int64_t) {
        result.image = image;
        loop.quit();
    });
    media.requestScopeImage(frameNumber, range, channel, rotationDegrees, kind);
    loop.exec();
    result.frameNumber = currentFrameOf(media);
    return result;
}

} // namespace cli
