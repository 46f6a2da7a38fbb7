#include "ui/scopewidget.h"

#include "state/applicationstate.h"
#include "core/imagehelpers.h"
#include "scopes/waveformrenderer.h"
#include "state/openmedia.h"

#include <QPainter>
#include <QPalette>

ScopeWidget::ScopeWidget(ApplicationState *appState, QWidget *parent)
    : QWidget(parent)
    , state(appState)
{
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setBrush(QPalette::All, QPalette::Window, QBrush(Qt::black));
    setPalette(palette);
    connect(state, &ApplicationState::scopeRangeChanged, this, &ScopeWidget::onScopeRangeChanged);
    connect(state, &ApplicationState::viewerRotationChanged, this, &ScopeWidget::onViewerRotationChanged);
}

void ScopeWidget::setMedia(OpenMedia *openMedia)
{
    media = openMedia;
}

void ScopeWidget::clearScope()
{
    image = QImage();
}

void ScopeWidget::updateScope(int64_t forceFrame)
{
    if (!media)
        return;
    const int64_t frame = forceFrame >= 0 ? forceFrame : state->currentFrameNumber();
    const ScopeRange range = state->scopeRange();
    const DisplayChannel channel = state->displayChannel();
    const int rotation = state->viewerRotationDegrees();
    const QImage picture = pictureSource ? pictureSource(frame) : QImage();
    if (!picture.isNull()) {
        ScopeRequest request;
        request.range = range;
        request.channel = channel;
        request.rotationDegrees = rotation;
        QImage scope = waveform::buildScopeGraticule(range).copy();
        waveform::renderWaveformFromImage(scope, rotateImage(picture, rotation), request);
        // Answered later, as the engine would: a step in flight waits for its scope.
        QMetaObject::invokeMethod(
            this,
            [this, scope, frame] {
                onScopeImageReady(scope, frame);
                emit scopeDrawn(frame);
            },
            Qt::QueuedConnection);
        return;
    }
    media->requestScopeImage(frame, range, channel, rotation);
}

void ScopeWidget::onScopeRangeChanged(ScopeRange)
{
    updateScope(-1);
}

void ScopeWidget::onScopeImageReady(QImage newImage, int64_t)
{
    image = std::move(newImage);
    update();
}

void ScopeWidget::onViewerRotationChanged(int)
{
    // The old image describes the old turn: blank until the new one arrives.
    image = QImage();
    update();
    if (state->currentMode() == Scope)
        updateScope(-1);
}

void ScopeWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (image.isNull())
        painter.fillRect(rect(), Qt::black);
    else
        painter.drawImage(rect(), image);
}
