#pragma once

#include <QAudioDevice>
#include <QDialog>
#include <QList>

class QComboBox;
class QIcon;

// Double-click on the meter: the list of output devices with the current one selected.
// It only reports the choice; the window applies it to the audio output.
class AudioDeviceDialog : public QDialog
{
    Q_OBJECT

public:
    AudioDeviceDialog(const QList<QAudioDevice> &devices, const QAudioDevice &current, const QIcon &icon,
                      QWidget *parent = nullptr);

    // The last device with the current one's id, else the first; -1 for an empty list.
    static int preselectedIndex(const QList<QAudioDevice> &devices, const QAudioDevice &current);

    // The device selected in the list; a null device when the list is empty.
    QAudioDevice selectedDevice() const;
    QComboBox *deviceList() const { return m_list; }

private:
    QList<QAudioDevice> m_devices;
    QComboBox *m_list = nullptr;
};
