#pragma once

#include "core/enums.h"
#include "ui/windowlayout.h"

#include <QObject>
#include <QPointer>

#include <functional>

class FramePresenter;
class PixelInspectorOverlay;
class PlaybackController;
class QMainWindow;
class QTimer;
class OpenMedia;

// How the picture is presented: the help page, full screen, rotation, the isolated
// channel, the picture/scope page and the scope range, and the two overlays (safety area,
// Lissajous figure), which are never drawn together. A change that alters a stopped
// picture shows the current frame again. GUI thread only; owns nothing it is given.
class ViewerPresentation : public QObject
{
    Q_OBJECT

public:
    struct Parts {
        QMainWindow *window = nullptr;
        WindowWidgets widgets;
        ApplicationState *state = nullptr;
        PlaybackController *controller = nullptr;
        FramePresenter *presenter = nullptr;
        PixelInspectorOverlay *inspector = nullptr;
        QTimer *playbackTimer = nullptr;
        std::function<OpenMedia *()> media; // the open file, told the conversion profile
    };

    explicit ViewerPresentation(Parts parts, QObject *parent = nullptr);

    // Help stops playback and its timer; hiding it restarts the timer. None in full screen.
    void toggleHelp();
    // Only on the picture page of an open file.
    void toggleFullScreen();
    // A quarter turn clockwise (picture page, video frames).
    void rotate();
    void selectChannel(DisplayChannel channel);
    // Tab: picture page <-> scope page (video frames only). Playback stops on the way to
    // the scope page unless live scopes are on and it plays forward at 1x.
    void toggleScopePage();
    // Live scopes: the scope page follows forward 1x playback (setting scopes/live).
    void setLiveScopes(bool live) { m_liveScopes = live; }
    bool liveScopes() const { return m_liveScopes; }
    // D: percent <-> code values (scope page only).
    void toggleScopeRange();
    // V: waveform, parade, vectorscope, histogram, the four at once, and round again
    // (scope page only).
    void cycleScopeKind();
    void toggleSafetyArea();
    void toggleLissajous();
    // The safety area on and the figure off, while the set-up dialog adjusts the area.
    void showSafetyAreaForSetUp();

    // Re-evaluate whether each overlay is drawn; a stopped picture is shown again when it
    // must lose the figure or gain or keep the lines.
    void updateLissajousOverlay();
    void updateSafetyArea();
    // Clamps H and V to 2..100 (below 3 becomes 2) and L to 0..100.
    void setSafetyArea(int h, int v, int l);

    // The current frame again with the present settings (a seek, so it stops playback).
    void rerender();
    // The picture page is shown and the help overlay is not.
    bool pictureShown() const;

private:
    bool isAudioOnly() const;
    void sendConversionProfile(DisplayChannel channel);

    Parts m;
    QPointer<PlaybackController> m_controller; // gone first when the window closes
    bool m_lissajousShown = false; // as last drawn, to redraw a stopped picture without it
    bool m_safetyAreaShown = false;
    bool m_liveScopes = false;
};
