#pragma once

#include "core/enums.h"
#include "core/timecode.h"
#include "ui/timecodeentry.h"

#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QVariantMap>

#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class ApplicationState;
class AudioMeterWidget;
struct MediaInfo;
class AudioOutput;
class FramePresenter;
class KeyCommandTable;
class PixelInspectorOverlay;
class PlaybackController;
class QComboBox;
class QDialog;
class QGraphicsOpacityEffect;
class QLabel;
class QPushButton;
class QSlider;
class QStackedWidget;
class QThread;
class QTimer;
class QVideoSink;
class QVideoWidget;
class UiController;
class OpenMedia;
class ImageExporter;
class ScopeWidget;

// The one top-level window: owns the open file (an OpenMedia, with its engine on a thread of
// its own), the shared state, the presenters and every widget, and wires them together.
// Everything here lives on the GUI thread; the engine is reached only through OpenMedia's
// typed calls.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // Closes the open file: its engine thread is stopped and waited for, within a bound (the
    // engine may be in the middle of a long decode, and must not outlive what it reports to).
    ~MainWindow() override;

    // Closes the open file, shows "Loading..." and opens 'path' as a new OpenMedia; the
    // answer arrives at onFileOpened.
    void openMediaFile(const QString &path);

    // Overlay and inspector refreshes, called from the state fan-out and the commands.
    void updateLissajousOverlay();
    void updateSafetyArea();
    void updatePixelInspector();
    // Clamps H and V to 2..100 (below 3 becomes 2) and L to 0..100.
    void setSafetyArea(int h, int v, int l);
    // Rebuilds the audio output (16-bit stereo at sampleRate) on its chosen device.
    void recreateAudioSink(int sampleRate);
    // Shows a file in the system's file manager; the application sets the platform's way.
    // Without one, a double-click on the path does nothing.
    void setFileRevealer(std::function<void(const QString &)> revealer) { fileRevealer = std::move(revealer); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void onAboutClicked();
    void onFileOpened(bool success, const MediaInfo &info, const QString &error);
    void onSeekBarPressed();
    void onSeekBarReleased();
    void onSeekThrottleTimer();

private:
    void buildWidgetTree();
    // Drops the open file (its answers with it) and starts opening 'path' in its place.
    void replaceMedia(const QString &path);
    void connectStateFanOut();
    void onFrameNumberChanged(int64_t frameNumber);
    void onScopeImageArrived(const QImage &image, int64_t frameNumber);
    void onRoutingChanged();
    // The meter reads the routed channels from the controller.
    void syncMeterRouting();
    void initTimecode();
    void turnInspectorOff();
    void showMessageDialog(const QString &title, const QString &message);
    void showSafetyAreaDialog();
    void showAudioDeviceDialog();
    void onAudioDeviceLost(const QString &message);
    // The pattern every modal dialog of the window follows: pause, run 'whilePaused',
    // centre over the picture, exec(), then re-render and restart the timer if it ran.
    int runModalDialog(QDialog &dialog, const std::function<void()> &whilePaused = {});
    void centreDialog(QDialog *dialog) const;
    // Modal dialogs pause the player first; the result says whether the playback timer ran.
    bool pauseForDialog();
    void resumeAfterDialog(bool timerWasActive);
    // The loudness chord: measures the routed pair from the current frame to the end.
    void startLoudnessMeasurement();
    // Shows the current frame again with the present settings (a seek, so it stops playback).
    void rerender();
    // The picture page is shown and the help overlay is not.
    bool pictureShown() const;
    bool isAudioOnly() const;
    int audioChannelCount() const;
    int playbackIntervalMs() const;

    // Keyboard, wheel and pointer commands (mainwindow_commands.cpp).
    void connectCommandTimers();
    // Binds the keys to their commands; keyPressEvent dispatches through the table.
    void buildCommandTable();
    // Wheel over the seek bar and pointer moves over the picture; true when consumed.
    bool filterCommandEvent(QObject *watched, QEvent *event);
    // Shows frame f on the current page; on the scope page the scope follows 100 ms later.
    // A step (arrows, wheel) lets the engine answer from frames it has decoded already.
    void seekToFrame(int64_t frame, bool step = false);
    void onScopeDeferTimer();
    // Tab: picture page <-> scope page (only with frames, not for audio-only media).
    void toggleScopePage();
    void startStepping(int direction, bool bySecond, int key);
    // One step of a held stepping key; waits for the previous step's frame to arrive.
    void stepOnce(bool fromTimer);
    void stopStepping();
    void toggleHelp();
    void toggleFullScreen();
    void rotateView();
    void selectChannel(DisplayChannel channel);
    void toggleSafetyArea();
    void toggleLissajous();
    void turnInspectorOn();

    // Timecode entry, copy and reveal (mainwindow_timecode.cpp).
    void enterTimecodeEntry();
    // Leaves the mode; with apply, first jumps to the typed timecode if it names a frame.
    void leaveTimecodeEntry(bool apply);
    void timecodeEntryKey(QKeyEvent *event);
    // Double-clicks on the timecode (copy) and the path (reveal); true when consumed.
    bool filterLabelDoubleClick(QObject *watched, QEvent *event);
    void applyDefaultRouting();
    void gangRouting(int channel);
    void toggleMute();
    // Sets both combos with their signals blocked, then runs the routing handler once.
    void setRoutingIndices(int left, int right);

    QLabel *pathLabel = nullptr;
    QStackedWidget *viewerStack = nullptr;
    QLabel *dropHintLabel = nullptr;
    QVideoWidget *videoWidget = nullptr;
    QVideoSink *videoSink = nullptr; // the video widget's, not owned
    ScopeWidget *scopeWidget = nullptr; // stack page 3
    ImageExporter *imageExporter = nullptr;
    QSlider *seekBar = nullptr;
    QLabel *timecodeLabel = nullptr;
    QLabel *metadataLabel = nullptr;
    QLabel *playbackInfoLabel = nullptr;
    QLabel *inspectorLabel = nullptr; // in no layout; placed by hand
    QPushButton *helpButton = nullptr;
    QWidget *topPanel = nullptr;
    QWidget *bottomPanel = nullptr;
    AudioMeterWidget *audioMeter = nullptr;
    QComboBox *leftChannelCombo = nullptr;
    QComboBox *rightChannelCombo = nullptr;
    bool lissajousShown = false;   // as last drawn, to redraw a stopped picture without it
    bool safetyAreaShown = false;
    PixelInspectorOverlay *pixelInspector = nullptr;
    OpenMedia *media = nullptr; // the open file (child); a new one for every open
    QGraphicsOpacityEffect *seekBarOpacity = nullptr;
    // Display timecode of the open file; empty for audio-only media or when it cannot be
    // built. Read by address by the presenters, written only here.
    std::optional<Timecode> timecode;
    QTimer *seekThrottleTimer = nullptr;
    bool seekBarDragging = false;
    int64_t startTimecodeOffset = 0;
    ApplicationState *appState = nullptr;
    UiController *uiController = nullptr;
    PlaybackController *playbackController = nullptr;
    FramePresenter *framePresenter = nullptr;
    AudioOutput *audioOutput = nullptr;
    QTimer *playbackTimer = nullptr;
    bool audioMuted = false;
    bool routingFromMute = false;
    int savedLeftIndex = -1;
    int savedRightIndex = -1;
    QLabel *helpLabel = nullptr;
    TimecodeEntry timecodeEntry;
    std::function<void(const QString &)> fileRevealer;
    QTimer *stepTimer = nullptr;
    int stepDirection = 0;
    int stepKey = 0;
    bool stepBySecond = false;
    bool stepInitialDelay = false;
    bool stepInFlight = false;
    bool kHeld = false;
    int64_t stepTarget = -1;
    int wheelAccumulator = 0;
    QTimer *scopeDeferTimer = nullptr;
    int64_t scopePendingFrame = -1;
    std::unique_ptr<KeyCommandTable> commands;
    QPointer<QDialog> deviceWarning; // the lost-device notice while it is open
};
