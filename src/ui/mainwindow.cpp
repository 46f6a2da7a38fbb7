#include "ui/mainwindow.h"

#include "audio/audiooutput.h"
#include "core/levels.h"
#include "core/metatypes.h"
#include "engine/enginestop.h"
#include "engine/videoengine.h"
#include "scopes/waveformrenderer.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "ui/aboutdialog.h"
#include "ui/audiodevicedialog.h"
#include "ui/audiometerwidget.h"
#include "ui/framepresenter.h"
#include "ui/imageexporter.h"
#include "ui/keycommands.h"
#include "ui/messagedialog.h"
#include "ui/openfilecommand.h"
#include "ui/pixelinspectoroverlay.h"
#include "ui/safetyareadialog.h"
#include "ui/scopewidget.h"
#include "ui/uicontroller.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDebug>
#include <QDeadlineTimer>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaDevices>
#include <QMimeData>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QStackedWidget>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>

#include <algorithm>
#include <limits>

namespace {

constexpr int kWindowWidth = 1380;
constexpr int kWindowHeight = 920;
constexpr int kViewerWidth = 1280;
constexpr int kViewerHeight = 720;
constexpr int kMaxRoutedChannels = 8;

// The picture area's pages, as the status presenter numbers them.
constexpr int DropHintPage = UiController::DropHintPage;
constexpr int PicturePage = UiController::PicturePage;
constexpr int HelpPage = UiController::HelpPage;
constexpr int ScopePage = UiController::ScopePage;

QFont courier(int pointSize)
{
    return QFont(QStringLiteral("Courier New"), pointSize);
}

const QString kDropHintText = QStringLiteral(
    "<div align='center'><img src=':/Orvel.png' width='100' height='100'><br><br>"
    "<div style='color: rgba(255, 255, 255, 128); font-size: 22px; letter-spacing: 2px; line-height: 120%;'>"
    "Drag and drop media here.<br>To display help, press Ctrl+/.</div></div>");
const QString kViewerPageStyle = QStringLiteral("background-color: #000000; border: 1px solid #111;");
const QString kInfoLabelStyle = QStringLiteral("color: #888888; line-height: 1.2;");
const QString kDialogButtonStyle = QStringLiteral("background-color: #505050; color: white; border-radius: 4px; padding: 6px;");

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    registerMetaTypes();

    setAcceptDrops(true);
    setWindowTitle(QStringLiteral("Orvel"));
    setFixedSize(kWindowWidth, kWindowHeight);
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        // Only the size of the available area counts, not its origin.
        const QRect available = screen->availableGeometry();
        move((available.width() - width()) / 2, (available.height() - height()) / 2);
    }

    videoThread = new QThread(this);
    videoEngine = new VideoEngine();
    videoEngine->setScopeRenderer(&waveform::renderScope);
    videoEngine->moveToThread(videoThread);
    videoThread->start();
    QMetaObject::invokeMethod(videoEngine, "init", Qt::QueuedConnection);
    connect(videoThread, &QThread::finished, videoEngine, &QObject::deleteLater);
    connect(videoEngine, &VideoEngine::fileOpened, this, &MainWindow::onFileOpened);

    appState = new ApplicationState(this);
    audioOutput = new AudioOutput(this);
    connect(audioOutput, &AudioOutput::deviceLost, this, &MainWindow::onAudioDeviceLost);

    // The scope page is built here so that its own connections to the state come first.
    buildWidgetTree();

    uiController = new UiController(appState, metadataLabel, timecodeLabel, seekBar, viewerStack,
                                    seekBarOpacity, &timecode, &startTimecodeOffset, this);

    playbackTimer = new QTimer(this);
    playbackTimer->setTimerType(Qt::PreciseTimer);
    playbackController = new PlaybackController(appState, videoEngine, audioOutput, this);
    framePresenter = new FramePresenter(appState, videoSink, audioOutput, this);
    connect(playbackController, &PlaybackController::pictureReady, framePresenter, &FramePresenter::present);
    connect(playbackController, &PlaybackController::audioPlayed, framePresenter, &FramePresenter::onAudioPlayed);
    connect(playbackController, &PlaybackController::playedAudioReset, framePresenter,
            &FramePresenter::onPlayedAudioReset);
    connect(playbackController, &PlaybackController::levelsChanged, audioMeter, &AudioMeterWidget::setLevels);
    connect(playbackController, &PlaybackController::rateChanged, this,
            [this](const QString &text, PlaybackController::RateLook look) {
                playbackInfoLabel->setText(text);
                if (look != PlaybackController::RateLook::Keep)
                    playbackInfoLabel->setStyleSheet(look == PlaybackController::RateLook::Good
                                                         ? QStringLiteral("color: #4CAF50;")
                                                         : QStringLiteral("color: #F44336;"));
            });

    seekThrottleTimer = new QTimer(this);
    seekThrottleTimer->setInterval(100);
    scopeDeferTimer = new QTimer(this);
    scopeDeferTimer->setInterval(100);
    scopeDeferTimer->setSingleShot(true);
    stepTimer = new QTimer(this);
    stepTimer->setInterval(100);
    stepTimer->setTimerType(Qt::PreciseTimer);
    pixelInspector = new PixelInspectorOverlay(
        inspectorLabel, helpButton,
        [this] {
            PixelInspectorOverlay::View view;
            view.allowed = viewerStack->currentIndex() == PicturePage && !appState->isFullScreen()
                && !appState->isHelpVisible() && appState->playState() == Stopped
                && appState->displayChannel() == Color && appState->totalFrames() != 0 && !isAudioOnly();
            view.frame = videoSink->videoFrame();
            view.frameNumber = appState->currentFrameNumber();
            view.widgetSize = videoWidget->size();
            view.cursor = videoWidget->mapFromGlobal(QCursor::pos());
            view.rotationDegrees = appState->viewerRotationDegrees();
            return view;
        },
        [this](int64_t frameNumber, int x, int y, int width, int height, int rotationDegrees) {
            // Blocks the GUI thread until the engine answers; only asked while stopped.
            QString text;
            const bool called = QMetaObject::invokeMethod(
                videoEngine, "pixelInspectorSourceConvertText", Qt::BlockingQueuedConnection,
                Q_RETURN_ARG(QString, text), Q_ARG(int64_t, frameNumber), Q_ARG(int, x), Q_ARG(int, y),
                Q_ARG(int, width), Q_ARG(int, height), Q_ARG(int, rotationDegrees));
            return called ? text : QString();
        },
        this);

    connect(seekThrottleTimer, &QTimer::timeout, this, &MainWindow::onSeekThrottleTimer);
    connectCommandTimers();
    commands = std::make_unique<KeyCommandTable>();
    buildCommandTable();
    connect(playbackTimer, &QTimer::timeout, playbackController, &PlaybackController::onPlaybackTimer);

    imageExporter = new ImageExporter({this, appState, timecodeLabel, scopeWidget, videoEngine,
                                       [this] { playbackController->setPlaybackState(Stopped, false); }},
                                      this);

    connectStateFanOut();

    connect(seekBar, &QSlider::sliderPressed, this, &MainWindow::onSeekBarPressed);
    connect(seekBar, &QSlider::sliderReleased, this, &MainWindow::onSeekBarReleased);
    connect(videoEngine, &VideoEngine::frameReady, playbackController, &PlaybackController::onFrameReady);
    // Scope images reach the scope widget first (connected here once it exists); the
    // window only completes a step in flight.
    connect(videoEngine, &VideoEngine::scopeImageReady, this, &MainWindow::onScopeImageArrived);

    // Ctrl+O takes the same open path as a drop.
    new OpenFileCommand(
        this, [this] { return appState->mediaInfo().filePath; }, [this](const QString &path) { openMediaFile(path); });
}

MainWindow::~MainWindow()
{
    turnInspectorOff();
    // Bounded: a read stuck on a hung share must not keep the window from closing. A
    // thread left behind only talks to the window through queued connections, which die
    // with the receivers.
    enginestop::stopEngineThread(videoThread, videoEngine);
    // Closing a PulseAudio sink runs an event loop. It must do so here, while every child
    // is alive, and with the controller gone (taking the engine's queued answers with it),
    // not amid the deletion of the children, where an answer would reach freed state.
    for (QTimer *timer : findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        timer->stop();
    delete playbackController;
    playbackController = nullptr;
    audioOutput->release();
}

void MainWindow::buildWidgetTree()
{
    auto *central = new QWidget(this);
    setCentralWidget(central);
    auto *centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(50, 15, 50, 25);
    centralLayout->setSpacing(0);

    topPanel = new QWidget(central);
    auto *topLayout = new QVBoxLayout(topPanel);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->setSpacing(0);
    pathLabel = new QLabel(topPanel);
    pathLabel->setObjectName(QStringLiteral("PathLabel"));
    pathLabel->setProperty("hasPath", false);
    pathLabel->setFont(courier(12));
    pathLabel->installEventFilter(this);
    topLayout->addWidget(pathLabel, 0, Qt::AlignLeft);
    topLayout->addSpacing(5);
    centralLayout->addWidget(topPanel, 0);

    viewerStack = new QStackedWidget(central);
    viewerStack->setFixedSize(kViewerWidth, kViewerHeight);
    viewerStack->setAttribute(Qt::WA_MouseTracking);
    viewerStack->installEventFilter(this);
    centralLayout->addWidget(viewerStack, 0, Qt::AlignCenter);

    dropHintLabel = new QLabel(viewerStack);
    dropHintLabel->setStyleSheet(kViewerPageStyle);
    dropHintLabel->setAlignment(Qt::AlignCenter);
    dropHintLabel->setAttribute(Qt::WA_MouseTracking);
    dropHintLabel->installEventFilter(this);
    dropHintLabel->setText(kDropHintText);
    viewerStack->addWidget(dropHintLabel);

    videoWidget = new QVideoWidget(viewerStack);
    videoWidget->setStyleSheet(kViewerPageStyle);
    videoWidget->setAttribute(Qt::WA_TransparentForMouseEvents);
    videoWidget->setAttribute(Qt::WA_MouseTracking);
    videoWidget->installEventFilter(this);
    videoSink = videoWidget->videoSink();
    viewerStack->addWidget(videoWidget);

    helpLabel = new QLabel(viewerStack);
    helpLabel->setStyleSheet(QStringLiteral("background-color: #000000;"));
    helpLabel->setAlignment(Qt::AlignCenter);
    const QPixmap help(QStringLiteral(":/Help_Win.png"));
    if (!help.isNull())
        helpLabel->setPixmap(help.scaled(kViewerWidth, kViewerHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    viewerStack->addWidget(helpLabel);

    scopeWidget = new ScopeWidget(appState, viewerStack);
    scopeWidget->setObjectName(QStringLiteral("ScopePage"));
    scopeWidget->setVideoEngine(videoEngine);
    // Before the window's own scope handler: the page shows the image, then a step completes.
    connect(videoEngine, &VideoEngine::scopeImageReady, scopeWidget, &ScopeWidget::onScopeImageReady);
    connect(videoEngine, &VideoEngine::scopeScaleReady, scopeWidget, &ScopeWidget::onScopeImageReady);
    viewerStack->addWidget(scopeWidget);
    viewerStack->setCurrentIndex(DropHintPage);

    bottomPanel = new QWidget(central);
    auto *bottomLayout = new QVBoxLayout(bottomPanel);
    bottomLayout->setContentsMargins(0, 0, 0, 0);
    bottomLayout->setSpacing(0);
    bottomLayout->addSpacing(10);

    seekBar = new QSlider(Qt::Horizontal, bottomPanel);
    seekBar->setRange(0, 1000);
    seekBar->setValue(0);
    seekBar->setObjectName(QStringLiteral("SeekBar"));
    seekBar->setFocusPolicy(Qt::NoFocus);
    seekBar->installEventFilter(this);
    seekBarOpacity = new QGraphicsOpacityEffect(this);
    seekBar->setGraphicsEffect(seekBarOpacity);
    bottomLayout->addWidget(seekBar);
    bottomLayout->addStretch(0);

    auto *bottomRow = new QHBoxLayout;
    bottomRow->setAlignment(Qt::AlignBottom);

    auto *leftColumn = new QVBoxLayout;
    leftColumn->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    helpButton = new QPushButton(QStringLiteral("i"), bottomPanel);
    helpButton->setObjectName(QStringLiteral("HelpButton"));
    helpButton->setFixedSize(30, 30);
    helpButton->setFocusPolicy(Qt::NoFocus);
    connect(helpButton, &QPushButton::clicked, this, &MainWindow::onAboutClicked);
    leftColumn->addWidget(helpButton);

    auto *centreColumn = new QVBoxLayout;
    centreColumn->setAlignment(Qt::AlignCenter);
    centreColumn->setSpacing(10);
    auto *timecodeRow = new QHBoxLayout;
    timecodeRow->setContentsMargins(0, 0, 0, 0);
    timecodeRow->setSpacing(0);
    playbackInfoLabel = new QLabel(bottomPanel);
    playbackInfoLabel->setFont(courier(18));
    playbackInfoLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    timecodeRow->addWidget(playbackInfoLabel, 1);
    timecodeRow->addSpacing(15);
    timecodeLabel = new QLabel(QStringLiteral("00:00:00;00"), bottomPanel);
    timecodeLabel->setFont(courier(30));
    timecodeLabel->setAlignment(Qt::AlignCenter);
    timecodeLabel->setStyleSheet(QStringLiteral("color: #ffffff; letter-spacing: 2px;"));
    timecodeLabel->installEventFilter(this);
    timecodeRow->addWidget(timecodeLabel, 0);
    timecodeRow->addSpacing(15);
    timecodeRow->addWidget(new QLabel(bottomPanel), 1); // balances the row
    centreColumn->addLayout(timecodeRow);

    auto *audioRow = new QHBoxLayout;
    audioRow->setSpacing(20);
    audioRow->addStretch(1);
    leftChannelCombo = new QComboBox(bottomPanel);
    leftChannelCombo->setFixedSize(50, 24);
    leftChannelCombo->setFocusPolicy(Qt::NoFocus);
    audioMeter = new AudioMeterWidget(bottomPanel);
    audioMeter->setFixedSize(280, 44);
    audioMeter->installEventFilter(this);
    rightChannelCombo = new QComboBox(bottomPanel);
    rightChannelCombo->setFixedSize(50, 24);
    rightChannelCombo->setFocusPolicy(Qt::NoFocus);
    audioRow->addWidget(leftChannelCombo, 0, Qt::AlignBottom);
    audioRow->addWidget(audioMeter, 0, Qt::AlignBottom);
    audioRow->addWidget(rightChannelCombo, 0, Qt::AlignBottom);
    audioRow->addStretch(1);
    centreColumn->addLayout(audioRow);
    // Direct: code that sets both combos relies on the handler having run on return.
    connect(leftChannelCombo, &QComboBox::currentIndexChanged, leftChannelCombo,
            [this] { onRoutingChanged(); }, Qt::DirectConnection);
    connect(rightChannelCombo, &QComboBox::currentIndexChanged, rightChannelCombo,
            [this] { onRoutingChanged(); }, Qt::DirectConnection);

    auto *rightColumn = new QVBoxLayout;
    rightColumn->setAlignment(Qt::AlignRight | Qt::AlignBottom);
    metadataLabel = new QLabel(bottomPanel);
    metadataLabel->setFont(courier(12));
    metadataLabel->setAlignment(Qt::AlignRight | Qt::AlignBottom);
    metadataLabel->setStyleSheet(kInfoLabelStyle);
    rightColumn->addWidget(metadataLabel);

    bottomRow->addLayout(leftColumn, 1);
    bottomRow->addLayout(centreColumn, 2);
    bottomRow->addLayout(rightColumn, 1);
    bottomLayout->addLayout(bottomRow);

    inspectorLabel = new QLabel(bottomPanel);
    inspectorLabel->setFont(courier(12));
    inspectorLabel->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    inspectorLabel->setStyleSheet(kInfoLabelStyle);
    inspectorLabel->hide();

    centralLayout->addWidget(bottomPanel, 0);

    timecodeLabel->setText(QString());
    leftChannelCombo->hide();
    rightChannelCombo->hide();
    seekBar->setEnabled(false);
    seekBarOpacity->setOpacity(0.3);
}

void MainWindow::connectStateFanOut()
{
    connect(appState, &ApplicationState::mediaPropertiesChanged, this,
            [this] { uiController->updateMetadata(appState->mediaProperties()); });
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
    appState->setMediaProperties(QVariantMap());
    dropHintLabel->setText(QStringLiteral("Loading..."));
    QMetaObject::invokeMethod(videoEngine, "openFile", Qt::QueuedConnection, Q_ARG(QString, path));
}

void MainWindow::onFileOpened(bool success, QVariantMap fileInfo, QString error)
{
    if (!success) {
        showMessageDialog(QStringLiteral("Error"), QStringLiteral("Failed to open file.\n") + error);
        dropHintLabel->setText(QStringLiteral("Failed to load file."));
        return;
    }

    pathLabel->setText(fileInfo.value(QStringLiteral("filePath")).toString());
    pathLabel->setProperty("hasPath", true);
    pathLabel->style()->unpolish(pathLabel);
    pathLabel->style()->polish(pathLabel);

    scopeWidget->clearScope();
    appState->setMediaProperties(fileInfo);
    appState->setCurrentMode(Viewer);
    appState->setDisplayChannel(Color);
    // The engine's conversion follows the channel back, or every picture of the new file
    // would still pay for an isolation conversion. Queued ahead of the first frame request.
    QMetaObject::invokeMethod(videoEngine, "setConversionProfile", Qt::QueuedConnection,
                              Q_ARG(ConversionProfile, Standard));
    appState->setViewerRotationDegrees(0);
    initTimecode();
    uiController->updateTimecode(0);
    const int64_t lastFrame = std::max<int64_t>(appState->totalFrames() - 1, 0);
    seekBar->setRange(0, int(std::min<int64_t>(lastFrame, std::numeric_limits<int>::max())));

    audioMuted = false;
    savedLeftIndex = -1;
    savedRightIndex = -1;
    const int channels = fileInfo.value(QStringLiteral("audioChannelCount")).toInt();
    if (channels < 1) {
        leftChannelCombo->hide();
        rightChannelCombo->hide();
        audioMeter->hide();
        audioOutput->release();
    } else {
        // A device chosen in the device dialog lasts only while a sink exists.
        if (!audioOutput->hasSink())
            audioOutput->setDevice(QMediaDevices::defaultAudioOutput());
        const int sampleRate = appState->mediaInfo().audioSampleRate;
        leftChannelCombo->show();
        rightChannelCombo->show();
        audioMeter->show();
        leftChannelCombo->clear();
        rightChannelCombo->clear();
        leftChannelCombo->addItem(QStringLiteral("M"));
        rightChannelCombo->addItem(QStringLiteral("M"));
        for (int i = 1; i <= std::min(channels, kMaxRoutedChannels); ++i) {
            leftChannelCombo->addItem(QStringLiteral("ch%1").arg(i));
            rightChannelCombo->addItem(QStringLiteral("ch%1").arg(i));
        }
        leftChannelCombo->setCurrentIndex(1);
        rightChannelCombo->setCurrentIndex(channels == 1 ? 1 : 2);
        QMetaObject::invokeMethod(videoEngine, "setAudioRouting", Qt::QueuedConnection,
                                  Q_ARG(int, leftChannelCombo->currentIndex() - 1),
                                  Q_ARG(int, rightChannelCombo->currentIndex() - 1));
        syncMeterRouting();
        recreateAudioSink(sampleRate);
        const float floor = levels::kFloorDb;
        audioMeter->setLevels(floor, floor, floor, floor, QList<float>(channels, floor));
    }

    uiController->updateMetadata(fileInfo);
    uiController->updateTimecode(0);
    playbackController->requestSeek(0);

    raise();
    activateWindow();
    setFocus(Qt::OtherFocusReason);
    if (const int interval = playbackIntervalMs(); interval > 0)
        playbackTimer->start(interval);
}

void MainWindow::recreateAudioSink(int sampleRate)
{
    playbackController->clearAudioBuffers();
    audioOutput->rebuild(sampleRate);
}

void MainWindow::initTimecode()
{
    if (appState->mediaInfo().isAudioOnly) {
        timecode.reset();
        startTimecodeOffset = 0;
        return;
    }
    const QString rateText = QString::fromStdString(Timecode::nominalRateText(appState->fps()));
    const QString startText = appState->startTimecode().isEmpty() ? QStringLiteral("00:00:00:00")
                                                                  : appState->startTimecode();
    const bool dropFrame = startText.contains(QLatin1Char(';'));
    timecode = Timecode::forVideo(appState->fps(), appState->startTimecode().toStdString());
    if (timecode) {
        startTimecodeOffset = int64_t(timecode->frames());
        qDebug() << "Timecode Init - FPS:" << rateText << "DF:" << dropFrame << "Start TC:" << startText
                 << "Offset:" << startTimecodeOffset;
    } else {
        startTimecodeOffset = 0;
        qWarning() << "Failed to initialize Timecode with fps:" << rateText << "df:" << dropFrame << "tc:" << startText;
    }
}

void MainWindow::onFrameNumberChanged(int64_t frameNumber)
{
    uiController->updateTimecode(frameNumber);
    pixelInspector->dropCache();
    updatePixelInspector();
    // In scope mode a step completes when its scope image arrives.
    if (appState->currentMode() == Scope)
        return;
    if (stepInFlight && frameNumber == stepTarget) {
        stepInFlight = false;
        stepTarget = -1;
    }
}

void MainWindow::onScopeImageArrived(const QImage &, int64_t frameNumber)
{
    if (appState->currentMode() == Scope && stepInFlight && frameNumber == stepTarget) {
        stepInFlight = false;
        stepTarget = -1;
    }
}

void MainWindow::syncMeterRouting()
{
    playbackController->setRouting(leftChannelCombo->currentIndex() - 1, rightChannelCombo->currentIndex() - 1);
}

void MainWindow::onRoutingChanged()
{
    syncMeterRouting();
    if (!videoEngine || appState->totalFrames() == 0)
        return;
    if (!routingFromMute) {
        audioMuted = false;
        savedLeftIndex = -1;
        savedRightIndex = -1;
    }
    const PlayState playState = appState->playState();
    const int speedIndex = appState->speedIndex();
    if (playState != Stopped)
        playbackController->setPlaybackState(Stopped, false);
    QMetaObject::invokeMethod(videoEngine, "setAudioRouting", Qt::QueuedConnection,
                              Q_ARG(int, leftChannelCombo->currentIndex() - 1),
                              Q_ARG(int, rightChannelCombo->currentIndex() - 1));
    QMetaObject::invokeMethod(videoEngine, "clearAudioQueue", Qt::QueuedConnection);
    // Refills the audio from the current position.
    playbackController->requestSeek(int(appState->currentFrameNumber()));
    if (playState != Stopped) {
        appState->setSpeedIndex(speedIndex);
        playbackController->setPlaybackState(playState, false);
    }
}

void MainWindow::updateLissajousOverlay()
{
    if (!playbackController)
        return;
    const bool old = lissajousShown;
    const bool shown = framePresenter->lissajousShown();
    lissajousShown = shown;
    // A stopped picture must not keep the figure it was drawn with.
    if (old && !shown && pictureShown() && appState->playState() == Stopped && appState->totalFrames() > 0
        && !isAudioOnly())
        rerender();
}

void MainWindow::updateSafetyArea()
{
    if (!playbackController)
        return;
    const bool old = safetyAreaShown;
    const bool shown = framePresenter->safetyAreaShown();
    safetyAreaShown = shown;
    if (pictureShown() && appState->playState() == Stopped && appState->totalFrames() > 0 && !isAudioOnly()
        && (shown != old || shown)) {
        pixelInspector->dropCache();
        rerender();
    }
}

void MainWindow::setSafetyArea(int h, int v, int l)
{
    framePresenter->setSafetyArea(viewerpath::SafetyArea::clamped(h, v, l));
    updateSafetyArea();
}

void MainWindow::updatePixelInspector()
{
    if (pixelInspector)
        pixelInspector->refresh();
}

void MainWindow::turnInspectorOff()
{
    pixelInspector->release();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (filterCommandEvent(watched, event))
        return true;
    if (watched == seekBar && event->type() == QEvent::MouseButtonPress) {
        if (appState->totalFrames() == 0 || appState->isHelpVisible())
            return true;
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton) {
            // The slider's full width, not its groove's: the ends are reachable whatever
            // the style's groove margins.
            const int value = QStyle::sliderValueFromPosition(seekBar->minimum(), seekBar->maximum(),
                                                              int(mouse->position().x()), seekBar->width(), false);
            seekBar->setValue(value);
            playbackController->requestSeek(value);
            if (appState->currentMode() == Scope)
                scopeWidget->updateScope(value);
        }
        // The slider still gets the press, grabs the handle now under the mouse and
        // starts a drag.
        return false;
    }
    return QMainWindow::eventFilter(watched, event);
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
    openMediaFile(urls.first().toLocalFile());
}

void MainWindow::onSeekBarPressed()
{
    seekBarDragging = true;
    seekThrottleTimer->start();
    if (appState->isGotoMode())
        leaveTimecodeEntry(false);
}

void MainWindow::onSeekBarReleased()
{
    if (!seekBarDragging)
        return;
    seekBarDragging = false;
    seekThrottleTimer->stop();
    playbackController->requestSeek(seekBar->value());
    if (appState->currentMode() == Scope)
        scopeWidget->updateScope(seekBar->value());
}

void MainWindow::onSeekThrottleTimer()
{
    playbackController->requestSeek(seekBar->value());
}

bool MainWindow::pauseForDialog()
{
    const bool timerWasActive = playbackTimer->isActive();
    playbackTimer->stop();
    if (appState->playState() != Stopped)
        playbackController->setPlaybackState(Stopped, false);
    return timerWasActive;
}

void MainWindow::resumeAfterDialog(bool timerWasActive)
{
    if (appState->totalFrames() > 0 && viewerStack->currentIndex() == PicturePage) {
        rerender();
        if (timerWasActive) {
            if (const int interval = playbackIntervalMs(); interval > 0)
                playbackTimer->start(interval);
        }
    }
}

void MainWindow::centreDialog(QDialog *dialog) const
{
    const QPoint centre = viewerStack ? viewerStack->mapToGlobal(viewerStack->rect().center()) : frameGeometry().center();
    dialog->move(centre.x() - dialog->width() / 2, centre.y() - dialog->height() / 2);
}

int MainWindow::runModalDialog(QDialog &dialog, const std::function<void()> &whilePaused)
{
    const bool timerWasActive = pauseForDialog();
    if (whilePaused)
        whilePaused();
    centreDialog(&dialog);
    const int result = dialog.exec();
    resumeAfterDialog(timerWasActive);
    return result;
}

void MainWindow::showMessageDialog(const QString &title, const QString &message)
{
    MessageDialog dialog(windowIcon(), title, message);
    runModalDialog(dialog);
}

void MainWindow::onAboutClicked()
{
    AboutDialog dialog(windowIcon(), QCoreApplication::applicationVersion());
    runModalDialog(dialog);
}

void MainWindow::showSafetyAreaDialog()
{
    SafetyAreaDialog dialog(framePresenter->safetyArea());
    connect(&dialog, &SafetyAreaDialog::areaChanged, this, &MainWindow::setSafetyArea);
    runModalDialog(dialog, [this] {
        // Visible while it is adjusted; the two overlays are never drawn together.
        framePresenter->setLissajousEnabled(false);
        framePresenter->setSafetyAreaEnabled(true);
        updateLissajousOverlay();
        updateSafetyArea();
    });
}

void MainWindow::showAudioDeviceDialog()
{
    AudioDeviceDialog dialog(QMediaDevices::audioOutputs(), audioOutput->device(), windowIcon());
    // Applied before the dialog's re-render, which re-decodes the audio for the new sink.
    connect(&dialog, &QDialog::accepted, this, [this, &dialog] {
        const QAudioDevice chosen = dialog.selectedDevice();
        if (chosen.isNull())
            return;
        audioOutput->setDevice(chosen);
        if (appState->totalFrames() > 0) {
            playbackController->setPlaybackState(Stopped);
            recreateAudioSink(appState->mediaInfo().audioSampleRate);
        }
    });
    runModalDialog(dialog);
}

void MainWindow::onAudioDeviceLost(const QString &message)
{
    // Not modal: the player keeps running, only without sound.
    if (deviceWarning)
        deviceWarning->close();
    deviceWarning = new MessageDialog(windowIcon(), QStringLiteral("Warning"), message, this);
    deviceWarning->setAttribute(Qt::WA_DeleteOnClose);
    centreDialog(deviceWarning);
    deviceWarning->show();
}

void MainWindow::rerender()
{
    playbackController->requestSeek(int(appState->currentFrameNumber()));
}

bool MainWindow::pictureShown() const
{
    return viewerStack->currentIndex() == PicturePage && !appState->isHelpVisible();
}

int MainWindow::audioChannelCount() const
{
    return appState->mediaInfo().audioChannelCount;
}

bool MainWindow::isAudioOnly() const
{
    return appState->mediaInfo().isAudioOnly;
}

int MainWindow::playbackIntervalMs() const
{
    const double fps = appState->fps();
    // No rate yet (or a nonsense one): there is nothing to time.
    if (!(fps > 0.0))
        return 0;
    return int(1000.0 / fps);
}
