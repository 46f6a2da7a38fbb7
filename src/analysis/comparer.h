#pragma once

// Two files compared picture by picture from start to end. Each file is decoded on a
// thread of its own by a VideoEngine made there (the player's decoder choice and frame
// numbers), so both decoders keep a core busy; the calling thread aligns the two streams
// and measures each pair. Blocking; runs on the calling thread. abort() may be called from
// any thread.

#include "analysis/comparetypes.h"
#include "core/mediainfo.h"

#include <QMutex>
#include <QString>

#include <atomic>
#include <functional>

namespace cmp {

class PictureReader;

class Comparer
{
public:
    using PairFn = std::function<void(const PairResult &)>;
    using ProgressFn = std::function<void(int percent)>;

    Comparer(const Options &options, PairFn onPair = {}, ProgressFn onProgress = {});
    ~Comparer();

    // Called on the running thread once both files are open and aligned, before the
    // first pair.
    using AlignedFn = std::function<void(const MediaInfo &a, const MediaInfo &b, const Alignment &alignment)>;
    void setAlignedCallback(AlignedFn onAligned) { m_onAligned = std::move(onAligned); }

    struct Outcome {
        enum Kind { Compared, Failed, Aborted };
        Kind kind = Failed;
        QString error;        // a file that did not open, or why B cannot be aligned
        MediaInfo infoA, infoB;
        Alignment alignment;
        Summary summary;
        double elapsedSec = 0.0;
    };
    Outcome run(const QString &pathA, const QString &pathB);

    // Any thread: the running comparison stops at the next picture, and a read blocked in
    // a demuxer gives up. Stays set.
    void abort();

private:
    Options m_options;
    PairFn m_onPair;
    ProgressFn m_onProgress;
    AlignedFn m_onAligned;
    std::atomic<bool> m_abort{false};
    QMutex m_lock;
    PictureReader *m_readers[2] = {nullptr, nullptr}; // the running ones, for abort()
};

} // namespace cmp
