#pragma once

// One file's QC analysis from start to end: opens it with the player's engine (same
// decoder choice, same frame numbers, same channel numbering), measures every picture and
// every audio channel, runs the detectors and the loudness meter. Blocking; runs on the
// calling thread. abort() may be called from any thread.

#include "analysis/qctypes.h"
#include "core/mediainfo.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QWaitCondition>
#include <QString>

#include <atomic>
#include <functional>

class VideoEngine;

namespace qc {

class Analyzer
{
public:
    using EventFn = std::function<void(const Event &)>;
    using ProgressFn = std::function<void(int percent)>;
    // What was measured for the graphs, a few times a second and once at the end.
    using SeriesFn = std::function<void(const Series &)>;

    explicit Analyzer(const Settings &settings, EventFn onEvent = {}, ProgressFn onProgress = {},
                      SeriesFn onSeries = {});

    struct Outcome {
        enum Kind { Analysed, Failed, Aborted };
        Kind kind = Failed;
        QString error;          // the engine's opening error when Failed
        MediaInfo info;         // the facts the engine opened
        Summary summary;
        QList<Event> events;    // in the order they were found
    };
    Outcome run(const QString &path);

    // Any thread: the running analysis stops at the next picture or audio block, and a read
    // blocked in the demuxer gives up. Stays set; make a new Analyzer for more work.
    void abort();
    bool aborting() const { return m_abort.load(std::memory_order_relaxed); }
    // Any thread: while paused the analysis waits before its next picture or audio block
    // (an abort still ends it at once).
    void setPaused(bool paused);

private:
    void waitWhilePaused();
    // Hands on what the graphs have not had yet: always when 'now', else every 100 ms.
    void reportSeries(bool now);

    Settings m_settings;
    EventFn m_onEvent;
    ProgressFn m_onProgress;
    SeriesFn m_onSeries;
    Series m_series;
    QElapsedTimer m_sinceSeries;
    std::atomic<bool> m_abort{false};
    QMutex m_engineLock;
    VideoEngine *m_engine = nullptr; // the running analysis's engine, for abort()
    QMutex m_pauseLock;
    QWaitCondition m_resumed;
    bool m_paused = false; // guarded by m_pauseLock
};

} // namespace qc
