// What one compared pair costs beyond decoding: our PSNR and SSIM on the decoded planes
// (analysis/framecompare) against FFmpeg's own psnr and ssim filters run in-process through
// libavfilter on the very same decoded frames, in the same run. Frames are decoded once into
// memory first, so only the metric is timed. Prints ms per 1080p pair (median of ROUNDS
// passes over all pairs) and the ratios ours/filter; also the largest difference between the
// two results, so a fast but wrong number shows. Times are CPU time of one thread (the
// machine may be shared).
//
// Usage: compare_metrics_bench [--frames N] [--rounds R]
// Clips are generated once into $ORVEL_BENCH_MEDIA_DIR (default: <build>/bench-media).

#include "analysis/framecompare.h"
#include "av/ffmpeg.h"
#include "benchclips.h"
#include "engine/videoengine.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

const char *const kSource = "testsrc2=size=1920x1080:rate=25:duration=4,noise=alls=4:allf=t";

std::vector<av::FramePtr> decodeAll(const QString &path, int limit)
{
    std::vector<av::FramePtr> frames;
    VideoEngine engine;
    engine.setFrameCacheBound(0);
    engine.init();
    engine.openFile(path);
    if (!engine.mediaInfo().isOpen())
        return frames;
    engine.stopAudioDecoding();
    while (int(frames.size()) < limit) {
        VideoEngine::SequentialPicture picture = engine.readNextPicture();
        if (!picture.frame)
            break;
        frames.push_back(std::move(picture.frame));
    }
    return frames;
}

std::string loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return "unknown";
    return file.readAll().split(' ').mid(0, 3).join(' ').toStdString();
}

// CPU time of the whole process: on a shared machine wall time measures the neighbours.
// The decoders are gone by the time anything is timed, and the filter graph runs on one
// thread, so this is the metric's own work.
double cpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// FFmpeg's filter named 'name' over pairs of frames: buffer, buffer -> filter -> buffersink.
class FilterMetric
{
public:
    FilterMetric(const char *name, const AVFrame *sample)
    {
        m_graph.reset(avfilter_graph_alloc());
        if (m_graph)
            m_graph->nb_threads = 1; // ours runs on one thread too
        const QByteArray args = QStringLiteral("video_size=%1x%2:pix_fmt=%3:time_base=1/25:pixel_aspect=1/1")
                                    .arg(sample->width)
                                    .arg(sample->height)
                                    .arg(sample->format)
                                    .toLatin1();
        AVFilterContext *metric = nullptr;
        m_ok = m_graph
            && avfilter_graph_create_filter(&m_a, avfilter_get_by_name("buffer"), "a", args.constData(), nullptr,
                                            m_graph.get()) >= 0
            && avfilter_graph_create_filter(&m_b, avfilter_get_by_name("buffer"), "b", args.constData(), nullptr,
                                            m_graph.get()) >= 0
            && avfilter_graph_create_filter(&metric, avfilter_get_by_name(name), "metric", nullptr, nullptr,
                                            m_graph.get()) >= 0
            && avfilter_graph_create_filter(&m_sink, avfilter_get_by_name("buffersink"), "sink", nullptr, nullptr,
                                            m_graph.get()) >= 0
            && avfilter_link(m_a, 0, metric, 0) >= 0 && avfilter_link(m_b, 0, metric, 1) >= 0
            && avfilter_link(metric, 0, m_sink, 0) >= 0 && avfilter_graph_config(m_graph.get(), nullptr) >= 0;
    }
    bool ok() const { return m_ok; }

    // Pushes the pairs; 'key' of each output frame's metadata goes to values.
    bool run(const std::vector<av::FramePtr> &a, const std::vector<av::FramePtr> &b, const char *key,
             std::vector<double> &values)
    {
        av::FramePtr out = av::makeFrame();
        for (size_t i = 0; i < a.size(); ++i) {
            av::FramePtr fa = av::cloneFrame(a[i].get());
            av::FramePtr fb = av::cloneFrame(b[i].get());
            fa->pts = fb->pts = int64_t(i);
            if (av_buffersrc_add_frame(m_a, fa.get()) < 0 || av_buffersrc_add_frame(m_b, fb.get()) < 0)
                return false;
            drain(out.get(), key, values);
        }
        if (av_buffersrc_add_frame(m_a, nullptr) < 0 || av_buffersrc_add_frame(m_b, nullptr) < 0)
            return false;
        drain(out.get(), key, values);
        return true;
    }

private:
    void drain(AVFrame *out, const char *key, std::vector<double> &values)
    {
        while (av_buffersink_get_frame(m_sink, out) >= 0) {
            const AVDictionaryEntry *entry = av_dict_get(out->metadata, key, nullptr, 0);
            values.push_back(entry ? std::atof(entry->value) : NAN);
            av_frame_unref(out);
        }
    }

    av::FilterGraphPtr m_graph;
    AVFilterContext *m_a = nullptr;
    AVFilterContext *m_b = nullptr;
    AVFilterContext *m_sink = nullptr;
    bool m_ok = false;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    av_log_set_level(AV_LOG_ERROR);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    int frames = 50;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--frames") == 0)
            frames = std::max(2, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    const QString dir = benchclips::mediaDir();
    QDir().mkpath(dir);
    const QString pathA = dir + QStringLiteral("/compare_a_1080p.mp4");
    const QString pathB = dir + QStringLiteral("/compare_b_1080p.mp4");
    if (!benchclips::ensureClip("compare_a_1080p.mp4", kSource,
                                {"-c:v", "libx264", "-preset", "veryfast", "-crf", "16", "-pix_fmt", "yuv420p"}, pathA)
        || !benchclips::ensureClip("compare_b_1080p.mp4", kSource,
                                   {"-c:v", "libx264", "-preset", "veryfast", "-crf", "30", "-pix_fmt", "yuv420p"},
                                   pathB))
        return 1;
    const std::vector<av::FramePtr> a = decodeAll(pathA, frames);
    const std::vector<av::FramePtr> b = decodeAll(pathB, frames);
    const size_t pairs = std::min(a.size(), b.size());
    if (pairs < 2) {
        std::fprintf(stderr, "compare_metrics_bench: could not decode the clips\n");
        return 1;
    }
    // Separate buffers with the same pictures: the identical case compares every byte.
    std::vector<av::FramePtr> sameA;
    for (size_t i = 0; i < pairs; ++i) {
        sameA.push_back(av::makeFrame());
        sameA.back()->format = a[i]->format;
        sameA.back()->width = a[i]->width;
        sameA.back()->height = a[i]->height;
        if (av_frame_get_buffer(sameA.back().get(), 0) < 0 || av_frame_copy(sameA.back().get(), a[i].get()) < 0)
            return 1;
    }
    std::printf("compare metrics: %zu pairs of 1080p 4:2:0 8-bit (every pair differs), %d rounds, medians of CPU ms; "
                "load average %s\n",
                pairs, rounds, loadAverage().c_str());

    // Ours, per configuration: ms per pair, and the values for the cross-check.
    std::vector<double> ourPsnrY(pairs), ourSsimY(pairs);
    const auto ours = [&](bool psnr, bool ssim, const std::vector<av::FramePtr> &second) {
        std::vector<double> perPair;
        cmp::FrameComparer comparer(psnr, ssim);
        for (int r = 0; r < rounds; ++r) {
            const double start = cpuMs();
            for (size_t i = 0; i < pairs; ++i) {
                cmp::PairResult result;
                comparer.compare(a[i].get(), second[i].get(), result);
                if (psnr && ssim && &second == &b) {
                    ourPsnrY[i] = result.psnr[0].value_or(INFINITY);
                    ourSsimY[i] = result.ssimY.value_or(NAN);
                }
            }
            perPair.push_back((cpuMs() - start) / double(pairs));
        }
        return median(perPair);
    };
    const double both = ours(true, true, b);
    const double psnrOnly = ours(true, false, b);
    const double ssimOnly = ours(false, true, b);
    const double identical = ours(true, true, sameA);

    const auto filter = [&](const char *name, const char *key, std::vector<double> &values) {
        std::vector<double> perPair;
        for (int r = 0; r < rounds; ++r) {
            FilterMetric metric(name, a[0].get());
            if (!metric.ok())
                return -1.0;
            values.clear();
            const double start = cpuMs();
            if (!metric.run(a, b, key, values))
                return -1.0;
            perPair.push_back((cpuMs() - start) / double(pairs));
        }
        return median(perPair);
    };
    std::vector<double> ffPsnrY, ffSsimY;
    const double ffPsnr = filter("psnr", "lavfi.psnr.psnr.y", ffPsnrY);
    const double ffSsim = filter("ssim", "lavfi.ssim.Y", ffSsimY);
    if (ffPsnr < 0 || ffSsim < 0) {
        std::fprintf(stderr, "compare_metrics_bench: the psnr or ssim filter could not be set up\n");
        return 1;
    }
    double psnrGap = 0.0, ssimGap = 0.0;
    for (size_t i = 0; i < std::min(pairs, ffPsnrY.size()); ++i)
        psnrGap = std::max(psnrGap, std::abs(ourPsnrY[i] - ffPsnrY[i]));
    for (size_t i = 0; i < std::min(pairs, ffSsimY.size()); ++i)
        ssimGap = std::max(ssimGap, std::abs(ourSsimY[i] - ffSsimY[i]));

    std::printf("  ms per pair: ours psnr+ssim %.2f  psnr only %.2f  ssim only %.2f  identical pair %.2f\n", both,
                psnrOnly, ssimOnly, identical);
    std::printf("  ms per pair: ffmpeg psnr filter %.2f  ssim filter %.2f  (both %.2f)\n", ffPsnr, ffSsim,
                ffPsnr + ffSsim);
    std::printf("  ratio ours/filter: psnr %.2f  ssim %.2f  psnr+ssim %.2f  identical pair %.2f\n", psnrOnly / ffPsnr,
                ssimOnly / ffSsim, both / (ffPsnr + ffSsim), identical / (ffPsnr + ffSsim));
    std::printf("  largest difference to the filters: PSNR Y %.4f dB over %zu pairs, SSIM Y %.2e over %zu pairs\n",
                psnrGap, ffPsnrY.size(), ssimGap, ffSsimY.size());
    return 0;
}
