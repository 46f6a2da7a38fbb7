#include "ui/messagedialog.h"

#include "ui/dialogparts.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

MessageDialog::MessageDialog(const QIcon &icon, const QString &title, const QString &message, QWidget *parent)
    : QDialog(parent)
{
    dialogparts::removeContextHelp(this);
    setWindowTitle(title);
    setFixedSize(450, 180);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 10, 40, 35);
    layout->setSpacing(20);

    auto *row = new QHBoxLayout;
    row->setSpacing(15);
    QLabel *iconLabel = dialogparts::iconLabel(icon, this);
    iconLabel->setAlignment(Qt::AlignCenter);
    row->addWidget(iconLabel);
    auto *text = new QLabel(this);
    text->setObjectName(QStringLiteral("MessageText"));
    text->setTextFormat(Qt::RichText);
    text->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    text->setStyleSheet(QStringLiteral("font-size: 14px; color: white;"));
    text->setText(richText(message));
    row->addWidget(text);
    row->addStretch();
    layout->addLayout(row);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(dialogparts::okButton(this, 80, true));
    layout->addLayout(buttons);
}

QString MessageDialog::richText(const QString &message)
{
    QString paragraphs = message;
    paragraphs.replace(QLatin1Char('\n'), QStringLiteral("</p><p style='margin: 0; margin-top: 10px;'>"));
    return QStringLiteral("<p style='margin: 0;'>%1</p>").arg(paragraphs);
}
