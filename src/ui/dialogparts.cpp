#include "ui/dialogparts.h"

#include <QDialog>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace dialogparts {

const QString kButtonStyle =
    QStringLiteral("background-color: #505050; color: white; border-radius: 4px; padding: 6px;");

void removeContextHelp(QDialog *dialog)
{
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
}

QPushButton *okButton(QDialog *dialog, int width, bool isDefault)
{
    auto *ok = new QPushButton(QStringLiteral("OK"), dialog);
    ok->setStyleSheet(kButtonStyle);
    ok->setFixedWidth(width);
    ok->setAutoDefault(isDefault);
    ok->setDefault(isDefault);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    return ok;
}

QLabel *iconLabel(const QIcon &icon, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setPixmap(icon.pixmap(64, 64));
    return label;
}

} // namespace dialogparts
