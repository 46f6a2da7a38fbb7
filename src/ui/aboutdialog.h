#pragma once

#include <QDialog>

class QIcon;

// The "i" button's dialog: program name and version, the Qt and FFmpeg versions the
// program runs with, trademark notices and the licence links.
class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    AboutDialog(const QIcon &icon, const QString &appVersion, QWidget *parent = nullptr);

    // The rich text shown: the application version and the run-time Qt and FFmpeg versions.
    static QString text(const QString &appVersion, const QString &qtVersion, const QString &ffmpegVersion);
};
