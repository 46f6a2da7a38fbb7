#pragma once

#include "ui/windowlayout.h"

#include <QMainWindow>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <memory>

class ApplicationState;
class AudioOutput;
class AudioRoutingSelector;
class FrameNavigator;
class FramePresenter;
class ImageExporter;
class KeyCommandTable;
class PixelInspectorOverlay;
class PlaybackController;
class QThread;
class QTimer;
class QVideoSink;
class TimecodeField;
class UiController;
class VideoEngine;
class ViewerPresentation;
class WindowDialogs;

// The one top-level window: the composition root. It owns the engine thread, the shared
// state, the presenters, the features and every widget, wires them together, binds the
// keys and handles opening a file. The features live in their own classes: the seek bar,
// frame navigation, timecode entry, routing, presentation and the dialogs.
// Everything here lives on the GUI thread except videoEngine, which runs on videoThread
// and is reached only by queued calls by name.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // Blocks until the engine thread has finished its current request: the engine may be
    // in the middle of a long decode, and it must not outlive the objects it reports to.
    ~MainWindow() override;

    // Clears the open media, shows "Loading..." and queues the open on the engine thread;
    // the answer arrives at onFileOpened.
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
    void onFileOpened(bool success, QVariantMap fileInfo, QString error);

private:
    void connectStateFanOut();
    void connectSeekBar();
    void onFrameNumberChanged(int64_t frameNumber);
    // Either routing selector changed (also while a file's channels are filled in).
    void onRoutingChanged();
    // Sets up the selectors, the meter and the sink for the file just opened.
    void setUpAudio(int channels);
    // The keys, in the order they are tried (mainwindow_commands.cpp).
    void buildCommandTable();
    void revealOpenFile();
    bool isAudioOnly() const;
    int audioChannelCount() const;

    QThread *videoThread = nullptr;
    VideoEngine *videoEngine = nullptr; // no parent; deleted when videoThread finishes
    WindowWidgets ui;
    QVideoSink *videoSink = nullptr; // the video widget's, not owned
    ApplicationState *appState = nullptr;
    AudioOutput *audioOutput = nullptr;
    UiController *uiController = nullptr;
    QTimer *playbackTimer = nullptr;
    PlaybackController *playbackController = nullptr;
    FramePresenter *framePresenter = nullptr;
    PixelInspectorOverlay *pixelInspector = nullptr;
    ImageExporter *imageExporter = nullptr;
    FrameNavigator *navigator = nullptr;
    TimecodeField *timecodeField = nullptr;
    AudioRoutingSelector *routing = nullptr;
    ViewerPresentation *presentation = nullptr;
    WindowDialogs *dialogs = nullptr;
    std::unique_ptr<KeyCommandTable> commands;
    std::function<void(const QString &)> fileRevealer;
};
