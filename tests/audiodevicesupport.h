#pragma once

// Helpers for tests that play through the real audio device (the PulseAudio null sink
// that scripts/test.sh starts) and listen to what it actually played.

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <cmath>

namespace audiodevice {

// True when a PulseAudio server answers (PULSE_SERVER or the user's default).
inline bool serverAvailable()
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    return pactl.waitForFinished(5000) && pactl.exitStatus() == QProcess::NormalExit && pactl.exitCode() == 0;
}

// An idle null sink renders in blocks of up to two seconds, so a stream that starts on
// it waits up to that long for its first data request. A real device does not; a silent
// low-latency stream keeps the null sink running like one. Silence adds nothing to the
// monitor. The process is ended by its handle when this object goes.
class KeepSinkRunning
{
public:
    KeepSinkRunning()
    {
        m_process.setStandardInputFile(QStringLiteral("/dev/zero"));
        m_process.start(QStringLiteral("pacat"), {QStringLiteral("--latency-msec=40"), QStringLiteral("--format=s16le"),
                                                  QStringLiteral("--rate=48000"), QStringLiteral("--channels=2"),
                                                  QStringLiteral("--client-name=orvel-test-keepalive")});
        m_process.waitForStarted(5000);
        // The sink finishes the long block it is rendering before it adopts the low
        // latency; wait for that (at most about two seconds).
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 4000 && !(sinkLatencyUSecs() >= 0 && sinkLatencyUSecs() < 50000))
            QTest::qWait(100);
    }

    // Current latency of the default sink, or -1 when it cannot be read.
    static qint64 sinkLatencyUSecs()
    {
        QProcess pactl;
        pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sinks")});
        if (!pactl.waitForFinished(5000))
            return -1;
        const QString text = QString::fromLocal8Bit(pactl.readAllStandardOutput());
        const QRegularExpression latency(QStringLiteral("\\n\\s*Latency: (\\d+) usec"));
        const QRegularExpressionMatch match = latency.match(text);
        return match.hasMatch() ? match.captured(1).toLongLong() : -1;
    }
    ~KeepSinkRunning()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool isRunning() const { return m_process.state() == QProcess::Running; }

private:
    QProcess m_process;
};

// Records a sink's monitor (the default sink's unless a source is named) as 48 kHz s16le
// stereo while it lives.
class MonitorRecorder
{
public:
    void start(const QString &source = QStringLiteral("@DEFAULT_MONITOR@"))
    {
        m_process.start(QStringLiteral("parec"), {QStringLiteral("--device=") + source, QStringLiteral("--raw"),
                                                  QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                                                  QStringLiteral("--channels=2"), QStringLiteral("--latency-msec=20")});
        m_process.waitForStarted(5000);
    }
    // Waits until the monitor delivers: an idle null sink starts its monitor late, and
    // what plays before that would be missing from the recording.
    bool waitUntilRecording(int timeoutMs = 5000)
    {
        QElapsedTimer waited;
        waited.start();
        while (m_process.bytesAvailable() == 0 && waited.elapsed() < timeoutMs)
            QTest::qWait(20);
        return m_process.bytesAvailable() > 0;
    }
    QByteArray stop()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
        return m_process.readAllStandardOutput();
    }
    ~MonitorRecorder()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QProcess m_process;
};

// One channel of interleaved s16le stereo, as floats in -1 … 1.
inline QList<float> channel(const QByteArray &stereo, int side)
{
    QList<float> out;
    out.reserve(stereo.size() / 4);
    for (qsizetype i = side * 2; i + 1 < stereo.size(); i += 4)
        out.append(qFromLittleEndian<qint16>(stereo.constData() + i) / 32768.0f);
    return out;
}

// Samples from the first to the last one louder than 'threshold'.
inline QList<float> audiblePart(const QList<float> &samples, float threshold = 0.01f)
{
    const auto loud = [threshold](float x) { return std::abs(x) > threshold; };
    const auto first = std::find_if(samples.cbegin(), samples.cend(), loud);
    const auto last = std::find_if(samples.crbegin(), samples.crend(), loud);
    if (first == samples.cend())
        return {};
    return QList<float>(first, last.base());
}

// Frequency of a steady tone from the median period between rising zero crossings
// (with a little hysteresis), so that a dropout on a busy machine does not move it.
inline double toneFrequency(const QList<float> &samples, int rate = 48000)
{
    QList<qsizetype> periods;
    qsizetype lastRise = -1;
    bool below = false;
    for (qsizetype i = 0; i < samples.size(); ++i) {
        if (samples[i] < -0.005f) {
            below = true;
        } else if (below && samples[i] > 0.005f) {
            below = false;
            if (lastRise >= 0)
                periods.append(i - lastRise);
            lastRise = i;
        }
    }
    if (periods.size() < 10)
        return 0.0;
    std::sort(periods.begin(), periods.end());
    return double(rate) / double(periods[periods.size() / 2]);
}

// Amplitude of the 'hz' component of samples [begin, end) (Goertzel): a full-scale sine
// of that frequency reads 1.
inline double toneAmplitude(const QList<float> &samples, qsizetype begin, qsizetype end, double hz, int rate = 48000)
{
    const double k = 2.0 * std::cos(2.0 * M_PI * hz / rate);
    double s1 = 0.0;
    double s2 = 0.0;
    for (qsizetype i = begin; i < end; ++i) {
        const double s0 = samples[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
    return std::sqrt(std::max(power, 0.0)) * 2.0 / double(std::max<qsizetype>(end - begin, 1));
}

// Seconds of 48 kHz s16le stereo in which both tones sound: 50 ms windows whose left side
// carries leftHz and whose right side carries rightHz above -60 dBFS.
inline double soundingSeconds(const QByteArray &stereo, double leftHz, double rightHz)
{
    const QList<float> left = channel(stereo, 0);
    const QList<float> right = channel(stereo, 1);
    constexpr qsizetype window = 48000 / 20;
    int sounding = 0;
    for (qsizetype i = 0; i + window <= std::min(left.size(), right.size()); i += window)
        sounding += toneAmplitude(left, i, i + window, leftHz) > 1e-3 && toneAmplitude(right, i, i + window, rightHz) > 1e-3;
    return sounding * 0.05;
}

inline float peak(const QList<float> &samples)
{
    float m = 0.0f;
    for (float x : samples)
        m = std::max(m, std::abs(x));
    return m;
}

} // namespace audiodevice
