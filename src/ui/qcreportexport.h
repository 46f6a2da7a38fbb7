#pragma once

#include "analysis/qcreport.h"

#include <QObject>
#include <QString>

#include <functional>

class QWidget;
class QcSession;

// Ctrl+Shift+E: the open file's QC events and summary into a report file, CSV or JSON by
// the name's extension, proposed as "<media name>_qc.csv" next to the media. Written
// through QSaveFile: a failed write leaves no file, and the window says why. GUI thread.
class QcReportExport : public QObject
{
    Q_OBJECT

public:
    struct Parts {
        QWidget *window = nullptr;
        QcSession *session = nullptr;
        // Asks for the file name, proposing 'proposed'; empty when cancelled.
        std::function<QString(const QString &proposed)> chooseFile;
        std::function<void(const QString &title, const QString &message)> showMessage;
    };
    explicit QcReportExport(Parts parts, QObject *parent = nullptr);

    // The save dialog of the platform.
    static QString askForFile(QWidget *window, const QString &proposed);
    static QString proposedPath(const QString &mediaPath);
    // Writes 'report' to 'path'; the reason when it failed (no file is left then).
    static QString write(const QString &path, const qc::Report &report);

    // The whole command: checks there is a finished analysis, asks, writes, reports.
    void exportReport();

private:
    Parts m;
};
