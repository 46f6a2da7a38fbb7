#pragma once

#include "core/enums.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <cstdint>

class ApplicationState;
class OpenMedia;

// The scope page: asks the engine, on the engine's thread, for the scope image of a frame
// under the state's range, channel and rotation, and paints the last image that came back
// stretched over the whole widget. Computes nothing itself. GUI thread only.
class ScopeWidget : public QWidget
{
    Q_OBJECT

public:
    ScopeWidget(ApplicationState *state, QWidget *parent);

    // The open file asked for scope images; while null no request is sent.
    void setMedia(OpenMedia *media);
    // Forgets the image without repainting; the next paint or the next answer shows it.
    void clearScope();
    // The image last received (null while the page is empty).
    QImage scopeImage() const { return image; }

public slots:
    // Requests the scope of forceFrame, or of the current frame when it is negative. The
    // engine answers later, once per request, through scopeImageReady.
    void updateScope(int64_t forceFrame = -1);
    void onScopeRangeChanged(ScopeRange newRange);
    void onScopeImageReady(QImage image, int64_t frameNumber);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void onViewerRotationChanged(int degrees);

    ApplicationState *state;        // not owned
    QPointer<OpenMedia> media;      // not owned
    QImage image;
};
