#include "ui/openfilecommand.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QWidget>

namespace {

// What FFmpeg opens and editors meet, video, audio and numbered pictures (a sequence opens
// whole); "All files" covers the rest.
const char *const kMediaPatterns[] = {
    "*.mov", "*.mp4", "*.m4v", "*.mkv", "*.webm", "*.mxf", "*.ts",  "*.m2ts", "*.mts", "*.mpg",
    "*.mpeg", "*.vob", "*.avi", "*.dv",  "*.flv",  "*.wmv", "*.asf", "*.3gp",  "*.ogv", "*.wav",
    "*.bwf", "*.aif", "*.aiff", "*.mp3", "*.flac", "*.aac", "*.m4a", "*.ogg",  "*.oga", "*.opus",
    "*.mka", "*.ac3", "*.wma", "*.dpx", "*.exr", "*.tif", "*.tiff", "*.png",
};

} // namespace

OpenFileCommand::OpenFileCommand(QWidget *window, std::function<QString()> currentFile,
                                 std::function<void(const QString &)> open, const QKeySequence &keys,
                                 const QString &title)
    : QObject(window)
    , m_window(window)
    , m_title(title)
    , m_action(new QAction(title + QStringLiteral("..."), window))
    , m_currentFile(std::move(currentFile))
    , m_open(std::move(open))
{
    m_action->setShortcut(keys);
    m_action->setShortcutContext(Qt::WindowShortcut);
    window->addAction(m_action);
    connect(m_action, &QAction::triggered, this, &OpenFileCommand::trigger);
}

QString OpenFileCommand::startFolder(const QString &currentFile)
{
    if (!currentFile.isEmpty()) {
        const QDir folder = QFileInfo(currentFile).absoluteDir();
        if (folder.exists())
            return folder.absolutePath();
    }
    return QDir::homePath();
}

QStringList OpenFileCommand::nameFilters()
{
    QStringList patterns;
    for (const char *pattern : kMediaPatterns)
        patterns << QString::fromLatin1(pattern);
    return {QStringLiteral("Media files (%1)").arg(patterns.join(QLatin1Char(' '))), QStringLiteral("All files (*)")};
}

void OpenFileCommand::trigger()
{
    QFileDialog dialog(m_window, m_title, startFolder(m_currentFile()));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(nameFilters());
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList chosen = dialog.selectedFiles();
    if (!chosen.isEmpty() && !chosen.first().isEmpty())
        m_open(chosen.first());
}
