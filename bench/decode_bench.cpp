// Decoding benchmark: random access (requestFrame) against the ffmpeg command line's
// accurate seek and against the floor (seek + decode from the key frame to the target in a
// bare decode loop), and sequential playback throughput (requestNextFrameAtOrAfter with display
// conversion) against ffmpeg's decode-only speed. All measured side by side in one run,
// each measurement repeated to show its noise.
//
// Usage: decode_bench [--repeat N] [--targets N] [--only SUBSTRING]
// Clips are generated once into $ORVEL_BENCH_MEDIA_DIR (default: <build>/bench-media).

#include "av/ffmpeg.h"
#include "benchclips.h"
#include "engine/videoengine.h"
#include "core/metatypes.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <vector>

namespace {

struct Clip {
    const char *name;
    const char *label;
    QStringList encode; // ffmpeg arguments after the input
    const char *source; // lavfi source
};

const QList<Clip> &clips()
{
    // Noise makes the bitrates (and decoding cost) those of camera footage rather than of a
    // flat test pattern.
    static const QList<Clip> list = {
        {"h264_gop50_1080p.mp4", "H.264 1080p GOP 50",
         {"-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-g", "50", "-keyint_min", "50", "-sc_threshold",
          "0", "-bf", "2", "-pix_fmt", "yuv420p"},
         "testsrc2=size=1920x1080:rate=25:duration=20,noise=alls=4:allf=t"},
        {"h264_gop250_1080p.mp4", "H.264 1080p GOP 250",
         {"-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-g", "250", "-keyint_min", "250",
          "-sc_threshold", "0", "-bf", "2", "-pix_fmt", "yuv420p"},
         "testsrc2=size=1920x1080:rate=25:duration=20,noise=alls=4:allf=t"},
        {"prores_hq_1080p.mov", "ProRes 422 HQ 1080p",
         {"-c:v", "prores_aw", "-profile:v", "3", "-pix_fmt", "yuv422p10le"},
         "testsrc2=size=1920x1080:rate=25:duration=6,noise=alls=4:allf=t"},
        {"prores_hq_uhd.mov", "ProRes 422 HQ UHD",
         {"-c:v", "prores_aw", "-profile:v", "3", "-pix_fmt", "yuv422p10le"},
         "testsrc2=size=3840x2160:rate=25:duration=3,noise=alls=4:allf=t"},
        {"hevc_uhd.mp4", "HEVC UHD GOP 50",
         {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
          "keyint=50:min-keyint=50:open-gop=0:scenecut=0:log-level=error", "-pix_fmt", "yuv420p"},
         "testsrc2=size=3840x2160:rate=25:duration=4,noise=alls=4:allf=t"},
    };
    return list;
}

bool ensureClip(const Clip &clip, const QString &path)
{
    return benchclips::ensureClip(clip.name, clip.source, clip.encode, path);
}

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Min-max over repetitions of one statistic.
struct Spread {
    double lo = 1e300;
    double hi = -1e300;
    std::vector<double> all;
    void add(double value)
    {
        lo = std::min(lo, value);
        hi = std::max(hi, value);
        all.push_back(value);
    }
    double mid() const { return median(all); }
};

QString withNoise(const Spread &spread, double scale, int decimals)
{
    return QStringLiteral("%1 (%2-%3)")
        .arg(spread.mid() * scale, 0, 'f', decimals)
        .arg(spread.lo * scale, 0, 'f', decimals)
        .arg(spread.hi * scale, 0, 'f', decimals);
}

struct MediaFacts {
    double fps = 0;
    int64_t totalFrames = 0;
};

// --- the engine, driven on this thread as the player drives it on its engine thread -----

class EngineDriver
{
public:
    bool open(const QString &path, MediaFacts &facts)
    {
        engine.init();
        bool ok = false;
        QObject::connect(&engine, &VideoEngine::fileOpened, &engine,
                         [&](bool success, const QVariantMap &info, const QString &) {
                             ok = success;
                             facts.fps = info.value(QStringLiteral("fps")).toDouble();
                             facts.totalFrames = info.value(QStringLiteral("totalFrames")).toLongLong();
                         });
        QObject::connect(&engine, &VideoEngine::frameReady, &engine,
                         [this](const QVideoFrame &frame, int64_t number) {
                             lastValid = frame.isValid();
                             lastNumber = number;
                         });
        engine.openFile(path);
        return ok;
    }
    VideoEngine engine;
    bool lastValid = false;
    int64_t lastNumber = -1;
};

// --- the floor: seek and decode to the target, nothing else ------------------------------

class FloorDecoder
{
public:
    bool open(const QString &path)
    {
        if (av::openInput(format, path.toUtf8().constData()) < 0 || avformat_find_stream_info(format.get(), nullptr) < 0)
            return false;
        const AVCodec *codec = nullptr;
        stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (stream < 0 || !codec)
            return false;
        decoder.reset(avcodec_alloc_context3(codec));
        if (!decoder || avcodec_parameters_to_context(decoder.get(), format->streams[stream]->codecpar) < 0)
            return false;
        // The engine's settings, so that the comparison is about the work, not the threads.
        decoder->thread_count = 0;
        decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        return avcodec_open2(decoder.get(), codec, nullptr) >= 0;
    }

    // Returns the number of the frame reached, -1 on failure.
    int64_t decodeTo(int64_t target, double fps)
    {
        const AVStream *st = format->streams[stream];
        const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        const int64_t ts = start + int64_t(std::llround(double(target) / fps / av_q2d(st->time_base)));
        av_seek_frame(format.get(), stream, ts, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(decoder.get());
        av::PacketPtr packet = av::makePacket();
        av::FramePtr frame = av::makeFrame();
        bool draining = false;
        for (;;) {
            if (!draining) {
                if (av_read_frame(format.get(), packet.get()) < 0) {
                    draining = true;
                    avcodec_send_packet(decoder.get(), nullptr);
                } else {
                    if (packet->stream_index == stream)
                        avcodec_send_packet(decoder.get(), packet.get());
                    av_packet_unref(packet.get());
                }
            }
            int status = 0;
            while ((status = avcodec_receive_frame(decoder.get(), frame.get())) >= 0) {
                const int64_t number = int64_t(
                    std::floor(double(frame->best_effort_timestamp - start) * av_q2d(st->time_base) * fps + 0.01));
                av_frame_unref(frame.get());
                if (number >= target)
                    return number;
            }
            if (draining && status == AVERROR_EOF)
                return -1;
        }
    }

    av::FormatContextPtr format;
    av::CodecContextPtr decoder;
    int stream = -1;
};

// --- the ffmpeg command line ----------------------------------------------------------

double timeFfmpeg(const QStringList &arguments)
{
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(QStringLiteral("ffmpeg"), QStringList{"-hide_banner", "-loglevel", "error", "-nostdin"} + arguments);
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return -1;
    return seconds(timer);
}

struct RandomResult {
    Spread engineMedian, engineMax, ffmpegMedian, ffmpegMax, floorMedian, floorMax;
    Spread ratioFfmpeg, ratioFloor; // per repetition: engine median / other median
    int64_t reseeks = 0;
    int wrongFrames = 0;
};

struct SequentialResult {
    Spread engineFps, ffmpegFps, ratio;
    int64_t frames = 0;
};

std::vector<int64_t> randomTargets(int64_t totalFrames, int count)
{
    std::mt19937 generator(20240611u);
    std::uniform_int_distribution<int64_t> pick(0, std::max<int64_t>(totalFrames - 1, 0));
    std::vector<int64_t> targets;
    for (int i = 0; i < count; ++i)
        targets.push_back(pick(generator));
    return targets;
}

RandomResult benchRandomAccess(const QString &path, int repeat, int targetCount)
{
    RandomResult result;
    EngineDriver driver;
    MediaFacts facts;
    FloorDecoder floorDecoder;
    if (!driver.open(path, facts) || !floorDecoder.open(path))
        return result;
    const std::vector<int64_t> targets = randomTargets(facts.totalFrames, targetCount);

    for (int rep = 0; rep < repeat; ++rep) {
        std::vector<double> engineTimes, ffmpegTimes, floorTimes;
        for (int64_t target : targets) {
            QElapsedTimer timer;
            timer.start();
            driver.engine.requestFrame(target, 0);
            engineTimes.push_back(seconds(timer));
            if (!driver.lastValid || driver.lastNumber != target)
                ++result.wrongFrames;

            timer.restart();
            floorDecoder.decodeTo(target, facts.fps);
            floorTimes.push_back(seconds(timer));

            const QString at = QString::number(double(target) / facts.fps, 'f', 6);
            ffmpegTimes.push_back(timeFfmpeg({"-ss", at, "-i", path, "-map", "0:v:0", "-frames:v", "1", "-f", "null", "-"}));
        }
        result.engineMedian.add(median(engineTimes));
        result.engineMax.add(*std::max_element(engineTimes.begin(), engineTimes.end()));
        result.floorMedian.add(median(floorTimes));
        result.floorMax.add(*std::max_element(floorTimes.begin(), floorTimes.end()));
        result.ffmpegMedian.add(median(ffmpegTimes));
        result.ffmpegMax.add(*std::max_element(ffmpegTimes.begin(), ffmpegTimes.end()));
        result.ratioFfmpeg.add(median(engineTimes) / median(ffmpegTimes));
        result.ratioFloor.add(median(engineTimes) / median(floorTimes));
    }
    result.reseeks = driver.engine.decodeCounters().reseeks;
    return result;
}

SequentialResult benchSequential(const QString &path, int repeat)
{
    SequentialResult result;
    for (int rep = 0; rep < repeat; ++rep) {
        EngineDriver driver;
        MediaFacts facts;
        if (!driver.open(path, facts))
            return result;
        QElapsedTimer timer;
        timer.start();
        driver.engine.requestFrame(0, 0);
        int64_t frames = driver.lastValid ? 1 : 0;
        for (;;) {
            driver.engine.requestNextFrameAtOrAfter(driver.lastNumber + 1, 0);
            if (!driver.lastValid)
                break;
            ++frames;
        }
        const double engineSec = seconds(timer);
        result.frames = frames;

        const double ffmpegSec = timeFfmpeg({"-i", path, "-map", "0:v:0", "-f", "null", "-"});
        const double engineFps = double(frames) / engineSec;
        const double ffmpegFps = ffmpegSec > 0 ? double(frames) / ffmpegSec : 0;
        result.engineFps.add(engineFps);
        result.ffmpegFps.add(ffmpegFps);
        result.ratio.add(ffmpegFps > 0 ? engineFps / ffmpegFps : 0);
    }
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    registerMetaTypes();
    av_log_set_level(AV_LOG_ERROR);
    qSetMessagePattern(QStringLiteral("%{if-warning}%{message}%{endif}%{if-critical}%{message}%{endif}"));

    int repeat = 3;
    int targetCount = 30;
    QString only;
    const QStringList arguments = app.arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--repeat") && i + 1 < arguments.size())
            repeat = std::max(1, arguments[++i].toInt());
        else if (arguments[i] == QLatin1String("--targets") && i + 1 < arguments.size())
            targetCount = std::max(1, arguments[++i].toInt());
        else if (arguments[i] == QLatin1String("--only") && i + 1 < arguments.size())
            only = arguments[++i];
    }

    const QString dir = benchclips::mediaDir();
    QDir().mkpath(dir);
    QList<std::pair<Clip, QString>> selected;
    for (const Clip &clip : clips()) {
        if (!only.isEmpty() && !QString::fromLatin1(clip.name).contains(only))
            continue;
        const QString path = QDir(dir).filePath(QString::fromLatin1(clip.name));
        if (!ensureClip(clip, path)) {
            std::fprintf(stderr, "decode_bench: could not generate %s\n", clip.name);
            return 1;
        }
        selected.append({clip, path});
    }

    std::printf("\nRandom access: %d pseudo-random targets per clip, %d repetitions; median and max latency in ms,\n"
                "each as median over repetitions (min-max). Ratios: engine median / other median.\n\n",
                targetCount, repeat);
    std::printf("%-22s %-20s %-20s %-20s %-20s %-18s %-18s %s\n", "clip", "engine median", "engine max",
                "ffmpeg -ss median", "floor median", "engine/ffmpeg", "engine/floor", "re-seeks");
    bool failed = false;
    for (const auto &[clip, path] : selected) {
        const RandomResult r = benchRandomAccess(path, repeat, targetCount);
        std::printf("%-22s %-20s %-20s %-20s %-20s %-18s %-18s %lld%s\n", clip.label,
                    qPrintable(withNoise(r.engineMedian, 1000, 1)), qPrintable(withNoise(r.engineMax, 1000, 1)),
                    qPrintable(withNoise(r.ffmpegMedian, 1000, 1)), qPrintable(withNoise(r.floorMedian, 1000, 1)),
                    qPrintable(withNoise(r.ratioFfmpeg, 1, 2)), qPrintable(withNoise(r.ratioFloor, 1, 2)),
                    static_cast<long long>(r.reseeks),
                    r.wrongFrames ? qPrintable(QStringLiteral("  WRONG FRAMES: %1").arg(r.wrongFrames)) : "");
        std::fflush(stdout);
        failed = failed || r.wrongFrames > 0;
    }

    std::printf("\nSequential: frames/s of requestNextFrameAtOrAfter with display conversion vs ffmpeg -f null decode-only,\n"
                "%d repetitions, median (min-max).\n\n", repeat);
    std::printf("%-22s %-8s %-22s %-22s %s\n", "clip", "frames", "engine fps", "ffmpeg fps", "engine/ffmpeg");
    for (const auto &[clip, path] : selected) {
        const SequentialResult r = benchSequential(path, repeat);
        std::printf("%-22s %-8lld %-22s %-22s %s\n", clip.label, static_cast<long long>(r.frames),
                    qPrintable(withNoise(r.engineFps, 1, 1)), qPrintable(withNoise(r.ffmpegFps, 1, 1)),
                    qPrintable(withNoise(r.ratio, 1, 2)));
        std::fflush(stdout);
    }
    return failed ? 1 : 0;
}
