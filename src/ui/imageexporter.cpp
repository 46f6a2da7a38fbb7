#include "ui/imageexporter.h"

#include "core/imagehelpers.h"
#include "state/applicationstate.h"
#include "state/openmedia.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

ImageExporter::ImageExporter(Sources sources, QObject *parent)
    : QObject(parent)
    , src(std::move(sources))
{
}

void ImageExporter::setPathChooser(PathChooser pathChooser)
{
    chooser = std::move(pathChooser);
}

QString ImageExporter::timecodeDigits(const QString &timecodeText)
{
    static const QRegularExpression separators(QStringLiteral("[:;]"));
    return QString(timecodeText).remove(separators);
}

QString ImageExporter::proposedPath(const QString &prefix, const QString &digits)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return QDir(folder).filePath(QStringLiteral("%1%2.png").arg(prefix, digits));
}

QImage ImageExporter::viewerPicture(const QImage &frame, DisplayChannel channel, int rotationDegrees)
{
    return rotateImage(isolateChannel(frame, channel), rotationDegrees);
}

bool ImageExporter::writePng(const QImage &image, const QString &path)
{
    if (image.isNull() || path.isEmpty())
        return false;
    // QSaveFile writes beside the target and renames on commit; an unfinished or failed
    // write removes its temporary file and leaves any existing target untouched.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (!image.save(&file, "PNG", -1)) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

QString ImageExporter::askImageSavePath(const QString &prefix) const
{
    const QString digits = timecodeDigits(src.timecodeLabel ? src.timecodeLabel->text() : QString());
    if (chooser)
        return chooser(prefix, digits);
    return QFileDialog::getSaveFileName(src.window, QStringLiteral("画像の保存"), proposedPath(prefix, digits),
                                        QStringLiteral("PNG Images (*.png)"));
}

void ImageExporter::showSaveFailure() const
{
    QMessageBox::warning(src.window, QStringLiteral("エラー"), QStringLiteral("画像の保存に失敗しました。"),
                         QMessageBox::Ok);
}

void ImageExporter::exportScopeImage()
{
    if (!src.state || src.state->currentMode() != Scope || !src.scopePage)
        return;
    const QString path = askImageSavePath(QStringLiteral("SCOPE_"));
    if (path.isEmpty())
        return;
    // The page as painted on screen, at the widget's size.
    const QImage shown = src.scopePage->grab(QRect(0, 0, -1, -1)).toImage();
    if (writePng(shown, path))
        qDebug().noquote() << "Scope image saved successfully:" << path;
    else
        showSaveFailure();
}

void ImageExporter::exportViewerImage()
{
    if (!src.state || src.state->totalFrames() == 0)
        return;
    if (src.state->mediaInfo().isAudioOnly)
        return;
    if (src.state->playState() != Stopped && src.stopPlayback)
        src.stopPlayback();
    OpenMedia *media = src.media ? src.media() : nullptr;
    if (!media)
        return;

    const int64_t frame = src.state->currentFrameNumber();
    QImage image = src.picture ? src.picture(frame) : media->frameAsImage(frame);
    if (image.isNull())
        return;
    image = viewerPicture(image, src.state->displayChannel(), src.state->viewerRotationDegrees());

    const QString path = askImageSavePath(QStringLiteral("PIC_"));
    if (path.isEmpty())
        return;
    if (writePng(image, path))
        qDebug().noquote() << "Viewer image saved successfully:" << path;
    else
        showSaveFailure();
}
