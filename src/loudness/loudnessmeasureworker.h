#pragma once

#include <QObject>
#include <QString>

#include <atomic>

// What to measure. Times are seconds from the start of the file's main video stream (the
// picture's frame numbers count from there); channels are global audio channel indexes
// (all audio streams numbered in stream order, at most 8), negative for silence.
struct LoudnessMeasureRequest {
    QString filePath;
    double startSec = 0.0;
    double endSec = 0.0;
    int leftChannel = 0;
    int rightChannel = 1;
};

// Measures the EBU R128 integrated loudness and true peak of one channel pair over a range
// of a file, with its own demuxer and decoders, independent of the player's engine. Meant
// to live on a QThread of its own: run() is connected to the thread's started signal and
// ends with exactly one of measurementReady, failed or aborted, then finished().
class LoudnessMeasureWorker : public QObject
{
    Q_OBJECT

public:
    explicit LoudnessMeasureWorker(const LoudnessMeasureRequest &request, QObject *parent = nullptr);

signals:
    // 0..90 while decoding, 100 once the meter has been flushed; sent only on a change.
    void progressChanged(int progress);
    void measurementReady(double truePeakDb, double integratedLufs);
    void failed(QString message);
    void aborted();
    void finished();

public slots:
    // The whole measurement; blocks its thread until done. Run it once.
    void run();
    // Thread-safe; called directly from the GUI thread. run() notices it between packets,
    // frames and blocks and ends with aborted().
    void abort();

private:
    struct Outcome;
    Outcome measure();
    void setProgress(int progress);
    bool abortRequestedNow() const { return abortRequested.load(std::memory_order_relaxed); }

    // Set at construction, read only by run().
    const QString filePath;
    const double startSec;
    const double endSec;
    const int leftChannel;
    const int rightChannel;
    // Written by abort() from any thread, polled by run().
    std::atomic<bool> abortRequested{false};
    // The measuring thread's only.
    int lastProgress = -1;
};
