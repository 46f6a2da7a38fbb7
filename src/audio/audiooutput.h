#pragma once

#include <QAudioDevice>
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <cstdint>

#include <QAudioSink>
class QIODevice;
class QMediaDevices;
class QTimer;

// Owns the audio output: the device choice and the QAudioSink (16-bit stereo at the
// file's rate, push mode), the audio received but not yet written, and the audio written
// but not yet reported as played. It never writes more than the sink has room for, so
// the GUI thread never blocks on the device.
//
// The sink's stream stays connected, paused, from rebuild() until release(): an idle
// output (PulseAudio's null sink, a device in its idle power state) takes up to two
// seconds to play a stream that has just connected, so a stream made when play is pressed
// would start that late. A stop brings up a fresh paused stream before the one that
// played goes, which drops its unplayed audio without leaving the output idle.
//
// GUI thread only. Knows nothing of pictures or clocks: the playback controller decides
// when to start, feed and stop it and how far behind it may fall.
//
// A device that goes away while it has the sink (unplugged, or the sink fails) costs the
// sink, not the run: the sink is dropped, playback carries on silently on the wall clock,
// and deviceLost() says so. A later rebuild() on a present device brings the sound back.
// The loss is seen in the sink's error, in Qt's device list, or from the PulseAudio server
// (PulseSinkWatch), whichever tells first.
class AudioOutput : public QObject
{
    Q_OBJECT

public:
    static constexpr int bytesPerFrame = 4; // 16-bit stereo
    static constexpr int fillWaitMs = 250;
    // How long a sink the output let go of stays alive after its stop.
    static constexpr int retiredSinkMs = 2000;

    explicit AudioOutput(QObject *parent = nullptr);
    ~AudioOutput() override;

    // The device the next rebuild() uses. The default output until a device is chosen.
    QAudioDevice device() const { return m_device; }
    void setDevice(const QAudioDevice &device) { m_device = device; }

    // Replaces the sink by one at sampleRate on device(), its stream connected and paused;
    // false (and no sink) when the device does not take the format. Unplayed audio is
    // dropped either way.
    bool rebuild(int sampleRate);
    // Stops and deletes the sink (media without audio).
    void release();
    bool hasSink() const { return !m_sink.isNull(); }
    int sampleRate() const { return m_sampleRate; }
    QAudioSink *sink() const { return m_sink; }

    // Makes the sink ready to play from its start: a stream that has played before is
    // replaced by a fresh one. It stays paused until pump() has a buffer's worth to write
    // (or has waited fillWaitMs for it): started on less, it underruns on a busy machine
    // before the next answer brings more, and then waits for a whole buffer again. False
    // when there is no sink or it gave no device. playedUSecs() counts from here.
    bool start();
    // Ends playing: the unplayed audio goes with the stream, a fresh paused one stands by.
    void stop();
    // Pauses a playing stream; resume() continues it.
    void suspend();
    void resume();
    bool isSuspended() const;
    bool isStarted() const { return m_started && !m_pushDevice.isNull(); }
    // Started, and holding less than a buffer's worth of sound since: the start of the run
    // wants more before the output can play on its own.
    bool isFilling() const;
    // Seconds of sound the stream holds once full: what start() waits for before it plays
    // (0 without a sink).
    double bufferSeconds() const;
    // The sink's own played-time counter in microseconds (0 without a sink).
    int64_t processedUSecs() const;
    // Microseconds played since start(): the sink's counter, but never more than the
    // server has taken from the stream. 0 until it has taken anything: the counter of a
    // PulseAudio stream runs on the wall clock from its first write, up to all that was
    // written, while an idle output has not begun to play it.
    int64_t playedUSecs() const;

    // Drops everything not yet written and everything not yet reported as played.
    void clear();
    // Forgets written-but-unreported bytes; played time counts from playedUSecs() now.
    void resetTracking();
    // Queues a block of 16-bit stereo for the device.
    void enqueue(const QByteArray &block);
    // Writes as much of the queue as the device takes now; starts the stream start() made.
    void pump();
    // Keeps at most maxBytes of unwritten audio (the oldest goes), so that a run without
    // a device cannot hoard the whole file.
    void limitPending(qsizetype maxBytes);
    // Drops up to 'seconds' of the oldest unwritten audio when at least that much waits;
    // returns the microseconds dropped (0 when there was not enough).
    int64_t dropPending(double seconds);
    // Bytes the device has consumed since the last call, plus 'leadSeconds' of lookahead.
    QByteArray takePlayed(double leadSeconds);
    // The first 'bytes' of what is written but not yet reported as played.
    QByteArray upcoming(qsizetype bytes) const { return m_written.left(bytes); }

    // The text deviceLost() carries for a device of that description.
    static QString deviceLostMessage(const QString &description);

    int64_t bytesWritten() const { return m_bytesWritten; }
    qsizetype pendingBytes() const { return m_pending.size(); }
    int64_t bytesPerSecond() const;

signals:
    // The sink's device went away or failed; the sink is gone (hasSink() is false).
    void deviceLost(const QString &message);

private:
    // A new sink on device() at the current format, its stream connected and paused, in
    // place of the current one (which goes after the new one is up). False, keeping the
    // current one, when the device gives no stream.
    bool replaceStream();
    // Stops a sink that is no longer ours and deletes it retiredSinkMs later.
    void retire(QAudioSink *sink);
    void onSinkStateChanged(QAudio::State state);
    bool deviceListed() const;
    void onOutputsChanged();
    // Drops the sink if it is still 'failed' (the loss is noticed inside the sink's own
    // signal, where it cannot be deleted).
    void dropLostSink(const QPointer<QAudioSink> &failed);

    QMediaDevices *m_mediaDevices = nullptr;
    QTimer *m_presenceCheck = nullptr; // runs while there is a sink
    QAudioDevice m_device;
    QPointer<QAudioSink> m_sink;
    QPointer<QIODevice> m_pushDevice; // the stream's device, absent while none is connected
    int m_sampleRate = 0;
    bool m_started = false;      // start() made the stream ready for this run
    bool m_streamUsed = false;   // the stream has been resumed since it was connected
    int64_t m_startUSecs = 0;    // processedUSecs() at start()
    QElapsedTimer m_sinceStart;
    int64_t m_streamBytes = 0;   // written into the current stream since it was connected
    QByteArray m_pending;  // received, not yet written
    QByteArray m_written;  // written, not yet reported as played
    int64_t m_bytesWritten = 0;  // since start()
    int64_t m_bytesTaken = 0;
    int64_t m_playedBaseUSecs = 0;
};
