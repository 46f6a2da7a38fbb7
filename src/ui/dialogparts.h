#pragma once

#include <QString>

class QDialog;
class QIcon;
class QLabel;
class QPushButton;
class QWidget;

// The pieces every small dialog of the window shares: the button look, the OK button,
// the 64 x 64 icon and the window flags.
namespace dialogparts {

extern const QString kButtonStyle;

// Removes the context-help button, keeping the other flags.
void removeContextHelp(QDialog *dialog);
// "OK" in the common look with a fixed width; clicking it accepts the dialog.
QPushButton *okButton(QDialog *dialog, int width, bool isDefault);
// The icon rendered as a 64 x 64 pixmap.
QLabel *iconLabel(const QIcon &icon, QWidget *parent);

} // namespace dialogparts
