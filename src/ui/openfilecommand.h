#pragma once

#include <QKeySequence>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QAction;
class QWidget;

// Ctrl+O (or another key, such as Ctrl+Shift+O for a file to compare): asks for a file in a file dialog and hands the choice to the window's open path,
// the one a dropped file takes. The shortcut is a QAction on the window, so it is matched
// before the window's own key handling sees the key, and that handling stays as it is.
class OpenFileCommand : public QObject
{
    Q_OBJECT

public:
    // currentFile gives the path of the open file ("" when there is none); open is called
    // with the chosen path and nothing else. Both are called on the GUI thread only.
    OpenFileCommand(QWidget *window, std::function<QString()> currentFile,
                    std::function<void(const QString &)> open,
                    const QKeySequence &keys = QKeySequence(QKeySequence::Open),
                    const QString &title = QStringLiteral("Open"));

    // The folder of currentFile when it still exists, else the home folder.
    static QString startFolder(const QString &currentFile);
    // "Media files (...)" first, then "All files (*)".
    static QStringList nameFilters();

    QAction *action() const { return m_action; }

public slots:
    // Shows the modal dialog; a cancelled dialog opens nothing.
    void trigger();

private:
    QWidget *m_window;
    QString m_title;
    QAction *m_action;
    std::function<QString()> m_currentFile;
    std::function<void(const QString &)> m_open;
};
