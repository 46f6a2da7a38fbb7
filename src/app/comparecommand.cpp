#include "app/comparecommand.h"

#include "analysis/audiocompare.h"
#include "analysis/comparer.h"
#include "app/jsonline.h"
#include "core/timecode.h"

#include <QLoggingCategory>
#include <QTextStream>

#include <cmath>

namespace cli {

namespace {

const char *const kUsage = "Usage: orvel-cli compare A B [--align timecode|start|offset:N] [--metric psnr,ssim] "
                           "[--threshold DB] [--strict] [--scale] [--audio]";

QString runsText(const cmp::Runs &runs)
{
    QString text = QStringLiteral("[");
    for (const auto &[first, last] : runs) {
        if (text.size() > 1)
            text += QLatin1Char(',');
        text += QStringLiteral("[%1,%2]").arg(first).arg(last);
    }
    return text + QLatin1Char(']');
}

QString optionalNumber(const std::optional<double> &value)
{
    return value ? json::number(*value) : QStringLiteral("null");
}

QString optionalInteger(const std::optional<int64_t> &value)
{
    return value ? QString::number(*value) : QStringLiteral("null");
}

QString pairLine(const cmp::PairResult &pair, const cmp::Options &options, const std::optional<Timecode> &startA)
{
    json::Line line;
    line.add("frameA", QString::number(pair.frameA))
        .add("frameB", QString::number(pair.frameB))
        .add("timecodeA", json::timecodeOf(startA, pair.frameA));
    if (options.psnr) {
        static const char *const keys[3] = {"psnrY", "psnrU", "psnrV"};
        for (int p = 0; p < pair.planes; ++p)
            line.add(keys[p], optionalNumber(pair.psnr[p]));
    }
    if (options.ssim)
        line.add("ssimY", optionalNumber(pair.ssimY));
    line.add("identical", pair.identical ? QStringLiteral("true") : QStringLiteral("false"));
    return line.text();
}

QString alignmentName(const cmp::Options &options, const cmp::Alignment &alignment)
{
    if (alignment.byTimecode)
        return QStringLiteral("timecode");
    return options.align == cmp::AlignMode::Offset ? QStringLiteral("offset") : QStringLiteral("start");
}

// [{"stream":0,"identical":false,"firstDifferentSec":1.5,"maxDifferenceDb":-12.1,...}, ...]
QString audioText(const std::vector<cmp::AudioStreamResult> &streams)
{
    QStringList items;
    for (const cmp::AudioStreamResult &r : streams) {
        json::Line line;
        line.add("stream", QString::number(r.stream));
        if (!r.compared) {
            line.add("compared", QStringLiteral("false")).add("problem", json::string(r.problem));
        } else {
            line.add("identical", r.identical ? QStringLiteral("true") : QStringLiteral("false"))
                .add("firstDifferentSec", r.firstDifferentSec
                                              ? json::number(std::round(*r.firstDifferentSec * 1e6) / 1e6)
                                              : QStringLiteral("null"))
                .add("maxDifferenceDb", optionalNumber(r.maxDifferenceDb))
                .add("samplesCompared", QString::number(r.samplesCompared));
        }
        items << line.text();
    }
    return QLatin1Char('[') + items.join(QLatin1Char(',')) + QLatin1Char(']');
}

QString summaryLine(const cmp::Comparer::Outcome &outcome, const cmp::Options &options,
                    const std::optional<Timecode> &startA, const std::optional<QString> &audio)
{
    const cmp::Summary &s = outcome.summary;
    json::Line line;
    line
        .add("summary", QStringLiteral("true"))
        .add("framesCompared", QString::number(s.framesCompared))
        .add("identicalFrames", QString::number(s.identicalFrames))
        .add("onlyInA", runsText(s.onlyInA))
        .add("onlyInB", runsText(s.onlyInB))
        .add("differentRuns", runsText(s.differentRuns))
        .add("firstDifferentFrameA", optionalInteger(s.firstDifferentFrameA))
        .add("firstDifferentTimecodeA",
             s.firstDifferentFrameA ? json::timecodeOf(startA, *s.firstDifferentFrameA) : QStringLiteral("null"))
        .add("minPsnrY", optionalNumber(s.minPsnrY))
        .add("minPsnrFrameA", optionalInteger(s.minPsnrFrameA))
        .add("framesBeyondThreshold", QString::number(s.framesBeyondThreshold))
        .add("thresholdDb", optionalNumber(options.thresholdDb))
        .add("alignment", json::string(alignmentName(options, outcome.alignment)))
        .add("offset", QString::number(outcome.alignment.offset))
        .add("elapsedSec", json::number(std::round(outcome.elapsedSec * 1000.0) / 1000.0));
    if (audio)
        line.add("audio", *audio);
    return line.text();
}

} // namespace

std::optional<CompareOptions> parseCompareArguments(const QStringList &arguments, QString &problem)
{
    CompareOptions parsed;
    cmp::Options &options = parsed.options;
    QStringList files;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--strict")) {
            parsed.strict = true;
            continue;
        }
        if (argument == QLatin1String("--audio")) {
            parsed.audio = true;
            continue;
        }
        if (argument == QLatin1String("--scale")) {
            options.scale = true;
            continue;
        }
        if (argument == QLatin1String("--")) {
            files.append(arguments.mid(i + 1));
            break;
        }
        if (!argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            files.append(argument);
            continue;
        }
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        const QString name = equals > 0 ? argument.left(equals) : argument;
        if (name != QLatin1String("--align") && name != QLatin1String("--metric") && name != QLatin1String("--threshold")) {
            problem = QStringLiteral("Unknown option: ") + argument;
            return std::nullopt;
        }
        QString value;
        if (equals > 0) {
            value = argument.mid(equals + 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments.at(++i); // may be negative: "--threshold -1" is refused below
        } else {
            problem = name + QStringLiteral(" needs a value");
            return std::nullopt;
        }
        if (name == QLatin1String("--align")) {
            if (value == QLatin1String("timecode")) {
                options.align = cmp::AlignMode::Timecode;
            } else if (value == QLatin1String("start")) {
                options.align = cmp::AlignMode::Start;
            } else if (value.startsWith(QLatin1String("offset:"))) {
                bool ok = false;
                options.offset = value.mid(7).toLongLong(&ok);
                if (!ok) {
                    problem = QStringLiteral("Invalid offset: %1 (offset:N, N a whole number of frames)").arg(value);
                    return std::nullopt;
                }
                options.align = cmp::AlignMode::Offset;
            } else {
                problem = QStringLiteral("Unknown alignment: %1 (one of timecode, start, offset:N)").arg(value);
                return std::nullopt;
            }
        } else if (name == QLatin1String("--metric")) {
            options.psnr = options.ssim = false;
            const QStringList metrics = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
            for (const QString &metric : metrics) {
                if (metric.trimmed() == QLatin1String("psnr")) {
                    options.psnr = true;
                } else if (metric.trimmed() == QLatin1String("ssim")) {
                    options.ssim = true;
                } else {
                    problem = QStringLiteral("Unknown metric: %1 (psnr, ssim or both)").arg(metric);
                    return std::nullopt;
                }
            }
            if (metrics.isEmpty()) {
                problem = QStringLiteral("--metric needs psnr, ssim or both");
                return std::nullopt;
            }
        } else {
            bool ok = false;
            const double db = value.toDouble(&ok);
            if (!ok || !std::isfinite(db) || db <= 0.0) {
                problem = QStringLiteral("Invalid value for --threshold: %1 (a PSNR in dB above 0)").arg(value);
                return std::nullopt;
            }
            options.thresholdDb = db;
        }
    }
    if (files.size() != 2) {
        problem = files.size() < 2 ? QStringLiteral("Two files are needed, A and B")
                                   : QStringLiteral("Only two files are compared, A and B");
        return std::nullopt;
    }
    if (options.thresholdDb && !options.psnr) {
        problem = QStringLiteral("--threshold is a PSNR: it needs --metric psnr");
        return std::nullopt;
    }
    parsed.pathA = files.at(0);
    parsed.pathB = files.at(1);
    return parsed;
}

int compareCommand(const QStringList &arguments, Io &io)
{
    QString problem;
    const std::optional<CompareOptions> parsed = parseCompareArguments(arguments, problem);
    if (!parsed) {
        io.err << problem << Qt::endl << kUsage << Qt::endl;
        return CompareBadArguments;
    }
    const cmp::Options &options = parsed->options;

    std::optional<Timecode> startA;
    cmp::Comparer comparer(options, [&](const cmp::PairResult &pair) {
        io.out << pairLine(pair, options, startA) << '\n';
    });
    // A's start timecode names every line; it is known once both files are open.
    comparer.setAlignedCallback([&startA](const MediaInfo &infoA, const MediaInfo &, const cmp::Alignment &) {
        startA = Timecode::forVideo(infoA.fps, infoA.startTimecode.toStdString());
    });
    const cmp::Comparer::Outcome outcome = comparer.run(parsed->pathA, parsed->pathB);
    if (outcome.kind != cmp::Comparer::Outcome::Compared) {
        // An engine error's first line is its summary; the rest names the reason and the path.
        const QString error = outcome.error.split(QLatin1Char('\n')).join(QStringLiteral(": "));
        io.out << json::Line().add("error", json::string(error)).text() << Qt::endl;
        return CompareFileFailed;
    }
    std::optional<QString> audio;
    if (parsed->audio) {
        // B's sound moves with its pictures.
        const double offsetSec = outcome.infoA.fps > 0.0 ? double(outcome.alignment.offset) / outcome.infoA.fps : 0.0;
        QString error;
        const std::vector<cmp::AudioStreamResult> streams =
            cmp::compareAudio(parsed->pathA, parsed->pathB, offsetSec, error);
        if (!error.isEmpty()) {
            io.out << json::Line().add("error", json::string(error)).text() << Qt::endl;
            return CompareFileFailed;
        }
        audio = audioText(streams);
    }
    io.out << summaryLine(outcome, options, startA, audio) << Qt::endl;
    return parsed->strict && outcome.summary.framesBeyondThreshold > 0 ? CompareStrictDifferent : CompareRan;
}

} // namespace cli
