// Timecode entry (goto mode), copying the timecode and revealing the open file: the
// window's side. The typed text and its meaning are TimecodeEntry's.

#include "ui/mainwindow.h"

#include "state/applicationstate.h"
#include "state/playbackcontroller.h"

#include <QClipboard>
#include <QDebug>
#include <QEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>

void MainWindow::enterTimecodeEntry()
{
    if (!TimecodeEntry::canEnter(appState->totalFrames(), isAudioOnly()))
        return;
    appState->setGotoMode(true);
    timecodeEntry.clear();
    timecodeLabel->setText(QString());
    // Full screen hides the panel; the typed digits must be visible.
    if (appState->isFullScreen())
        bottomPanel->show();
}

void MainWindow::leaveTimecodeEntry(bool apply)
{
    if (apply) {
        const std::optional<int64_t> target =
            timecodeEntry.target(timecode, startTimecodeOffset, appState->totalFrames());
        if (target)
            seekToFrame(*target);
    }
    appState->setGotoMode(false);
    timecodeEntry.clear();
    if (appState->isFullScreen())
        bottomPanel->hide();
    // The label shows the frame on screen until the sought frame arrives.
    if (timecode) {
        timecode->setFrames(startTimecodeOffset + appState->currentFrameNumber());
        timecodeLabel->setText(QString::fromStdString(timecode->toString()));
    }
}

void MainWindow::timecodeEntryKey(QKeyEvent *event)
{
    switch (timecodeEntry.key(event->key(), event->text(), appState->fps())) {
    case TimecodeEntry::Action::Cancel:
        leaveTimecodeEntry(false);
        break;
    case TimecodeEntry::Action::Apply:
        leaveTimecodeEntry(true);
        break;
    case TimecodeEntry::Action::Show:
        timecodeLabel->setText(timecodeEntry.input());
        break;
    case TimecodeEntry::Action::None:
        break;
    }
}

bool MainWindow::filterLabelDoubleClick(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::MouseButtonDblClick)
        return false;
    if (watched == timecodeLabel) {
        const QString text = timecodeLabel->text();
        if (!text.isEmpty()) {
            QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
            qDebug() << "Timecode copied to clipboard:" << text;
        }
        return true;
    }
    if (watched == pathLabel) {
        const QString path = pathLabel->text();
        if (pathLabel->property("hasPath").toBool() && QFileInfo::exists(path) && fileRevealer)
            fileRevealer(path);
        return true;
    }
    return false;
}
