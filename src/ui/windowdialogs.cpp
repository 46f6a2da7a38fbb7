#include "ui/windowdialogs.h"

#include "audio/audiooutput.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "ui/aboutdialog.h"
#include "ui/audiodevicedialog.h"
#include "ui/framepresenter.h"
#include "ui/loudnessmeasurementflow.h"
#include "ui/messagedialog.h"
#include "ui/playbacktimer.h"
#include "ui/safetyareadialog.h"
#include "ui/uicontroller.h"
#include "ui/viewerpresentation.h"

#include <QCoreApplication>
#include <QMediaDevices>
#include <QStackedWidget>
#include <QTimer>
#include <QWidget>

WindowDialogs::WindowDialogs(Parts parts, QObject *parent)
    : QObject(parent)
    , m(std::move(parts))
{
}

bool WindowDialogs::pause()
{
    const bool timerWasActive = m.playbackTimer->isActive();
    m.playbackTimer->stop();
    if (m.state->playState() != Stopped)
        m.controller->setPlaybackState(Stopped, false);
    return timerWasActive;
}

void WindowDialogs::resume(bool timerWasActive)
{
    if (m.state->totalFrames() > 0 && m.picture->currentIndex() == UiController::PicturePage) {
        m.presentation->rerender();
        if (timerWasActive)
            startPlaybackTimer(m.playbackTimer, m.state->fps());
    }
}

void WindowDialogs::centre(QDialog *dialog) const
{
    const QPoint centre =
        m.picture ? m.picture->mapToGlobal(m.picture->rect().center()) : m.window->frameGeometry().center();
    dialog->move(centre.x() - dialog->width() / 2, centre.y() - dialog->height() / 2);
}

int WindowDialogs::run(QDialog &dialog, const std::function<void()> &whilePaused)
{
    const bool timerWasActive = pause();
    if (whilePaused)
        whilePaused();
    centre(&dialog);
    const int result = dialog.exec();
    resume(timerWasActive);
    return result;
}

void WindowDialogs::showMessage(const QString &title, const QString &message)
{
    MessageDialog dialog(m.window->windowIcon(), title, message);
    run(dialog);
}

void WindowDialogs::showAbout()
{
    AboutDialog dialog(m.window->windowIcon(), QCoreApplication::applicationVersion());
    run(dialog);
}

void WindowDialogs::showSafetyAreaSetUp()
{
    SafetyAreaDialog dialog(m.presenter->safetyArea());
    connect(&dialog, &SafetyAreaDialog::areaChanged, m.presentation, &ViewerPresentation::setSafetyArea);
    // Visible while it is adjusted.
    run(dialog, [this] { m.presentation->showSafetyAreaForSetUp(); });
}

void WindowDialogs::showAudioDevices()
{
    AudioDeviceDialog dialog(QMediaDevices::audioOutputs(), m.audioOutput->device(), m.window->windowIcon());
    // Applied before the dialog's re-render, which re-decodes the audio for the new sink.
    connect(&dialog, &QDialog::accepted, this, [this, &dialog] {
        const QAudioDevice chosen = dialog.selectedDevice();
        if (chosen.isNull())
            return;
        m.audioOutput->setDevice(chosen);
        if (m.state->totalFrames() > 0) {
            m.controller->setPlaybackState(Stopped);
            m.recreateAudioSink(m.state->mediaInfo().audioSampleRate);
        }
    });
    run(dialog);
}

void WindowDialogs::showDeviceLost(const QString &message)
{
    if (m_deviceWarning)
        m_deviceWarning->close();
    m_deviceWarning = new MessageDialog(m.window->windowIcon(), QStringLiteral("Warning"), message, m.window);
    m_deviceWarning->setAttribute(Qt::WA_DeleteOnClose);
    centre(m_deviceWarning);
    m_deviceWarning->show();
}

void WindowDialogs::measureLoudness(bool seekBarDragging, ChannelRouting routing)
{
    LoudnessStartFacts facts;
    facts.media = m.state->mediaInfo();
    facts.totalFrames = m.state->totalFrames();
    facts.currentFrame = m.state->currentFrameNumber();
    facts.fps = m.state->fps();
    facts.stopped = m.state->playState() == Stopped;
    facts.viewerMode = m.state->currentMode() == Viewer;
    facts.fullScreen = m.state->isFullScreen();
    facts.helpVisible = m.state->isHelpVisible();
    facts.seekBarDragging = seekBarDragging;
    facts.leftChannel = routing.left;
    facts.rightChannel = routing.right;
    const std::optional<LoudnessMeasureRequest> request = loudnessRequestFor(facts);
    if (!request)
        return;
    const bool timerWasActive = pause();
    LoudnessMeasurementFlow::run(*request, m.window->windowIcon(), [this](QDialog *dialog) { centre(dialog); });
    resume(timerWasActive);
}
