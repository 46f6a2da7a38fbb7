#include "ui/audiodevicedialog.h"

#include "ui/dialogparts.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AudioDeviceDialog::AudioDeviceDialog(const QList<QAudioDevice> &devices, const QAudioDevice &current,
                                     const QIcon &icon, QWidget *parent)
    : QDialog(parent)
    , m_devices(devices)
{
    dialogparts::removeContextHelp(this);
    setWindowTitle(QString());
    setFixedSize(450, 250);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 25, 40, 35);
    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(15);
    grid->setVerticalSpacing(20);
    grid->setColumnStretch(1, 1);

    QLabel *iconLabel = dialogparts::iconLabel(icon, this);
    iconLabel->setAlignment(Qt::AlignCenter);
    grid->addWidget(iconLabel, 0, 0);
    auto *title = new QLabel(QStringLiteral("オーディオデバイスの選択"), this);
    title->setStyleSheet(QStringLiteral("font-size: 14px; color: white;"));
    title->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(title, 0, 1);

    m_list = new QComboBox(this);
    m_list->setStyleSheet(QStringLiteral("font-size: 14px;"));
    m_list->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    for (const QAudioDevice &device : m_devices)
        m_list->addItem(device.description());
    m_list->setCurrentIndex(preselectedIndex(m_devices, current));
    grid->addWidget(m_list, 1, 1);

    layout->addLayout(grid);
    layout->addStretch();
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(dialogparts::okButton(this, 80, true));
    layout->addLayout(buttons);
}

int AudioDeviceDialog::preselectedIndex(const QList<QAudioDevice> &devices, const QAudioDevice &current)
{
    if (devices.isEmpty())
        return -1;
    for (qsizetype i = devices.size() - 1; i >= 0; --i)
        if (devices[i].id() == current.id())
            return int(i);
    return 0;
}

QAudioDevice AudioDeviceDialog::selectedDevice() const
{
    const int index = m_list->currentIndex();
    return index >= 0 && index < m_devices.size() ? m_devices[index] : QAudioDevice();
}
