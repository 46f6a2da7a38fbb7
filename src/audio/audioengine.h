#pragma once

#include "core/levels.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <deque>
#include <memory>
#include <vector>

struct AVFormatContext;
struct AVPacket;
struct AVCodecContext;
struct AVFrame;

// Samples of one global channel as taken out of its queue: contiguous, at the engine's
// output rate, the first one at startSec on the engine's time axis.
struct AudioChannelSamples {
    int channel = 0;
    double startSec = 0.0;
    std::vector<float> samples;
};

// Decodes every audio stream of the open file into up to eight per-channel float queues
// on a common time axis (0 = start of the video stream, or of the audio stream for
// audio-only media), and drains them into routed 16-bit stereo blocks.
//
// Lives on the media engine's thread; every member is touched only there.
class AudioEngine : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxChannels = 8;

    explicit AudioEngine(QObject *parent = nullptr);
    ~AudioEngine() override;

    // --- opening (audioengine.cpp) ---
    // Closes everything, opens a decoder per audio stream (at most 8 channels in total);
    // false when none could be opened.
    bool openStreams(AVFormatContext *formatContext);
    // Frees the decoders; audio info "---", no channels, 48 kHz, queues emptied, time
    // window cleared. Routing is kept.
    void close();
    // Stream time startSec becomes time zero; samples at or after endSec (on that axis) are
    // dropped when endSec is finite and > 0.
    void setTimeWindow(double startSec, double endSec);
    QString audioInfo() const { return m_audioInfo; }
    int channelCount() const { return m_channelCount; }
    int sampleRate() const { return m_sampleRate; }
    int bitDepth() const { return m_bitDepth; }

    // --- decoding and queues (audioengine_queue.cpp) ---
    bool hasDecoderFor(int streamIndex) const;
    void decodePacket(const AVPacket *packet, AVFormatContext *formatContext);
    // At the end of the file: signals end of stream to every decoder and queues the frames
    // they still hold (frame-threaded decoders keep a few back). Decoding resumes only
    // after reset().
    void finishStreams(AVFormatContext *formatContext);
    // After a seek: flushes decoders, forgets nextTime, empties queues; levels, peaks and
    // the last snapshot to -60, holds and accumulators to 0.
    void reset();
    // Makes every active queue start exactly at timeSec and fades the first
    // fadeSamples in linearly.
    void alignTo(double timeSec, int fadeSamples);
    // Empties the queues into interleaved s16le stereo (left = leftSource, right =
    // rightSource) as far as both routed queues reach; every other channel drains by the
    // same count. An invalid source is silent; with both invalid the longest queue sets the
    // length, so the queues still empty.
    QByteArray drainStereo();
    // Takes every channel's queued samples (channels with nothing queued are left out), for
    // analyses that look at each channel on its own. Levels are not touched.
    std::vector<AudioChannelSamples> takeChannels();
    // Seconds drainStereo() would return now; 0 without channels.
    double queuedSeconds() const;
    // Channel indexes outside 0 … channelCount-1 (e.g. -1) mean silence on that side.
    void setRouting(int left, int right);
    int leftSource() const { return m_leftSource; }
    int rightSource() const { return m_rightSource; }

    // --- levels (audioengine_queue.cpp) ---
    bool hasNewAudio() const { return m_hasNewAudio; }
    void setHasNewAudio(bool value) { m_hasNewAudio = value; }
    // Returns the peak accumulators (linear, one per channel) and sets them to 0.
    QList<float> takePeaks();
    // Level ballistics for one time step of dtSec with a snapshot in dBFS.
    void updateLevels(const QList<float> &snapshotDb, double dtSec);
    QList<float> meterLevels() const;
    QList<float> meterPeaks() const;
    QList<float> lastSnapshot() const { return m_lastSnapshot; }
    void setLastSnapshot(const QList<float> &snapshotDb) { m_lastSnapshot = snapshotDb; }

    // Test access: samples queued on a global channel and the time of its head sample.
    qsizetype queuedSamples(int channel) const;
    double queueStartSec(int channel) const;
    bool queueActive(int channel) const;

private:
    struct DecoderRecord;

    void resetLevelLists();
    void clearQueues();
    void receiveFrames(DecoderRecord &record, AVFormatContext *formatContext);
    // Appends one decoded frame to the stream's queues (time, resampling to the output
    // rate, then appendSamples).
    void appendFrame(DecoderRecord &record, const AVFrame *frame, double timeBaseSec);
    // Samples of 'frame' at 'rate' whose first one is at startSec: time window,
    // continuity, conversion to float.
    void appendSamples(DecoderRecord &record, const AVFrame *frame, int rate, double startSec);
    bool isValidSource(int channel) const;

    std::vector<std::unique_ptr<DecoderRecord>> m_decoders;
    int m_sampleRate = 48000;
    int m_bitDepth = 0;
    QString m_audioInfo = QStringLiteral("---");
    int m_channelCount = 0;
    int m_leftSource = 0;
    int m_rightSource = 1;

    std::array<std::deque<float>, MaxChannels> m_queues;
    std::array<double, MaxChannels> m_queueStart{};
    std::array<bool, MaxChannels> m_queueActive{};

    double m_startOffset = 0.0;
    double m_endTime = 0.0;
    bool m_endLimited = false;
    bool m_hasNewAudio = false;

    QList<levels::Ballistics> m_meters; // one per channel
    QList<float> m_peakAccumulator; // linear, since the last takePeaks()
    QList<float> m_lastSnapshot;
};
