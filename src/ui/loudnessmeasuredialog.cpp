#include "ui/loudnessmeasuredialog.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

LoudnessMeasureDialog::LoudnessMeasureDialog(const QIcon &icon)
{
    setWindowTitle(QString());
    setWindowModality(Qt::ApplicationModal);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setFixedSize(450, 250);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 25, 40, 35);
    layout->setSpacing(18);

    auto *messageRow = new QHBoxLayout;
    messageRow->setSpacing(28);
    auto *iconLabel = new QLabel(this);
    iconLabel->setPixmap(icon.pixmap(64, 64));
    iconLabel->setAlignment(Qt::AlignCenter);
    messageRow->addWidget(iconLabel, 0, Qt::AlignCenter);
    m_messageLabel = new QLabel(QStringLiteral("ラウドネス測定中"), this);
    m_messageLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_messageLabel->setMinimumHeight(64);
    m_messageLabel->setWordWrap(true);
    m_messageLabel->setStyleSheet(QStringLiteral("font-size: 14px; color: white;"));
    messageRow->addWidget(m_messageLabel, 1, Qt::AlignVCenter);
    layout->addLayout(messageRow);

    auto *progressRow = new QHBoxLayout;
    progressRow->addStretch();
    m_progressBar = new QProgressBar(this);
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);
    m_progressBar->setTextVisible(false);
    m_progressBar->setFixedWidth(280);
    m_progressBar->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    progressRow->addWidget(m_progressBar);
    progressRow->addStretch();
    layout->addLayout(progressRow);

    layout->addStretch();

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    m_button = new QPushButton(QStringLiteral("Abort"), this);
    m_button->setFixedWidth(80);
    m_button->setFocusPolicy(Qt::NoFocus);
    m_button->setAutoDefault(false);
    m_button->setDefault(false);
    m_button->setStyleSheet(
        QStringLiteral("background-color: #505050; color: white; border-radius: 4px; padding: 6px;"));
    buttonRow->addWidget(m_button);
    layout->addLayout(buttonRow);
}

void LoudnessMeasureDialog::showAborting()
{
    m_button->setEnabled(false);
    m_progressBar->setRange(0, 0);
    m_messageLabel->setText(QStringLiteral("測定を中止しています"));
}

void LoudnessMeasureDialog::showOutcome(const QString &text)
{
    measuring = false;
    m_progressBar->hide();
    m_messageLabel->setText(text);
    m_button->setText(QStringLiteral("OK"));
    m_button->setFocusPolicy(Qt::StrongFocus);
    m_button->setAutoDefault(true);
    m_button->setDefault(true);
    m_button->setEnabled(true);
    m_button->setFocus();
}

void LoudnessMeasureDialog::closeAborted()
{
    measuring = false;
    done(QDialog::Rejected);
}

QString LoudnessMeasureDialog::resultText(double truePeakDb, double integratedLufs)
{
    const auto figure = [](double value, const QString &unit) {
        if (!std::isfinite(value))
            return QStringLiteral("-inf [%1]").arg(unit);
        return QStringLiteral("%1 [%2]").arg(value, 0, 'f', 1).arg(unit);
    };
    return figure(truePeakDb, QStringLiteral("dBTP")) + QStringLiteral("   ")
           + figure(integratedLufs, QStringLiteral("LUFS"));
}

void LoudnessMeasureDialog::reject()
{
    if (measuring)
        return;
    QDialog::reject();
}

void LoudnessMeasureDialog::keyPressEvent(QKeyEvent *event)
{
    if (measuring) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
