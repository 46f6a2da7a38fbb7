#pragma once

#include "core/enums.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

class ApplicationState;
class QLabel;
class QWidget;
class OpenMedia;

// The P key: saves the current picture (full resolution, isolation and rotation applied)
// or the scope page as shown, as a PNG named after the displayed timecode. A write goes
// to a temporary file in the target folder that replaces the target only when complete,
// so a failure leaves nothing behind; it is reported in a warning box. GUI thread only.
class ImageExporter : public QObject
{
    Q_OBJECT

public:
    struct Sources {
        QWidget *window = nullptr;        // parent of the dialogs
        ApplicationState *state = nullptr;
        QLabel *timecodeLabel = nullptr;  // the digits of the proposed name
        QWidget *scopePage = nullptr;     // grabbed as shown
        std::function<OpenMedia *()> media; // the open file, asked for the full frame
        std::function<void()> stopPlayback;
        // The full picture as the viewer composes it (a comparison); null: the open file's.
        std::function<QImage(int64_t frame)> picture;
    };
    // prefix, timecode digits -> chosen path; empty when cancelled.
    using PathChooser = std::function<QString(const QString &prefix, const QString &digits)>;

    explicit ImageExporter(Sources sources, QObject *parent = nullptr);

    // Only on the scope page.
    void exportScopeImage();
    // Only with frames and not for audio-only media; stops playback first. Blocks the GUI
    // thread while the engine decodes the frame.
    void exportViewerImage();

    // Replaces the save dialog (tests, scripted use).
    void setPathChooser(PathChooser chooser);

    // The label text without ':' and ';'.
    static QString timecodeDigits(const QString &timecodeText);
    // <desktop>/<prefix><digits>.png
    static QString proposedPath(const QString &prefix, const QString &digits);
    // The frame as saved: the channel isolated (8-bit grey) and turned, never letterboxed.
    static QImage viewerPicture(const QImage &frame, DisplayChannel channel, int rotationDegrees);
    // PNG through a temporary file in the same folder; false (and no file) on failure.
    static bool writePng(const QImage &image, const QString &path);

private:
    QString askImageSavePath(const QString &prefix) const;
    void showSaveFailure() const;

    Sources src;
    PathChooser chooser;
};
