#pragma once

#include <QDialog>

class QIcon;
class QKeyEvent;
class QLabel;
class QProgressBar;
class QPushButton;

// The small modal window of a loudness measurement: progress, an Abort button, and at the
// end the true peak and integrated loudness (or the failure) with an OK button. While a
// measurement runs it cannot be closed: Escape, Return and the close button do nothing.
class LoudnessMeasureDialog : public QDialog
{
public:
    explicit LoudnessMeasureDialog(const QIcon &icon);

    QProgressBar *progressBar() const { return m_progressBar; }
    QLabel *messageLabel() const { return m_messageLabel; }
    QPushButton *button() const { return m_button; }

    bool isMeasuring() const { return measuring; }
    // The abort was asked for: busy bar, button disabled, still not closable.
    void showAborting();
    // An outcome arrived: the text replaces the progress bar and the button becomes "OK".
    void showOutcome(const QString &text);
    // Ends the dialog at once, as when the worker reports it stopped.
    void closeAborted();

    // "-0.3 [dBTP]   -23.0 [LUFS]"; a value that is not finite reads "-inf".
    static QString resultText(double truePeakDb, double integratedLufs);

    void reject() override;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    bool measuring = true;
    QProgressBar *m_progressBar = nullptr;
    QLabel *m_messageLabel = nullptr;
    QPushButton *m_button = nullptr;
};
