// The main window's commands: keys, the wheel, pointer moves over the picture, frame
// stepping with its repeat timer, the presentation toggles and the routing keys.

#include "ui/mainwindow.h"

#include "core/conversionprofile.h"
#include "state/applicationstate.h"
#include "state/openmedia.h"
#include "state/playbackcontroller.h"
#include "ui/audiometerwidget.h"
#include "ui/framepresenter.h"
#include "ui/imageexporter.h"
#include "ui/keycommands.h"
#include "ui/pixelinspectoroverlay.h"
#include "ui/loudnessmeasurementflow.h"
#include "ui/scopewidget.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QVideoWidget>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kViewerWidth = 1280;
constexpr int kViewerHeight = 720;
constexpr int kWindowWidth = 1380;
constexpr int kWindowHeight = 920;
constexpr int kWidgetSizeMax = 16777215; // QWIDGETSIZE_MAX
constexpr int kStepFirstRepeatMs = 260;
constexpr int kStepRepeatMs = 100;
constexpr int kWheelNotch = 120;

const QString kViewerPageStyle = QStringLiteral("background-color: #000000; border: 1px solid #111;");
const QString kFullScreenPageStyle = QStringLiteral("background-color: #000000; border: none;");

bool isStepKey(int key)
{
    return key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_J || key == Qt::Key_L;
}

} // namespace

void MainWindow::connectCommandTimers()
{
    connect(scopeDeferTimer, &QTimer::timeout, this, &MainWindow::onScopeDeferTimer);
    connect(stepTimer, &QTimer::timeout, this, [this] { stepOnce(true); });
}

void MainWindow::startLoudnessMeasurement()
{
    LoudnessStartFacts facts;
    facts.media = appState->mediaInfo();
    facts.totalFrames = appState->totalFrames();
    facts.currentFrame = appState->currentFrameNumber();
    facts.fps = appState->fps();
    facts.stopped = appState->playState() == Stopped;
    facts.viewerMode = appState->currentMode() == Viewer;
    facts.fullScreen = appState->isFullScreen();
    facts.helpVisible = appState->isHelpVisible();
    facts.seekBarDragging = seekBarDragging;
    facts.leftChannel = leftChannelCombo ? leftChannelCombo->currentIndex() - 1 : -1;
    facts.rightChannel = rightChannelCombo ? rightChannelCombo->currentIndex() - 1 : -1;
    const std::optional<LoudnessMeasureRequest> request = loudnessRequestFor(facts);
    if (!request)
        return;
    const bool timerWasActive = pauseForDialog();
    LoudnessMeasurementFlow::run(*request, windowIcon(), [this](QDialog *dialog) { centreDialog(dialog); });
    resumeAfterDialog(timerWasActive);
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    // Holding a key never repeats a command; held stepping repeats through stepTimer.
    if (event->isAutoRepeat())
        return;

    const int key = event->key();
    const ModifierClass modifiers = modifierClass(event->modifiers());

    if (key == Qt::Key_K && modifiers == ModifierClass::None)
        kHeld = true;
    const bool kChordStep = kHeld && modifiers == ModifierClass::None && (key == Qt::Key_J || key == Qt::Key_L);
    if (key != Qt::Key_Left && key != Qt::Key_Right && !kChordStep)
        stopStepping();

    if (key == Qt::Key_U && modifiers == ModifierClass::LoudnessChord) {
        if (appState->isGotoMode())
            leaveTimecodeEntry(false);
        startLoudnessMeasurement();
        return;
    }

    if (appState->isGotoMode()) {
        timecodeEntryKey(event);
        return;
    }

    if (key == Qt::Key_Slash && modifiers == ModifierClass::Command) {
        toggleHelp();
        return;
    }
    if (key == Qt::Key_Escape) {
        if (appState->isHelpVisible()) {
            toggleHelp();
            return;
        }
        if (appState->isFullScreen()) {
            toggleFullScreen();
            return;
        }
    }
    // The help page swallows every other key.
    if (appState->isHelpVisible())
        return;

    const bool audioOnly = isAudioOnly();
    const bool picturePage = appState->currentMode() == Viewer;
    const bool scopePage = appState->currentMode() == Scope;

    if (key == Qt::Key_Z) {
        if (modifiers == ModifierClass::None) {
            turnInspectorOn();
            event->accept();
        }
        return;
    }
    if (key == Qt::Key_L && modifiers == ModifierClass::Command) {
        rotateView();
        return;
    }
    if (key == Qt::Key_E && modifiers == ModifierClass::Command) {
        if (picturePage && appState->totalFrames() > 0 && !audioOnly) {
            stopStepping();
            showSafetyAreaDialog();
        }
        return;
    }
    if (key == Qt::Key_E && modifiers == ModifierClass::None) {
        toggleSafetyArea();
        return;
    }

    if (isFilteredKey(key) && modifiers != ModifierClass::None) {
        const bool shiftedArrow =
            modifiers == ModifierClass::Shift && (key == Qt::Key_Left || key == Qt::Key_Right);
        if (!shiftedArrow) {
            event->ignore();
            return;
        }
    }
    if (kChordStep) {
        if (appState->totalFrames() > 0 && !audioOnly)
            startStepping(key == Qt::Key_L ? 1 : -1, false, key);
        event->accept();
        return;
    }

    if (scopePage
        && (key == Qt::Key_Space || key == Qt::Key_J || key == Qt::Key_K || key == Qt::Key_L)) {
        event->ignore();
        return;
    }

    if (commands->dispatch(key, modifiers)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::buildCommandTable()
{
    KeyCommandTable &table = *commands;
    const auto plain = ModifierClass::None;

    // Plain keys only: with a modifier they are someone else's chord.
    table.add(Qt::Key_Tab, plain, [this](int, ModifierClass) { toggleScopePage(); });
    table.add(Qt::Key_F, plain, [this](int, ModifierClass) { toggleFullScreen(); });
    table.add(Qt::Key_W, plain, [this](int, ModifierClass) { toggleLissajous(); });
    table.add(Qt::Key_D, plain, [this](int, ModifierClass) {
        if (appState->currentMode() == Scope) {
            appState->setScopeRange(appState->scopeRange() == Percent ? CodeValue : Percent);
            scopeWidget->updateScope(-1);
        }
    });
    const std::pair<int, DisplayChannel> channelKeys[] = {{Qt::Key_C, Color}, {Qt::Key_R, Red},  {Qt::Key_G, Green},
                                                          {Qt::Key_B, Blue},  {Qt::Key_A, Alpha}, {Qt::Key_Y, Luma}};
    for (const auto &[channelKey, channel] : channelKeys)
        table.add(channelKey, plain, [this, channel = channel](int, ModifierClass) { selectChannel(channel); });

    // Transport and navigation; filtered chords never get this far, Shift+arrows do.
    const auto transport = [this](PlayState state, bool faster) {
        playbackController->setPlaybackState(state, faster);
        updateLissajousOverlay();
    };
    table.addAnyModifiers({Qt::Key_Space}, [this, transport](int, ModifierClass) {
        transport(appState->playState() == Stopped ? Forward : Stopped, false);
    });
    table.addAnyModifiers({Qt::Key_L}, [transport](int, ModifierClass) { transport(Forward, true); });
    table.addAnyModifiers({Qt::Key_J}, [transport](int, ModifierClass) { transport(Backward, true); });
    table.addAnyModifiers({Qt::Key_K}, [transport](int, ModifierClass) { transport(Stopped, false); });
    table.addAnyModifiers({Qt::Key_P}, [this](int, ModifierClass) {
        if (appState->currentMode() == Scope)
            imageExporter->exportScopeImage();
        else if (!isAudioOnly())
            imageExporter->exportViewerImage();
    });
    table.addAnyModifiers({Qt::Key_0}, [this](int, ModifierClass) { applyDefaultRouting(); });
    table.addAnyModifiers({Qt::Key_1, Qt::Key_2, Qt::Key_3, Qt::Key_4, Qt::Key_5, Qt::Key_6, Qt::Key_7, Qt::Key_8},
                          [this](int key, ModifierClass) { gangRouting(key - Qt::Key_0); });
    table.addAnyModifiers({Qt::Key_M}, [this](int, ModifierClass) { toggleMute(); });
    table.addAnyModifiers({Qt::Key_Return, Qt::Key_Enter}, [this](int, ModifierClass) {
        if (appState->playState() == Stopped && !seekBarDragging && appState->currentMode() == Viewer)
            enterTimecodeEntry();
    });
    table.addAnyModifiers({Qt::Key_Home, Qt::Key_Up}, [this](int, ModifierClass) { seekToFrame(0); });
    table.addAnyModifiers({Qt::Key_End, Qt::Key_Down}, [this](int, ModifierClass) {
        if (appState->totalFrames() > 0)
            seekToFrame(appState->totalFrames() - 1);
    });
    table.addAnyModifiers({Qt::Key_Left, Qt::Key_Right}, [this](int key, ModifierClass modifiers) {
        const bool bySecond = modifiers == ModifierClass::Shift;
        // Audio-only media have no frames to look at, only seconds to move by.
        if (appState->totalFrames() > 0 && (!isAudioOnly() || bySecond))
            startStepping(key == Qt::Key_Right ? 1 : -1, bySecond, key);
    });
}

void MainWindow::keyReleaseEvent(QKeyEvent *event)
{
    if (event->isAutoRepeat()) {
        QWidget::keyReleaseEvent(event);
        return;
    }
    const int key = event->key();
    if (key == Qt::Key_K) {
        kHeld = false;
        if (stepKey == Qt::Key_J || stepKey == Qt::Key_L)
            stopStepping();
        event->accept();
        return;
    }
    if (key == Qt::Key_Z) {
        turnInspectorOff();
        event->accept();
        return;
    }
    if (isStepKey(key) && key == stepKey) {
        stopStepping();
        event->accept();
        return;
    }
    QWidget::keyReleaseEvent(event);
}

void MainWindow::wheelEvent(QWheelEvent *event)
{
    const int delta = event->angleDelta().y();
    // Behind the help page or while a timecode is typed the frame must not move unseen.
    if (appState->totalFrames() == 0 || isAudioOnly() || appState->playState() != Stopped || delta == 0
        || appState->isHelpVisible() || appState->isGotoMode()) {
        QWidget::wheelEvent(event);
        return;
    }
    // High-resolution wheels send fractions of a notch; a frame moves per whole notch.
    wheelAccumulator += delta;
    const int steps = wheelAccumulator / kWheelNotch;
    if (steps == 0) {
        event->accept();
        return;
    }
    wheelAccumulator -= steps * kWheelNotch;
    const int64_t current = appState->currentFrameNumber();
    const int64_t target = std::clamp<int64_t>(current + steps, 0, appState->totalFrames() - 1);
    if (target != current)
        seekToFrame(target, true);
    event->accept();
}

bool MainWindow::filterCommandEvent(QObject *watched, QEvent *event)
{
    if (watched == seekBar && event->type() == QEvent::Wheel) {
        wheelEvent(static_cast<QWheelEvent *>(event));
        return true;
    }
    if (watched == viewerStack || watched == videoWidget || watched == dropHintLabel) {
        const QEvent::Type type = event->type();
        if (type == QEvent::MouseMove || type == QEvent::Enter || type == QEvent::Leave)
            updatePixelInspector();
        return false;
    }
    if (filterLabelDoubleClick(watched, event))
        return true;
    if (watched == audioMeter && event->type() == QEvent::MouseButtonDblClick) {
        showAudioDeviceDialog();
        return true;
    }
    return false;
}

void MainWindow::seekToFrame(int64_t frame, bool step)
{
    if (step)
        playbackController->requestStep(frame);
    else
        playbackController->requestSeek(frame);
    if (appState->currentMode() == Scope) {
        // The picture comes at once, the costlier scope once the frame settles.
        scopePendingFrame = frame;
        scopeDeferTimer->start();
    }
}

void MainWindow::onScopeDeferTimer()
{
    if (appState->currentMode() != Scope || scopePendingFrame < 0)
        return;
    scopeWidget->updateScope(scopePendingFrame);
    scopePendingFrame = -1;
}

void MainWindow::startStepping(int direction, bool bySecond, int key)
{
    const bool wasRunning = stepTimer->isActive();
    const bool changed = direction != stepDirection || bySecond != stepBySecond || key != stepKey;
    if (changed) {
        stepInFlight = false;
        stepTarget = -1;
    }
    stepDirection = direction;
    stepKey = key;
    stepBySecond = bySecond;
    // A new key while one repeats switches at the running pace, without a second delay.
    const bool quick = wasRunning && changed;
    stepInitialDelay = !quick;
    const int interval = quick ? kStepRepeatMs : kStepFirstRepeatMs;
    if (stepTimer->interval() != interval)
        stepTimer->setInterval(interval);
    if (!stepTimer->isActive())
        stepTimer->start();
    stepOnce(false);
}

void MainWindow::stepOnce(bool fromTimer)
{
    if (fromTimer && stepInitialDelay) {
        stepInitialDelay = false;
        stepTimer->setInterval(kStepRepeatMs);
    }
    // One step at a time: a held key never runs ahead of the pictures.
    if (stepDirection == 0 || stepInFlight)
        return;
    if (appState->isHelpVisible() || appState->isGotoMode() || appState->totalFrames() <= 0) {
        stopStepping();
        return;
    }
    if (isAudioOnly() && !stepBySecond) {
        stopStepping();
        return;
    }
    const long roundedFps = std::lround(appState->fps());
    int64_t size = stepBySecond && roundedFps > 1 ? int64_t(roundedFps) : 1;
    if (stepDirection <= 0)
        size = -size;
    const int64_t current = appState->currentFrameNumber();
    const int64_t last = std::max<int64_t>(appState->totalFrames() - 1, 0);
    const int64_t target = std::clamp<int64_t>(current + size, 0, last);
    if (target == current)
        return;
    stepInFlight = true;
    stepTarget = target;
    seekToFrame(target, true);
}

void MainWindow::stopStepping()
{
    stepTimer->stop();
    stepDirection = 0;
    stepKey = 0;
    stepBySecond = false;
    stepInitialDelay = false;
    stepInFlight = false;
    stepTarget = -1;
}

void MainWindow::toggleHelp()
{
    // Full screen has no help page.
    if (appState->isFullScreen())
        return;
    if (!appState->isHelpVisible()) {
        playbackTimer->stop();
        if (appState->playState() != Stopped)
            playbackController->setPlaybackState(Stopped, false);
        appState->setHelpVisible(true);
        return;
    }
    appState->setHelpVisible(false);
    if (appState->totalFrames() > 0) {
        if (const int interval = playbackIntervalMs(); interval > 0)
            playbackTimer->start(interval);
    }
}

void MainWindow::toggleFullScreen()
{
    if (appState->currentMode() != Viewer || appState->totalFrames() == 0)
        return;
    const bool entering = !appState->isFullScreen();
    appState->setFullScreen(entering);
    auto *centralLayout = qobject_cast<QVBoxLayout *>(centralWidget()->layout());
    if (entering) {
        topPanel->hide();
        bottomPanel->hide();
        viewerStack->setMinimumSize(0, 0);
        viewerStack->setMaximumSize(kWidgetSizeMax, kWidgetSizeMax);
        videoWidget->setStyleSheet(kFullScreenPageStyle);
        if (centralLayout) {
            centralLayout->setContentsMargins(0, 0, 0, 0);
            centralLayout->setAlignment(viewerStack, Qt::Alignment());
        }
        setMinimumSize(0, 0);
        setMaximumSize(kWidgetSizeMax, kWidgetSizeMax);
        showFullScreen();
    } else {
        topPanel->show();
        bottomPanel->show();
        if (centralLayout) {
            centralLayout->setContentsMargins(50, 15, 50, 25);
            centralLayout->setAlignment(viewerStack, Qt::AlignCenter);
        }
        viewerStack->setFixedSize(kViewerWidth, kViewerHeight);
        videoWidget->setStyleSheet(kViewerPageStyle);
        showNormal();
        setFixedSize(kWindowWidth, kWindowHeight);
    }
    updateLissajousOverlay();
    updateSafetyArea();
    updatePixelInspector();
}

void MainWindow::rotateView()
{
    if (appState->currentMode() != Viewer || appState->totalFrames() <= 0 || isAudioOnly())
        return;
    appState->setViewerRotationDegrees((appState->viewerRotationDegrees() + 90) % 360);
    scopeWidget->clearScope();
    // While playing, the next played frame carries the new rotation.
    if (appState->playState() == Stopped)
        rerender();
}

void MainWindow::selectChannel(DisplayChannel channel)
{
    appState->setDisplayChannel(channel);
    const ConversionProfile profile = channel != Color ? ChannelIsolation : Standard;
    if (media)
        media->setConversionProfile(profile);
    if (appState->currentMode() == Scope)
        scopeWidget->updateScope(-1);
    else
        rerender();
    pixelInspector->dropCache();
    updatePixelInspector();
}

void MainWindow::toggleScopePage()
{
    if (appState->totalFrames() == 0 || isAudioOnly())
        return;
    if (appState->currentMode() == Scope) {
        appState->setCurrentMode(Viewer);
        // The scope's 8-bit path may have left the engine on its Standard profile.
        const ConversionProfile profile = appState->displayChannel() != Color ? ChannelIsolation : Standard;
        if (media)
            media->setConversionProfile(profile);
        rerender();
        return;
    }
    if (appState->playState() != Stopped)
        playbackController->setPlaybackState(Stopped, false);
    appState->setCurrentMode(Scope);
    scopeWidget->clearScope();
    scopeWidget->updateScope(-1);
}

void MainWindow::toggleSafetyArea()
{
    if (appState->currentMode() != Viewer || appState->totalFrames() == 0 || isAudioOnly())
        return;
    framePresenter->setSafetyAreaEnabled(!framePresenter->safetyAreaEnabled());
    // The two overlays are never drawn together.
    if (framePresenter->safetyAreaEnabled()) {
        framePresenter->setLissajousEnabled(false);
        updateLissajousOverlay();
    }
    updateSafetyArea();
}

void MainWindow::toggleLissajous()
{
    if (appState->currentMode() != Viewer || appState->totalFrames() == 0 || isAudioOnly()
        || audioChannelCount() <= 0)
        return;
    framePresenter->setLissajousEnabled(!framePresenter->lissajousEnabled());
    if (framePresenter->lissajousEnabled()) {
        framePresenter->setSafetyAreaEnabled(false);
        updateSafetyArea();
    }
    updateLissajousOverlay();
}

void MainWindow::turnInspectorOn()
{
    pixelInspector->press();
}

void MainWindow::applyDefaultRouting()
{
    // Combos keep the items of the last file with audio; a file without audio has nothing
    // to route.
    if (audioChannelCount() <= 0 || leftChannelCombo->count() <= 1)
        return;
    const int rightCount = rightChannelCombo->count();
    const int right = rightCount > 2 ? 2 : (rightCount > 1 ? 1 : rightChannelCombo->currentIndex());
    setRoutingIndices(1, right);
}

void MainWindow::gangRouting(int channel)
{
    if (audioChannelCount() <= 0 || channel >= leftChannelCombo->count())
        return;
    setRoutingIndices(channel, channel);
}

void MainWindow::toggleMute()
{
    if (!leftChannelCombo || !rightChannelCombo || audioChannelCount() <= 0)
        return;
    const int leftCount = leftChannelCombo->count();
    const int rightCount = rightChannelCombo->count();
    if (leftCount == 0 || rightCount == 0)
        return;
    const int left = leftChannelCombo->currentIndex();
    const int right = rightChannelCombo->currentIndex();
    // Both sides already silent and nothing to restore.
    if (!audioMuted && left == 0 && right == 0)
        return;
    routingFromMute = true;
    if (audioMuted) {
        // The saved routing may name channels the current file lacks.
        const int restoredLeft = std::max(std::min(leftCount - 1, savedLeftIndex), 0);
        const int restoredRight = std::max(std::min(rightCount - 1, savedRightIndex), 0);
        audioMuted = false;
        savedLeftIndex = -1;
        savedRightIndex = -1;
        setRoutingIndices(restoredLeft, restoredRight);
    } else {
        savedLeftIndex = left;
        savedRightIndex = right;
        audioMuted = true;
        setRoutingIndices(0, 0);
    }
    routingFromMute = false;
}

void MainWindow::setRoutingIndices(int left, int right)
{
    {
        const QSignalBlocker blockLeft(leftChannelCombo);
        const QSignalBlocker blockRight(rightChannelCombo);
        leftChannelCombo->setCurrentIndex(left);
        rightChannelCombo->setCurrentIndex(right);
    }
    // One routing change for both sides, not one per combo.
    emit leftChannelCombo->currentIndexChanged(leftChannelCombo->currentIndex());
}
