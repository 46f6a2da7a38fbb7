#pragma once

#include "ui/windowlayout.h"

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class ApplicationState;
class AudioOutput;
class AudioRoutingSelector;
class CompareSession;
class FrameNavigator;
class FramePresenter;
class ImageExporter;
class KeyCommandTable;
class OpenMedia;
class PixelInspectorOverlay;
class PlaybackController;
class QTimer;
class QcEventLane;
class QcGraphStrip;
class QcEventList;
class QcEventNavigator;
class QcReportExport;
class QcSession;
class QVideoSink;
class TimecodeField;
class UiController;
class ViewerPresentation;
class WindowDialogs;
struct MediaInfo;

// The one top-level window: the composition root. It owns the open file (an OpenMedia, with
// its engine on a thread of its own), the shared state, the presenters, the features and
// every widget, wires them together, binds the keys and handles opening a file. The
// features live in their own classes: the seek bar, frame navigation, timecode entry,
// routing, presentation, the dialogs, the QC analysis with its lane and list and the comparison
// with a second file. Everything here lives on the GUI thread; the
// engine is reached only through OpenMedia's typed calls.
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

private:
    // Drops the open file (its answers with it) and starts opening 'path' in its place.
    void replaceMedia(const QString &path);
    void connectStateFanOut();
    void connectSeekBar();
    // The QC analysis of the open file: its lane, jumps, event list, report and settings.
    void setUpQc();
    // The second file to compare with: its session, its open command and the scope's picture.
    void setUpCompare();
    void showQcSettings();
    // Double-click on the media facts: the image sequences' rate; an open sequence opens again.
    void showSequenceRate();
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

    OpenMedia *media = nullptr; // the open file (child); a new one for every open
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
    QcSession *qcSession = nullptr;
    QcEventLane *qcLane = nullptr;
    QcGraphStrip *qcGraphs = nullptr;
    QcEventNavigator *qcNavigator = nullptr;
    QcEventList *qcList = nullptr;
    QcReportExport *qcExport = nullptr;
    CompareSession *compare = nullptr; // a second file beside the open one
    std::unique_ptr<KeyCommandTable> commands;
    std::function<void(const QString &)> fileRevealer;
};
