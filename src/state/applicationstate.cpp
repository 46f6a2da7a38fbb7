#include "state/applicationstate.h"

#include "core/rotation.h"

ApplicationState::ApplicationState(QObject *parent)
    : QObject(parent)
{
}

void ApplicationState::setPlayState(PlayState newPlayState)
{
    if (m_playState == newPlayState)
        return;
    m_playState = newPlayState;
    emit playStateChanged(m_playState);
}

void ApplicationState::setSpeedIndex(int newSpeedIndex)
{
    m_speedIndex = newSpeedIndex;
}

void ApplicationState::setCurrentMode(AppMode newCurrentMode)
{
    if (m_currentMode == newCurrentMode)
        return;
    m_currentMode = newCurrentMode;
    emit currentModeChanged(m_currentMode);
}

void ApplicationState::setDisplayChannel(DisplayChannel newDisplayChannel)
{
    m_displayChannel = newDisplayChannel;
}

void ApplicationState::setScopeRange(ScopeRange newScopeRange)
{
    if (m_scopeRange == newScopeRange)
        return;
    m_scopeRange = newScopeRange;
    emit scopeRangeChanged(m_scopeRange);
}

void ApplicationState::setScopeKind(ScopeKind newScopeKind)
{
    if (m_scopeKind == newScopeKind)
        return;
    m_scopeKind = newScopeKind;
    emit scopeKindChanged(m_scopeKind);
}

void ApplicationState::setFullScreen(bool newIsFullScreen)
{
    m_isFullScreen = newIsFullScreen;
}

void ApplicationState::setHelpVisible(bool newIsHelpVisible)
{
    if (m_isHelpVisible == newIsHelpVisible)
        return;
    m_isHelpVisible = newIsHelpVisible;
    emit helpVisibleChanged(m_isHelpVisible);
}

void ApplicationState::setGotoMode(bool newIsGotoMode)
{
    if (m_isGotoMode == newIsGotoMode)
        return;
    m_isGotoMode = newIsGotoMode;
    emit gotoModeChanged(m_isGotoMode);
}

void ApplicationState::setViewerRotationDegrees(int newViewerRotationDegrees)
{
    const int normalized = normalizeQuarterTurn(newViewerRotationDegrees);
    if (m_viewerRotationDegrees == normalized)
        return;
    m_viewerRotationDegrees = normalized;
    emit viewerRotationChanged(m_viewerRotationDegrees);
}

void ApplicationState::setExposureStops(double stops)
{
    if (m_exposureStops == stops)
        return;
    m_exposureStops = stops;
    emit exposureChanged(m_exposureStops);
}

void ApplicationState::setCurrentFrameNumber(int64_t newCurrentFrameNumber)
{
    if (m_currentFrameNumber == newCurrentFrameNumber)
        return;
    m_currentFrameNumber = newCurrentFrameNumber;
    emit currentFrameNumberChanged(m_currentFrameNumber);
}

QString ApplicationState::videoRangeInfo() const
{
    return m_mediaInfo.videoRangeInfo.isEmpty() ? QStringLiteral("---") : m_mediaInfo.videoRangeInfo;
}

void ApplicationState::setMediaInfo(const MediaInfo &info)
{
    m_mediaInfo = info;
    m_mediaProperties = info.isOpen() ? info.toMap() : QVariantMap();
    emit mediaPropertiesChanged();
}

void ApplicationState::setMediaProperties(QVariantMap properties)
{
    m_mediaInfo = MediaInfo::fromMap(properties);
    m_mediaProperties = properties;
    emit mediaPropertiesChanged();
}
