#pragma once

#include <QDialog>

class QDoubleSpinBox;

// The rate image sequences play at, over what their files' headers say: 0 keeps the
// headers' rate (else 24 fps). Stored in the settings and read at each open; the window
// opens the sequence on screen again when it changes. A double-click on the media facts.
class SequenceRateDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SequenceRateDialog(double fps, QWidget *parent = nullptr);

    QDoubleSpinBox *rateBox() const { return m_rate; }
    double fps() const;

    // The stored rate, 0 for the headers'.
    static double stored();
    static void store(double fps);

private:
    QDoubleSpinBox *m_rate;
};
