#pragma once

// One open file: its engine on a thread of its own, the facts its open found and the frame
// it last answered with. Made to open one file and dropped to close it; the next file gets
// a new object, so nothing of one file (queued answers included) can reach the next. The
// window holds one, a comparison would hold two, and a whole-file analysis can make its own.
//
// Every call to the engine is typed: queued calls of its slots, blocking ones that return a
// value, or runOnEngine for work with the engine itself.
//
// Threads and ownership:
//   - this object: the thread that made it (the GUI thread in the player); not thread-safe.
//   - the VideoEngine: engineThread(), which this object owns; the engine has no parent and
//     is deleted on its thread when that ends. Its AudioEngine is its child there.
//   - abortCurrentTask may be called from any thread.

#include "core/conversionprofile.h"
#include "core/enums.h"
#include "core/mediainfo.h"
#include "engine/videoengine.h"
#include "state/framesource.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <functional>

class QThread;

// How an OpenMedia's engine works; fixed before its thread starts.
struct OpenMediaOptions {
    ScopeRenderFn scopeRenderer;  // null: scope requests are answered with null images
    // One picture, then gone (the CLI's export): no frame cache, no timecode from the
    // pictures, nothing decoded past the target.
    bool oneFrame = false;
    // Bound of the decoded-frame cache in bytes; negative keeps the default. A whole-file
    // analysis passes 0: frames it has read are never asked for again.
    int64_t frameCacheBytes = -1;
    // Frame rate of image sequences over their headers' (0: theirs, else 24).
    double sequenceFps = 0.0;
};

class OpenMedia : public FrameSource
{
    Q_OBJECT

public:
    using Options = OpenMediaOptions;
    enum class Status { Opening, Open, Failed };

    // Starts the engine thread and queues the open of 'path'. The answer, fileOpened, arrives
    // on this object's thread, so connecting to it right after construction is in time.
    explicit OpenMedia(const QString &path, const Options &options = Options(), QObject *parent = nullptr);
    // Every blocking read of the engine gives up, its thread quits and is waited for (at
    // most enginestop::DefaultLimit); a thread stuck where no interrupt reaches is left to
    // end by itself.
    ~OpenMedia() override;

    QString path() const { return m_path; }
    Status status() const { return m_status; }
    // The facts of the file once open (empty before).
    const MediaInfo &info() const { return m_info; }
    // Why the open failed (empty unless Failed).
    QString error() const { return m_error; }
    // Number of the last frame answered with a picture; -1 before the first.
    int64_t currentFrame() const { return m_currentFrame; }
    // Spins a local event loop until the open has answered, at most 'msec' (negative: for
    // as long as it takes); true when open.
    bool waitUntilOpened(int msec = 60000);

    // --- FrameSource ---
    void abortCurrentTask(int latestId) override;
    void requestFrame(int64_t frameNumber, int requestId) override;
    void requestFrameSilently(int64_t frameNumber, int requestId) override;
    void requestNextFrameAtOrAfter(int64_t targetFrame, int requestId) override;
    void requestPlaybackStart(int64_t frameNumber, double soundSeconds, int requestId) override;
    [[nodiscard]] bool primePlaybackQueue(int64_t frameNumber, int requestId) override;
    void clearAudioQueue() override;

    // --- queued ---
    void requestScopeImage(int64_t frameNumber, ScopeRange range, DisplayChannel channel, int rotationDegrees,
                           ScopeKind kind = ScopeWaveform, bool live = false);
    void setConversionProfile(ConversionProfile profile);
    // Exposure (stops) of the view transform of scene-linear pictures.
    void setExposure(double stops);
    // Global channel indexes of the sources for left and right; -1 is silence.
    void setAudioRouting(int left, int right);

    // --- blocking: the calling thread waits for the engine's answer ---
    // The full-resolution picture of frameNumber; null when there is none or the engine
    // could not be asked.
    [[nodiscard]] QImage frameAsImage(int64_t frameNumber);
    // The pixel inspector's text for a point of the viewer canvas (see VideoEngine).
    [[nodiscard]] QString pixelInspectorSourceConvertText(int64_t frameNumber, int canvasX, int canvasY,
                                                          int canvasW, int canvasH, int rotationDegrees);
    // Runs 'work' with the engine on its thread and waits for it to return; false when it
    // could not run. For the CLI, tools and tests that use the engine's own functions.
    [[nodiscard]] bool runOnEngine(const std::function<void(VideoEngine &)> &work);

    QThread *engineThread() const { return m_thread; }

signals:
    // The answer to the open: success with the facts, or the reason it failed.
    void fileOpened(bool success, const MediaInfo &info, const QString &error);
    void scopeImageReady(QImage image, int64_t frameNumber);

private:
    // Queues 'work' on the engine's thread, after every call queued before it.
    void post(std::function<void(VideoEngine &)> work);
    bool waitFor(const std::function<void(VideoEngine &)> &work);

    const QString m_path;
    QThread *m_thread = nullptr;   // child of this object
    VideoEngine *m_engine = nullptr; // lives on m_thread; deleted when it finishes
    Status m_status = Status::Opening;
    MediaInfo m_info;
    QString m_error;
    int64_t m_currentFrame = -1;
};
