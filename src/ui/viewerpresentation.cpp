#include "ui/viewerpresentation.h"

#include "core/conversionprofile.h"
#include "state/applicationstate.h"
#include "state/openmedia.h"
#include "state/playbackcontroller.h"
#include "ui/framepresenter.h"
#include "ui/pixelinspectoroverlay.h"
#include "ui/playbacktimer.h"
#include "ui/scopewidget.h"
#include "ui/uicontroller.h"

#include <QMainWindow>
#include <QStackedWidget>
#include <QTimer>

ViewerPresentation::ViewerPresentation(Parts parts, QObject *parent)
    : QObject(parent)
    , m(std::move(parts))
    , m_controller(m.controller)
{
}

bool ViewerPresentation::isAudioOnly() const
{
    return m.state->mediaInfo().isAudioOnly;
}

bool ViewerPresentation::pictureShown() const
{
    return m.widgets.viewerStack->currentIndex() == UiController::PicturePage && !m.state->isHelpVisible();
}

void ViewerPresentation::rerender()
{
    m_controller->requestSeek(m.state->currentFrameNumber());
}

void ViewerPresentation::sendConversionProfile(DisplayChannel channel)
{
    const ConversionProfile profile = channel != Color ? ChannelIsolation : Standard;
    if (OpenMedia *media = m.media ? m.media() : nullptr)
        media->setConversionProfile(profile);
}

void ViewerPresentation::toggleHelp()
{
    // Full screen has no help page.
    if (m.state->isFullScreen())
        return;
    if (!m.state->isHelpVisible()) {
        m.playbackTimer->stop();
        if (m.state->playState() != Stopped)
            m_controller->setPlaybackState(Stopped, false);
        m.state->setHelpVisible(true);
        return;
    }
    m.state->setHelpVisible(false);
    if (m.state->totalFrames() > 0)
        startPlaybackTimer(m.playbackTimer, m.state->fps());
}

void ViewerPresentation::toggleFullScreen()
{
    if (m.state->currentMode() != Viewer || m.state->totalFrames() == 0)
        return;
    const bool entering = !m.state->isFullScreen();
    m.state->setFullScreen(entering);
    windowlayout::setFullScreen(m.window, m.widgets, entering);
    updateLissajousOverlay();
    updateSafetyArea();
    m.inspector->refresh();
}

void ViewerPresentation::rotate()
{
    if (m.state->currentMode() != Viewer || m.state->totalFrames() <= 0 || isAudioOnly())
        return;
    m.state->setViewerRotationDegrees((m.state->viewerRotationDegrees() + 90) % 360);
    m.widgets.scopeWidget->clearScope();
    // While playing, the next played frame carries the new rotation.
    if (m.state->playState() == Stopped)
        rerender();
}

void ViewerPresentation::selectChannel(DisplayChannel channel)
{
    m.state->setDisplayChannel(channel);
    sendConversionProfile(channel);
    if (m.state->currentMode() == Scope)
        m.widgets.scopeWidget->updateScope(-1);
    else
        rerender();
    m.inspector->dropCache();
    m.inspector->refresh();
}

void ViewerPresentation::toggleScopePage()
{
    if (m.state->totalFrames() == 0 || isAudioOnly())
        return;
    if (m.state->currentMode() == Scope) {
        m.state->setCurrentMode(Viewer);
        rerender();
        return;
    }
    // With live scopes forward 1x plays on and the scope follows; otherwise, and for a
    // shuttle, playback stops as the page changes.
    const bool playOn = m_liveScopes && m.state->playState() == Forward && m.state->speedIndex() == 0;
    if (m.state->playState() != Stopped && !playOn)
        m_controller->setPlaybackState(Stopped, false);
    m.state->setCurrentMode(Scope);
    m.widgets.scopeWidget->clearScope();
    m.widgets.scopeWidget->updateScope(-1);
}

void ViewerPresentation::toggleScopeRange()
{
    if (m.state->currentMode() != Scope)
        return;
    m.state->setScopeRange(m.state->scopeRange() == Percent ? CodeValue : Percent);
    m.widgets.scopeWidget->updateScope(-1);
}

void ViewerPresentation::cycleScopeKind()
{
    if (m.state->currentMode() != Scope)
        return;
    m.state->setScopeKind(ScopeKind((int(m.state->scopeKind()) + 1) % kScopeKindCount));
}

void ViewerPresentation::toggleSafetyArea()
{
    if (m.state->currentMode() != Viewer || m.state->totalFrames() == 0 || isAudioOnly())
        return;
    m.presenter->setSafetyAreaEnabled(!m.presenter->safetyAreaEnabled());
    // The two overlays are never drawn together.
    if (m.presenter->safetyAreaEnabled()) {
        m.presenter->setLissajousEnabled(false);
        updateLissajousOverlay();
    }
    updateSafetyArea();
}

void ViewerPresentation::toggleLissajous()
{
    if (m.state->currentMode() != Viewer || m.state->totalFrames() == 0 || isAudioOnly()
        || m.state->mediaInfo().audioChannelCount <= 0)
        return;
    m.presenter->setLissajousEnabled(!m.presenter->lissajousEnabled());
    if (m.presenter->lissajousEnabled()) {
        m.presenter->setSafetyAreaEnabled(false);
        updateSafetyArea();
    }
    updateLissajousOverlay();
}

void ViewerPresentation::showSafetyAreaForSetUp()
{
    m.presenter->setLissajousEnabled(false);
    m.presenter->setSafetyAreaEnabled(true);
    updateLissajousOverlay();
    updateSafetyArea();
}

void ViewerPresentation::updateLissajousOverlay()
{
    if (!m_controller)
        return;
    const bool old = m_lissajousShown;
    const bool shown = m.presenter->lissajousShown();
    m_lissajousShown = shown;
    // A stopped picture must not keep the figure it was drawn with.
    if (old && !shown && pictureShown() && m.state->playState() == Stopped && m.state->totalFrames() > 0
        && !isAudioOnly())
        rerender();
}

void ViewerPresentation::updateSafetyArea()
{
    if (!m_controller)
        return;
    const bool old = m_safetyAreaShown;
    const bool shown = m.presenter->safetyAreaShown();
    m_safetyAreaShown = shown;
    if (pictureShown() && m.state->playState() == Stopped && m.state->totalFrames() > 0 && !isAudioOnly()
        && (shown != old || shown)) {
        m.inspector->dropCache();
        rerender();
    }
}

void ViewerPresentation::setSafetyArea(int h, int v, int l)
{
    m.presenter->setSafetyArea(viewerpath::SafetyArea::clamped(h, v, l));
    updateSafetyArea();
}
