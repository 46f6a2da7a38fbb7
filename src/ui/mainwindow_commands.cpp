// The window's keys: every press and release goes through the command table, whose rows
// are tried in order. Gates come first (the loudness chord, timecode entry, help, the
// chord filter), then the single-key commands.

#include "ui/mainwindow.h"

#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "ui/audioroutingselector.h"
#include "ui/comparesession.h"
#include "ui/exposurecontrol.h"
#include "ui/framenavigator.h"
#include "ui/imageexporter.h"
#include "ui/keycommands.h"
#include "ui/pixelinspectoroverlay.h"
#include "ui/qceventlist.h"
#include "ui/qceventnavigator.h"
#include "ui/qcreportexport.h"
#include "ui/seekbar.h"
#include "ui/timecodefield.h"
#include "ui/viewerpresentation.h"
#include "ui/windowdialogs.h"

#include <QKeyEvent>
#include <QStackedWidget>
#include <QWheelEvent>

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    // Holding a key never repeats a command; held stepping repeats through its own timer.
    if (event->isAutoRepeat())
        return;
    const KeyStroke stroke{event->key(), modifierClass(event->modifiers()), event->text()};
    navigator->notePress(stroke.key, stroke.modifiers);
    switch (commands->dispatch(stroke)) {
    case KeyOutcome::Accepted:
        event->accept();
        break;
    case KeyOutcome::Ignored:
        event->ignore();
        break;
    case KeyOutcome::NotMine:
        QWidget::keyPressEvent(event);
        break;
    }
}

void MainWindow::keyReleaseEvent(QKeyEvent *event)
{
    if (!event->isAutoRepeat()
        && commands->dispatchRelease({event->key(), modifierClass(event->modifiers()), event->text()})
            == KeyOutcome::Accepted) {
        event->accept();
        return;
    }
    QWidget::keyReleaseEvent(event);
}

void MainWindow::wheelEvent(QWheelEvent *event)
{
    // Shift+wheel over the picture sets the exposure of float pictures; some platforms turn
    // a shifted wheel sideways.
    if (event->modifiers() == Qt::ShiftModifier
        && ui.viewerStack->rect().contains(ui.viewerStack->mapFrom(this, event->position().toPoint()))) {
        const int delta = event->angleDelta().y() != 0 ? event->angleDelta().y() : event->angleDelta().x();
        if (exposure->turnWheel(delta)) {
            event->accept();
            return;
        }
    }
    if (navigator->turnWheel(event->angleDelta().y()))
        event->accept();
    else
        QWidget::wheelEvent(event);
}

void MainWindow::buildCommandTable()
{
    KeyCommandTable &table = *commands;
    using enum KeyOutcome;
    const auto plain = ModifierClass::None;
    const auto hasFrames = [this] { return appState->totalFrames() > 0; };
    const auto isScopePage = [this] { return appState->currentMode() == Scope; };

    // Works in every mode, timecode entry and help included.
    table.add(Qt::Key_U, ModifierClass::LoudnessChord, [this](int, ModifierClass) {
        if (appState->isGotoMode())
            timecodeField->leave(false);
        dialogs->measureLoudness(ui.seekBar->isDragging(), routing->routing());
    });
    // Timecode entry takes every other key.
    table.addCatchAll([this](const KeyStroke &stroke) {
        if (!appState->isGotoMode())
            return NotMine;
        timecodeField->key(stroke.key, stroke.text);
        return Accepted;
    });
    table.add(Qt::Key_Slash, ModifierClass::Command, [this](int, ModifierClass) { presentation->toggleHelp(); });
    table.addRule({Qt::Key_Escape}, [this](const KeyStroke &) {
        if (appState->isHelpVisible())
            presentation->toggleHelp();
        else if (appState->isFullScreen())
            presentation->toggleFullScreen();
        else
            return NotMine;
        return Accepted;
    });
    // The help page swallows every other key.
    table.addCatchAll([this](const KeyStroke &) { return appState->isHelpVisible() ? Accepted : NotMine; });

    // Z works while held; with a modifier it does nothing, and nobody else gets it.
    table.add(Qt::Key_Z, plain, [this](int, ModifierClass) { pixelInspector->press(); });
    table.addRule({Qt::Key_Z}, [](const KeyStroke &) { return Accepted; });
    table.add(Qt::Key_L, ModifierClass::Command, [this](int, ModifierClass) { presentation->rotate(); });
    table.add(Qt::Key_E, ModifierClass::Command, [this, hasFrames](int, ModifierClass) {
        if (appState->currentMode() == Viewer && hasFrames() && !isAudioOnly()) {
            navigator->stopStepping();
            dialogs->showSafetyAreaSetUp();
        }
    });
    table.add(Qt::Key_E, plain, [this](int, ModifierClass) { presentation->toggleSafetyArea(); });
    // QC: the report (ahead of the chord filter, which would refuse E with modifiers),
    // the next and previous event, the event list.
    table.add(Qt::Key_E, ModifierClass::CommandShift, [this](int, ModifierClass) {
        navigator->stopStepping();
        qcExport->exportReport();
    });
    table.add(Qt::Key_BracketRight, plain, [this, hasFrames](int, ModifierClass) {
        if (hasFrames())
            qcNavigator->next();
    });
    table.add(Qt::Key_BracketLeft, plain, [this, hasFrames](int, ModifierClass) {
        if (hasFrames())
            qcNavigator->previous();
    });
    table.add(Qt::Key_Q, plain, [this](int, ModifierClass) { qcList->setVisible(!qcList->isVisible()); });
    // Exposure of float pictures: '-' down, '=' or '+' up, Backspace back to 0.
    table.addRule({Qt::Key_Minus, Qt::Key_Equal, Qt::Key_Plus, Qt::Key_Backspace}, [this](const KeyStroke &stroke) {
        const bool used = stroke.key == Qt::Key_Backspace ? exposure->reset()
                                                          : exposure->step(stroke.key == Qt::Key_Minus ? -1 : 1);
        return used ? Accepted : NotMine;
    });
    // Comparing with a second file: the view, the difference's gain, closing it (ahead of
    // the chord filter, which refuses W with modifiers).
    table.add(Qt::Key_X, plain, [this](int, ModifierClass) { compare->cycleView(); });
    table.add(Qt::Key_X, ModifierClass::Shift, [this](int, ModifierClass) { compare->cycleGain(); });
    table.add(Qt::Key_W, ModifierClass::CommandShift, [this](int, ModifierClass) { compare->close(); });

    // The player's single keys refuse every modifier but Shift on the arrows.
    table.addCatchAll([](const KeyStroke &stroke) {
        const bool shiftedArrow = stroke.modifiers == ModifierClass::Shift
            && (stroke.key == Qt::Key_Left || stroke.key == Qt::Key_Right);
        return isFilteredKey(stroke.key) && stroke.modifiers != ModifierClass::None && !shiftedArrow ? Ignored
                                                                                                     : NotMine;
    });
    // K held: J and L step a frame at a time, repeating while held.
    table.addRule({Qt::Key_J, Qt::Key_L}, plain, [this, hasFrames](const KeyStroke &stroke) {
        if (!navigator->isKHeld())
            return NotMine;
        if (hasFrames() && !isAudioOnly())
            navigator->startStepping(stroke.key == Qt::Key_L ? 1 : -1, false, stroke.key);
        return Accepted;
    });
    // No transport on the scope page; with live scopes, forward 1x (Space) and stop (K), as
    // the scope follows no shuttle.
    table.addRule({Qt::Key_Space, Qt::Key_K}, plain, [this, isScopePage](const KeyStroke &) {
        return isScopePage() && !presentation->liveScopes() ? Ignored : NotMine;
    });
    table.addRule({Qt::Key_J, Qt::Key_L}, plain,
                  [isScopePage](const KeyStroke &) { return isScopePage() ? Ignored : NotMine; });

    // Plain keys only: with a modifier they are someone else's chord.
    table.add(Qt::Key_Tab, plain, [this](int, ModifierClass) { presentation->toggleScopePage(); });
    table.add(Qt::Key_F, plain, [this](int, ModifierClass) { presentation->toggleFullScreen(); });
    table.add(Qt::Key_W, plain, [this](int, ModifierClass) { presentation->toggleLissajous(); });
    table.add(Qt::Key_D, plain, [this](int, ModifierClass) { presentation->toggleScopeRange(); });
    table.add(Qt::Key_V, plain, [this](int, ModifierClass) { presentation->cycleScopeKind(); });
    const std::pair<int, DisplayChannel> channelKeys[] = {{Qt::Key_C, Color}, {Qt::Key_R, Red},  {Qt::Key_G, Green},
                                                          {Qt::Key_B, Blue},  {Qt::Key_A, Alpha}, {Qt::Key_Y, Luma}};
    for (const auto &[channelKey, channel] : channelKeys)
        table.add(channelKey, plain, [this, channel = channel](int, ModifierClass) {
            presentation->selectChannel(channel);
        });

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
    table.addAnyModifiers({Qt::Key_P}, [this, isScopePage](int, ModifierClass) {
        if (isScopePage())
            imageExporter->exportScopeImage();
        else if (!isAudioOnly())
            imageExporter->exportViewerImage();
    });
    // Routing keys; the selectors keep the last file's items, so they need a file with audio.
    table.addAnyModifiers({Qt::Key_0}, [this](int, ModifierClass) {
        if (audioChannelCount() > 0)
            routing->applyDefault();
    });
    table.addAnyModifiers({Qt::Key_1, Qt::Key_2, Qt::Key_3, Qt::Key_4, Qt::Key_5, Qt::Key_6, Qt::Key_7, Qt::Key_8},
                          [this](int key, ModifierClass) {
                              if (audioChannelCount() > 0)
                                  routing->gang(key - Qt::Key_0);
                          });
    table.addAnyModifiers({Qt::Key_M}, [this](int, ModifierClass) {
        if (audioChannelCount() > 0)
            routing->toggleMute();
    });
    table.addAnyModifiers({Qt::Key_Return, Qt::Key_Enter}, [this](int, ModifierClass) {
        if (appState->playState() == Stopped && !ui.seekBar->isDragging() && appState->currentMode() == Viewer)
            timecodeField->enter();
    });
    table.addAnyModifiers({Qt::Key_Home, Qt::Key_Up}, [this](int, ModifierClass) { navigator->seekTo(0); });
    table.addAnyModifiers({Qt::Key_End, Qt::Key_Down}, [this, hasFrames](int, ModifierClass) {
        if (hasFrames())
            navigator->seekTo(appState->totalFrames() - 1);
    });
    table.addAnyModifiers({Qt::Key_Left, Qt::Key_Right}, [this, hasFrames](int key, ModifierClass modifiers) {
        const bool bySecond = modifiers == ModifierClass::Shift;
        // Audio-only media have no frames to look at, only seconds to move by.
        if (hasFrames() && (!isAudioOnly() || bySecond))
            navigator->startStepping(key == Qt::Key_Right ? 1 : -1, bySecond, key);
    });

    // Releases: K ends a K+J / K+L repeat, Z turns the inspector off, a stepping key ends
    // its own repeat.
    table.addRelease({Qt::Key_K}, [this](const KeyStroke &) {
        navigator->releaseK();
        return Accepted;
    });
    table.addRelease({Qt::Key_Z}, [this](const KeyStroke &) {
        pixelInspector->release();
        return Accepted;
    });
    table.addRelease({Qt::Key_Left, Qt::Key_Right, Qt::Key_J, Qt::Key_L}, [this](const KeyStroke &stroke) {
        return navigator->releaseStepKey(stroke.key) ? Accepted : NotMine;
    });
}
