// Forward 1x playback through the whole player (window, engine thread, playback
// controller, its timer and the audio sink), on a PulseAudio server of its own whose only
// sink is a null sink that nothing else plays on: an idle output, as a desktop's is when
// play is pressed. For each clip: the file is opened, the first picture looked at for a
// moment, the sink's monitor recorded, then ten seconds of playback. Printed: the frames
// shown against the frames due, the skipped frames, how far each picture was from the
// sound as heard (the right side of every clip is silent for 10 ms at each whole second;
// the monitor tells when each of those marks was heard, the frame trace what was on
// screen then), how far it was from the audio clock (the device's played time), and what
// the monitor heard: seconds of tone and the longest gap in it.
//
// Clips are made once with the ffmpeg CLI into build/bench-media and reused.
// Usage: playback_bench [SECONDS [CLIP]] (default 10 s, every clip; CLIP picks clips whose
// file name contains it). ORVEL_BENCH_SINK_RATE=48000 sets the null sink's rate (default:
// the server's own); ORVEL_BENCH_TRACE=1 prints the frame trace.
//
// Each clip plays once per QC mode, the analysis of the same file running in the window's
// background: "off" (no analysis: the reference), "paused" (the player's own way: the
// analysis waits while playing), "idle" (it runs on, on a thread at idle priority) and
// "normal" (it runs on at normal priority); ORVEL_BENCH_QC picks the modes
// (comma-separated, default all four). The analysed rows print their pictures as a
// ratio to the reference row and how far the analysis got meanwhile.
//
// Then, the analysis off, once per scope view with the scope page shown and live scopes on
// (the scope follows the pictures played): ORVEL_BENCH_SCOPE picks the views
// (comma-separated from waveform, parade, vectorscope, histogram, grid; default waveform
// and grid, the grid being the dearest; "none" for no such rows). These rows print their
// pictures as a ratio to the reference row, the scopes drawn per second, and how many
// frames the scope on the page was behind the picture it stood for (the largest and the
// mean over every picture shown once the first scope had come).

#include "core/playersettings.h"
#include "state/applicationstate.h"
#include "state/openmedia.h"
#include "state/playbackcontroller.h"
#include "ui/mainwindow.h"
#include "ui/qcsession.h"
#include "ui/viewerpresentation.h"

#include <QApplication>
#include <QAudioSink>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

namespace {

// The marks: from each whole second k of the clip the right side is silent for
// kMarkSeconds x (1 + k mod 3), so a mark tells its second even where sound was lost.
constexpr double kMarkSeconds = 0.01;

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
// stereo tone, the 400 Hz side silent at the start of every second (the marks).
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
                     QStringLiteral("aevalsrc=0.1*sin(2*PI*1000*t)|0.1*sin(2*PI*400*t)*gte(t-floor(t)\\,%1*(1+mod(floor(t)\\,3))):"
                                    "s=48000:c=stereo:d=%2")
                         .arg(kMarkSeconds)
                         .arg(seconds)};
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

// A PulseAudio server of this run's own: one null sink and the native protocol on a
// private socket, nothing else loaded. Clients reach it through PULSE_SERVER, which is set
// before the first audio object exists. Ended by its handle.
class IdleSoundServer
{
public:
    bool start(const QString &sinkRate)
    {
        if (!m_dir.isValid())
            return false;
        QDir(m_dir.path()).mkpath(QStringLiteral("home"));
        QDir(m_dir.path()).mkpath(QStringLiteral("run"));
        QFile::setPermissions(m_dir.filePath(QStringLiteral("run")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath(QStringLiteral("run")));
        env.remove(QStringLiteral("PULSE_SERVER"));
        m_server.setProcessEnvironment(env);
        const QString socket = m_dir.filePath(QStringLiteral("native"));
        const QString sink = sinkRate.isEmpty() ? QStringLiteral("module-null-sink sink_name=bench_null")
                                                : QStringLiteral("module-null-sink sink_name=bench_null rate=%1").arg(sinkRate);
        m_server.start(QStringLiteral("pulseaudio"),
                       {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
                        "--log-target=stderr", "--log-level=error", QStringLiteral("--load=%1").arg(sink),
                        QStringLiteral("--load=module-native-protocol-unix auth-anonymous=1 socket=%1").arg(socket)});
        if (!m_server.waitForStarted(10000))
            return false;
        qputenv("PULSE_SERVER", QByteArray("unix:") + socket.toLocal8Bit());
        for (int i = 0; i < 100 && m_server.state() == QProcess::Running; ++i) {
            QProcess pactl;
            pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
            if (pactl.waitForFinished(5000) && pactl.exitCode() == 0)
                return true;
            QThread::msleep(100);
        }
        return false;
    }
    ~IdleSoundServer()
    {
        if (m_server.state() != QProcess::NotRunning) {
            m_server.kill();
            m_server.waitForFinished(3000);
        }
    }

private:
    QTemporaryDir m_dir;
    QProcess m_server;
};

// Records the default sink's monitor (48 kHz s16le stereo) while it lives, noting when each
// piece arrived on 'clock', so that each recorded sample can be given the time it was
// heard. Like a user's ear it does not wait for an idle sink: it connects, and 0.3 s later
// the run may start.
class MonitorRecorder
{
public:
    explicit MonitorRecorder(const QElapsedTimer &clock)
        : m_clock(clock)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            m_data.append(m_process.readAllStandardOutput());
            m_arrivals.push_back({m_data.size() / 4, double(m_clock.nsecsElapsed()) / 1e6});
        });
        m_process.start(QStringLiteral("parec"), {"--device=@DEFAULT_MONITOR@", "--raw", "--format=s16le",
                                                   "--rate=48000", "--channels=2", "--latency-msec=20"});
        m_ok = m_process.waitForStarted(3000);
    }
    bool ok() const { return m_ok; }
    QByteArray stop()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
        return m_data;
    }
    // Milliseconds on the clock at which recorded sample 'index' was heard: every piece
    // arrives at most a little after its last sample, never before, so the earliest
    // arrival relative to its sample count fixes the line (within the 20 ms the monitor
    // delivers at a time).
    double heardAtMs(qsizetype index) const
    {
        double origin = std::numeric_limits<double>::max();
        for (const Arrival &a : m_arrivals)
            origin = std::min(origin, a.ms - double(a.samples) * 1000.0 / 48000.0);
        return origin + double(index) * 1000.0 / 48000.0;
    }

private:
    struct Arrival
    {
        qsizetype samples; // recorded so far
        double ms;
    };
    const QElapsedTimer &m_clock;
    QProcess m_process;
    QByteArray m_data;
    std::vector<Arrival> m_arrivals;
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

struct Mark
{
    qsizetype index; // recorded sample where the silence begins
    int secondMod3;  // k mod 3 of the clip's second k it marks
};

// The right side's silences of 10, 20 or 30 ms (1 ms windows below a seventh of the tone's
// level), inside the sound of the left side.
std::vector<Mark> findMarks(const QByteArray &stereo)
{
    std::vector<Mark> marks;
    constexpr qsizetype window = 48;
    const qsizetype frames = stereo.size() / 4;
    const auto rms = [&](qsizetype first, int side) {
        double sum = 0.0;
        for (qsizetype i = first; i < first + window; ++i) {
            const double v = qFromLittleEndian<qint16>(stereo.constData() + 4 * i + 2 * side) / 32768.0;
            sum += v * v;
        }
        return std::sqrt(sum / window);
    };
    qsizetype runStart = -1;
    for (qsizetype w = 0; w + window <= frames; w += window) {
        const bool quietRight = rms(w, 1) < 0.01;
        const bool leftSounds = rms(w, 0) > 0.03;
        if (quietRight && leftSounds) {
            if (runStart < 0)
                runStart = w;
            continue;
        }
        if (runStart >= 0) {
            const double ms = double(w - runStart) * 1000.0 / 48000.0;
            const int units = int(std::lround(ms / (kMarkSeconds * 1000.0)));
            if (units >= 1 && units <= 3 && std::abs(ms - units * kMarkSeconds * 1000.0) <= 4.0)
                marks.push_back({runStart, units - 1});
            runStart = -1;
        }
    }
    return marks;
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
    // Against the sound as heard (the marks), likewise.
    double heardMedianMs = 0.0;
    double heardMaxMs = 0.0;
    double heardSignedMedianMs = 0.0;
    int heardMarks = 0;
    int64_t skippedAudioMs = 0;
    bool recorded = false;
    Heard heard;
    int qcProgressAtStart = -1; // -1: no analysis
    int qcProgressAtEnd = -1;
    double cpuSeconds = 0.0; // the whole process, user + system, while playing
    // With the scope page shown: scopes received while playing, and how many frames the
    // scope on the page was behind the picture on screen.
    int scopes = -1; // -1: picture page
    int64_t scopeAgeMax = 0;
    double scopeAgeMean = 0.0;
};

// A scope view for the scope page rows; -1 (none) plays on the picture page.
struct ScopeView
{
    const char *name;
    int kind;
};
constexpr ScopeView kScopeViews[] = {{"waveform", ScopeWaveform}, {"parade", ScopeParade},
                                     {"vectorscope", ScopeVectorscope}, {"histogram", ScopeHistogram},
                                     {"grid", ScopeGrid}};

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

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

// How far a picture at 'offsetMs' from the sound (picture time minus sound time) is
// outside its own frame period: a frame is on time while the sound plays its period, so
// an exact player reads between -1 frame period and 0, which counts as 0.
double outsidePeriod(double offsetMs, double fps)
{
    const double period = 1000.0 / fps;
    return offsetMs > 0 ? offsetMs : std::max(0.0, -offsetMs - period);
}

Result run(const QString &path, int seconds, QcMode qc, int scopeKind = -1)
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
    // The first picture, then a user's moment of looking at it.
    waitFor([&] { return !controller->isAwaitingFrame(); }, 20000);
    // The scope page, its first (still) scope drawn before playback starts.
    int64_t scopeFrame = -1;
    bool playing = false;
    std::vector<int64_t> scopeAges;
    if (scopeKind >= 0) {
        auto *media = window.findChild<OpenMedia *>();
        auto *presentation = window.findChild<ViewerPresentation *>();
        if (!media || !presentation || !presentation->liveScopes()) {
            result.error = QStringLiteral("no live scope page");
            return result;
        }
        state->setScopeKind(ScopeKind(scopeKind));
        presentation->toggleScopePage();
        QObject::connect(media, &OpenMedia::scopeImageReady, &window, [&](const QImage &, int64_t frame) {
            scopeFrame = frame;
            if (playing)
                ++result.scopes;
        });
        if (!waitFor([&] { return scopeFrame >= 0; }, 20000)) {
            result.error = QStringLiteral("no scope");
            return result;
        }
        result.scopes = 0;
    }
    idle(2500);

    result.fps = state->fps();
    QAudioSink *sink = window.findChild<QAudioSink *>();
    result.audio = sink != nullptr;

    std::vector<Sample> samples;
    QElapsedTimer wall;
    wall.start();
    QObject::connect(state, &ApplicationState::currentFrameNumberChanged, &window, [&](int64_t n) {
        // The audio clock: the device's played time, counted from the run's first
        // picture, which brings the first sound.
        const double audio = controller->audioClockSeconds();
        samples.push_back({n, double(wall.nsecsElapsed()) / 1e6, audio < 0 ? -1 : int64_t(audio * 1e6)});
        // The scope standing beside this picture: the last one drawn while playing.
        if (playing && result.scopes > 0)
            scopeAges.push_back(n - scopeFrame);
    });
    const int64_t startFrame = state->currentFrameNumber();
    MonitorRecorder recorder(wall);
    idle(300);
    const double playMs = double(wall.nsecsElapsed()) / 1e6;
    if (session->state() == QcSession::State::Running)
        result.qcProgressAtStart = session->progress();
    const double cpuAtStart = processCpuSeconds();
    playing = true;
    controller->setPlaybackState(Forward);
    idle(seconds * 1000);
    playing = false;
    result.cpuSeconds = processCpuSeconds() - cpuAtStart;
    if (result.qcProgressAtStart >= 0)
        result.qcProgressAtEnd = session->progress();
    if (!scopeAges.empty()) {
        result.scopeAgeMax = *std::max_element(scopeAges.begin(), scopeAges.end());
        double sum = 0.0;
        for (int64_t age : scopeAges)
            sum += double(age);
        result.scopeAgeMean = sum / double(scopeAges.size());
    }
    const double stopMs = double(wall.nsecsElapsed()) / 1e6;
    result.skippedAudioMs = controller->skippedAudioUSecs() / 1000;
    controller->setPlaybackState(Stopped);
    // The monitor hands over what the sink rendered a little later.
    idle(1500);
    result.recorded = recorder.ok();
    std::vector<Mark> marks;
    if (result.recorded) {
        const QByteArray recorded = recorder.stop();
        result.heard = listen(recorded);
        marks = findMarks(recorded);
    }

    if (qEnvironmentVariableIsSet("ORVEL_BENCH_TRACE")) {
        for (const Sample &s : samples)
            std::printf("  frame %6lld  wall %8.1f ms  audio %8.1f ms\n", (long long)s.frame, s.wallMs,
                        s.playedUSecs / 1000.0);
        for (const Mark &m : marks)
            std::printf("  mark (second %% 3 = %d) heard at %8.1f ms\n", m.secondMod3, recorder.heardAtMs(m.index));
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

    // Against the audio clock, when each picture went on screen.
    std::vector<double> absolute;
    std::vector<double> signedOffsets;
    for (const Sample &s : samples) {
        if (s.playedUSecs <= 0)
            continue; // the device has not started yet
        const double pictureMs = (s.frame - controller->playStartFrame()) * 1000.0 / result.fps;
        const double offset = pictureMs - s.playedUSecs / 1000.0;
        signedOffsets.push_back(offset);
        absolute.push_back(outsidePeriod(offset, result.fps));
    }
    result.offsetSamples = int(absolute.size());
    result.offsetMedianMs = median(absolute);
    result.offsetMaxMs = absolute.empty() ? 0.0 : *std::max_element(absolute.begin(), absolute.end());
    result.offsetSignedMedianMs = median(signedOffsets);

    // Against the sound as heard: the picture on screen when each mark was heard. The
    // mark's second is the one of its kind nearest to the picture's time (unambiguous
    // within a second and a half).
    std::vector<double> heardAbsolute;
    std::vector<double> heardSigned;
    for (const Mark &m : marks) {
        const double heardMs = recorder.heardAtMs(m.index);
        if (heardMs < playMs || heardMs > stopMs)
            continue;
        int64_t frame = startFrame;
        for (const Sample &s : samples)
            if (s.wallMs <= heardMs)
                frame = s.frame;
        const double pictureMs = frame * 1000.0 / result.fps;
        const double estimate = std::round((pictureMs / 1000.0 - m.secondMod3) / 3.0) * 3.0 + m.secondMod3;
        if (estimate < 1.0)
            continue; // the first second's mark is inside the fade-in after the seek
        const double offset = pictureMs - estimate * 1000.0;
        heardSigned.push_back(offset);
        heardAbsolute.push_back(outsidePeriod(offset, result.fps));
    }
    result.heardMarks = int(heardAbsolute.size());
    result.heardMedianMs = median(heardAbsolute);
    result.heardMaxMs = heardAbsolute.empty() ? 0.0 : *std::max_element(heardAbsolute.begin(), heardAbsolute.end());
    result.heardSignedMedianMs = median(heardSigned);
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
    IdleSoundServer server;
    const bool ownServer = server.start(qEnvironmentVariable("ORVEL_BENCH_SINK_RATE"));
    QApplication app(argc, argv);
    // Settings of its own: the QC switch set here must not reach the player's.
    QCoreApplication::setOrganizationName(QStringLiteral("orvel-bench"));
    // The player's settings file of its own too, with live scopes on (they act on the scope
    // page only).
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    playerSettings().setValue(QStringLiteral("scopes/live"), true);
    QList<ScopeView> views;
    for (const QString &name : qEnvironmentVariable("ORVEL_BENCH_SCOPE", QStringLiteral("waveform,grid")).split(',')) {
        for (const ScopeView &view : kScopeViews)
            if (name.trimmed() == QLatin1String(view.name))
                views.append(view);
    }
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
        {"h264_1080p25_marked.mov", "H.264 1080p25", {"-c:v", "libx264", "-preset", "veryfast", "-g", "50", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"}, "1920x1080"},
        {"prores_hq_1080p25_marked.mov", "ProRes 422 HQ 1080p25", {"-c:v", "prores_ks", "-profile:v", "3", "-pix_fmt", "yuv422p10le", "-c:a", "pcm_s24le"}, "1920x1080"},
        {"prores_hq_uhd25_marked.mov", "ProRes 422 HQ UHD 25p", {"-c:v", "prores_ks", "-profile:v", "3", "-pix_fmt", "yuv422p10le", "-c:a", "pcm_s24le"}, "3840x2160"},
        // Film grain makes every frame dear to decode: more than two cores can do at 25 fps.
        {"prores_hq_uhd25_grain_marked.mov", "ProRes HQ UHD 25p grain", {"-vf", "noise=alls=8:allf=t+u", "-c:v", "prores_aw", "-profile:v", "3", "-pix_fmt", "yuv422p10le", "-c:a", "pcm_s24le"}, "3840x2160"},
        {"hevc_uhd25_marked.mp4", "HEVC UHD 25p", {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "192k"}, "3840x2160"},
    };

    const QString dir = benchMediaDir();
    if (!ownServer)
        std::printf("playback_bench: no PulseAudio server of its own (pulseaudio missing?); the session's is used\n");
    std::printf("playback_bench: %d s of forward 1x per clip on an idle null sink (rate %s), load average %s\n", seconds,
                qPrintable(qEnvironmentVariable("ORVEL_BENCH_SINK_RATE", QStringLiteral("default"))),
                qPrintable(loadAverage()));
    std::printf("%-24s %-11s %5s %5s %5s %5s %7s %9s %9s %9s %5s %9s %9s %9s %5s %9s %6s %7s %8s %9s %6s %7s %6s "
                "%6s\n",
                "clip", "mode", "due", "shown", "skip", "jumps", "maxjump", "heard.med", "heard.max", "h.signed", "marks",
                "clock.med", "clock.max", "c.signed", "audio", "audio.drop", "heard", "max.gap", "vs.off", "qc.done",
                "cpu", "scope/s", "age.mx", "age.av");
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
        struct Row
        {
            QcMode qc;
            int scopeKind;
            QString name;
        };
        QList<Row> rows;
        for (QcMode mode : modes)
            rows.append({mode, -1, QString::fromLatin1(qcModeName(mode))});
        for (const ScopeView &view : views)
            rows.append({QcMode::Off, view.kind, QStringLiteral("scope.") + QString::fromLatin1(view.name)});
        for (const Row &row : rows) {
            const Result r = run(QDir(dir).filePath(QString::fromLatin1(clip.name)), seconds, row.qc, row.scopeKind);
            if (!r.ok) {
                std::printf("%-24s %-11s %s\n", clip.label, qPrintable(row.name), qPrintable(r.error));
                failed = true;
                continue;
            }
            const bool isReference = row.qc == QcMode::Off && row.scopeKind < 0;
            if (isReference)
                reference = r.shown;
            std::printf("%-24s %-11s %5lld %5lld %5lld %5d %7lld %7.1fms %7.1fms %7.1fms %5d %7.1fms %7.1fms %7.1fms %5s "
                        "%7lldms",
                        clip.label, qPrintable(row.name), (long long)r.due, (long long)r.shown, (long long)r.skipped,
                        r.jumps, (long long)r.largestJump, r.heardMedianMs, r.heardMaxMs, r.heardSignedMedianMs,
                        r.heardMarks, r.offsetMedianMs, r.offsetMaxMs, r.offsetSignedMedianMs, r.audio ? "yes" : "no",
                        (long long)r.skippedAudioMs);
            if (r.recorded)
                std::printf(" %5.2fs %5.1fms @%.1fs", r.heard.seconds, r.heard.longestGapMs, r.heard.longestGapAtSec);
            else
                std::printf(" %6s %7s", "-", "-");
            if (!isReference && reference > 0)
                std::printf(" %8.3f", double(r.shown) / double(reference));
            else
                std::printf(" %8s", "-");
            if (r.qcProgressAtStart >= 0)
                std::printf(" %3d→%3d%%", r.qcProgressAtStart, r.qcProgressAtEnd);
            else
                std::printf(" %9s", "-");
            std::printf(" %5.2fs", r.cpuSeconds);
            if (r.scopes >= 0)
                std::printf(" %7.1f %6lld %6.2f\n", double(r.scopes) / double(seconds), (long long)r.scopeAgeMax,
                            r.scopeAgeMean);
            else
                std::printf(" %7s %6s %6s\n", "-", "-", "-");
            std::fflush(stdout);
        }
    }
    std::printf("heard.med / heard.max: how far the picture on screen was outside its own frame period when the\n"
                "sound of a whole second was heard on the sink's monitor (0 = exact), over the marks heard while playing;\n"
                "h.signed: picture minus sound time. clock.*: the same against the audio clock (the device's played\n"
                "time) when each picture went on screen. audio.drop: audio skipped to catch up after the output\n"
                "stalled; heard: seconds of tone on the monitor (first to last audible sample); max.gap: the longest\n"
                "silence inside it; vs.off: pictures shown against the same clip without analysis; qc.done: the\n"
                "analysis's progress when playback started and when it stopped; cpu: the process's user + system\n"
                "time while playing. scope.* rows: the scope page shown with live scopes (no analysis); vs.off is\n"
                "their pictures against the reference row; scope/s: scopes drawn per second of playback; age.mx /\n"
                "age.av: frames between the picture on screen and the one its scope was drawn from (largest, mean).\n");
    return failed ? 1 : 0;
}
