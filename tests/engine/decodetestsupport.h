#pragma once

// Independent references for decoding tests: the ffmpeg command line's own full decode of
// one frame, frame counts, tiny purpose-made clips, and packing of decoded planes so they
// can be compared byte for byte. Also the harness engine tests share: log capture, the
// engine driven directly on the test thread, and the engine alone on a thread of its own.

#include "av/ffmpeg.h"
#include "core/compat.h"
#include "engine/videoengine.h"

#include <QByteArray>
#include <QEventLoop>
#include <QImage>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QVariantMap>
#include <QVideoFrame>
#include <QVideoFrameFormat>

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace decodetest {

inline bool runFfmpeg(const QStringList &arguments)
{
    QStringList all = {"-hide_banner", "-loglevel", "error", "-y"};
    all += arguments;
    QProcess process;
    process.start(QStringLiteral("ffmpeg"), all);
    if (!process.waitForFinished(300000))
        return false;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Frame n of the file as ffmpeg decodes it from the start (every frame counted, so open
// GOPs and long GOPs are decoded the long way), in pixelFormat, planes packed tightly.
inline QByteArray referenceFrame(const QString &path, int64_t n, const QString &pixelFormat)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"),
                  {"-hide_banner", "-loglevel", "error", "-i", path, "-map", "0:v:0", "-vf",
                   QStringLiteral("select=eq(n\\,%1)").arg(n), "-frames:v", "1", "-pix_fmt", pixelFormat,
                   "-f", "rawvideo", "-"});
    if (!process.waitForFinished(300000) || process.exitCode() != 0)
        return {};
    return process.readAllStandardOutput();
}

// The scale filter's reading of the file's colour: its matrix tag as the player reads it
// (untagged and unknown as BT.709) and its range tag (left to the layout when untagged).
inline QString colourReading(const QString &path)
{
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                            "stream=pix_fmt,color_space,color_range", "-of", "default=nw=1", path});
    probe.waitForFinished(60000);
    const QString facts = QString::fromLatin1(probe.readAllStandardOutput());
    // RGB pictures have no matrix; newer scale filters apply one given for them anyway.
    static const QRegularExpression rgbLayout(QStringLiteral("pix_fmt=(rgb|bgr|gbr|argb|abgr)"));
    if (facts.contains(rgbLayout))
        return QStringLiteral("scale=flags=accurate_rnd+full_chroma_int");
    QString matrix = QStringLiteral("bt709");
    if (facts.contains(QLatin1String("color_space=smpte170m")) || facts.contains(QLatin1String("color_space=bt470bg")))
        matrix = QStringLiteral("bt601");
    else if (facts.contains(QLatin1String("color_space=bt2020")))
        matrix = QStringLiteral("bt2020");
    QString filter = QStringLiteral("scale=in_color_matrix=%1:flags=accurate_rnd+full_chroma_int").arg(matrix);
    if (facts.contains(QLatin1String("color_range=pc")))
        filter += QStringLiteral(":in_range=full");
    else if (facts.contains(QLatin1String("color_range=tv")))
        filter += QStringLiteral(":in_range=limited");
    return filter;
}

// Frame n as 8-bit BGRA (QImage::Format_ARGB32 on little-endian hosts), converted by
// ffmpeg with the matrix and range the player reads the file with.
inline QImage referenceImage(const QString &path, int64_t n, int width, int height)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"),
                  {"-hide_banner", "-loglevel", "error", "-i", path, "-map", "0:v:0", "-vf",
                   QStringLiteral("select=eq(n\\,%1),%2").arg(n).arg(colourReading(path)), "-frames:v", "1",
                   "-pix_fmt", "bgra", "-f", "rawvideo", "-"});
    if (!process.waitForFinished(300000) || process.exitCode() != 0)
        return {};
    const QByteArray bytes = process.readAllStandardOutput();
    if (bytes.size() != qsizetype(width) * height * 4)
        return {};
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y)
        std::copy_n(bytes.constData() + qsizetype(y) * width * 4, width * 4, image.scanLine(y));
    return image;
}

// Number of video frames ffmpeg decodes from the file.
inline int64_t decodedFrameCount(const QString &path)
{
    QProcess process;
    process.start(QStringLiteral("ffprobe"), {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                              "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path});
    if (!process.waitForFinished(300000))
        return -1;
    // Transport and program streams list the stream once more under their program, and
    // their csv lines may carry an empty trailing field: the first number counts.
    QByteArray first = process.readAllStandardOutput().trimmed().split('\n').value(0).trimmed();
    while (first.endsWith(','))
        first.chop(1);
    bool ok = false;
    const int64_t count = first.toLongLong(&ok);
    return ok ? count : -1;
}

// The viewer's picture: the engine hands B,G,R,A bytes.
inline QImage bgraPicture(QVideoFrame frame)
{
    if (!frame.isValid() || frame.pixelFormat() != QVideoFrameFormat::Format_BGRA8888 || !frame.map(compat::MapReadOnly))
        return {};
    QImage image(frame.width(), frame.height(), QImage::Format_ARGB32);
    for (int y = 0; y < frame.height(); ++y)
        std::copy_n(frame.bits(0) + qsizetype(y) * frame.bytesPerLine(0), frame.width() * 4, image.scanLine(y));
    frame.unmap();
    return image;
}

// Y, U, V planes of a mapped 4:2:0 QVideoFrame packed tightly.
inline QByteArray packYuv420(QVideoFrame frame)
{
    if (!frame.isValid() || frame.pixelFormat() != QVideoFrameFormat::Format_YUV420P || !frame.map(compat::MapReadOnly))
        return {};
    QByteArray bytes;
    const int w = frame.width();
    const int h = frame.height();
    for (int plane = 0; plane < 3; ++plane) {
        const int pw = plane == 0 ? w : (w + 1) / 2;
        const int ph = plane == 0 ? h : (h + 1) / 2;
        for (int y = 0; y < ph; ++y)
            bytes.append(reinterpret_cast<const char *>(frame.bits(plane)) + qsizetype(y) * frame.bytesPerLine(plane), pw);
    }
    frame.unmap();
    return bytes;
}

// The decoded planes packed like ffmpeg's rawvideo output.
inline QByteArray packFrame(const AVFrame *frame)
{
    if (!frame)
        return {};
    const auto format = AVPixelFormat(frame->format);
    const int size = av_image_get_buffer_size(format, frame->width, frame->height, 1);
    if (size <= 0)
        return {};
    QByteArray bytes(size, Qt::Uninitialized);
    if (av_image_copy_to_buffer(reinterpret_cast<uint8_t *>(bytes.data()), size, frame->data, frame->linesize,
                                format, frame->width, frame->height, 1)
        < 0)
        return {};
    return bytes;
}

inline QString pixelFormatName(const AVFrame *frame)
{
    const char *name = frame ? av_get_pix_fmt_name(AVPixelFormat(frame->format)) : nullptr;
    return name ? QString::fromLatin1(name) : QString();
}

// Mean absolute difference of the colour bytes of two same-sized ARGB32 images; -1 when
// they cannot be compared.
inline double meanAbsoluteDifference(const QImage &a, const QImage &b)
{
    if (a.isNull() || b.isNull() || a.size() != b.size())
        return -1;
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const uchar *p = x.constScanLine(row);
        const uchar *q = y.constScanLine(row);
        for (int i = 0; i < x.width() * 4; ++i) {
            if (i % 4 != 3)
                sum += std::abs(int(p[i]) - int(q[i]));
        }
    }
    return sum / (double(x.width()) * x.height() * 3);
}

// --- log capture ------------------------------------------------------------------------

// Collects every log line while alive. Engine lines can arrive on the engine thread, so
// the lines and the hook sit behind one mutex; the hook runs outside it, on whichever
// thread logged. Only one capture may be alive at a time (it replaces the process-wide
// message handler). Debug lines are echoed to the previous handler only on request, to
// keep per-frame chatter out of test output.
class LogCapture
{
public:
    using Hook = std::function<void(const QString &)>;
    enum class Echo { AboveDebug, Everything };

    explicit LogCapture(Hook hook = {}, Echo echo = Echo::AboveDebug)
    {
        State &s = state();
        QMutexLocker lock(&s.mutex);
        s.lines.clear();
        s.hook = std::move(hook);
        s.echoDebug = echo == Echo::Everything;
        s.previous = qInstallMessageHandler(handler);
    }
    ~LogCapture()
    {
        State &s = state();
        qInstallMessageHandler(s.previous);
        QMutexLocker lock(&s.mutex);
        s.hook = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const
    {
        QMutexLocker lock(&state().mutex);
        return state().lines;
    }
    QStringList matching(const QString &prefix) const
    {
        QStringList found;
        for (const QString &line : lines()) {
            if (line.startsWith(prefix))
                found.append(line);
        }
        return found;
    }
    int count(const QString &needle) const
    {
        const QStringList all = lines();
        return int(std::count_if(all.cbegin(), all.cend(), [&](const QString &line) { return line.contains(needle); }));
    }

private:
    struct State {
        QMutex mutex;
        QStringList lines;
        Hook hook;
        bool echoDebug = false;
        QtMessageHandler previous = nullptr;
    };
    static State &state()
    {
        static State s;
        return s;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        State &s = state();
        Hook hook;
        bool echoDebug = false;
        {
            QMutexLocker lock(&s.mutex);
            s.lines.append(message);
            hook = s.hook;
            echoDebug = s.echoDebug;
        }
        if (hook)
            hook(message);
        if (s.previous && (echoDebug || type != QtDebugMsg))
            s.previous(type, context, message);
    }
};

// --- one frameReady answer ----------------------------------------------------------------

struct Answer {
    QVideoFrame frame;
    int64_t frameNumber = -1;
    QList<float> levels;
    QByteArray audio;
    int requestId = 0;
};

// Takes the oldest answer in the spy; an empty Answer when there is none.
inline Answer takeAnswer(QSignalSpy &spy)
{
    Answer answer;
    if (spy.isEmpty())
        return answer;
    const QList<QVariant> args = spy.takeFirst();
    answer.frame = args.at(0).value<QVideoFrame>();
    answer.frameNumber = args.at(1).value<int64_t>();
    answer.levels = args.at(2).value<QList<float>>();
    answer.audio = args.at(4).toByteArray();
    answer.requestId = args.at(5).toInt();
    return answer;
}

// The engine used directly on the test thread: its signals arrive synchronously, so each
// request must have produced exactly one answer; none or a stray second one gives an
// empty Answer.
struct LocalEngine {
    VideoEngine engine;
    QSignalSpy frames{&engine, &VideoEngine::frameReady};
    QVariantMap info;

    bool open(const QString &path)
    {
        engine.init();
        QSignalSpy opened(&engine, &VideoEngine::fileOpened);
        engine.openFile(path);
        if (opened.size() != 1 || !opened.first().at(0).toBool())
            return false;
        info = opened.first().at(1).toMap();
        return true;
    }
    Answer take() { return frames.size() == 1 ? takeAnswer(frames) : Answer{}; }
    Answer request(int64_t n, int id = 0)
    {
        engine.requestFrame(n, id);
        return take();
    }
    Answer silently(int64_t n, int id = 0)
    {
        engine.requestFrameSilently(n, id);
        return take();
    }
    // The frame after the one last answered, as playback asks for it.
    Answer next(int id = 0)
    {
        engine.requestNextFrameAtOrAfter(engine.currentFrameNumber() + 1, id);
        return take();
    }
    Answer atOrAfter(int64_t n, int id = 0)
    {
        engine.requestNextFrameAtOrAfter(n, id);
        return take();
    }
    int64_t totalFrames() const { return info.value(QStringLiteral("totalFrames")).toLongLong(); }
};

// --- the engine alone on a thread of its own ------------------------------------------------

// The engine's own answer to an open, as fileOpened carries it.
struct OpenAnswer {
    int answers = 0; // fileOpened signals for this open (exactly one is right)
    bool success = false;
    QVariantMap info;
    QString error;
};

// For tests of the engine's own answers on its thread (the fileOpened map, several files on
// one engine, opens that may hang); the player's arrangement of the same is OpenMedia.
class EngineOnThread
{
public:
    EngineOnThread()
    {
        engine->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, engine, &QObject::deleteLater);
        thread.start();
        post([](VideoEngine &e) { e.init(); });
    }
    ~EngineOnThread()
    {
        engine->requestShutdown();
        thread.quit();
        thread.wait();
    }
    EngineOnThread(const EngineOnThread &) = delete;
    EngineOnThread &operator=(const EngineOnThread &) = delete;

    void post(std::function<void(VideoEngine &)> work)
    {
        VideoEngine *e = engine;
        QMetaObject::invokeMethod(e, [e, work = std::move(work)] { work(*e); }, Qt::QueuedConnection);
    }

    // openFile on the engine's thread; answers == 0 when none came within timeoutMs.
    OpenAnswer open(const QString &path, int timeoutMs = 60000)
    {
        OpenAnswer answer;
        QEventLoop loop;
        const auto connection = QObject::connect(
            engine, &VideoEngine::fileOpened, &loop,
            [&](bool success, const QVariantMap &info, const QString &error) {
                ++answer.answers;
                answer.success = success;
                answer.info = info;
                answer.error = error;
                loop.quit();
            },
            Qt::QueuedConnection);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        post([path](VideoEngine &e) { e.openFile(path); });
        loop.exec();
        // A second fileOpened for the same request would be a fault; give it a chance.
        QCoreApplication::processEvents();
        QObject::disconnect(connection);
        return answer;
    }

    QThread thread;
    VideoEngine *engine = new VideoEngine; // lives on 'thread'; deleted when it finishes
};

} // namespace decodetest
