// Scope benchmark: the time a scope request costs beyond the decode of its frame (the
// renderer on the decoded frame, exactly what requestScopeImage runs after decodeFrameAt),
// median and max over 30 frames spread over each clip, for every kind, next to ffmpeg's own
// filter for that kind on the same clip in the same run (filter run minus decode-only run,
// per frame).
//
// Usage: scope_bench [--frames N] [--only CLIP-SUBSTRING] [--kind KIND-SUBSTRING]
// Clips are generated once into $ORVEL_BENCH_MEDIA_DIR (default: <build>/bench-media),
// shared with decode_bench.

#include "av/ffmpeg.h"
#include "benchclips.h"
#include "core/metatypes.h"
#include "engine/videoengine.h"
#include "scopes/scoperenderer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

struct Clip {
    const char *name;
    const char *label;
    QStringList encode;
    const char *source;
    bool target; // 1080p: the 15 ms and ffmpeg goals; otherwise (UHD) 60 ms
};

const QList<Clip> &clips()
{
    static const QList<Clip> list = {
        {"h264_gop50_1080p.mp4", "1080p H.264 4:2:0 8-bit",
         {"-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-g", "50", "-keyint_min", "50", "-sc_threshold",
          "0", "-bf", "2", "-pix_fmt", "yuv420p"},
         "testsrc2=size=1920x1080:rate=25:duration=20,noise=alls=4:allf=t", true},
        {"prores_hq_1080p.mov", "1080p ProRes 4:2:2 10-bit",
         {"-c:v", "prores_aw", "-profile:v", "3", "-pix_fmt", "yuv422p10le"},
         "testsrc2=size=1920x1080:rate=25:duration=6,noise=alls=4:allf=t", true},
        {"prores_hq_uhd.mov", "UHD ProRes 4:2:2 10-bit",
         {"-c:v", "prores_aw", "-profile:v", "3", "-pix_fmt", "yuv422p10le"},
         "testsrc2=size=3840x2160:rate=25:duration=3,noise=alls=4:allf=t", false},
    };
    return list;
}

bool ensureClip(const Clip &clip, const QString &path)
{
    return benchclips::ensureClip(clip.name, clip.source, clip.encode, path);
}

struct Kind {
    const char *label;
    ScopeKind kind;
    DisplayChannel channel;
    const char *filter; // ffmpeg's filter for the same picture; null: none to compare
};

const QList<Kind> &kinds()
{
    static const QList<Kind> list = {
        {"waveform colour", ScopeWaveform, Color, "waveform=c=7:d=overlay"},
        {"waveform luma", ScopeWaveform, Luma, "waveform"},
        {"parade", ScopeParade, Color, "waveform=display=parade:components=7"},
        {"vectorscope", ScopeVectorscope, Color, "vectorscope"},
        {"histogram", ScopeHistogram, Color, "histogram"},
        {"grid (all four)", ScopeGrid, Color, nullptr},
    };
    return list;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double childCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run {
    double wall = 1e300; // seconds, best of three
    double cpu = 1e300;  // CPU seconds of all its threads, best of three
};

// One ffmpeg run over the first 'frames' frames, best of three; a failed run: negative.
Run ffmpegRun(const QString &path, int frames, const QString &filter)
{
    Run best;
    for (int run = 0; run < 3; ++run) {
        QStringList arguments = {"-hide_banner", "-loglevel", "error", "-nostdin", "-i", path, "-an",
                                 "-frames:v", QString::number(frames)};
        if (!filter.isEmpty())
            arguments += {"-vf", filter};
        arguments += {"-f", "null", "-"};
        QProcess process;
        QElapsedTimer timer;
        const double cpuStart = childCpuSeconds();
        timer.start();
        process.start(QStringLiteral("ffmpeg"), arguments);
        if (!process.waitForFinished(-1) || process.exitCode() != 0)
            return {-1, -1};
        best.wall = std::min(best.wall, double(timer.nsecsElapsed()) / 1e9);
        best.cpu = std::min(best.cpu, childCpuSeconds() - cpuStart);
    }
    return best;
}

// CPU time of the whole process (all threads), so that a loaded machine shows what the
// work itself costs next to the wall time it took.
double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    // Text in the graticule needs a GUI application; no display is used.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    registerMetaTypes();
    av_log_set_level(AV_LOG_ERROR);
    qSetMessagePattern(QStringLiteral("%{if-warning}%{message}%{endif}%{if-critical}%{message}%{endif}"));

    int frameCount = 30;
    QString only;
    QString onlyKind;
    const QStringList arguments = app.arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--frames") && i + 1 < arguments.size())
            frameCount = std::max(1, arguments[++i].toInt());
        else if (arguments[i] == QLatin1String("--only") && i + 1 < arguments.size())
            only = arguments[++i];
        else if (arguments[i] == QLatin1String("--kind") && i + 1 < arguments.size())
            onlyKind = arguments[++i];
    }

    const QString dir = benchclips::mediaDir();
    QDir().mkpath(dir);
    std::printf("Scope request beyond the frame's decode, %d frames per clip (%u hardware threads)\n", frameCount,
                std::max(1u, std::thread::hardware_concurrency()));
    std::printf("%-26s %-16s %9s %9s %9s %10s %10s %10s %7s %7s  %s\n", "clip", "kind", "median", "max", "cpu",
                "decode", "ffmpeg", "ff cpu", "ratio", "cpu x", "goal");

    bool allMet = true;
    for (const Clip &clip : clips()) {
        if (!only.isEmpty() && !QString::fromLatin1(clip.name).contains(only))
            continue;
        const QString path = QDir(dir).filePath(QString::fromLatin1(clip.name));
        if (!ensureClip(clip, path)) {
            std::fprintf(stderr, "scope_bench: could not generate %s\n", clip.name);
            return 1;
        }

        VideoEngine engine;
        engine.init();
        int64_t totalFrames = 0;
        QObject::connect(&engine, &VideoEngine::fileOpened, &engine,
                         [&](bool success, const QVariantMap &info, const QString &) {
                             if (success)
                                 totalFrames = info.value(QStringLiteral("totalFrames")).toLongLong();
                         });
        engine.openFile(path);
        if (totalFrames <= 0) {
            std::fprintf(stderr, "scope_bench: could not open %s\n", clip.name);
            return 1;
        }

        // The same frames for every channel: decoded once each, timed separately.
        std::vector<av::FramePtr> frames;
        std::vector<double> decodeMs;
        for (int i = 0; i < frameCount; ++i) {
            const int64_t n = totalFrames * i / frameCount;
            QElapsedTimer timer;
            timer.start();
            av::FramePtr frame = engine.decodeFrameAt(n, -1);
            decodeMs.push_back(double(timer.nsecsElapsed()) / 1e6);
            if (!frame) {
                std::fprintf(stderr, "scope_bench: no frame %lld in %s\n", (long long)n, clip.name);
                return 1;
            }
            frames.push_back(std::move(frame));
        }

        // ffmpeg: each kind's filter per frame beyond its own decode-only run.
        const int ffFrames = std::min<int>(frameCount, int(totalFrames));
        const Run decodeOnly = ffmpegRun(path, ffFrames, QString());

        for (const Kind &kind : kinds()) {
            if (!onlyKind.isEmpty() && !QString::fromLatin1(kind.label).contains(onlyKind))
                continue;
            ScopeRequest request;
            request.kind = kind.kind;
            request.range = Percent;
            request.channel = kind.channel;
            std::vector<double> ms;
            std::vector<double> cpu;
            for (const av::FramePtr &frame : frames) {
                QElapsedTimer timer;
                const double cpuStart = processCpuMs();
                timer.start();
                const QImage image = scopes::renderScope(frame.get(), request);
                ms.push_back(double(timer.nsecsElapsed()) / 1e6);
                cpu.push_back(processCpuMs() - cpuStart);
                if (image.isNull())
                    return 1;
            }
            double reference = 0.0;
            double referenceCpu = 0.0;
            if (kind.filter) {
                const Run filtered = ffmpegRun(path, ffFrames, QString::fromLatin1(kind.filter));
                reference = (filtered.wall - decodeOnly.wall) * 1000.0 / ffFrames;
                referenceCpu = (filtered.cpu - decodeOnly.cpu) * 1000.0 / ffFrames;
            }
            const double med = median(ms);
            const double max = *std::max_element(ms.begin(), ms.end());
            const double goal = clip.target ? 15.0 : 60.0;
            const bool met = med <= goal && (!kind.filter || !clip.target || med <= reference);
            if (kind.kind != ScopeGrid)
                allMet = allMet && met;
            char ref[32] = "-", ratio[32] = "-", refCpu[32] = "-", cpuRatio[32] = "-";
            if (kind.filter) {
                std::snprintf(ref, sizeof ref, "%.1f ms", reference);
                std::snprintf(ratio, sizeof ratio, "%.2fx", reference > 0 ? med / reference : 0.0);
                std::snprintf(refCpu, sizeof refCpu, "%.1f ms", referenceCpu);
                std::snprintf(cpuRatio, sizeof cpuRatio, "%.2fx", referenceCpu > 0 ? median(cpu) / referenceCpu : 0.0);
            }
            std::printf("%-26s %-16s %6.1f ms %6.1f ms %6.1f ms %7.1f ms %10s %10s %7s %7s  %s\n", clip.label,
                        kind.label, med, max, median(cpu), median(decodeMs), ref, refCpu, ratio, cpuRatio,
                        kind.kind == ScopeGrid ? "" : met ? "met" : "NOT met");
        }
    }
    std::printf("median, max: wall time per render beyond decode; cpu: median CPU time of all threads\n");
    std::printf("ffmpeg, ff cpu: its filter per frame beyond its decode-only run, wall and CPU of all its threads "
                "(best of 3 runs each); ratio: our median / ffmpeg wall; cpu x: our cpu / ffmpeg cpu\n");
    std::printf("goals: 1080p median <= 15 ms and no slower than ffmpeg, UHD <= 60 ms (grid not counted): %s\n",
                allMet ? "all met" : "NOT all met");
    return 0;
}
