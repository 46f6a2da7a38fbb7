#pragma once

// One file's QC analysis from start to end: opens it with the player's engine (same
// decoder choice, same frame numbers, same channel numbering), measures every picture and
// every audio channel, runs the detectors and the loudness meter. Blocking; runs on the
// calling thread. abort() may be called from any thread.

#include "analysis/qctypes.h"
#include "core/mediainfo.h"

#include <QMutex>
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

    explicit Analyzer(const Settings &settings, EventFn onEvent = {}, ProgressFn onProgress = {});

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

private:
    Settings m_settings;
    EventFn m_onEvent;
    ProgressFn m_onProgress;
    std::atomic<bool> m_abort{false};
    QMutex m_engineLock;
    VideoEngine *m_engine = nullptr; // the running analysis's engine, for abort()
};

} // namespace qc
