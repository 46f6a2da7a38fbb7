#pragma once

#include <QByteArray>
#include <QObject>

#include <memory>

// Tells when a PulseAudio sink goes away, straight from the sound server. Qt's own device
// list cannot be relied on for that: Qt 6.8's PulseAudio back end never reports a removed
// sink (audioOutputs() keeps listing it, audioOutputsChanged() stays quiet) and the server
// moves the stream to another sink, where it goes on playing without any error.
//
// Connects to the server the way every client does (PULSE_SERVER or the session's own),
// without starting one; without a server it stays silent. Sink names are what Qt uses as
// the ids of PulseAudio output devices.
class PulseSinkWatch : public QObject
{
    Q_OBJECT

public:
    explicit PulseSinkWatch(QObject *parent = nullptr);
    ~PulseSinkWatch() override;

    // False in a build without libpulse, where the watch never reports.
    static bool isAvailable();

signals:
    // The sink of that name is gone. Delivered in the thread this object lives in.
    void sinkRemoved(const QByteArray &name);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
