#pragma once

// The pictures of an image sequence by index (file first + index): each file read and
// decoded, or the reason it has none ("missing", "cannot read", "cannot decode").
//
// Reading forward (each index asked for is the one after the last), worker threads read
// and decode the next files ahead, each with a decoder of its own, so that the machine's
// cores work on several files at once. What they hold is bounded (a few pictures, by
// size) and dropped as soon as an index other than the next is asked for (a seek, a step
// back): a picture is only ever handed out for the index it was decoded for.
//
// take() is called from one thread (the engine's); the workers live inside this object
// and are joined by its destructor. No FFmpeg headers here.

#include "av/ffmpegptr.h"
#include "core/imagesequence.h"

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct AVCodec;
struct AVCodecContext;
struct AVCodecParameters;

class SequenceReader
{
public:
    struct Picture {
        av::FramePtr frame; // pts and best_effort_timestamp are the index
        QString failure;    // set when there is no frame
    };

    // par and codec describe the stream (the first file's); a decoder is opened from them
    // for each worker (used only during the call). readAheadWorkers 0, or decoders that
    // will not open: every picture is decoded by take's caller.
    SequenceReader(imagesequence::Sequence files, const AVCodecParameters *par, const AVCodec *codec,
                   int readAheadWorkers);
    ~SequenceReader();
    SequenceReader(const SequenceReader &) = delete;
    SequenceReader &operator=(const SequenceReader &) = delete;

    // The picture of 'index': from the workers when they have it (waiting while one decodes
    // it), else read and decoded here with 'decoder' (the caller's own).
    Picture take(int64_t index, AVCodecContext *decoder);

    // Reads and decodes one file with 'decoder'; a drained decoder is flushed first.
    static Picture decodeFile(const imagesequence::Sequence &files, int64_t index, AVCodecContext *decoder);

    int readAheadDepth() const { return m_depth; }
    // Pictures take() handed out that workers had decoded; pictures decoded ahead and
    // dropped unused (a seek or a step back came first).
    int64_t picturesReadAhead() const;
    int64_t picturesDropped() const;

private:
    void startWorkers();
    void work(AVCodecContext *decoder);
    void dropAheadLocked();

    const imagesequence::Sequence m_files;
    int m_depth = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    bool m_ahead = false;          // reading forward: workers may claim
    int64_t m_lastTaken = -2;
    int64_t m_nextClaim = 0;       // next index a worker may claim
    uint64_t m_generation = 0;     // bumped whenever what is ahead is dropped
    std::map<int64_t, Picture> m_ready;
    std::map<int64_t, uint64_t> m_inProgress; // index -> generation it was claimed in
    int64_t m_fromWorkers = 0;
    int64_t m_dropped = 0;

    std::vector<av::CodecContextPtr> m_decoders; // one per worker
    std::vector<std::thread> m_workers;
};
