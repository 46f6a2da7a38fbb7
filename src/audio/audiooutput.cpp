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
    m_sampleRate = sampleRate;
    // Without a stream now, start() tries again when play is pressed.
    if (!replaceStream()) {
        m_sink = new QAudioSink(m_device, format, this);
        connect(m_sink, &QAudioSink::stateChanged, this, &AudioOutput::onSinkStateChanged);
    }
    // A device the list never showed (a back end's bare default) cannot be seen leaving it.
    if (deviceListed())
        m_presenceCheck->start();
    return true;
}

bool AudioOutput::replaceStream()
{
    QAudioFormat format;
    format.setSampleFormat(QAudioFormat::Int16);
    format.setChannelCount(2);
    format.setSampleRate(m_sampleRate);
    const QPointer<QAudioSink> fresh = new QAudioSink(m_device, format, this);
    // A quarter of a second of 16-bit stereo.
    fresh->setBufferSize(m_sampleRate);
    const QPointer<QIODevice> device = fresh->start();
    if (!fresh || device.isNull()) {
        delete fresh.data();
        return false;
    }
    fresh->suspend();
    connect(fresh, &QAudioSink::stateChanged, this, &AudioOutput::onSinkStateChanged);
    QAudioSink *old = m_sink.data();
    m_sink = fresh;
    m_pushDevice = device;
    m_streamUsed = false;
    m_streamBytes = 0;
    if (old)
        retire(old);
    return true;
}

void AudioOutput::retire(QAudioSink *sink)
{
    // Stopping reports a state change of its own, which is no loss.
    sink->disconnect(this);
    sink->stop();
    // A stream that ran dry has a drain under way that Qt 6.4 started on the PulseAudio
    // thread; its answer can come after the stop and lands in the sink object (setting it
    // back to idle). Deleted at once, the sink would be written to after it is gone; kept
    // a while, the answer finds it, and nothing here calls it again.
    QTimer::singleShot(retiredSinkMs, sink, &QObject::deleteLater);
}

void AudioOutput::release()
{
    if (m_presenceCheck)
        m_presenceCheck->stop();
    // Everything is reset first: whatever the sink's going may set off finds no sink here.
    QAudioSink *sink = m_sink.data();
    m_sink = nullptr;
    m_pushDevice = nullptr;
    m_sampleRate = 0;
    m_started = false;
    m_streamUsed = false;
    m_streamBytes = 0;
    m_startUSecs = 0;
    m_written.clear();
    m_bytesWritten = 0;
    m_bytesTaken = 0;
    m_playedBaseUSecs = 0;
    if (sink)
        retire(sink);
}

bool AudioOutput::start()
{
    m_started = false;
    if (!m_sink)
        return false;
    // A stream that has played holds unplayed audio, which only a new stream drops.
    if ((m_streamUsed || m_pushDevice.isNull()) && !replaceStream())
        return false;
    if (!m_sink)
        return false;
    m_started = true;
    m_sinceStart.start();
    m_startUSecs = m_sink->processedUSecs();
    m_written.clear();
    m_bytesWritten = 0;
    m_bytesTaken = 0;
    m_playedBaseUSecs = 0;
    return true;
}

void AudioOutput::stop()
{
    m_started = false;
    if (!m_sink || !m_streamUsed)
        return;
    // Without a fresh stream, the one that played is stopped and start() tries again.
    if (!replaceStream() && m_sink) {
        m_pushDevice = nullptr;
        const QPointer<QAudioSink> sink = m_sink;
        sink->stop();
        if (sink)
            sink->reset();
    }
}

// Only a sink whose push device is alive is corked or uncorked: Qt 6.4 deletes that device
// when it lets the stream go, and its state alone is no proof of a stream (a late drain
// answer sets a stopped PulseAudio sink back to idle, and corking it then aborts in
// libpulse).
void AudioOutput::suspend()
{
    if (m_sink && m_pushDevice && m_sink->state() != QAudio::SuspendedState)
        m_sink->suspend();
}

void AudioOutput::resume()
{
    if (!m_sink || !m_pushDevice || !m_started || m_sink->state() != QAudio::SuspendedState)
        return;
    m_sink->resume();
    m_streamUsed = true;
}

bool AudioOutput::isFilling() const
{
    return isStarted() && m_bytesWritten + m_pending.size() < m_sink->bufferSize();
}

double AudioOutput::bufferSeconds() const
{
    return m_sink ? double(m_sink->bufferSize()) / double(bytesPerSecond()) : 0.0;
}

bool AudioOutput::isSuspended() const
{
    return m_sink && m_sink->state() == QAudio::SuspendedState;
}

int64_t AudioOutput::processedUSecs() const
{
    return m_sink ? m_sink->processedUSecs() : 0;
}

int64_t AudioOutput::playedUSecs() const
{
    if (!m_sink || !isStarted() || isSuspended())
        return 0;
    // What still waits in the stream's buffer: the buffer less the room the server asks
    // us to fill.
    const int64_t waiting = std::max<int64_t>(int64_t(m_sink->bufferSize()) - m_sink->bytesFree(), 0);
    const int64_t taken = std::max<int64_t>(m_streamBytes - waiting, 0);
    if (taken <= 0)
        return 0;
    const int64_t takenUSecs = taken * 1000000 / bytesPerSecond();
    return std::clamp<int64_t>(m_sink->processedUSecs() - m_startUSecs, 0, takenUSecs);
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
    m_playedBaseUSecs = playedUSecs();
}

void AudioOutput::enqueue(const QByteArray &block)
{
    m_pending.append(block);
}

void AudioOutput::pump()
{
    if (!isStarted() || !m_sink)
        return;
    if (!m_streamUsed && !m_pending.isEmpty()
        && (m_pending.size() >= m_sink->bufferSize() || m_sinceStart.elapsed() >= fillWaitMs))
        resume();
    if (isSuspended())
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
    m_streamBytes += written;
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
    const int64_t playedSinceBase = std::max<int64_t>(playedUSecs() - m_playedBaseUSecs, 0);
    const int64_t played = wholeFrames(qsizetype(playedSinceBase * perSecond / 1000000));
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

// Its own object file: a program that never plays links none of the sink code.
#include "moc_audiooutput.cpp"
