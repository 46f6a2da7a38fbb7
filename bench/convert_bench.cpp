// Display conversion cost per frame (decoded frame -> the viewer's B,G,R,A picture) against
// ffmpeg's own decode+scale of the same frames.
//
// Usage: convert_bench [MEDIA_DIR] [FRAMES]
// MEDIA_DIR defaults to $ORVEL_TEST_MEDIA_DIR, then ./media. Prints milliseconds per frame
// and ratios; it never fails on speed.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTextStream>

#include <ctime>
#include <functional>

#include <vector>

#include "av/ffmpeg.h"
#include "engine/pixelconverter.h"

namespace {

QTextStream out(stdout);

struct Clip {
    std::vector<av::FramePtr> frames;
    ConversionSource source;
};

Clip decodeFrames(const QString &path, int count)
{
    Clip clip;
    av::FormatContextPtr format;
    if (av::openInput(format, path.toUtf8().constData()) < 0
        || avformat_find_stream_info(format.get(), nullptr) < 0)
        return clip;
    const AVCodec *decoder = nullptr;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0 || !decoder)
        return clip;
    av::CodecContextPtr codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), format->streams[index]->codecpar) < 0)
        return clip;
    codec->thread_count = 0;
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0)
        return clip;
    clip.source.codecId = codec->codec_id;
    clip.source.codecProfile = codec->profile;
    clip.source.rangeOverride = format->streams[index]->codecpar->color_range;

    av::PacketPtr packet = av::makePacket();
    bool draining = false;
    while (int(clip.frames.size()) < count) {
        av::FramePtr frame = av::makeFrame();
        const int got = avcodec_receive_frame(codec.get(), frame.get());
        if (got == 0) {
            clip.frames.push_back(std::move(frame));
            continue;
        }
        if (got != AVERROR(EAGAIN) || draining)
            break;
        if (av_read_frame(format.get(), packet.get()) < 0) {
            avcodec_send_packet(codec.get(), nullptr);
            draining = true;
            continue;
        }
        if (packet->stream_index == index)
            avcodec_send_packet(codec.get(), packet.get());
        av_packet_unref(packet.get());
    }
    return clip;
}

// Wall time of one ffmpeg run in milliseconds, or -1.
double ffmpegMs(const QStringList &args)
{
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start("ffmpeg", QStringList{"-nostdin", "-hide_banner", "-v", "error"} + args);
    if (!process.waitForFinished(600000) || process.exitCode() != 0)
        return -1;
    return double(timer.nsecsElapsed()) / 1e6;
}

// CPU time of the whole process (every thread) in milliseconds.
double processCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double bestOf(int runs, const std::function<double()> &measure)
{
    double best = -1;
    for (int i = 0; i < runs; ++i) {
        const double ms = measure();
        if (ms >= 0 && (best < 0 || ms < best))
            best = ms;
    }
    return best;
}

struct Case {
    const char *label;
    ConversionProfile profile;
    bool preview;
    QString ffmpegFilter; // the same work for ffmpeg's scaler; empty: nothing comparable
};

void benchClip(const QString &path, int frameCount, const QList<Case> &cases)
{
    const Clip clip = decodeFrames(path, frameCount);
    if (clip.frames.empty()) {
        out << "  cannot decode " << path << "\n";
        return;
    }
    const int n = int(clip.frames.size());
    const AVFrame *first = clip.frames.front().get();
    out << QDir(path).dirName() << ": " << n << " frames " << first->width << "x" << first->height
        << " " << av_get_pix_fmt_name(AVPixelFormat(first->format)) << "\n";

    const QStringList input = {"-threads", "0", "-i", path, "-frames:v", QString::number(n), "-an"};
    const double decodeMs = bestOf(3, [&] { return ffmpegMs(input + QStringList{"-f", "null", "-"}); });
    if (decodeMs > 0)
        out << QString("  ffmpeg decode only            %1 ms/frame\n").arg(decodeMs / n, 7, 'f', 2);

    for (const Case &c : cases) {
        PixelConverter converter;
        converter.setConversionProfile(c.profile);
        converter.toVideoFrame(first, clip.source, c.preview); // builds the context
        double cpuMs = -1;
        const double oursMs = bestOf(3, [&] {
            QElapsedTimer timer;
            const double cpuStart = processCpuMs();
            timer.start();
            for (const av::FramePtr &frame : clip.frames) {
                const QVideoFrame converted = converter.toVideoFrame(frame.get(), clip.source, c.preview);
                if (!converted.isValid())
                    return -1.0;
            }
            const double wall = double(timer.nsecsElapsed()) / 1e6;
            const double cpu = processCpuMs() - cpuStart;
            if (cpuMs < 0 || cpu < cpuMs)
                cpuMs = cpu;
            return wall;
        });
        if (oursMs < 0) {
            out << "  " << c.label << ": conversion failed\n";
            continue;
        }
        // CPU time (all threads) tells the cost on a machine others load; wall time the wait.
        QString line = QString("  %1 %2 ms/frame (cpu %3)")
                           .arg(QString(c.label).leftJustified(30))
                           .arg(oursMs / n, 7, 'f', 2)
                           .arg(cpuMs / n, 6, 'f', 2);
        if (!c.ffmpegFilter.isEmpty() && decodeMs > 0) {
            const double scaledMs = bestOf(3, [&] {
                return ffmpegMs(input + QStringList{"-filter_threads", "1", "-vf", c.ffmpegFilter, "-f", "null", "-"});
            });
            const double ffmpegScale = (scaledMs - decodeMs) / n;
            if (scaledMs > 0 && ffmpegScale > 0.01)
                line += QString("   ffmpeg scale %1 ms/frame   ratio %2")
                            .arg(ffmpegScale, 7, 'f', 2)
                            .arg(oursMs / n / ffmpegScale, 5, 'f', 2);
            else if (scaledMs > 0)
                line += "   ffmpeg scale below measurement noise";
        }
        if (decodeMs > 0)
            line += QString("   vs decode %1").arg(oursMs / decodeMs, 5, 'f', 2);
        out << line << "\n";
    }
    out.flush();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString mediaDir = args.value(1);
    if (mediaDir.isEmpty())
        mediaDir = qEnvironmentVariable("ORVEL_TEST_MEDIA_DIR", "media");
    const int frames = args.size() > 2 ? args.at(2).toInt() : 50;

    // ffmpeg's nearest equivalent: its scaler to B,G,R,A with full chroma interpolation.
    const QString toBgra = "scale=flags=bicubic+accurate_rnd+full_chroma_int,format=bgra";
    benchClip(QDir(mediaDir).filePath("h264_1080p25.mov"), frames,
              {{"standard (BGRA)", Standard, false, toBgra},
               {"channel isolation (BGRA)", ChannelIsolation, false, toBgra}});
    benchClip(QDir(mediaDir).filePath("prores_hq_pcm24.mov"), frames,
              {{"standard (BGRA)", Standard, false, toBgra},
               {"channel isolation (4:2:2 luma-guided)", ChannelIsolation, false, {}}});
    benchClip(QDir(mediaDir).filePath("uhd_h264.mp4"), std::min(frames, 10),
              {{"standard (BGRA)", Standard, false, toBgra}});
    benchClip(QDir(mediaDir).filePath("uhd_prores.mov"), std::min(frames, 10),
              {{"standard (BGRA)", Standard, false, toBgra},
               {"standard preview 1280x720", Standard, true,
                "scale=1280:720:flags=bilinear+accurate_rnd+full_chroma_int,format=bgra"},
               {"channel isolation (4:2:2 luma-guided)", ChannelIsolation, false, {}}});
    return 0;
}
