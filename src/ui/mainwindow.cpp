#include "ui/mainwindow.h"

#include "audio/audiooutput.h"
#include "core/levels.h"
#include "core/metatypes.h"
#include "core/playersettings.h"
#include "scopes/scoperenderer.h"
#include "state/applicationstate.h"
#include "state/openmedia.h"
#include "state/playbackcontroller.h"
#include "ui/audiometerwidget.h"
#include "ui/audioroutingselector.h"
#include "ui/comparesession.h"
#include "ui/framenavigator.h"
#include "ui/framepresenter.h"
#include "ui/imageexporter.h"
#include "ui/keycommands.h"
#include "ui/openfilecommand.h"
#include "ui/pixelinspectoroverlay.h"
#include "ui/playbacktimer.h"
#include "ui/qceventlane.h"
#include "ui/qcgraphstrip.h"
#include "ui/qceventlist.h"
#include "ui/qceventnavigator.h"
#include "ui/qcreportexport.h"
#include "ui/qcsession.h"
#include "ui/qcsettingsdialog.h"
#include "ui/sequenceratedialog.h"
#include "ui/scopewidget.h"
#include "ui/seekbar.h"
#include "ui/timecodefield.h"
#include "ui/uicontroller.h"
#include "ui/exposurecontrol.h"
#include "ui/viewerpresentation.h"
#include "ui/windowdialogs.h"

#include <QCursor>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMediaDevices>
#include <QMimeData>
#include <QBoxLayout>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>
#include <QVideoSink>
#include <QVideoWidget>

#include <algorithm>
#include <limits>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    registerMetaTypes();

    setAcceptDrops(true);
    setWindowTitle(QStringLiteral("Orvel"));
    windowlayout::placeWindow(this);

    appState = new ApplicationState(this);
    audioOutput = new AudioOutput(this);

    // The scope page is built here so that its own connections to the state come first.
    ui = windowlayout::build(this, appState, this);
    videoSink = ui.videoWidget->videoSink();
    connect(ui.helpButton, &QPushButton::clicked, this, &MainWindow::onAboutClicked);
    routing = new AudioRoutingSelector(ui.leftChannelCombo, ui.rightChannelCombo, this);
    connect(routing, &AudioRoutingSelector::changed, this, &MainWindow::onRoutingChanged);
    timecodeField = new TimecodeField(appState, ui.timecodeLabel, ui.bottomPanel,
                                      [this](int64_t frame) { navigator->seekTo(frame); }, this);

    uiController = new UiController(appState, ui.metadataLabel, ui.timecodeLabel, ui.seekBar, ui.viewerStack,
                                    ui.seekBarOpacity, timecodeField->displayTimecode(),
                                    timecodeField->startOffset(), this);

    playbackTimer = new QTimer(this);
    playbackTimer->setTimerType(Qt::PreciseTimer);
    playbackController = new PlaybackController(appState, nullptr, audioOutput, this);
    framePresenter = new FramePresenter(appState, videoSink, audioOutput, this);
    // Every picture passes the comparison, which hands A on alone while no B is open.
    compare = new CompareSession({this, appState, ui.viewerStack, ui.videoWidget, ui.compareTimecodeLabel,
                                  [this] { return media; },
                                  [this](const QVideoFrame &frame) { framePresenter->present(frame); },
                                  [this](const QString &title, const QString &message) {
                                      dialogs->showMessage(title, message);
                                  }},
                                 this);
    connect(playbackController, &PlaybackController::pictureReady, compare, &CompareSession::present);
    connect(playbackController, &PlaybackController::pictureReady, ui.scopeWidget, &ScopeWidget::onPictureShown);
    connect(playbackController, &PlaybackController::audioPlayed, framePresenter, &FramePresenter::onAudioPlayed);
    connect(playbackController, &PlaybackController::playedAudioReset, framePresenter,
            &FramePresenter::onPlayedAudioReset);
    connect(playbackController, &PlaybackController::levelsChanged, ui.audioMeter, &AudioMeterWidget::setLevels);
    connect(playbackController, &PlaybackController::rateChanged, this,
            [this](const QString &text, PlaybackController::RateLook look) {
                ui.playbackInfoLabel->setText(text);
                if (look != PlaybackController::RateLook::Keep)
                    ui.playbackInfoLabel->setStyleSheet(look == PlaybackController::RateLook::Good
                                                            ? QStringLiteral("color: #4CAF50;")
                                                            : QStringLiteral("color: #F44336;"));
            });

    navigator = new FrameNavigator(appState, playbackController, ui.scopeWidget, this);
    exposure = new ExposureControl({appState, [this] { return media; },
                                    [this] { playbackController->requestSeek(appState->currentFrameNumber()); }},
                                   this);
    connect(appState, &ApplicationState::exposureChanged, uiController, &UiController::updateMetadata);
    pixelInspector = new PixelInspectorOverlay(
        ui.inspectorLabel, ui.helpButton,
        [this] {
            PixelInspectorOverlay::View view;
            view.allowed = ui.viewerStack->currentIndex() == UiController::PicturePage && !appState->isFullScreen()
                && !appState->isHelpVisible() && appState->playState() == Stopped
                && appState->displayChannel() == Color && appState->totalFrames() != 0 && !isAudioOnly();
            view.frame = videoSink->videoFrame();
            view.frameNumber = appState->currentFrameNumber();
            view.widgetSize = ui.videoWidget->size();
            view.cursor = ui.videoWidget->mapFromGlobal(QCursor::pos());
            view.rotationDegrees = appState->viewerRotationDegrees();
            return view;
        },
        [this](int64_t frameNumber, int x, int y, int width, int height, int rotationDegrees) {
            // Blocks the GUI thread until the engine answers; only asked while stopped.
            return compare->inspectorText(frameNumber, x, y, width, height, rotationDegrees);
        },
        this);
    presentation = new ViewerPresentation({this, ui, appState, playbackController, framePresenter, pixelInspector,
                                           playbackTimer, [this] { return media; }},
                                          this);
    {
        // Off unless asked for: the scope page then keeps its transport keys silent and Tab
        // stops playback, as the keys are documented.
        presentation->setLiveScopes(playerSettings().value(QStringLiteral("scopes/live"), false).toBool());
    }
    dialogs = new WindowDialogs({this, ui.viewerStack, appState, playbackController, playbackTimer, presentation,
                                 framePresenter, audioOutput, [this](int rate) { recreateAudioSink(rate); }},
                                this);
    connect(audioOutput, &AudioOutput::deviceLost, dialogs, &WindowDialogs::showDeviceLost);

    commands = std::make_unique<KeyCommandTable>();
    buildCommandTable();
    connect(playbackTimer, &QTimer::timeout, playbackController, &PlaybackController::onPlaybackTimer);

    imageExporter = new ImageExporter({this, appState, ui.timecodeLabel, ui.scopeWidget, [this] { return media; },
                                       [this] { playbackController->setPlaybackState(Stopped, false); },
                                       [this](int64_t frame) { return compare->fullPicture(frame); }},
                                      this);

    connectStateFanOut();
    connectSeekBar();
    setUpQc();
    setUpCompare();

    // Ctrl+O takes the same open path as a drop.
    new OpenFileCommand(
        this, [this] { return appState->mediaInfo().filePath; }, [this](const QString &path) { openMediaFile(path); });
}

MainWindow::~MainWindow()
{
    pixelInspector->release();
    // The analysis reports to the session: it ends first.
    qcSession->clear();
    // Bounded: a read stuck on a hung share must not keep the window from closing. A
    // thread left behind talked to the window only through the object dropped here.
    playbackController->setFrameSource(nullptr);
    delete media;
    media = nullptr;
    // Closing a PulseAudio sink runs an event loop. It must do so here, while every child
    // is alive, and with the controller gone (taking the engine's queued answers with it),
    // not amid the deletion of the children, where an answer would reach freed state.
    for (QObject *owner : {static_cast<QObject *>(this), static_cast<QObject *>(navigator),
                           static_cast<QObject *>(ui.seekBar)})
        for (QTimer *timer : owner->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
            timer->stop();
    delete playbackController;
    playbackController = nullptr;
    audioOutput->release();
}

void MainWindow::connectSeekBar()
{
    ui.seekBar->setClickGate([this] { return appState->totalFrames() != 0 && !appState->isHelpVisible(); });
    connect(ui.seekBar, &SeekBar::jumpRequested, this, [this](int64_t frame) {
        // A click on the lane under the track starts no drag, but leaves entry all the same.
        if (appState->isGotoMode())
            timecodeField->leave(false);
        playbackController->requestSeek(frame);
        if (appState->currentMode() == Scope)
            ui.scopeWidget->updateScope(frame);
    });
    connect(ui.seekBar, &SeekBar::scrubRequested, playbackController, &PlaybackController::requestSeek);
    connect(ui.seekBar, &SeekBar::dragStarted, this, [this] {
        if (appState->isGotoMode())
            timecodeField->leave(false);
    });
}

void MainWindow::setUpQc()
{
    qcSession = new QcSession(this);
    qcLane = new QcEventLane(qcSession, ui.seekBar, this);
    qcGraphs = new QcGraphStrip(qcSession, qcLane, ui.seekBar, ui.bottomPanel);
    if (auto *column = qobject_cast<QBoxLayout *>(ui.bottomPanel->layout()))
        column->insertWidget(column->indexOf(ui.seekBar), qcGraphs);
    qcNavigator = new QcEventNavigator({qcSession, ui.playbackInfoLabel,
                                        [this] {
                                            navigator->stopStepping();
                                            playbackController->setPlaybackState(Stopped, false);
                                            updateLissajousOverlay();
                                        },
                                        [this](int64_t frame) { navigator->seekTo(frame); },
                                        [this] { return appState->currentFrameNumber(); }},
                                       this);
    qcList = new QcEventList(qcSession, this, this);
    qcList->setFloating(true);
    // The window's layout is fixed around the picture: the list floats beside it.
    qcList->setAllowedAreas(Qt::NoDockWidgetArea);
    qcList->hide();
    connect(qcList, &QcEventList::jumpRequested, qcNavigator, &QcEventNavigator::jumpTo);
    connect(qcNavigator, &QcEventNavigator::landed, qcList,
            [this](int index) { qcList->followFrame(appState->currentFrameNumber(), index); });
    connect(qcList, &QcEventList::settingsRequested, this, &MainWindow::showQcSettings);
    qcExport = new QcReportExport({this, qcSession,
                                   [this](const QString &proposed) {
                                       playbackController->setPlaybackState(Stopped, false);
                                       return QcReportExport::askForFile(this, proposed);
                                   },
                                   [this](const QString &title, const QString &message) {
                                       dialogs->showMessage(title, message);
                                   }},
                                  this);
    connect(qcList, &QcEventList::exportRequested, qcExport, &QcReportExport::exportReport);
    // The analysis yields to playback: it waits while anything plays.
    connect(appState, &ApplicationState::playStateChanged, qcSession,
            [this] { qcSession->setPlaying(appState->playState() != Stopped); });
}

void MainWindow::setUpCompare()
{
    new OpenFileCommand(
        this, [this] { return appState->mediaInfo().filePath; },
        [this](const QString &path) {
            playbackController->setPlaybackState(Stopped, false);
            compare->openB(path);
        },
        QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O), QStringLiteral("Compare with"));
    // The scope shows what the viewer shows.
    ui.scopeWidget->setPictureSource([this](int64_t frame) {
        return compare->isActive() && compare->view() != compareview::View::A ? compare->fullPicture(frame) : QImage();
    });
    connect(ui.scopeWidget, &ScopeWidget::scopeDrawn, navigator,
            [this](int64_t frameNumber) { navigator->onScopeImageArrived(frameNumber); });
    // B's sound, when chosen, comes with A's pictures through the session's source.
    connect(compare, &CompareSession::playbackSourceChanged, this, [this] {
        playbackController->setPlaybackState(Stopped, false);
        FrameSource *source = compare->playbackSource();
        playbackController->setFrameSource(source ? source : media);
        if (media && appState->totalFrames() > 0)
            playbackController->requestSeek(appState->currentFrameNumber());
    });
    connect(compare, &CompareSession::changed, this, [this] {
        if (appState->currentMode() == Scope)
            ui.scopeWidget->updateScope();
        updatePixelInspector();
    });
}

void MainWindow::showQcSettings()
{
    QcSettingsDialog dialog(qcSession->preset(), qcSession->settings(), qcSession->analyseOnOpen(), this);
    if (dialogs->run(dialog) != QDialog::Accepted)
        return;
    qcSession->setAnalyseOnOpen(dialog.analyseOnOpen());
    qcSession->setSettings(dialog.preset(), dialog.settings());
}

void MainWindow::connectStateFanOut()
{
    connect(appState, &ApplicationState::mediaPropertiesChanged, this, [this] { uiController->updateMetadata(); });
    connect(appState, &ApplicationState::mediaPropertiesChanged, this, &MainWindow::updateLissajousOverlay);
    connect(appState, &ApplicationState::mediaPropertiesChanged, this, &MainWindow::updateSafetyArea);
    connect(appState, &ApplicationState::mediaPropertiesChanged, this, &MainWindow::updatePixelInspector);
    connect(appState, &ApplicationState::playStateChanged, this, &MainWindow::updateLissajousOverlay);
    connect(appState, &ApplicationState::playStateChanged, this, &MainWindow::updatePixelInspector);
    connect(appState, &ApplicationState::currentModeChanged, this, &MainWindow::updateLissajousOverlay);
    connect(appState, &ApplicationState::currentModeChanged, this, &MainWindow::updateSafetyArea);
    connect(appState, &ApplicationState::currentModeChanged, this, &MainWindow::updatePixelInspector);
    connect(appState, &ApplicationState::helpVisibleChanged, this, &MainWindow::updateLissajousOverlay);
    connect(appState, &ApplicationState::helpVisibleChanged, this, &MainWindow::updateSafetyArea);
    connect(appState, &ApplicationState::helpVisibleChanged, this, &MainWindow::updatePixelInspector);
    connect(appState, &ApplicationState::currentFrameNumberChanged, this, &MainWindow::onFrameNumberChanged);
}

void MainWindow::openMediaFile(const QString &path)
{
    playbackController->setPlaybackState(Stopped, false);
    playbackController->clearAudioBuffers();
    appState->setMediaInfo(MediaInfo());
    ui.dropHintLabel->setText(QStringLiteral("Loading..."));
    replaceMedia(path);
}

void MainWindow::replaceMedia(const QString &path)
{
    playbackController->setFrameSource(nullptr);
    ui.scopeWidget->setMedia(nullptr);
    // The last file's analysis stops at once and its events go.
    qcSession->clear();
    // A comparison is with the file that goes.
    compare->close();
    delete media;
    OpenMedia::Options options;
    options.scopeRenderer = &scopes::renderScope;
    // Image sequences: a rate set in the settings wins over their headers (0: theirs, else 24).
    options.sequenceFps = SequenceRateDialog::stored();
    media = new OpenMedia(path, options, this);
    connect(media, &OpenMedia::fileOpened, this, &MainWindow::onFileOpened);
    playbackController->setFrameSource(media);
    ui.scopeWidget->setMedia(media);
    // Scope images reach the scope page first, then the navigator completes a step in flight.
    connect(media, &OpenMedia::scopeImageReady, ui.scopeWidget, &ScopeWidget::onScopeImageReady);
    connect(media, &OpenMedia::scopeImageReady, navigator,
            [this](const QImage &, int64_t frameNumber) { navigator->onScopeImageArrived(frameNumber); });
}

void MainWindow::onFileOpened(bool success, const MediaInfo &info, const QString &error)
{
    if (!success) {
        dialogs->showMessage(QStringLiteral("Error"), QStringLiteral("Failed to open file.\n") + error);
        ui.dropHintLabel->setText(QStringLiteral("Failed to load file."));
        return;
    }

    QLabel *pathLabel = ui.pathLabel;
    pathLabel->setText(info.filePath);
    pathLabel->setProperty("hasPath", true);
    pathLabel->style()->unpolish(pathLabel);
    pathLabel->style()->polish(pathLabel);

    ui.scopeWidget->clearScope();
    appState->setMediaInfo(info);
    appState->setCurrentMode(Viewer);
    // A new file has an engine of its own, which starts with the colour picture's conversion.
    appState->setDisplayChannel(Color);
    appState->setViewerRotationDegrees(0);
    exposure->fileOpened();
    timecodeField->rebuild();
    uiController->updateTimecode(0);
    const int64_t lastFrame = std::max<int64_t>(appState->totalFrames() - 1, 0);
    ui.seekBar->setRange(0, int(std::min<int64_t>(lastFrame, std::numeric_limits<int>::max())));

    routing->forgetMute();
    setUpAudio(info.audioChannelCount);

    uiController->updateMetadata();
    uiController->updateTimecode(0);
    playbackController->requestSeek(0);

    raise();
    activateWindow();
    setFocus(Qt::OtherFocusReason);
    startPlaybackTimer(playbackTimer, appState->fps());
    qcSession->fileOpened(info.filePath, info);
}

void MainWindow::setUpAudio(int channels)
{
    if (channels < 1) {
        routing->setVisible(false);
        ui.audioMeter->hide();
        audioOutput->release();
        return;
    }
    // A device chosen in the device dialog lasts only while a sink exists.
    if (!audioOutput->hasSink())
        audioOutput->setDevice(QMediaDevices::defaultAudioOutput());
    const int sampleRate = appState->mediaInfo().audioSampleRate;
    routing->setVisible(true);
    ui.audioMeter->show();
    routing->fill(channels);
    const ChannelRouting routed = routing->routing();
    media->setAudioRouting(routed.left, routed.right);
    compare->setAudioRouting(routed.left, routed.right);
    playbackController->setRouting(routed.left, routed.right);
    recreateAudioSink(sampleRate);
    const float floor = levels::kFloorDb;
    ui.audioMeter->setLevels(floor, floor, floor, floor, QList<float>(channels, floor));
}

void MainWindow::recreateAudioSink(int sampleRate)
{
    playbackController->clearAudioBuffers();
    audioOutput->rebuild(sampleRate);
}

void MainWindow::onFrameNumberChanged(int64_t frameNumber)
{
    uiController->updateTimecode(frameNumber);
    pixelInspector->dropCache();
    updatePixelInspector();
    navigator->onFrameShown(frameNumber);
    qcNavigator->onFrameShown(frameNumber);
    qcList->followFrame(frameNumber, qcNavigator->landedIndex());
}

void MainWindow::onRoutingChanged()
{
    // The meter reads the routed channels from the controller.
    const ChannelRouting routed = routing->routing();
    playbackController->setRouting(routed.left, routed.right);
    qcGraphs->setRouting(routed);
    if (!media || appState->totalFrames() == 0)
        return;
    const PlayState playState = appState->playState();
    const int speedIndex = appState->speedIndex();
    if (playState != Stopped)
        playbackController->setPlaybackState(Stopped, false);
    media->setAudioRouting(routed.left, routed.right);
    compare->setAudioRouting(routed.left, routed.right);
    media->clearAudioQueue();
    if (FrameSource *source = compare->playbackSource())
        source->clearAudioQueue();
    // Refills the audio from the current position.
    playbackController->requestSeek(appState->currentFrameNumber());
    if (playState != Stopped) {
        appState->setSpeedIndex(speedIndex);
        playbackController->setPlaybackState(playState, false);
    }
}

void MainWindow::updateLissajousOverlay()
{
    if (presentation)
        presentation->updateLissajousOverlay();
}

void MainWindow::updateSafetyArea()
{
    if (presentation)
        presentation->updateSafetyArea();
}

void MainWindow::setSafetyArea(int h, int v, int l)
{
    presentation->setSafetyArea(h, v, l);
}

void MainWindow::updatePixelInspector()
{
    if (pixelInspector)
        pixelInspector->refresh();
}

void MainWindow::onAboutClicked()
{
    dialogs->showAbout();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (watched == ui.seekBar && type == QEvent::Wheel) {
        wheelEvent(static_cast<QWheelEvent *>(event));
        return true;
    }
    if (watched == ui.viewerStack || watched == ui.videoWidget || watched == ui.dropHintLabel) {
        if (type == QEvent::MouseMove || type == QEvent::Enter || type == QEvent::Leave)
            updatePixelInspector();
        return false;
    }
    if (type == QEvent::MouseButtonDblClick) {
        if (watched == ui.timecodeLabel) {
            timecodeField->copyToClipboard();
            return true;
        }
        if (watched == ui.pathLabel) {
            revealOpenFile();
            return true;
        }
        if (watched == ui.audioMeter) {
            dialogs->showAudioDevices();
            return true;
        }
        if (watched == ui.metadataLabel) {
            showSequenceRate();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::showSequenceRate()
{
    const double before = SequenceRateDialog::stored();
    SequenceRateDialog dialog(before, this);
    if (dialogs->run(dialog) != QDialog::Accepted)
        return;
    SequenceRateDialog::store(dialog.fps());
    // The rate is settled as a sequence opens.
    // A copy: opening clears the facts the path would be read from.
    const QString path = appState->mediaInfo().filePath;
    if (appState->mediaInfo().sequence && SequenceRateDialog::stored() != before)
        openMediaFile(path);
}

void MainWindow::revealOpenFile()
{
    const QString path = ui.pathLabel->text();
    if (ui.pathLabel->property("hasPath").toBool() && QFileInfo::exists(path) && fileRevealer)
        fileRevealer(path);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty())
        return;
    // A non-local URL gives an empty path; the engine then reports the failure.
    if (event->modifiers() & Qt::ShiftModifier) {
        playbackController->setPlaybackState(Stopped, false);
        compare->openB(urls.first().toLocalFile());
        return;
    }
    openMediaFile(urls.first().toLocalFile());
}

int MainWindow::audioChannelCount() const
{
    return appState->mediaInfo().audioChannelCount;
}

bool MainWindow::isAudioOnly() const
{
    return appState->mediaInfo().isAudioOnly;
}
