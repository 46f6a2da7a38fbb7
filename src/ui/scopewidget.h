#pragma once

#include "core/enums.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>

class ApplicationState;
class OpenMedia;

// The scope page: asks the engine, on the engine's thread, for the scope image of a frame
// under the state's kind, range, channel and rotation, and paints the last image that came
// back stretched over the whole widget. Computes nothing itself, except for a picture the
// window composes (a comparison), whose waveform is drawn here on the GUI thread. GUI
// thread only.
//
// While forward 1x plays on this page the scope follows the pictures shown: at most one
// request is with the engine, a picture shown meanwhile is only remembered (the latest one
// wins when the answer comes), and a scope that took t to make is not asked for again
// within t of its answer, so that the engine keeps at least half its time for decoding.
class ScopeWidget : public QWidget
{
    Q_OBJECT

public:
    ScopeWidget(ApplicationState *state, QWidget *parent);

    // The open file asked for scope images; while null no request is sent.
    void setMedia(OpenMedia *media);
    // Forgets the image without repainting; the next paint or the next answer shows it.
    void clearScope();
    // A picture to draw the scope of instead of asking the engine (a comparison's view);
    // while it gives a null image the engine is asked as before.
    using PictureSource = std::function<QImage(int64_t frame)>;
    void setPictureSource(PictureSource source) { pictureSource = std::move(source); }
    // The image last received (null while the page is empty).
    QImage scopeImage() const { return image; }
    // Requests sent and not yet answered.
    int requestsInFlight() const { return inFlight; }
    // Live scope images received since the file was set.
    int liveImagesReceived() const { return liveReceived; }

public slots:
    // Requests the scope of forceFrame, or of the current frame when it is negative. The
    // engine answers later, once per request, through scopeImageReady.
    void updateScope(int64_t forceFrame = -1);
    void onScopeRangeChanged(ScopeRange newRange);
    void onScopeImageReady(QImage image, int64_t frameNumber);
    // Playback put a picture on screen.
    void onPictureShown();

signals:
    // A scope drawn here from the picture source is shown (the engine's has scopeImageReady).
    void scopeDrawn(int64_t frameNumber);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void onViewerRotationChanged(int degrees);
    bool following() const;
    void requestLive();

    ApplicationState *state;        // not owned
    QPointer<OpenMedia> media;      // not owned
    QImage image;
    PictureSource pictureSource;
    int inFlight = 0;
    bool livePending = false;     // a picture was shown while a request was out
    bool liveInFlight = false;
    QElapsedTimer liveClock;      // since the last live request went out
    qint64 lastLiveCostMs = 0;    // its round trip
    QElapsedTimer sinceAnswer;
    QTimer *restTimer;            // sends the remembered request once the rest is over
    int liveReceived = 0;
};
