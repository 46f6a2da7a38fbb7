#pragma once

#include <QDialog>

class QIcon;

// The window's message box: icon, the message with one paragraph per line, and OK.
class MessageDialog : public QDialog
{
    Q_OBJECT

public:
    MessageDialog(const QIcon &icon, const QString &title, const QString &message, QWidget *parent = nullptr);

    // Each "\n" starts a new paragraph 10 px below the previous one.
    static QString richText(const QString &message);
};
