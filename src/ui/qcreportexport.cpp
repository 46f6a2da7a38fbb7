#include "ui/qcreportexport.h"

#include "ui/qcsession.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>

QcReportExport::QcReportExport(Parts parts, QObject *parent)
    : QObject(parent)
    , m(std::move(parts))
{
}

QString QcReportExport::askForFile(QWidget *window, const QString &proposed)
{
    return QFileDialog::getSaveFileName(window, QStringLiteral("Export QC report"), proposed,
                                        QStringLiteral("CSV (*.csv);;JSON (*.json)"));
}

QString QcReportExport::proposedPath(const QString &mediaPath)
{
    const QFileInfo media(mediaPath);
    return media.dir().filePath(media.completeBaseName() + QStringLiteral("_qc.csv"));
}

QString QcReportExport::write(const QString &path, const qc::Report &report)
{
    const bool json = QFileInfo(path).suffix().compare(QLatin1String("json"), Qt::CaseInsensitive) == 0;
    const QByteArray bytes = json ? qc::reportJson(report) : qc::reportCsv(report);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}

void QcReportExport::exportReport()
{
    const std::optional<qc::Report> report = m.session->report();
    if (!report) {
        const bool running = m.session->state() == QcSession::State::Running;
        m.showMessage(QStringLiteral("QC report"),
                      running ? QStringLiteral("The analysis has not finished yet.")
                              : QStringLiteral("There is no finished analysis to export."));
        return;
    }
    const QString path = m.chooseFile(proposedPath(report->file));
    if (path.isEmpty())
        return;
    if (const QString reason = write(path, *report); !reason.isEmpty())
        m.showMessage(QStringLiteral("QC report"),
                      QStringLiteral("The report could not be saved.\n%1: %2").arg(QDir::toNativeSeparators(path), reason));
}
