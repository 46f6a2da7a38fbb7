// Held arrow keys through the real window: Right and Left are pressed on the main window
// (synthesised key events through the platform's window, as a keyboard would deliver them),
// held for 4 s and released; the bench counts the frames the picture moved. The window's
// repeat timer (first repeat after 260 ms, then every 100 ms) repeats 38 times in that time,
// so 39 steps are possible with the press itself.
// Left starts so that its steps cross a key frame. The peak resident memory is printed too
// (the frame cache's bound, ORVEL_FRAME_CACHE_MB, plus the player's own). Each clip is then
// held again with the same file open as B beside it, in the difference view (every step
// decodes and composes both), and the ratio to the single file of the same run is printed.
//
// Run it on a display (scripts/bench.sh starts Xvfb when there is none).
// Usage: held_keys_bench [--only SUBSTRING] [--hold-ms N]
// Clips are generated once into $ORVEL_BENCH_MEDIA_DIR (default: <build>/bench-media).

#include "benchclips.h"
#include "core/compat.h"
#include "core/metatypes.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "ui/comparesession.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QWindow>

#include <cstdio>
#include <functional>

namespace {

constexpr int kAllowedSteps = 39; // the press and 38 repeats

struct Clip {
    const char *name;
    const char *label;
    QStringList encode;
    const char *source;
    int64_t rightFrom; // where held Right starts
    int64_t leftFrom;  // where held Left starts: 38 steps back cross a key frame
};

const QList<Clip> &clips()
{
    static const QList<Clip> list = {
        {"keys_h264_gop50_1080p.mp4", "H.264 1080p GOP 50",
         {"-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-g", "50", "-keyint_min", "50", "-sc_threshold",
          "0", "-bf", "2", "-pix_fmt", "yuv420p"},
         "testsrc2=size=1920x1080:rate=25:duration=12,noise=alls=4:allf=t", 20, 120},
        {"keys_h264_gop250_1080p.mp4", "H.264 1080p GOP 250",
         {"-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-g", "250", "-keyint_min", "250",
          "-sc_threshold", "0", "-bf", "2", "-pix_fmt", "yuv420p"},
         "testsrc2=size=1920x1080:rate=25:duration=12,noise=alls=4:allf=t", 20, 270},
        {"keys_prores_hq_1080p.mov", "ProRes 422 HQ 1080p",
         {"-c:v", "prores_ks", "-profile:v", "3", "-pix_fmt", "yuv422p10le"},
         "testsrc2=size=1920x1080:rate=25:duration=5,noise=alls=4:allf=t", 10, 100},
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

// Peak resident memory of this process so far (Linux), in MiB; -1 elsewhere.
long long peakResidentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() / 1024;
    }
    return -1;
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

// Frames moved while the key was held for holdMs; -1 when the window could not be set up.
int64_t holdKey(MainWindow &window, Qt::Key key, int64_t from, int holdMs)
{
    auto *state = window.findChild<ApplicationState *>();
    auto *controller = window.findChild<PlaybackController *>();
    if (!state || !controller)
        return -1;
    controller->requestSeek(int(from));
    if (!waitFor([&] { return state->currentFrameNumber() == from; }, 60000))
        return -1;
    QTest::qWait(300); // let the seek's follow-up work settle

    QWindow *handle = window.windowHandle();
    QTest::keyPress(handle, key);
    QTest::qWait(holdMs);
    QTest::keyRelease(handle, key);
    // A step asked for before the release still lands.
    QTest::qWait(400);
    const int64_t moved = state->currentFrameNumber() - from;
    return moved < 0 ? -moved : moved;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    registerMetaTypes();
    QApplication::setStyle(QStringLiteral("Fusion"));
    compat::applyDarkColorScheme();

    QString only;
    int holdMs = 4000;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--only") && i + 1 < args.size())
            only = args[++i];
        else if (args[i] == QLatin1String("--hold-ms") && i + 1 < args.size())
            holdMs = std::max(500, args[++i].toInt());
    }
    QDir().mkpath(mediaDir());
    std::printf("held arrows through the window, %d ms each (platform %s), frames moved of %d allowed\n", holdMs,
                qPrintable(QGuiApplication::platformName()), kAllowedSteps);
    std::printf("%-24s %14s %14s %16s %14s %14s %12s\n", "clip", "Right", "Left", "peak RSS so far", "Right with B",
                "Left with B", "with B / one");

    bool failed = false;
    for (const Clip &clip : clips()) {
        if (!only.isEmpty() && !QString::fromLatin1(clip.label).contains(only, Qt::CaseInsensitive))
            continue;
        const QString path = QDir(mediaDir()).filePath(QString::fromLatin1(clip.name));
        if (!ensureClip(clip, path)) {
            std::printf("%-24s could not generate\n", clip.label);
            failed = true;
            continue;
        }
        MainWindow window;
        window.show();
        if (!QTest::qWaitForWindowExposed(&window)) {
            std::printf("%-24s window not exposed\n", clip.label);
            failed = true;
            continue;
        }
        window.activateWindow();
        window.openMediaFile(path);
        auto *state = window.findChild<ApplicationState *>();
        if (!state || !waitFor([&] { return state->totalFrames() > 1; }, 60000)) {
            std::printf("%-24s did not open\n", clip.label);
            failed = true;
            continue;
        }
        const int64_t right = holdKey(window, Qt::Key_Right, clip.rightFrom, holdMs);
        const int64_t left = holdKey(window, Qt::Key_Left, clip.leftFrom, holdMs);
        const long long peak = peakResidentMiB();

        // The same file as B, shown as the difference of the two.
        int64_t rightB = -1;
        int64_t leftB = -1;
        auto *compare = window.findChild<CompareSession *>();
        if (compare) {
            compare->openB(path);
            if (waitFor([&] { return compare->isActive(); }, 60000)) {
                while (compare->view() != compareview::View::Difference)
                    compare->cycleView();
                rightB = holdKey(window, Qt::Key_Right, clip.rightFrom, holdMs);
                leftB = holdKey(window, Qt::Key_Left, clip.leftFrom, holdMs);
            }
        }
        if (right < 0 || left < 0 || rightB < 0 || leftB < 0)
            failed = true;
        const double ratio = right + left > 0 ? double(rightB + leftB) / double(right + left) : 0.0;
        std::printf("%-24s %8lld / %d %8lld / %d %12lld MiB %8lld / %d %8lld / %d %12.2f\n", clip.label,
                    (long long)right, kAllowedSteps, (long long)left, kAllowedSteps, peak, (long long)rightB,
                    kAllowedSteps, (long long)leftB, kAllowedSteps, ratio);
        std::fflush(stdout);
    }
    return failed ? 1 : 0;
}
