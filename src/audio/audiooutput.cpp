#include "audio/audiooutput.h"

#include "audio/pulsesinkwatch.h"

#include <QAudioFormat>
#include <QAudioSink>
#include <QDebug>
#include <QIODevice>
#include <QMediaDevices>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

qsizetype wholeFrames(qsizetype bytes)
{
    return bytes - bytes % AudioOutput::bytesPerFrame;
}

} // namespace

AudioOutput::AudioOutput(QObject *parent)
    : QObject(parent)
    , m_mediaDevices(new QMediaDevices(this))
    , m_device(QMediaDevices::defaultAudioOutput())
{
    connect(m_mediaDevices, &QMediaDevices::audioOutputsChanged, this, &AudioOutput::onOutputsChanged);
    // Some back ends (PulseAudio under Qt 6.4) update the device list without the change
    // signal and move a removed device's stream elsewhere without an error, so the list
    // is also looked at while a sink plays.
    m_presenceCheck = new QTimer(this);
    m_presenceCheck->setInterval(500);
    connect(m_presenceCheck, &QTimer::timeout, this, &AudioOutput::onOutputsChanged);
    // Qt 6.8 tells neither way: its list keeps a removed PulseAudio sink, and the server
    // moves the stream to another sink without an error. The server itself tells.
    auto *sinkWatch = new PulseSinkWatch(this);
    connect(sinkWatch, &PulseSinkWatch::sinkRemoved, this, [this](const QByteArray &name) {
        if (m_sink && name == m_device.id())
            dropLostSink(m_sink);
    });
}

AudioOutput::~AudioOutput()
{
    release();
}

bool AudioOutput::rebuild(int sampleRate)
{
    release();
    QAudioFormat format;
    format.setSampleFormat(QAudioFormat::Int16);
    format.setChannelCount(2);
    format.setSampleRate(sampleRate);
    if (!m_device.isFormatSupported(format)) {
        qWarning("Raw audio format not supported by backend.");
        return false;
    }
    m_sink = new QAudioSink(m_device, format, this);
    connect(m_sink, &QAudioSink::stateChanged, this, &AudioOutput::onSinkStateChanged);
    // A quarter of a second of 16-bit stereo.
    m_sink->setBufferSize(sampleRate);
    m_sampleRate = sampleRate;
    // A device the list never showed (a back end's bare default) cannot be seen leaving it.
    if (deviceListed())
        m_presenceCheck->start();
    return true;
}

void AudioOutput::release()
{
    if (m_presenceCheck)
        m_presenceCheck->stop();
    // Stopping and deleting a PulseAudio sink run an event loop, in which the next file can
    // open and rebuild or release this output. Everything is reset first, so that such a
    // call neither sees this sink nor deletes it under our feet.
    QAudioSink *sink = m_sink.data();
    // Stopping reports a state change of its own; that is not a loss.
    if (sink)
        sink->disconnect(this);
    m_sink = nullptr;
    m_pushDevice = nullptr;
    m_sampleRate = 0;
    m_written.clear();
    m_bytesWritten = 0;
    m_bytesTaken = 0;
    m_playedBaseUSecs = 0;
    if (sink) {
        sink->stop();
        delete sink;
    }
}

bool AudioOutput::start()
{
    if (!m_sink)
        return false;
    m_pushDevice = m_sink->start();
    if (m_pushDevice.isNull())
        return false;
    // start() may restart the device's counter; played bytes count from here.
    m_playedBaseUSecs = m_sink->processedUSecs();
    return true;
}

void AudioOutput::stop()
{
    if (!m_sink)
        return;
    m_pushDevice = nullptr;
    // stop() may run an event loop in which the sink is released (see release()).
    const QPointer<QAudioSink> sink = m_sink;
    sink->stop();
    if (sink)
        sink->reset();
}

void AudioOutput::suspend()
{
    if (m_sink && m_sink->state() != QAudio::SuspendedState)
        m_sink->suspend();
}

void AudioOutput::resume()
{
    if (m_sink && m_sink->state() == QAudio::SuspendedState)
        m_sink->resume();
}

bool AudioOutput::isSuspended() const
{
    return m_sink && m_sink->state() == QAudio::SuspendedState;
}

int64_t AudioOutput::processedUSecs() const
{
    return m_sink ? m_sink->processedUSecs() : 0;
}

int64_t AudioOutput::bytesPerSecond() const
{
    return bytesPerFrame * int64_t(std::max(m_sampleRate, 1));
}

void AudioOutput::clear()
{
    m_pending.clear();
    resetTracking();
}

void AudioOutput::resetTracking()
{
    m_written.clear();
    m_bytesWritten = 0;
    m_bytesTaken = 0;
    m_playedBaseUSecs = processedUSecs();
}

void AudioOutput::enqueue(const QByteArray &block)
{
    m_pending.append(block);
}

void AudioOutput::pump()
{
    if (!m_pushDevice || !m_sink)
        return;
    const qsizetype offer = wholeFrames(std::min<qsizetype>(m_pending.size(), m_sink->bytesFree()));
    if (offer <= 0)
        return;
    const qint64 accepted = m_pushDevice->write(m_pending.constData(), offer);
    const qsizetype written = accepted > 0 ? wholeFrames(qsizetype(accepted)) : 0;
    if (written <= 0)
        return;
    m_written.append(m_pending.constData(), written);
    m_bytesWritten += written;
    m_pending.remove(0, written);
}

void AudioOutput::limitPending(qsizetype maxBytes)
{
    if (m_pending.size() > maxBytes)
        m_pending.remove(0, m_pending.size() - maxBytes);
}

int64_t AudioOutput::dropPending(double seconds)
{
    const qsizetype drop = wholeFrames(qsizetype(seconds * double(bytesPerSecond())));
    if (drop <= 0 || drop > m_pending.size())
        return 0;
    m_pending.remove(0, drop);
    return drop * 1000000 / bytesPerSecond();
}

QByteArray AudioOutput::takePlayed(double leadSeconds)
{
    if (!m_sink || m_written.isEmpty())
        return QByteArray();
    const int64_t perSecond = bytesPerSecond();
    const int64_t lead = wholeFrames(qsizetype(std::llround(double(perSecond) * leadSeconds)));
    const int64_t playedUSecs = std::max<int64_t>(m_sink->processedUSecs() - m_playedBaseUSecs, 0);
    const int64_t played = wholeFrames(qsizetype(playedUSecs * perSecond / 1000000));
    const int64_t available = std::max<int64_t>(std::min(m_bytesWritten, lead + played), 0) - m_bytesTaken;
    if (available <= 0)
        return QByteArray();
    const qsizetype take = wholeFrames(std::min<qsizetype>(qsizetype(available), m_written.size()));
    QByteArray chunk = m_written.left(take);
    m_written.remove(0, take);
    m_bytesTaken += take;
    return chunk;
}

QString AudioOutput::deviceLostMessage(const QString &description)
{
    return QStringLiteral("Audio output device lost: %1\nPlayback continues without sound.").arg(description);
}

void AudioOutput::onSinkStateChanged(QAudio::State state)
{
    if (!m_sink || state != QAudio::StoppedState)
        return;
    const QAudio::Error error = m_sink->error();
    // An underrun only idles the sink; these end it.
    if (error == QAudio::OpenError || error == QAudio::IOError || error == QAudio::FatalError)
        QMetaObject::invokeMethod(this, [this, failed = m_sink] { dropLostSink(failed); }, Qt::QueuedConnection);
}

bool AudioOutput::deviceListed() const
{
    const QList<QAudioDevice> present = QMediaDevices::audioOutputs();
    return std::any_of(present.cbegin(), present.cend(),
                       [this](const QAudioDevice &d) { return d.id() == m_device.id(); });
}

void AudioOutput::onOutputsChanged()
{
    if (m_sink && m_presenceCheck->isActive() && !deviceListed())
        dropLostSink(m_sink);
}

void AudioOutput::dropLostSink(const QPointer<QAudioSink> &failed)
{
    if (!failed || failed != m_sink)
        return;
    const QString message = deviceLostMessage(m_device.description());
    qWarning().noquote() << QString(message).replace(QLatin1Char('\n'), QLatin1Char(' '));
    // Unplayed audio stays queued (and bounded by the controller) as it does without a device.
    release();
    emit deviceLost(message);
}
