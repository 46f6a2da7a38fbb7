#pragma once

#include "core/timecode.h"
#include "core/enums.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <optional>

class ApplicationState;
class QGraphicsOpacityEffect;
class QLabel;
class QSlider;
class QStackedWidget;

// Presenter between ApplicationState and the main window's passive widgets: the
// information text, the running timecode (a clock for audio-only media), the seek bar's
// position, enabled state and opacity, and the page of the picture area. It owns none of
// what it is given. GUI thread only.
//
// 'timecode' and 'startTimecodeOffset' point at the main window's members, which are
// replaced on every file open; both must outlive this object. An empty timecode means
// the file has none and the label keeps its text.
class UiController : public QObject
{
    Q_OBJECT

public:
    // Pages of the picture area's stack.
    enum Page { DropHintPage = 0, PicturePage = 1, HelpPage = 2, ScopePage = 3 };

    static constexpr const char *whiteStyle = "color: #ffffff; letter-spacing: 2px;";
    static constexpr const char *amberStyle = "color: #FFB74D; letter-spacing: 2px;";

    UiController(ApplicationState *state, QLabel *metadataLabel, QLabel *timecodeLabel, QSlider *seekBar,
                 QStackedWidget *viewerStack, QGraphicsOpacityEffect *seekBarOpacity,
                 std::optional<Timecode> *timecode, const int64_t *startTimecodeOffset,
                 QObject *parent = nullptr);

    // Seconds as H:MM:SS.mmm with at least two hour digits; hours are not wrapped.
    // Negative or non-finite input reads as 0.
    static QString formatTimeText(double seconds);

public slots:
    // Shows the state's media facts (called whenever they change).
    void updateMetadata();
    // Moves the seek bar without triggering a seek, then shows the frame's timecode
    // (or clock time) unless a timecode entry owns the label.
    void updateTimecode(int64_t frameNumber);
    void onAppModeChanged(AppMode mode);
    void onPlayStateChanged(PlayState state);
    void onGotoModeChanged(bool isGoto);
    void onHelpVisibleChanged(bool visible);

private:
    void refreshTimecodeStyle();
    void setTimecodeStyle(const char *styleSheet);
    void setSeekBarOpacity(double opacity);

    ApplicationState *m_state;
    QPointer<QLabel> m_metadataLabel;
    QPointer<QLabel> m_timecodeLabel;
    QPointer<QSlider> m_seekBar;
    QPointer<QStackedWidget> m_viewerStack;
    QPointer<QGraphicsOpacityEffect> m_seekBarOpacity;
    std::optional<Timecode> *m_timecode;
    const int64_t *m_startTimecodeOffset;
};
