#pragma once

#include <QSize>

class ApplicationState;
class AudioMeterWidget;
class QComboBox;
class QGraphicsOpacityEffect;
class QLabel;
class QMainWindow;
class QObject;
class QPushButton;
class QStackedWidget;
class QVideoWidget;
class QWidget;
class ScopeWidget;
class SeekBar;

// The main window's widget tree: a path line on top, the 1280 x 720 picture area with its
// four pages, and under it the seek bar, the "i" button, the timecode with the playback
// label, the meter between the routing selectors and the media facts. All widgets are
// children of the window's central widget; none is owned here.
struct WindowWidgets {
    QWidget *topPanel = nullptr;
    QWidget *bottomPanel = nullptr;
    QLabel *pathLabel = nullptr;
    QStackedWidget *viewerStack = nullptr;
    QLabel *dropHintLabel = nullptr;   // page 0
    QVideoWidget *videoWidget = nullptr; // page 1
    QLabel *helpLabel = nullptr;       // page 2
    ScopeWidget *scopeWidget = nullptr; // page 3
    SeekBar *seekBar = nullptr;
    QGraphicsOpacityEffect *seekBarOpacity = nullptr; // parent: the window
    QPushButton *helpButton = nullptr;
    QLabel *playbackInfoLabel = nullptr;
    QLabel *timecodeLabel = nullptr;
    QLabel *compareTimecodeLabel = nullptr; // a compared file's timecode, small, right of it
    QLabel *metadataLabel = nullptr;
    QLabel *inspectorLabel = nullptr; // in no layout; placed by the pixel inspector
    AudioMeterWidget *audioMeter = nullptr;
    QComboBox *leftChannelCombo = nullptr;
    QComboBox *rightChannelCombo = nullptr;
};

namespace windowlayout {

inline constexpr QSize kWindowSize(1380, 920);
inline constexpr QSize kViewerSize(1280, 720);

// Fixed size, centred on the primary screen (only the size of its available area counts,
// not its origin).
void placeWindow(QMainWindow *window);

// Builds the tree in its no-media state: the drop hint, an empty timecode, the routing
// selectors hidden and the seek bar disabled at 0.3 opacity. 'filter' watches the widgets
// that take double-clicks, the wheel and the pointer over the picture.
WindowWidgets build(QMainWindow *window, ApplicationState *state, QObject *filter);

// Full screen shows only the picture area, edge to edge; leaving restores the fixed layout.
void setFullScreen(QMainWindow *window, const WindowWidgets &widgets, bool fullScreen);

} // namespace windowlayout
