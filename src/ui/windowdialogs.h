#pragma once

#include "core/channelrouting.h"

#include <QObject>
#include <QPointer>

#include <functional>

class ApplicationState;
class AudioOutput;
class FramePresenter;
class PlaybackController;
class QDialog;
class QStackedWidget;
class QTimer;
class QWidget;
class ViewerPresentation;

// The window's dialogs and the policy they share: pause (stop the playback timer and
// playback), centre over the picture, exec(), then show the current frame again and
// restart the timer if it ran; playback itself is not resumed. The lost-device notice is
// the exception: it is not modal and pauses nothing. GUI thread only.
class WindowDialogs : public QObject
{
    Q_OBJECT

public:
    struct Parts {
        QWidget *window = nullptr;      // icon, and parent of the non-modal notice
        QStackedWidget *picture = nullptr; // the picture area dialogs are centred on
        ApplicationState *state = nullptr;
        PlaybackController *controller = nullptr;
        QTimer *playbackTimer = nullptr;
        ViewerPresentation *presentation = nullptr;
        FramePresenter *presenter = nullptr;
        AudioOutput *audioOutput = nullptr;
        std::function<void(int sampleRate)> recreateAudioSink;
    };

    explicit WindowDialogs(Parts parts, QObject *parent = nullptr);

    void showMessage(const QString &title, const QString &message);
    void showAbout();
    // Ctrl+E: the safety area stays on with the last values.
    void showSafetyAreaSetUp();
    // Double-click on the meter: a chosen device gets a new sink at once.
    void showAudioDevices();
    // Replaces an open notice with the new one.
    void showDeviceLost(const QString &message);
    // The loudness chord: the routed pair from the current frame to the end, when the
    // player is in a state to measure.
    void measureLoudness(bool seekBarDragging, ChannelRouting routing);

    // Over the picture area, else over the window.
    void centre(QDialog *dialog) const;

private:
    // The result says whether the playback timer ran.
    bool pause();
    void resume(bool timerWasActive);
    int run(QDialog &dialog, const std::function<void()> &whilePaused = {});

    Parts m;
    QPointer<QDialog> m_deviceWarning; // the lost-device notice while it is open
};
