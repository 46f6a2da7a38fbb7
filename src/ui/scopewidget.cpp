#include "ui/scopewidget.h"

#include "state/applicationstate.h"
#include "core/imagehelpers.h"
#include "scopes/waveformrenderer.h"
#include "state/openmedia.h"

#include <QPainter>
#include <QPalette>

#include <algorithm>

ScopeWidget::ScopeWidget(ApplicationState *appState, QWidget *parent)
    : QWidget(parent)
    , state(appState)
    , restTimer(new QTimer(this))
{
    restTimer->setObjectName(QStringLiteral("ScopeRestTimer"));
    restTimer->setSingleShot(true);
    connect(restTimer, &QTimer::timeout, this, [this] {
        if (livePending && following() && inFlight == 0)
            requestLive();
    });
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setBrush(QPalette::All, QPalette::Window, QBrush(Qt::black));
    setPalette(palette);
    connect(state, &ApplicationState::scopeRangeChanged, this, &ScopeWidget::onScopeRangeChanged);
    connect(state, &ApplicationState::scopeKindChanged, this, [this](ScopeKind) {
        if (state->currentMode() == Scope)
            updateScope(-1);
    });
    connect(state, &ApplicationState::viewerRotationChanged, this, &ScopeWidget::onViewerRotationChanged);
}

void ScopeWidget::setMedia(OpenMedia *openMedia)
{
    media = openMedia;
    // Answers of the last file's engine never come: nothing is in flight for this one.
    inFlight = 0;
    livePending = false;
    liveInFlight = false;
    liveReceived = 0;
    restTimer->stop();
}

void ScopeWidget::clearScope()
{
    image = QImage();
}

void ScopeWidget::updateScope(int64_t forceFrame)
{
    if (!media)
        return;
    // While playing, the picture on screen: asking the decoder for another would stall it.
    if (forceFrame < 0 && following()) {
        if (inFlight > 0)
            livePending = true;
        else
            requestLive();
        return;
    }
    const int64_t frame = forceFrame >= 0 ? forceFrame : state->currentFrameNumber();
    const ScopeRange range = state->scopeRange();
    const DisplayChannel channel = state->displayChannel();
    const int rotation = state->viewerRotationDegrees();
    const QImage picture = pictureSource ? pictureSource(frame) : QImage();
    if (!picture.isNull()) {
        // A composed comparison: its waveform (or parade) from the 8-bit picture.
        ScopeRequest request;
        request.kind = state->scopeKind() == ScopeParade ? ScopeParade : ScopeWaveform;
        request.range = range;
        request.channel = channel;
        request.rotationDegrees = rotation;
        QImage scope = (request.kind == ScopeParade ? waveform::buildParadeGraticule(range)
                                                    : waveform::buildScopeGraticule(range)).copy();
        waveform::renderWaveformFromImage(scope, rotateImage(picture, rotation), request);
        // Answered later, as the engine would: a step in flight waits for its scope.
        ++inFlight;
        QMetaObject::invokeMethod(
            this,
            [this, scope, frame] {
                onScopeImageReady(scope, frame);
                emit scopeDrawn(frame);
            },
            Qt::QueuedConnection);
        return;
    }
    ++inFlight;
    media->requestScopeImage(frame, range, channel, rotation, state->scopeKind(), false);
}

bool ScopeWidget::following() const
{
    return media && state->currentMode() == Scope && state->playState() == Forward && state->speedIndex() == 0;
}

void ScopeWidget::requestLive()
{
    livePending = false;
    liveInFlight = true;
    ++inFlight;
    liveClock.start();
    media->requestScopeImage(state->currentFrameNumber(), state->scopeRange(), state->displayChannel(),
                             state->viewerRotationDegrees(), state->scopeKind(), true);
}

void ScopeWidget::onPictureShown()
{
    if (!following())
        return;
    // Never a queue: one request out at a time, and a slow scope waits as long as it took.
    const bool rested = !sinceAnswer.isValid() || sinceAnswer.elapsed() >= lastLiveCostMs;
    if (inFlight > 0 || !rested) {
        livePending = true;
        if (inFlight == 0 && !restTimer->isActive())
            restTimer->start(int(std::clamp<qint64>(lastLiveCostMs - sinceAnswer.elapsed(), 0, 1000)));
        return;
    }
    requestLive();
}

void ScopeWidget::onScopeRangeChanged(ScopeRange)
{
    updateScope(-1);
}

void ScopeWidget::onScopeImageReady(QImage newImage, int64_t)
{
    if (inFlight > 0)
        --inFlight;
    if (liveInFlight && inFlight == 0) {
        liveInFlight = false;
        ++liveReceived;
        lastLiveCostMs = liveClock.elapsed();
        sinceAnswer.start();
    }
    image = std::move(newImage);
    update();
    // A picture shown meanwhile gets its scope once the rest is over.
    if (livePending && inFlight == 0)
        restTimer->start(int(std::min<qint64>(lastLiveCostMs, 1000)));
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
