#include "app/qccommand.h"

#include "analysis/qcworker.h"
#include "core/workerthread.h"
#include "core/timecode.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSet>
#include <QTextStream>

#include <cmath>
#include <functional>

namespace cli {

namespace {

const char *const kUsage =
    "Usage: orvel-cli qc FILE|FOLDER... [-r] [--preset ebu|atsc|streaming] [--checks NAME,...] "
    "[--strict] [threshold options]";

// One threshold option: its name, what it sets, and the values it accepts.
struct ThresholdOption {
    const char *name;
    std::function<void(qc::Settings &, double)> set;
    double lowest;
    double highest;
    bool whole; // a whole number
};

const QList<ThresholdOption> &thresholdOptions()
{
    using S = qc::Settings;
    static const QList<ThresholdOption> options = {
        {"--black-luma", [](S &s, double v) { s.thresholds.blackLumaFraction = v; }, 0.0, 1.0, false},
        {"--black-picture", [](S &s, double v) { s.thresholds.blackPictureFraction = v; }, 0.0, 1.0, false},
        {"--black-min-frames", [](S &s, double v) { s.thresholds.blackMinFrames = int(v); }, 1, 1e9, true},
        {"--freeze-noise", [](S &s, double v) { s.thresholds.freezeNoiseDb = v; }, -200.0, 0.0, false},
        {"--freeze-min-sec", [](S &s, double v) { s.thresholds.freezeMinSec = v; }, 0.0, 1e6, false},
        {"--levels-low", [](S &s, double v) { s.thresholds.levelsLow = v; }, -1.0, 1.0, false},
        {"--levels-high", [](S &s, double v) { s.thresholds.levelsHigh = v; }, 0.0, 2.0, false},
        {"--levels-picture", [](S &s, double v) { s.thresholds.levelsPictureFraction = v; }, 0.0, 1.0, false},
        {"--levels-min-frames", [](S &s, double v) { s.thresholds.levelsMinFrames = int(v); }, 1, 1e9, true},
        {"--silence-level", [](S &s, double v) { s.thresholds.silenceDb = v; }, -200.0, 0.0, false},
        {"--silence-min-sec", [](S &s, double v) { s.thresholds.silenceMinSec = v; }, 0.0, 1e6, false},
        {"--true-peak", [](S &s, double v) { s.thresholds.truePeakDb = v; }, -100.0, 20.0, false},
        {"--loudness-target", [](S &s, double v) { s.thresholds.loudnessTarget = v; }, -100.0, 0.0, false},
        {"--loudness-tolerance", [](S &s, double v) { s.thresholds.loudnessTolerance = v; }, 0.0, 100.0, false},
        {"--gap-factor", [](S &s, double v) { s.thresholds.gapFactor = v; }, 1.0, 1e6, false},
        {"--loudness-left", [](S &s, double v) { s.loudnessLeft = v < 0 ? -1 : int(v); }, -1, 7, true},
        {"--loudness-right", [](S &s, double v) { s.loudnessRight = v < 0 ? -1 : int(v); }, -1, 7, true},
    };
    return options;
}

// Extensions of the files a folder contributes: containers the player opens.
const QSet<QString> &mediaExtensions()
{
    static const QSet<QString> extensions = {
        QStringLiteral("mov"), QStringLiteral("mp4"),  QStringLiteral("m4v"),  QStringLiteral("mkv"),
        QStringLiteral("webm"), QStringLiteral("mxf"), QStringLiteral("ts"),   QStringLiteral("m2ts"),
        QStringLiteral("mts"), QStringLiteral("mpg"),  QStringLiteral("mpeg"), QStringLiteral("vob"),
        QStringLiteral("m2v"), QStringLiteral("avi"),  QStringLiteral("flv"),  QStringLiteral("ogv"),
        QStringLiteral("dv"),  QStringLiteral("wmv"),  QStringLiteral("asf"),  QStringLiteral("3gp"),
        QStringLiteral("y4m"), QStringLiteral("h264"), QStringLiteral("264"),  QStringLiteral("hevc"),
        QStringLiteral("265"), QStringLiteral("wav"),  QStringLiteral("aif"),  QStringLiteral("aiff"),
        QStringLiteral("mp3"), QStringLiteral("flac"), QStringLiteral("aac"),  QStringLiteral("m4a"),
        QStringLiteral("opus"), QStringLiteral("ogg"), QStringLiteral("oga"),  QStringLiteral("ac3"),
        QStringLiteral("eac3"), QStringLiteral("wma"),
    };
    return extensions;
}

// A JSON number as the report writes it: at most six decimals, always with a decimal
// point, null for infinities and NaN.
QString number(double value)
{
    if (!std::isfinite(value))
        return QStringLiteral("null");
    QString text = QString::number(value, 'f', 6);
    while (text.endsWith(QLatin1Char('0')) && !text.endsWith(QLatin1String(".0")))
        text.chop(1);
    if (text == QLatin1String("-0.0"))
        text = QStringLiteral("0.0");
    return text;
}

QString string(const QString &text)
{
    // QJsonDocument escapes; the array brackets are taken off again.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// An object whose keys keep the order they were added in.
class Line
{
public:
    Line &add(const char *key, const QString &jsonValue)
    {
        m_text += (m_text.isEmpty() ? QStringLiteral("{") : QStringLiteral(","));
        m_text += QLatin1Char('"') + QLatin1String(key) + QStringLiteral("\":") + jsonValue;
        return *this;
    }
    QString text() const { return m_text + QLatin1Char('}'); }

private:
    QString m_text;
};

QString timecodeOf(const std::optional<Timecode> &start, int64_t frame)
{
    if (!start)
        return QStringLiteral("null");
    Timecode timecode = *start;
    timecode.addFrames(frame);
    return string(QString::fromStdString(timecode.toString()));
}

bool isTerminal(Io &io)
{
    return io.errIsTerminal;
}

} // namespace

std::optional<QcOptions> parseQcArguments(const QStringList &arguments, QString &problem)
{
    QcOptions options;
    std::optional<qc::Preset> preset;
    QList<std::pair<const ThresholdOption *, double>> overrides;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("-r") || argument == QLatin1String("--recursive")) {
            options.recursive = true;
            continue;
        }
        if (argument == QLatin1String("--strict")) {
            options.strict = true;
            continue;
        }
        if (argument == QLatin1String("--")) {
            options.inputs.append(arguments.mid(i + 1));
            break;
        }
        if (!argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            options.inputs.append(argument);
            continue;
        }
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        const QString name = equals > 0 ? argument.left(equals) : argument;
        QString value;
        if (equals > 0) {
            value = argument.mid(equals + 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments.at(++i); // may be negative: "--true-peak -2"
        } else {
            problem = name + QStringLiteral(" needs a value");
            return std::nullopt;
        }
        if (name == QLatin1String("--preset")) {
            preset = qc::presetFromName(value);
            if (!preset) {
                problem = QStringLiteral("Unknown preset: %1 (one of ebu, atsc, streaming)").arg(value);
                return std::nullopt;
            }
            continue;
        }
        if (name == QLatin1String("--checks")) {
            options.settings.enabled.fill(false);
            for (const QString &checkText : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                const std::optional<qc::Check> check = qc::checkFromName(checkText.trimmed());
                if (!check) {
                    QStringList names;
                    for (qc::Check known : qc::AllChecks)
                        names.append(qc::checkName(known));
                    problem = QStringLiteral("Unknown check: %1 (one of %2)").arg(checkText, names.join(QLatin1Char(',')));
                    return std::nullopt;
                }
                options.settings.enabled[size_t(*check)] = true;
            }
            continue;
        }
        const ThresholdOption *option = nullptr;
        for (const ThresholdOption &candidate : thresholdOptions()) {
            if (name == QLatin1String(candidate.name))
                option = &candidate;
        }
        if (!option) {
            problem = QStringLiteral("Unknown option: ") + argument;
            return std::nullopt;
        }
        bool ok = false;
        const double number = value.toDouble(&ok);
        if (!ok || !std::isfinite(number) || number < option->lowest || number > option->highest
            || (option->whole && number != std::floor(number))) {
            problem = QStringLiteral("Invalid value for %1: %2").arg(name, value);
            return std::nullopt;
        }
        overrides.append({option, number});
    }
    if (options.inputs.isEmpty()) {
        problem = QStringLiteral("No file or folder given");
        return std::nullopt;
    }
    // The preset first, whatever the order on the line; the overrides then change it.
    const std::array<bool, qc::CheckCount> enabled = options.settings.enabled;
    options.settings.thresholds = qc::presetThresholds(preset.value_or(qc::Preset::Ebu));
    options.settings.enabled = enabled;
    for (const auto &[option, number] : overrides)
        option->set(options.settings, number);
    return options;
}

QStringList expandQcInputs(const QStringList &inputs, bool recursive)
{
    QStringList files;
    for (const QString &input : inputs) {
        const QFileInfo info(input);
        if (!info.isDir()) {
            files.append(input);
            continue;
        }
        QStringList found;
        QDirIterator it(input, QDir::Files | QDir::Readable | QDir::Hidden | QDir::NoDotAndDotDot,
                        recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
        while (it.hasNext()) {
            const QString path = it.next();
            if (mediaExtensions().contains(QFileInfo(path).suffix().toLower()))
                found.append(path);
        }
        // Name order of the whole path, so a folder's files come together.
        std::sort(found.begin(), found.end());
        files.append(found);
    }
    return files;
}

QString qcEventLine(const QString &file, const qc::Event &event, const MediaInfo &info)
{
    const std::optional<Timecode> start = info.isAudioOnly
        ? std::nullopt
        : Timecode::forVideo(info.fps, info.startTimecode.toStdString());
    return Line()
        .add("file", string(file))
        .add("check", string(qc::checkName(event.check)))
        .add("startFrame", QString::number(event.startFrame))
        .add("endFrame", QString::number(event.endFrame))
        .add("startSec", number(event.startSec))
        .add("endSec", number(event.endSec))
        .add("startTimecode", timecodeOf(start, event.startFrame))
        .add("endTimecode", timecodeOf(start, event.endFrame))
        .add("severity", string(qc::severityName(event.severity)))
        .add("value", number(event.value))
        .add("limit", number(event.limit))
        .add("channel", event.channel ? QString::number(*event.channel) : QStringLiteral("null"))
        .add("message", string(event.message))
        .text();
}

QString qcSummaryLine(const QString &file, const qc::Summary &summary)
{
    Line counts;
    bool any = false;
    for (qc::Check check : qc::AllChecks) {
        if (const int count = summary.eventCounts[size_t(check)]; count > 0) {
            counts.add(qc::checkName(check).toLatin1().constData(), QString::number(count));
            any = true;
        }
    }
    const auto optionalNumber = [](const std::optional<double> &value) {
        return value ? number(*value) : QStringLiteral("null");
    };
    return Line()
        .add("file", string(file))
        .add("summary", QStringLiteral("true"))
        .add("frames", QString::number(summary.frames))
        .add("durationSec", number(summary.durationSec))
        .add("integratedLufs", optionalNumber(summary.integratedLufs))
        .add("truePeakDbtp", optionalNumber(summary.truePeakDbtp))
        .add("events", any ? counts.text() : QStringLiteral("{}"))
        .add("result", string(summary.failed ? QStringLiteral("fail") : QStringLiteral("pass")))
        .add("elapsedSec", number(std::round(summary.elapsedSec * 1000.0) / 1000.0))
        .text();
}

QString qcErrorLine(const QString &file, const QString &error)
{
    return Line().add("file", string(file)).add("error", string(error)).text();
}

int qcCommand(const QStringList &arguments, Io &io)
{
    QString problem;
    const std::optional<QcOptions> options = parseQcArguments(arguments, problem);
    if (!options) {
        io.err << problem << Qt::endl << kUsage << Qt::endl;
        return QcBadArguments;
    }
    const QStringList files = expandQcInputs(options->inputs, options->recursive);
    if (files.isEmpty()) {
        io.err << "No media files found in " << options->inputs.join(QStringLiteral(", ")) << Qt::endl;
        return QcFileFailed;
    }

    // The engine's debug lines would tear the progress line apart.
    const bool showProgress = isTerminal(io);
    if (showProgress)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    WorkerThread<QcWorker> job(new QcWorker(files, options->settings), QStringLiteral("qc"));
    QcWorker *worker = job.worker();
    QObject receiver; // receives the worker's signals on this thread
    QList<qc::Event> events;
    bool anyFailed = false;
    bool anyError = false;
    QObject::connect(worker, &QcWorker::fileStarted, &receiver, [&events](int, const QString &) { events.clear(); });
    QObject::connect(worker, &QcWorker::eventFound, &receiver, [&events](int, const qc::Event &event) { events.append(event); });
    if (showProgress) {
        QObject::connect(worker, &QcWorker::progressChanged, &receiver, [&](int index, int percent) {
            const int width = 30;
            io.err << '\r' << '[' << QString(percent * width / 100, QLatin1Char('#'))
                   << QString(width - percent * width / 100, QLatin1Char('.')) << "] " << percent << "% "
                   << QFileInfo(files.at(index)).fileName().left(40);
            io.err.flush();
        });
    }
    const auto clearProgress = [&] {
        if (showProgress) {
            io.err << '\r' << QString(80, QLatin1Char(' ')) << '\r';
            io.err.flush();
        }
    };
    QObject::connect(worker, &QcWorker::fileAnalysed, &receiver,
                     [&](int index, const MediaInfo &info, const qc::Summary &summary) {
                         clearProgress();
                         std::stable_sort(events.begin(), events.end(), qc::eventBefore);
                         for (const qc::Event &event : std::as_const(events))
                             io.out << qcEventLine(files.at(index), event, info) << '\n';
                         io.out << qcSummaryLine(files.at(index), summary) << Qt::endl;
                         anyError = anyError || summary.failed;
                     });
    QObject::connect(worker, &QcWorker::fileFailed, &receiver, [&](int index, const QString &error) {
        clearProgress();
        // The first line is the fixed summary; the rest names the reason and the path.
        io.out << qcErrorLine(files.at(index), error.split(QLatin1Char('\n')).join(QStringLiteral(": ")))
               << Qt::endl;
        anyFailed = true;
    });
    job.runToEnd();
    if (showProgress)
        QLoggingCategory::setFilterRules(QString());

    if (anyFailed)
        return QcFileFailed;
    return options->strict && anyError ? QcStrictErrors : QcAnalysed;
}

} // namespace cli
