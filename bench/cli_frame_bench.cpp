// Whole-process frame export: `orvel-cli frame FILE N OUT.png` against the ffmpeg command
// line's accurate seek `ffmpeg -v error -ss T -i FILE -frames:v 1 OUT.png`, for fixed targets
// spread over the file, run alternately in the same run so that machine load hits both.
// Prints per clip the median and min–max of each and the median of the per-target ratios.
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

#include <algorithm>
#include <cstdio>
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
    };
    return list;
}

QString mediaDir()
{
    return benchclips::mediaDir();
}

bool ensureClip(const Clip &clip, const QString &path)
{
    return benchclips::ensureClip(clip.name, clip.source, clip.encode, path);
}

// Wall time of one process in ms; -1 when it failed.
double runTimed(const QString &program, const QStringList &arguments, QByteArray *out = nullptr)
{
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (out)
        *out = process.readAllStandardOutput();
    return ms;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
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
    QDir().mkpath(mediaDir());
    QTemporaryDir out;

    std::printf("orvel-cli frame vs ffmpeg -ss T -i FILE -frames:v 1, whole process, %d targets, "
                "alternating order; wall ms\n", targetCount);
    std::printf("%-32s %22s %22s %18s %8s\n", "clip", "orvel-cli med (min-max)", "ffmpeg med (min-max)",
                "ratio med (min-max)", "target");
    bool failed = false;
    for (const Clip &clip : clips()) {
        if (!only.isEmpty() && !QString::fromLatin1(clip.label).contains(only, Qt::CaseInsensitive))
            continue;
        const QString path = QDir(mediaDir()).filePath(QString::fromLatin1(clip.name));
        if (!ensureClip(clip, path)) {
            std::printf("%-32s could not generate\n", clip.label);
            failed = true;
            continue;
        }
        std::vector<double> ours, theirs, ratios;
        for (int i = 0; i < targetCount; ++i) {
            // Fixed, spread over the file, away from key frames more often than not.
            const int64_t target = (int64_t(i) * 7919 + 37) % (clip.frames - 1);
            const QString seconds = QString::number(double(target) / 25.0, 'f', 3);
            const QStringList cliArgs = {"frame", path, QString::number(target), out.filePath("o.png")};
            const QStringList ffArgs = {"-v", "error", "-y", "-ss", seconds, "-i", path, "-frames:v", "1",
                                        out.filePath("f.png")};
            double a = 0;
            double b = 0;
            QByteArray printed;
            if (i % 2 == 0) {
                a = runTimed(cli, cliArgs, &printed);
                b = runTimed(QStringLiteral("ffmpeg"), ffArgs);
            } else {
                b = runTimed(QStringLiteral("ffmpeg"), ffArgs);
                a = runTimed(cli, cliArgs, &printed);
            }
            if (a < 0 || b < 0 || printed.trimmed().toLongLong() != target) {
                std::printf("%-32s target %lld failed (orvel-cli printed '%s')\n", clip.label, (long long)target,
                            printed.trimmed().constData());
                failed = true;
                continue;
            }
            ours.push_back(a);
            theirs.push_back(b);
            ratios.push_back(a / b);
        }
        if (ours.empty())
            continue;
        const auto [oMin, oMax] = std::minmax_element(ours.begin(), ours.end());
        const auto [fMin, fMax] = std::minmax_element(theirs.begin(), theirs.end());
        const auto [rMin, rMax] = std::minmax_element(ratios.begin(), ratios.end());
        std::printf("%-32s %7.0f (%5.0f-%5.0f)   %7.0f (%5.0f-%5.0f)   %5.2fx (%4.2f-%4.2f) %8s\n", clip.label,
                    median(ours), *oMin, *oMax, median(theirs), *fMin, *fMax, median(ratios), *rMin, *rMax,
                    "<=0.80x");
        std::fflush(stdout);
    }
    return failed ? 1 : 0;
}
