// Forward 1x playback through the whole player (window, engine thread, playback
// controller, its timer and the audio sink on the default device): for each clip, ten
// seconds of playback, then the frames shown against the frames due, the skipped frames,
// how far each picture was from the audio the device was playing at that moment, and
// what the default sink's monitor heard: seconds of tone and the longest gap in it.
//
// Each clip plays once per QC mode, the analysis of the same file running in the window's
// background: "off" (no analysis: the reference), "paused" (the player's own way: the
// analysis waits while playing), "idle" (it runs on, on a thread at idle priority) and
// "normal" (it runs on at normal priority); ORVEL_BENCH_QC picks the modes
// (comma-separated, default all four). The analysed rows print their pictures as a
// ratio to the reference row and how far the analysis got meanwhile.
//
// Clips are made once with the ffmpeg CLI into build/bench-media and reused.
// Usage: playback_bench [SECONDS [CLIP]] (default 10 s, every clip; CLIP picks clips whose
// file name contains it).

#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "ui/mainwindow.h"
#include "ui/qcsession.h"

#include <QApplication>
#include <QAudioSink>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

struct Clip
{
    const char *name;
    const char *label;
    QStringList encode; // ffmpeg arguments between the inputs and the output
    QString size;
};

QString benchMediaDir()
{
    const QByteArray env = qgetenv("ORVEL_BENCH_MEDIA_DIR");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../bench-media"));
}

// Makes the clip unless it exists; 'seconds' of testsrc2 at 25 fps with a 1 kHz / 400 Hz
// stereo tone.
bool ensureClip(const Clip &clip, const QString &dir, int seconds)
{
    const QString path = QDir(dir).filePath(QString::fromLatin1(clip.name));
    if (QFileInfo(path).size() > 0)
        return true;
    QDir().mkpath(dir);
    const QString partial = path + QStringLiteral(".partial") + QFileInfo(path).suffix().prepend('.');
    std::printf("making %s ...\n", clip.name);
    std::fflush(stdout);
    QStringList args{"-nostdin", "-v", "error", "-y",
                     "-f", "lavfi", "-i", QStringLiteral("testsrc2=s=%1:r=25:d=%2").arg(clip.size).arg(seconds),
                     "-f", "lavfi", "-i",
                     QStringLiteral("aevalsrc=0.1*sin(2*PI*1000*t)|0.1*sin(2*PI*400*t):s=48000:c=stereo:d=%1").arg(seconds)};
    args << clip.encode << "-shortest" << partial;
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedChannels);
    ffmpeg.start(QStringLiteral("ffmpeg"), args);
    if (!ffmpeg.waitForFinished(-1) || ffmpeg.exitCode() != 0) {
        QFile::remove(partial);
        return false;
    }
    return QFile::rename(partial, path);
}

// A silent low-latency stream keeps an idle null sink from rendering in its long
// idle blocks (which delay a new stream's start by up to two seconds).
class SinkKeeper
{
public:
    SinkKeeper()
    {
        m_process.setStandardInputFile(QStringLiteral("/dev/zero"));
        m_process.start(QStringLiteral("pacat"), {"--latency-msec=40", "--format=s16le", "--rate=48000",
                                                  "--channels=2", "--client-name=orvel-bench-keepalive"});
        if (m_process.waitForStarted(3000))
            QThread::msleep(2500);
    }
    ~SinkKeeper()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
    }

private:
    QProcess m_process;
};

// Records the default sink's monitor (48 kHz s16le stereo) while it lives.
class MonitorRecorder
{
public:
    MonitorRecorder()
    {
        m_process.start(QStringLiteral("parec"), {"--device=@DEFAULT_MONITOR@", "--raw", "--format=s16le",
                                                   "--rate=48000", "--channels=2", "--latency-msec=20"});
        if (!m_process.waitForStarted(3000))
            return;
        // The monitor of an idle sink starts late; what plays before would be missing.
        QElapsedTimer waited;
        waited.start();
        while (m_process.bytesAvailable() == 0 && waited.elapsed() < 5000)
            m_process.waitForReadyRead(50);
        m_ok = m_process.bytesAvailable() > 0;
    }
    bool ok() const { return m_ok; }
    QByteArray stop()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
        return m_process.readAllStandardOutput();
    }

private:
    QProcess m_process;
    bool m_ok = false;
};

struct Heard
{
    double seconds = 0.0;  // from the first to the last audible sample of the left side
    double longestGapMs = 0.0;
    double longestGapAtSec = 0.0; // where it ends, from the first audible sample
};

// The left side carries a 1 kHz tone at 0.1: near-silent runs longer than a few samples
// inside the audible part are gaps in the sound (an underrun, audio cut to catch up).
Heard listen(const QByteArray &stereo)
{
    Heard heard;
    const qsizetype frames = stereo.size() / 4;
    const auto left = [&](qsizetype i) { return std::abs(qFromLittleEndian<qint16>(stereo.constData() + 4 * i)) / 32768.0; };
    qsizetype first = -1;
    qsizetype last = -1;
    for (qsizetype i = 0; i < frames; ++i) {
        if (left(i) > 0.01) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    if (first < 0)
        return heard;
    heard.seconds = double(last - first + 1) / 48000.0;
    qsizetype run = 0;
    qsizetype longest = 0;
    for (qsizetype i = first; i <= last; ++i) {
        run = left(i) < 0.005 ? run + 1 : 0;
        if (run > longest) {
            longest = run;
            heard.longestGapAtSec = double(i - first) / 48000.0;
        }
    }
    heard.longestGapMs = longest * 1000.0 / 48000.0;
    return heard;
}

struct Sample
{
    int64_t frame;
    double wallMs;
    int64_t playedUSecs; // the audio clock; -1 while the wall clock stands in
};

struct Result
{
    bool ok = false;
    QString error;
    double fps = 0.0;
    int64_t due = 0;
    int64_t shown = 0;
    int64_t skipped = 0;
    int jumps = 0;
    int64_t largestJump = 0;
    bool audio = false;
    double offsetMedianMs = 0.0;
    double offsetMaxMs = 0.0;
    double offsetSignedMedianMs = 0.0;
    int offsetSamples = 0;
    int64_t skippedAudioMs = 0;
    bool recorded = false;
    Heard heard;
    int qcProgressAtStart = -1; // -1: no analysis
    int qcProgressAtEnd = -1;
};

enum class QcMode { Off, Paused, Idle, Normal };
constexpr QcMode kQcModes[] = {QcMode::Off, QcMode::Paused, QcMode::Idle, QcMode::Normal};

const char *qcModeName(QcMode mode)
{
    switch (mode) {
    case QcMode::Off:
        return "off";
    case QcMode::Paused:
        return "paused";
    case QcMode::Idle:
        return "idle";
    case QcMode::Normal:
        return "normal";
    }
    return "?";
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (done())
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return done();
}

void idle(int ms)
{
    waitFor([] { return false; }, ms);
}

Result run(const QString &path, int seconds, QcMode qc)
{
    Result result;
    MainWindow window;
    window.show();
    auto *state = window.findChild<ApplicationState *>();
    auto *controller = window.findChild<PlaybackController *>();
    auto *session = window.findChild<QcSession *>();
    session->setAnalyseOnOpen(qc != QcMode::Off);
    session->setPauseDuringPlayback(qc == QcMode::Paused);
    session->setPriority(qc == QcMode::Idle ? QThread::IdlePriority : QThread::NormalPriority);
    window.openMediaFile(path);
    if (!waitFor([&] { return !state->property("mediaProperties").toMap().isEmpty(); }, 60000)) {
        result.error = QStringLiteral("not opened");
        return result;
    }
    // The first picture, then a moment for the engine to settle.
    waitFor([&] { return !controller->isAwaitingFrame(); }, 20000);
    idle(500);

    result.fps = state->fps();
    QAudioSink *sink = window.findChild<QAudioSink *>();
    result.audio = sink != nullptr;

    std::vector<Sample> samples;
    QElapsedTimer wall;
    QObject::connect(state, &ApplicationState::currentFrameNumberChanged, &window, [&](int64_t n) {
        // The audio clock: the device's played time, counted from the run's first
        // picture, which brings the first sound.
        const double audio = controller->audioClockSeconds();
        samples.push_back({n, double(wall.nsecsElapsed()) / 1e6, audio < 0 ? -1 : int64_t(audio * 1e6)});
    });
    const int64_t startFrame = state->currentFrameNumber();
    MonitorRecorder recorder;
    if (session->state() == QcSession::State::Running)
        result.qcProgressAtStart = session->progress();
    wall.start();
    controller->setPlaybackState(Forward);
    idle(seconds * 1000);
    if (result.qcProgressAtStart >= 0)
        result.qcProgressAtEnd = session->progress();
    const int64_t lastFrame = state->currentFrameNumber();
    result.skippedAudioMs = controller->skippedAudioUSecs() / 1000;
    controller->setPlaybackState(Stopped);
    // The monitor hands over what the sink rendered a little later.
    idle(1500);
    result.recorded = recorder.ok();
    if (result.recorded)
        result.heard = listen(recorder.stop());

    if (qEnvironmentVariableIsSet("ORVEL_BENCH_TRACE")) {
        for (const Sample &s : samples)
            std::printf("  frame %6lld  wall %8.1f ms  audio %8.1f ms\n", (long long)s.frame, s.wallMs,
                        s.playedUSecs / 1000.0);
    }
    result.due = int64_t(std::floor(seconds * result.fps));
    result.shown = int64_t(samples.size());
    int64_t previous = startFrame;
    for (const Sample &s : samples) {
        const int64_t step = s.frame - previous;
        if (step > 1) {
            ++result.jumps;
            result.skipped += step - 1;
            result.largestJump = std::max(result.largestJump, step);
        }
        previous = s.frame;
    }
    (void)lastFrame;

    // Offset of the picture from the audio clock when it went on screen: frame time minus
    // audio time. A frame is on time while the audio plays its period, so an exact player
    // reads between -1 frame period and 0.
    std::vector<double> absolute;
    std::vector<double> signedOffsets;
    for (const Sample &s : samples) {
        if (s.playedUSecs <= 0)
            continue; // the device has not started yet
        const double pictureMs = (s.frame - controller->playStartFrame()) * 1000.0 / result.fps;
        const double audioMs = s.playedUSecs / 1000.0;
        const double offset = pictureMs - audioMs;
        signedOffsets.push_back(offset);
        // Distance from the frame's own period [picture, picture + 1 frame).
        const double period = 1000.0 / result.fps;
        const double outside = offset > 0 ? offset : std::max(0.0, -offset - period);
        absolute.push_back(outside);
    }
    result.offsetSamples = int(absolute.size());
    result.offsetMedianMs = median(absolute);
    result.offsetMaxMs = absolute.empty() ? 0.0 : *std::max_element(absolute.begin(), absolute.end());
    result.offsetSignedMedianMs = median(signedOffsets);
    result.ok = true;
    return result;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readAll()).section(' ', 0, 2);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // Settings of its own: the QC switch set here must not reach the player's.
    QCoreApplication::setOrganizationName(QStringLiteral("orvel-bench"));
    QList<QcMode> modes;
    for (const QString &name : qEnvironmentVariable("ORVEL_BENCH_QC", QStringLiteral("off,paused,idle,normal")).split(',')) {
        for (QcMode mode : kQcModes)
            if (name.trimmed() == QLatin1String(qcModeName(mode)))
                modes.append(mode);
    }
    const int seconds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 10;
    const int clipSeconds = seconds + 2;
    const QString only = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();

    const QList<Clip> clips = {
        {"h264_1080p25.mov", "H.264 1080p25", {"-c:v", "libx264", "-preset", "veryfast", "-g", "50", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"}, "1920x1080"},
        {"prores_hq_1080p25.mov", "ProRes 422 HQ 1080p25", {"-c:v", "prores_ks", "-profile:v", "3", "-pix_fmt", "yuv422p10le", "-c:a", "pcm_s24le"}, "1920x1080"},
        {"prores_hq_uhd25.mov", "ProRes 422 HQ UHD 25p", {"-c:v", "prores_ks", "-profile:v", "3", "-pix_fmt", "yuv422p10le", "-c:a", "pcm_s24le"}, "3840x2160"},
        // Film grain makes every frame dear to decode: more than two cores can do at 25 fps.
        {"prores_hq_uhd25_grain.mov", "ProRes HQ UHD 25p grain", {"-vf", "noise=alls=8:allf=t+u", "-c:v", "prores_aw", "-profile:v", "3", "-pix_fmt", "yuv422p10le", "-c:a", "pcm_s24le"}, "3840x2160"},
        {"hevc_uhd25.mp4", "HEVC UHD 25p", {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "192k"}, "3840x2160"},
    };

    const QString dir = benchMediaDir();
    SinkKeeper keeper;
    std::printf("playback_bench: %d s of forward 1x per clip, load average %s\n", seconds, qPrintable(loadAverage()));
    std::printf("%-24s %-6s %6s %6s %6s %6s %8s %10s %10s %10s %6s %10s %7s %8s %8s %9s\n", "clip", "qc", "due", "shown",
                "skip", "jumps", "maxjump", "off.med", "off.max", "signed.med", "audio", "audio.drop", "heard",
                "max.gap", "vs.off", "qc.done");
    bool failed = false;
    for (const Clip &clip : clips) {
        if (!only.isEmpty() && !QString::fromLatin1(clip.name).contains(only))
            continue;
        if (!ensureClip(clip, dir, clipSeconds)) {
            std::printf("%-24s could not be made\n", clip.label);
            failed = true;
            continue;
        }
        int64_t reference = -1; // pictures shown without analysis, this clip
        for (QcMode mode : modes) {
            const Result r = run(QDir(dir).filePath(QString::fromLatin1(clip.name)), seconds, mode);
            if (!r.ok) {
                std::printf("%-24s %-6s %s\n", clip.label, qcModeName(mode), qPrintable(r.error));
                failed = true;
                continue;
            }
            if (mode == QcMode::Off)
                reference = r.shown;
            std::printf("%-24s %-6s %6lld %6lld %6lld %6d %8lld %8.1fms %8.1fms %8.1fms %6s %8lldms", clip.label,
                        qcModeName(mode), (long long)r.due, (long long)r.shown, (long long)r.skipped, r.jumps,
                        (long long)r.largestJump, r.offsetMedianMs, r.offsetMaxMs, r.offsetSignedMedianMs,
                        r.audio ? "yes" : "no", (long long)r.skippedAudioMs);
            if (r.recorded)
                std::printf(" %6.2fs %6.1fms", r.heard.seconds, r.heard.longestGapMs);
            else
                std::printf(" %7s %8s", "-", "-");
            if (mode != QcMode::Off && reference > 0)
                std::printf(" %8.3f", double(r.shown) / double(reference));
            else
                std::printf(" %8s", "-");
            if (r.qcProgressAtStart >= 0)
                std::printf(" %3d→%3d%%\n", r.qcProgressAtStart, r.qcProgressAtEnd);
            else
                std::printf(" %9s\n", "-");
            std::fflush(stdout);
        }
    }
    std::printf("off.med / off.max: how far a picture was outside its own frame period on the audio clock (the\n"
                "device's played time) when it went on screen (0 = exact); signed.med: picture minus audio time;\n"
                "audio.drop: audio skipped to catch up after the output stalled; heard: seconds of tone on the\n"
                "sink's monitor (from its first to its last audible sample); max.gap: the longest silence inside it;\n"
                "vs.off: pictures shown against the same clip without analysis; qc.done: the analysis's progress\n"
                "when playback started and when it stopped.\n");
    return failed ? 1 : 0;
}
