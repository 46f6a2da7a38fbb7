#pragma once

#include "core/enums.h"
#include "core/mediainfo.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>

// The one observable record of what the player shows. GUI thread only: workers get the
// values they need as arguments of queued calls, never a pointer to this object.
//
// The media facts are typed (mediaInfo(), set by setMediaInfo when a file opens); the
// "mediaProperties" map is their boundary form, for property readers and scripts: the map
// of those facts (MediaInfo::toMap), or the map last given to setMediaProperties, or empty
// while no file is open.
//
// Setters emit only on a real change. setSpeedIndex, setDisplayChannel and setFullScreen
// never emit: their callers carry out the consequences themselves. setMediaInfo and
// setMediaProperties always emit, even with identical facts.
class ApplicationState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariantMap mediaProperties READ mediaProperties NOTIFY mediaPropertiesChanged)
    // By name: the map's value, an invalid QVariant when the map has no such key.
    Q_PROPERTY(QVariant startTimecode READ startTimecodeValue NOTIFY mediaPropertiesChanged)

public:
    explicit ApplicationState(QObject *parent = nullptr);

    QVariantMap mediaProperties() const { return m_mediaProperties; }
    const MediaInfo &mediaInfo() const { return m_mediaInfo; }
    // Facts of a file are set (false while none is open or loading).
    bool hasMedia() const { return !m_mediaProperties.isEmpty(); }
    // The file's start timecode text; empty when it has none.
    QString startTimecode() const { return m_mediaInfo.startTimecode; }
    QVariant startTimecodeValue() const { return m_mediaProperties.value(QStringLiteral("startTimecode")); }

    PlayState playState() const { return m_playState; }
    int speedIndex() const { return m_speedIndex; }
    AppMode currentMode() const { return m_currentMode; }
    DisplayChannel displayChannel() const { return m_displayChannel; }
    ScopeRange scopeRange() const { return m_scopeRange; }
    ScopeKind scopeKind() const { return m_scopeKind; }
    bool isFullScreen() const { return m_isFullScreen; }
    bool isHelpVisible() const { return m_isHelpVisible; }
    bool isGotoMode() const { return m_isGotoMode; }
    int viewerRotationDegrees() const { return m_viewerRotationDegrees; }
    // Exposure (stops) of the view transform of scene-linear pictures.
    double exposureStops() const { return m_exposureStops; }
    int64_t currentFrameNumber() const { return m_currentFrameNumber; }
    int64_t totalFrames() const { return m_mediaInfo.totalFrames; }
    double fps() const { return m_mediaInfo.fps; }
    // "---" when the file has no range text.
    QString videoRangeInfo() const;

signals:
    void playStateChanged(PlayState playState);
    void currentModeChanged(AppMode currentMode);
    void helpVisibleChanged(bool isVisible);
    void gotoModeChanged(bool isGotoMode);
    void scopeRangeChanged(ScopeRange newRange);
    void scopeKindChanged(ScopeKind newKind);
    void viewerRotationChanged(int degrees);
    void exposureChanged(double stops);
    void mediaPropertiesChanged();
    void currentFrameNumberChanged(int64_t newFrameNumber);

public slots:
    void setPlayState(PlayState newPlayState);
    void setSpeedIndex(int newSpeedIndex);
    void setCurrentMode(AppMode newCurrentMode);
    void setDisplayChannel(DisplayChannel newDisplayChannel);
    void setScopeRange(ScopeRange newScopeRange);
    void setScopeKind(ScopeKind newScopeKind);
    void setFullScreen(bool newIsFullScreen);
    void setHelpVisible(bool newIsHelpVisible);
    void setGotoMode(bool newIsGotoMode);
    void setViewerRotationDegrees(int newViewerRotationDegrees);
    void setExposureStops(double stops);
    void setCurrentFrameNumber(int64_t newCurrentFrameNumber);
    // The facts of the file now open; a default MediaInfo (no file) clears them.
    void setMediaInfo(const MediaInfo &info);
    // The same from a properties map (keys and types of MediaInfo::toMap).
    void setMediaProperties(QVariantMap properties);

private:
    PlayState m_playState = Stopped;
    int m_speedIndex = 0;
    AppMode m_currentMode = Viewer;
    DisplayChannel m_displayChannel = Color;
    ScopeRange m_scopeRange = Percent;
    ScopeKind m_scopeKind = ScopeWaveform;
    bool m_isFullScreen = false;
    bool m_isHelpVisible = false;
    bool m_isGotoMode = false;
    int m_viewerRotationDegrees = 0;
    double m_exposureStops = 0.0;
    int64_t m_currentFrameNumber = 0;
    QVariantMap m_mediaProperties;
    MediaInfo m_mediaInfo;
};
