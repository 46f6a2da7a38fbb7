// Whole processes of orvel-cli against the ffmpeg command line, run alternately in the same
// run so that machine load hits both; fixed targets spread over each file.
//  - frame: `orvel-cli frame FILE N OUT.png` against the accurate seek
//    `ffmpeg -v error -ss T -i FILE -frames:v 1 OUT.png` (goal: median ratio <= 0.60)
//  - probe: `orvel-cli probe FILE` against `ffprobe -v error -show_streams FILE` (<= 0.80)
//  - scope and pixel: start-to-exit times, beside the ffmpeg frame export of the same frame
//    for scale (no goal)
// Prints per row the median and min–max of each and the median of the per-run ratios of wall
// time (the goal) and of CPU time (user + system of all threads: steadier on a loaded machine).
//
// Usage: cli_frame_bench [--targets N] [--only SUBSTRING]
// Clips are generated once into $ORVEL_BENCH_MEDIA_DIR (default: <build>/bench-media).

#include "benchclips.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

struct Clip {
    const char *name;
    const char *label;
    QStringList encode;
    const char *source;
    int frames;
};

const QList<Clip> &clips()
{
    static const QList<Clip> list = {
        {"cli_h264_gop120_pyramid_720p.mp4", "H.264 720p GOP 120 B-pyramid",
         {"-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-g", "120", "-keyint_min", "120", "-sc_threshold",
          "0", "-bf", "3", "-x264-params", "b-pyramid=normal", "-pix_fmt", "yuv420p"},
         "testsrc2=size=1280x720:rate=25:duration=20,noise=alls=4:allf=t", 500},
        {"cli_h264_gop50_1080p.mp4", "H.264 1080p GOP 50",
         {"-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-g", "50", "-keyint_min", "50", "-sc_threshold",
          "0", "-bf", "2", "-pix_fmt", "yuv420p"},
         "testsrc2=size=1920x1080:rate=25:duration=12,noise=alls=4:allf=t", 300},
        {"cli_prores_hq_1080p.mov", "ProRes 422 HQ 1080p",
         {"-c:v", "prores_aw", "-profile:v", "3", "-pix_fmt", "yuv422p10le"},
         "testsrc2=size=1920x1080:rate=25:duration=4,noise=alls=4:allf=t", 100},
    };
    return list;
}

// User and system time of the children reaped so far, in ms.
double childrenCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto ms = [](const timeval &t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct Timing {
    double wallMs = -1; // -1 when the process failed
    double cpuMs = 0;   // user + system, every thread
};

Timing runTimed(const QString &program, const QStringList &arguments, QByteArray *out = nullptr)
{
    QProcess process;
    const double cpuBefore = childrenCpuMs();
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    Timing timing;
    timing.wallMs = double(timer.nsecsElapsed()) / 1e6;
    timing.cpuMs = childrenCpuMs() - cpuBefore;
    if (out)
        *out = process.readAllStandardOutput();
    return timing;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Run {
    QString program;
    QStringList arguments;
    // Checks what the process printed; empty when it is right, else what was wrong.
    std::function<QString(const QByteArray &)> check;
};

struct Series {
    std::vector<double> ours, theirs, ratios, cpuRatios;
};

// Runs both, ours first on even runs and theirs first on odd ones.
bool measurePair(const Run &ours, const Run &theirs, int index, Series &series, QString *failure)
{
    QByteArray printed;
    Timing a;
    Timing b;
    if (index % 2 == 0) {
        a = runTimed(ours.program, ours.arguments, &printed);
        b = runTimed(theirs.program, theirs.arguments);
    } else {
        b = runTimed(theirs.program, theirs.arguments);
        a = runTimed(ours.program, ours.arguments, &printed);
    }
    if (a.wallMs < 0 || b.wallMs < 0) {
        *failure = a.wallMs < 0 ? QStringLiteral("orvel-cli failed") : QStringLiteral("reference failed");
        return false;
    }
    if (ours.check) {
        const QString wrong = ours.check(printed);
        if (!wrong.isEmpty()) {
            *failure = wrong;
            return false;
        }
    }
    series.ours.push_back(a.wallMs);
    series.theirs.push_back(b.wallMs);
    series.ratios.push_back(a.wallMs / b.wallMs);
    if (b.cpuMs > 0)
        series.cpuRatios.push_back(a.cpuMs / b.cpuMs);
    return true;
}

void printRow(const char *clip, const char *what, const Series &series, const char *goal)
{
    if (series.ours.empty())
        return;
    const auto [oMin, oMax] = std::minmax_element(series.ours.begin(), series.ours.end());
    const auto [fMin, fMax] = std::minmax_element(series.theirs.begin(), series.theirs.end());
    const auto [rMin, rMax] = std::minmax_element(series.ratios.begin(), series.ratios.end());
    std::printf("%-30s %-6s %7.0f (%5.0f-%5.0f)   %7.0f (%5.0f-%5.0f)   %5.2fx (%4.2f-%4.2f) %8s %9.2fx\n", clip,
                what, median(series.ours), *oMin, *oMax, median(series.theirs), *fMin, *fMax, median(series.ratios),
                *rMin, *rMax, goal, median(series.cpuRatios));
    std::fflush(stdout);
}

QString expectNumber(const QByteArray &printed, qint64 expected)
{
    if (printed.trimmed().toLongLong() == expected)
        return {};
    return QStringLiteral("orvel-cli printed '%1', not %2").arg(QString::fromLatin1(printed.trimmed())).arg(expected);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int targetCount = 30;
    QString only;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--targets") && i + 1 < args.size())
            targetCount = std::max(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--only") && i + 1 < args.size())
            only = args[++i];
    }
    const QString cli = QDir(app.applicationDirPath() + QStringLiteral("/../tools/orvel-cli")).absolutePath();
    if (!QFileInfo(cli).isExecutable()) {
        std::fprintf(stderr, "cli_frame_bench: %s not built\n", qPrintable(cli));
        return 1;
    }
    QDir().mkpath(benchclips::mediaDir());
    QTemporaryDir out;
    const QString ffmpeg = QStringLiteral("ffmpeg");

    std::printf("orvel-cli against the ffmpeg command line, whole processes, %d runs each, alternating "
                "order; wall ms\n"
                "frame: ffmpeg -ss T -i FILE -frames:v 1 OUT.png; probe: ffprobe -show_streams; scope, "
                "pixel: the ffmpeg frame export for scale\n",
                targetCount);
    std::printf("%-30s %-6s %22s %22s %18s %8s %10s\n", "clip", "", "orvel-cli med (min-max)",
                "reference med (min-max)", "ratio med (min-max)", "goal", "cpu ratio");
    bool failed = false;
    for (const Clip &clip : clips()) {
        if (!only.isEmpty() && !QString::fromLatin1(clip.label).contains(only, Qt::CaseInsensitive))
            continue;
        const QString path = QDir(benchclips::mediaDir()).filePath(QString::fromLatin1(clip.name));
        if (!benchclips::ensureClip(clip.name, clip.source, clip.encode, path)) {
            std::printf("%-30s could not generate\n", clip.label);
            failed = true;
            continue;
        }
        Series frame, probe, scope, pixel;
        for (int i = 0; i < targetCount; ++i) {
            // Fixed, spread over the file, away from key frames more often than not.
            const qint64 target = (qint64(i) * 7919 + 37) % (clip.frames - 1);
            const QString seconds = QString::number(double(target) / 25.0, 'f', 3);
            const Run ffmpegFrame{ffmpeg,
                                  {"-v", "error", "-y", "-ss", seconds, "-i", path, "-frames:v", "1",
                                   out.filePath("f.png")},
                                  {}};
            const auto printsTarget = [target](const QByteArray &printed) { return expectNumber(printed, target); };
            const Run cliFrame{cli, {"frame", path, QString::number(target), out.filePath("o.png")}, printsTarget};
            const Run cliProbe{cli, {"probe", path}, [](const QByteArray &printed) {
                                   return printed.contains("\"width\"") ? QString() : QStringLiteral("no probe output");
                               }};
            const Run ffprobe{QStringLiteral("ffprobe"), {"-v", "error", "-show_streams", path}, {}};
            const Run cliScope{cli, {"scope", path, QString::number(target), out.filePath("s.png")}, printsTarget};
            const Run cliPixel{cli, {"pixel", path, QString::number(target), "100", "100"},
                               [](const QByteArray &printed) {
                                   return printed.trimmed().isEmpty() ? QStringLiteral("no pixel printed") : QString();
                               }};
            QString failure;
            const bool ok = measurePair(cliFrame, ffmpegFrame, i, frame, &failure)
                && measurePair(cliProbe, ffprobe, i, probe, &failure)
                && measurePair(cliScope, ffmpegFrame, i, scope, &failure)
                && measurePair(cliPixel, ffmpegFrame, i, pixel, &failure);
            if (!ok) {
                std::printf("%-30s target %lld failed: %s\n", clip.label, (long long)target, qPrintable(failure));
                failed = true;
            }
        }
        printRow(clip.label, "frame", frame, "<=0.60x");
        printRow("", "probe", probe, "<=0.80x");
        printRow("", "scope", scope, "-");
        printRow("", "pixel", pixel, "-");
    }
    return failed ? 1 : 0;
}
