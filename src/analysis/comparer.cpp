#include "analysis/comparer.h"

#include "analysis/framecompare.h"
#include "av/ffmpeg.h"
#include "engine/videoengine.h"

#include <QElapsedTimer>
#include <QMutexLocker>
#include <QThread>
#include <QWaitCondition>

#include <algorithm>
#include <deque>
#include <memory>

namespace cmp {

namespace {

// Pictures decoded ahead per file: enough to ride out one side's slow picture (an intra
// frame) without holding many 4K pictures.
constexpr size_t kQueuedPictures = 6;

} // namespace

// One file read from start to end on a thread of its own, its pictures handed over through
// a short queue. The engine is made, used and deleted on that thread.
class PictureReader
{
public:
    explicit PictureReader(const QString &path)
        : m_path(path)
    {
        m_thread.reset(QThread::create([this] { read(); }));
        m_thread->setObjectName(QStringLiteral("compare reader"));
    }
    ~PictureReader()
    {
        stop();
        m_thread->wait();
    }

    void start() { m_thread->start(); }

    // Blocks until the file is open (true, with its facts) or has failed (false, why).
    bool waitOpened(MediaInfo &info, QString &error)
    {
        QMutexLocker lock(&m_lock);
        while (!m_openDone)
            m_changed.wait(&m_lock);
        info = m_info;
        error = m_error;
        return m_error.isEmpty();
    }

    // The next picture; null at the end of the file or once stopped.
    VideoEngine::SequentialPicture take()
    {
        QMutexLocker lock(&m_lock);
        while (m_queue.empty() && !m_ended && !m_stop)
            m_changed.wait(&m_lock);
        if (m_queue.empty() || m_stop)
            return {};
        VideoEngine::SequentialPicture picture = std::move(m_queue.front());
        m_queue.pop_front();
        m_changed.wakeAll();
        return picture;
    }

    // Any thread: the reader ends at the next picture; a blocked read gives up.
    void stop()
    {
        QMutexLocker lock(&m_lock);
        m_stop = true;
        if (m_engine)
            m_engine->requestShutdown();
        m_changed.wakeAll();
    }

private:
    void read()
    {
        VideoEngine engine;
        engine.setFrameCacheBound(0);
        {
            QMutexLocker lock(&m_lock);
            m_engine = &engine;
            if (m_stop)
                engine.requestShutdown();
        }
        struct Finish {
            PictureReader *reader;
            ~Finish()
            {
                QMutexLocker lock(&reader->m_lock);
                reader->m_engine = nullptr;
                reader->m_ended = true;
                if (!reader->m_openDone) {
                    reader->m_openDone = true;
                    if (reader->m_error.isEmpty())
                        reader->m_error = QStringLiteral("The comparison was stopped.");
                }
                reader->m_changed.wakeAll();
            }
        } finish{this};

        QString openError;
        QObject::connect(&engine, &VideoEngine::fileOpened, &engine,
                         [&openError](bool success, const QVariantMap &, const QString &error) {
                             if (!success)
                                 openError = error;
                         }, Qt::DirectConnection);
        engine.init();
        engine.openFile(m_path);
        const MediaInfo info = engine.mediaInfo();
        {
            QMutexLocker lock(&m_lock);
            m_info = info;
            if (!info.isOpen())
                m_error = openError.isEmpty() ? QStringLiteral("The file could not be opened.") : openError;
            else if (info.isAudioOnly)
                m_error = QStringLiteral("The file has no pictures to compare.");
            m_openDone = true;
            m_changed.wakeAll();
            if (!m_error.isEmpty() || m_stop)
                return;
        }
        // Only pictures are compared: sound packets are dropped unread.
        engine.stopAudioDecoding();
        for (;;) {
            VideoEngine::SequentialPicture picture = engine.readNextPicture();
            QMutexLocker lock(&m_lock);
            if (!picture.frame || m_stop)
                return;
            while (m_queue.size() >= kQueuedPictures && !m_stop)
                m_changed.wait(&m_lock);
            if (m_stop)
                return;
            m_queue.push_back(std::move(picture));
            m_changed.wakeAll();
        }
    }

    const QString m_path;
    std::unique_ptr<QThread> m_thread;
    QMutex m_lock;
    QWaitCondition m_changed;
    std::deque<VideoEngine::SequentialPicture> m_queue;
    bool m_openDone = false;
    bool m_ended = false;
    bool m_stop = false;
    MediaInfo m_info;
    QString m_error;
    VideoEngine *m_engine = nullptr;
};

Comparer::Comparer(const Options &options, PairFn onPair, ProgressFn onProgress)
    : m_options(options)
    , m_onPair(std::move(onPair))
    , m_onProgress(std::move(onProgress))
{
}

Comparer::~Comparer() = default;

void Comparer::abort()
{
    m_abort.store(true, std::memory_order_relaxed);
    QMutexLocker lock(&m_lock);
    for (PictureReader *reader : m_readers) {
        if (reader)
            reader->stop();
    }
}

Comparer::Outcome Comparer::run(const QString &pathA, const QString &pathB)
{
    QElapsedTimer clock;
    clock.start();
    Outcome outcome;

    PictureReader readerA(pathA);
    PictureReader readerB(pathB);
    {
        QMutexLocker lock(&m_lock);
        m_readers[0] = &readerA;
        m_readers[1] = &readerB;
    }
    struct Unregister {
        Comparer *comparer;
        ~Unregister()
        {
            QMutexLocker lock(&comparer->m_lock);
            comparer->m_readers[0] = comparer->m_readers[1] = nullptr;
        }
    } unregister{this};
    if (m_abort.load(std::memory_order_relaxed)) {
        outcome.kind = Outcome::Aborted;
        return outcome;
    }
    readerA.start();
    readerB.start();

    QString errorA, errorB;
    const bool openA = readerA.waitOpened(outcome.infoA, errorA);
    const bool openB = readerB.waitOpened(outcome.infoB, errorB);
    if (m_abort.load(std::memory_order_relaxed)) {
        outcome.kind = Outcome::Aborted;
        return outcome;
    }
    if (!openA || !openB) {
        outcome.error = !openA ? QStringLiteral("A (%1): %2").arg(pathA, errorA)
                               : QStringLiteral("B (%1): %2").arg(pathB, errorB);
        return outcome;
    }
    outcome.alignment = align(outcome.infoA, outcome.infoB, m_options);
    if (!outcome.alignment.ok) {
        outcome.error = outcome.alignment.error;
        return outcome;
    }
    if (m_onAligned)
        m_onAligned(outcome.infoA, outcome.infoB, outcome.alignment);

    FrameComparer frames(m_options.psnr, m_options.ssim);
    SummaryBuilder summary(m_options.thresholdDb);
    const Merge merge(outcome.alignment.offset);
    VideoEngine::SequentialPicture headA, headB;
    bool endA = false, endB = false;
    int lastProgress = -1;
    int64_t reachedA = -1;
    const int64_t totalA = outcome.infoA.totalFrames;
    while (!m_abort.load(std::memory_order_relaxed)) {
        if (!headA.frame && !endA) {
            headA = readerA.take();
            endA = !headA.frame;
        }
        if (!headB.frame && !endB) {
            headB = readerB.take();
            endB = !headB.frame;
        }
        if (endA && endB)
            break;
        const auto number = [](const VideoEngine::SequentialPicture &p) {
            return p.frame ? std::optional<int64_t>(p.frameNumber) : std::nullopt;
        };
        switch (merge.next(number(headA), number(headB))) {
        case Merge::Step::TakeA:
            reachedA = headA.frameNumber;
            summary.onlyInA(headA.frameNumber);
            headA = {};
            break;
        case Merge::Step::TakeB:
            summary.onlyInB(headB.frameNumber);
            headB = {};
            break;
        case Merge::Step::Pair: {
            PairResult result;
            result.frameA = headA.frameNumber;
            result.frameB = headB.frameNumber;
            if (!frames.compare(headA.frame.get(), headB.frame.get(), result)) {
                outcome.error = QStringLiteral("Frame %1 of A and frame %2 of B could not be compared.")
                                    .arg(result.frameA)
                                    .arg(result.frameB);
                return outcome;
            }
            reachedA = headA.frameNumber;
            summary.pair(result);
            if (m_onPair)
                m_onPair(result);
            headA = {};
            headB = {};
            break;
        }
        }
        if (m_onProgress && totalA > 0) {
            const int percent = std::clamp(int(100 * (reachedA + 1) / totalA), 0, 99);
            if (percent != lastProgress)
                m_onProgress(percent);
            lastProgress = percent;
        }
    }
    if (m_abort.load(std::memory_order_relaxed)) {
        outcome.kind = Outcome::Aborted;
        return outcome;
    }
    outcome.summary = summary.summary();
    outcome.elapsedSec = double(clock.elapsed()) / 1000.0;
    outcome.kind = Outcome::Compared;
    if (m_onProgress)
        m_onProgress(100);
    return outcome;
}

} // namespace cmp
