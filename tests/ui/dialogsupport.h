#pragma once

// Helpers for tests that drive the window's modal dialogs: exec() blocks the caller, so
// the test's part runs from a timer inside the dialog's own event loop.

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <functional>

namespace dialogsupport {

// Runs 'inspect' on the next modal dialog, then accepts it (unless 'inspect' already
// closed it). 'seen' turns true once the dialog was there.
inline void handleNextModalDialog(const std::function<void(QDialog *)> &inspect, bool *seen)
{
    auto *poll = new QTimer;
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, inspect, seen] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->stop();
        poll->deleteLater();
        *seen = true;
        inspect(dialog);
        if (dialog->isVisible())
            dialog->accept();
    });
    poll->start();
}

} // namespace dialogsupport
