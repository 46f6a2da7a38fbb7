#pragma once

// What the playback controller asks of the engine of an open file, as typed calls: a
// renamed call or a wrong argument fails to compile. OpenMedia implements it with queued
// calls to its engine thread; a test can stand in for the engine by implementing it too.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QVideoFrame>

#include <cstdint>

class FrameSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Direct, from any thread: running work for an older request id may give up.
    virtual void abortCurrentTask(int latestId) = 0;
    // Queued; every request is answered by exactly one frameReady carrying its id.
    virtual void requestFrame(int64_t frameNumber, int requestId) = 0;
    virtual void requestFrameSilently(int64_t frameNumber, int requestId) = 0;
    virtual void requestNextFrameAtOrAfter(int64_t targetFrame, int requestId) = 0;
    // Forward playback begins at frameNumber: requestFrame's answer, carrying at least
    // soundSeconds of sound from that frame on (less only where the file ends).
    virtual void requestPlaybackStart(int64_t frameNumber, double soundSeconds, int requestId) = 0;
    // Blocks until the engine has decoded its playback queue up to frameNumber; false when
    // the engine could not be asked.
    [[nodiscard]] virtual bool primePlaybackQueue(int64_t frameNumber, int requestId) = 0;
    // Queued: drops the sound decoded so far.
    virtual void clearAudioQueue() = 0;

signals:
    // The answer to a frame request, on the thread of this object.
    void frameReady(QVideoFrame frame, int64_t frameNumber, QList<float> audioLevels, QList<float> peakLevels,
                    QByteArray audioBuffer, int requestId);
};
