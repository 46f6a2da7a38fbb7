#include "app/orvelapplication.h"

#include "ui/mainwindow.h"

#include <QDebug>
#include <QFileOpenEvent>

OrvelApplication::OrvelApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

OrvelApplication::~OrvelApplication() = default;

void OrvelApplication::openInitialFile()
{
    if (!mainWindow)
        return;
    QString path;
    if (!pendingFilePaths.isEmpty()) {
        path = pendingFilePaths.first();
        pendingFilePaths.clear();
    } else {
        const QStringList arguments = QCoreApplication::arguments();
        if (arguments.size() > 1)
            path = arguments.at(1);
    }
    // An empty argument names no file; opening it would only produce an error dialog.
    if (!path.isEmpty())
        mainWindow->openMediaFile(path);
}

bool OrvelApplication::event(QEvent *e)
{
    if (e->type() != QEvent::FileOpen)
        return QApplication::event(e);
    const QString path = static_cast<QFileOpenEvent *>(e)->file();
    qDebug() << "macOS FileOpen event detected:" << path;
    if (!path.isEmpty()) {
        if (mainWindow)
            mainWindow->openMediaFile(path);
        else
            pendingFilePaths.append(path);
    }
    return true;
}
