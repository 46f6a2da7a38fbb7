// Soak test of the real player window: for a set time, random keys (pressed and held for a
// moment), wheel turns, drops of good and damaged files and window resizes, as fast as a
// restless user. Reports deadlocks (a key not answered within 5 s: the GUI thread is
// blocked; the process is then stopped with every thread's stack from gdb), engine stalls
// (the engine thread not taking a queued call within 30 s), and resident memory over time.
// Crashes show as the process dying; scripts/soak.sh reports them.
//
// Usage: orvel-soak --minutes N --good DIR --damaged DIR [--seed S] [--report-every SEC]
// Exit: 0 clean, 3 deadlock, 1 bad arguments.

#include "engine/enginestop.h"
#include "state/openmedia.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVideoSink>
#include <QVideoWidget>
#include <QWheelEvent>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

// Bytes the program holds from malloc (small blocks plus mmapped ones). Flat while RSS
// climbs means freed memory the allocator keeps, not memory the program keeps.
double heapInUseMiB()
{
    const struct mallinfo2 info = mallinfo2();
    return double(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

int threadCount()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    }
    return 0;
}

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void dumpStacksAndExit(const char *what)
{
    std::fprintf(stdout, "soak: DEADLOCK: %s\n", what);
    std::fflush(stdout);
    QProcess::execute(QStringLiteral("gdb"), {"-p", QString::number(getpid()), "-batch", "-ex", "thread apply all bt 30"});
    std::fflush(stdout);
    std::_Exit(3);
}

// Marks the moment the GUI thread got to an event posted behind a key.
class AnswerEvent : public QEvent
{
public:
    static QEvent::Type type()
    {
        static const int registered = QEvent::registerEventType();
        return QEvent::Type(registered);
    }
    explicit AnswerEvent(int64_t postedMs) : QEvent(type()), posted(postedMs) {}
    int64_t posted;
};

class Soak : public QObject
{
public:
    Soak(MainWindow *window, QStringList good, QStringList damaged, quint32 seed, int minutes, int reportEverySec)
        : m_window(window)
        , m_good(std::move(good))
        , m_damaged(std::move(damaged))
        , m_random(seed)
        , m_endMs(nowMs() + int64_t(minutes) * 60000)
        , m_reportEveryMs(int64_t(reportEverySec) * 1000)
    {
        if (auto *videoWidget = window->findChild<QVideoWidget *>()) {
            connect(videoWidget->videoSink(), &QVideoSink::videoFrameChanged, this, [this] { ++m_framesShown; });
        }
        m_watchdog = std::thread([this] { watch(); });
        m_clock.start();
        m_startMs = nowMs();
        m_lastReportMs = m_startMs;
        report();
        QTimer::singleShot(0, this, [this] { step(); });
    }
    ~Soak() override
    {
        m_stop = true;
        m_watchdog.join();
    }

    bool event(QEvent *event) override
    {
        if (event->type() == AnswerEvent::type()) {
            const int64_t latency = nowMs() - static_cast<AnswerEvent *>(event)->posted;
            m_maxAnswerMs = std::max(m_maxAnswerMs, latency);
            m_outstandingSinceMs = 0;
            return true;
        }
        return QObject::event(event);
    }

private:
    void step()
    {
        const int64_t now = nowMs();
        if (now >= m_endMs) {
            report();
            std::printf("soak: done: %lld actions (%lld keys, %lld wheel turns, %lld drops of good files, %lld of "
                        "damaged ones, %lld resizes), %lld dialogs closed, %lld frames shown, key answers within "
                        "%lld ms at worst, %d engine stalls, 0 deadlocks\n",
                        m_actions, m_keys, m_wheels, m_goodDrops, m_damagedDrops, m_resizes, m_dialogsClosed,
                        m_framesShown, qint64(m_maxAnswerMs), m_engineStalls.load());
            std::fflush(stdout);
            QCoreApplication::quit();
            return;
        }
        if (now - m_lastReportMs >= m_reportEveryMs) {
            m_lastReportMs = now;
            report();
        }
        // Dialogs (errors for damaged files, anything a key opened) would wait for a user.
        if (QWidget *modal = QApplication::activeModalWidget()) {
            modal->close();
            ++m_dialogsClosed;
        }
        probeEngine();
        act();
        QTimer::singleShot(int(m_random.bounded(20, 150)), this, [this] { step(); });
    }

    void act()
    {
        ++m_actions;
        const int roll = int(m_random.bounded(100));
        if (roll < 70)
            pressKey();
        else if (roll < 82)
            turnWheel();
        else if (roll < 94)
            drop();
        else
            resize();
    }

    void pressKey()
    {
        static const int keys[] = {Qt::Key_Space, Qt::Key_J, Qt::Key_K, Qt::Key_L, Qt::Key_Left, Qt::Key_Right,
                                   Qt::Key_Up, Qt::Key_Down, Qt::Key_Home, Qt::Key_End, Qt::Key_Tab, Qt::Key_R,
                                   Qt::Key_G, Qt::Key_B, Qt::Key_A, Qt::Key_Y, Qt::Key_W, Qt::Key_C, Qt::Key_D,
                                   Qt::Key_F, Qt::Key_M, Qt::Key_P, Qt::Key_Z, Qt::Key_0, Qt::Key_1, Qt::Key_2,
                                   Qt::Key_3, Qt::Key_Return, Qt::Key_Escape};
        const int key = keys[m_random.bounded(int(std::size(keys)))];
        const Qt::KeyboardModifiers modifiers = m_random.bounded(10) == 0 ? Qt::ShiftModifier : Qt::NoModifier;
        QPointer<MainWindow> window = m_window;
        QCoreApplication::postEvent(window, new QKeyEvent(QEvent::KeyPress, key, modifiers));
        postAnswer();
        ++m_keys;
        // Held for a moment: J/L holds shuttle, arrows step while held.
        QTimer::singleShot(int(m_random.bounded(10, 400)), this, [window, key, modifiers] {
            if (window)
                QCoreApplication::postEvent(window, new QKeyEvent(QEvent::KeyRelease, key, modifiers));
        });
    }

    void turnWheel()
    {
        const QPoint local(int(m_random.bounded(qMax(1, m_window->width()))), int(m_random.bounded(qMax(1, m_window->height()))));
        const QPoint global = m_window->mapToGlobal(local);
        const int delta = (m_random.bounded(2) ? 1 : -1) * 120 * int(m_random.bounded(1, 4));
        QCoreApplication::postEvent(m_window, new QWheelEvent(QPointF(local), QPointF(global), QPoint(), QPoint(0, delta),
                                                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false));
        postAnswer();
        ++m_wheels;
    }

    void drop()
    {
        const bool damaged = !m_damaged.isEmpty() && m_random.bounded(3) == 0;
        const QStringList &from = damaged ? m_damaged : m_good;
        if (from.isEmpty())
            return;
        const QString path = from.at(int(m_random.bounded(int(from.size()))));
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        const QPointF at(m_window->width() / 2.0, m_window->height() / 2.0);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_window, &enter);
        QDropEvent dropEvent(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_window, &dropEvent);
        ++(damaged ? m_damagedDrops : m_goodDrops);
    }

    void resize()
    {
        m_window->resize(int(m_random.bounded(480, 1920)), int(m_random.bounded(320, 1080)));
        ++m_resizes;
    }

    void postAnswer()
    {
        const int64_t now = nowMs();
        int64_t expected = 0;
        m_outstandingSinceMs.compare_exchange_strong(expected, now);
        QCoreApplication::postEvent(this, new AnswerEvent(now));
    }

    void probeEngine()
    {
        // Every open makes a new engine thread: the probe follows the file open now.
        auto *media = m_window->findChild<OpenMedia *>();
        if (media != m_probedMedia) {
            m_probedMedia = media;
            m_engineProbe = nullptr;
            m_engineProbePostedMs = 0; // a probe waiting on the old thread no longer counts
            if (media) {
                auto *probe = new QObject;
                probe->moveToThread(media->engineThread());
                connect(media->engineThread(), &QThread::finished, probe, &QObject::deleteLater);
                m_engineProbe = probe;
            }
        }
        if (!m_engineProbe || m_engineProbePostedMs.load() != 0)
            return;
        m_engineProbePostedMs = nowMs();
        QMetaObject::invokeMethod(m_engineProbe, [this] { m_engineProbePostedMs = 0; }, Qt::QueuedConnection);
    }

    // Watchdog thread: the GUI thread must answer keys, the engine thread take calls.
    void watch()
    {
        bool engineStallCounted = false;
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const int64_t now = nowMs();
            const int64_t outstanding = m_outstandingSinceMs.load();
            if (outstanding != 0 && now - outstanding > 5000)
                dumpStacksAndExit("the window did not answer a key for 5 s");
            const int64_t probe = m_engineProbePostedMs.load();
            if (probe != 0 && now - probe > 30000) {
                if (!engineStallCounted) {
                    ++m_engineStalls;
                    std::printf("soak: engine thread has not taken a call for 30 s\n");
                    std::fflush(stdout);
                }
                engineStallCounted = true;
            } else {
                engineStallCounted = false;
            }
        }
    }

    void report()
    {
        const double rss = residentMiB();
        std::printf("soak: t=%5llds rss=%.1fMiB heap=%.1fMiB threads=%d actions=%lld frames=%lld drops=%lld/%lld "
                    "maxAnswer=%lldms\n",
                    qint64((nowMs() - m_startMs) / 1000), rss, heapInUseMiB(), threadCount(), m_actions, m_framesShown,
                    m_goodDrops, m_damagedDrops, qint64(m_maxAnswerMs));
        std::fflush(stdout);
    }

    MainWindow *m_window;
    QStringList m_good;
    QStringList m_damaged;
    QRandomGenerator m_random;
    int64_t m_endMs;
    int64_t m_reportEveryMs;
    int64_t m_startMs = 0;
    int64_t m_lastReportMs = 0;
    QElapsedTimer m_clock;
    QPointer<OpenMedia> m_probedMedia;
    QPointer<QObject> m_engineProbe; // lives on that file's engine thread; deleted when it ends
    qint64 m_actions = 0, m_keys = 0, m_wheels = 0, m_goodDrops = 0, m_damagedDrops = 0, m_resizes = 0;
    qint64 m_dialogsClosed = 0, m_framesShown = 0;
    int64_t m_maxAnswerMs = 0;
    // Shared with the watchdog thread.
    std::atomic<int64_t> m_outstandingSinceMs{0};
    std::atomic<int64_t> m_engineProbePostedMs{0};
    std::atomic<int> m_engineStalls{0};
    std::atomic<bool> m_stop{false};
    std::thread m_watchdog;
};

QStringList filesIn(const QString &dir)
{
    QStringList files;
    const QDir folder(dir);
    for (const QString &name : folder.entryList(QDir::Files | QDir::System | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        files.append(folder.absoluteFilePath(name));
    return files;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orvel"));
    QCommandLineParser parser;
    const QCommandLineOption minutes(QStringLiteral("minutes"), QStringLiteral("How long."), QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption good(QStringLiteral("good"), QStringLiteral("Folder of good media."), QStringLiteral("DIR"));
    const QCommandLineOption damaged(QStringLiteral("damaged"), QStringLiteral("Folder of damaged inputs."), QStringLiteral("DIR"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Random seed."), QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption every(QStringLiteral("report-every"), QStringLiteral("Seconds between reports."),
                                   QStringLiteral("SEC"), QStringLiteral("30"));
    parser.addOptions({minutes, good, damaged, seed, every});
    parser.process(app);
    const QStringList goodFiles = filesIn(parser.value(good));
    if (goodFiles.isEmpty()) {
        std::fprintf(stderr, "orvel-soak: --good DIR with media files is required\n");
        return 1;
    }

    int status = 0;
    {
        MainWindow window;
        window.resize(1280, 800);
        window.show();
        window.openMediaFile(goodFiles.first());
        Soak soak(&window, goodFiles, filesIn(parser.value(damaged)), parser.value(seed).toUInt(),
                  parser.value(minutes).toInt(), parser.value(every).toInt());
        status = app.exec();
    }
    // As the player does: an engine thread left behind keeps Qt from being torn down.
    if (enginestop::threadsLeftBehind() > 0) {
        std::printf("soak: an engine thread was left behind at close\n");
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
