#pragma once

#include <QApplication>
#include <QList>
#include <QString>

class MainWindow;

// The application object. Besides being the QApplication it accepts the operating
// system's file-open requests (QFileOpenEvent) and keeps them until the main window
// exists.
class OrvelApplication : public QApplication
{
    Q_OBJECT

public:
    OrvelApplication(int &argc, char **argv);
    ~OrvelApplication() override;

    // Start-up's last step before the event loop: opens the first path that arrived by a
    // file-open event (later ones are dropped), or else the first command-line argument.
    // Call once, after mainWindow is set.
    void openInitialFile();

    // Not owned; set by start-up right after the window is constructed, never reset.
    MainWindow *mainWindow = nullptr;
    // Paths from file-open events received while mainWindow was still null.
    QList<QString> pendingFilePaths;

protected:
    bool event(QEvent *e) override;
};
