#include "audio/audioengine.h"
#include "audio/audioengine_p.h"

#include <QtEndian>
#include <QDebug>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// Timestamp jitter below this is ignored rather than patched with silence or trimmed.
constexpr double ContinuityToleranceSec = 0.005;
// A damaged timestamp must not make us allocate hours of silence; longer holes are
// padded only up to this much (the time axis after such a hole is then early).
constexpr double MaxSilenceFillSec = 60.0;
// Keeps the sample-index maths exact for timestamps that are whole samples but not
// exactly representable as doubles.
constexpr double SampleEpsilon = 1e-6;

template <typename T>
T readRaw(const uint8_t *base, size_t index)
{
    T value;
    std::memcpy(&value, base + index * sizeof(T), sizeof(T));
    return value;
}

// One sample of a packed (non-planar) format as float in -1 … 1; 0 for formats we do not
// convert.
float sampleAsFloat(AVSampleFormat packedFormat, const uint8_t *base, size_t index)
{
    switch (packedFormat) {
    case AV_SAMPLE_FMT_U8:
        return (static_cast<float>(base[index]) - 128.0f) / 128.0f;
    case AV_SAMPLE_FMT_S16:
        return static_cast<float>(readRaw<int16_t>(base, index)) / 32768.0f;
    case AV_SAMPLE_FMT_S32:
        return static_cast<float>(static_cast<double>(readRaw<int32_t>(base, index)) / 2147483648.0);
    case AV_SAMPLE_FMT_FLT:
        return readRaw<float>(base, index);
    case AV_SAMPLE_FMT_DBL:
        return static_cast<float>(readRaw<double>(base, index));
    default:
        return 0.0f;
    }
}

int16_t toS16(float x)
{
    if (std::isnan(x))
        return 0;
    const float scaled = std::clamp(x * 32767.0f, -32768.0f, 32767.0f);
    return static_cast<int16_t>(std::trunc(scaled));
}

} // namespace

bool AudioEngine::hasDecoderFor(int streamIndex) const
{
    return std::any_of(m_decoders.begin(), m_decoders.end(),
                       [streamIndex](const auto &record) { return record->streamIndex == streamIndex; });
}

void AudioEngine::decodePacket(const AVPacket *packet, AVFormatContext *formatContext)
{
    if (!packet)
        return;
    auto it = std::find_if(m_decoders.begin(), m_decoders.end(),
                           [packet](const auto &record) { return record->streamIndex == packet->stream_index; });
    if (it == m_decoders.end())
        return;
    if (avcodec_send_packet((*it)->context.get(), packet) < 0)
        return;
    receiveFrames(**it, formatContext);
}

void AudioEngine::finishStreams(AVFormatContext *formatContext)
{
    for (auto &record : m_decoders) {
        if (avcodec_send_packet(record->context.get(), nullptr) >= 0)
            receiveFrames(*record, formatContext);
    }
}

void AudioEngine::receiveFrames(DecoderRecord &record, AVFormatContext *formatContext)
{
    AVRational timeBase = record.timeBase;
    if (formatContext && record.streamIndex >= 0
        && static_cast<unsigned>(record.streamIndex) < formatContext->nb_streams)
        timeBase = formatContext->streams[record.streamIndex]->time_base;
    const double timeBaseSec = timeBase.den != 0 ? av_q2d(timeBase) : 0.0;

    av::FramePtr frame = av::makeFrame();
    if (!frame)
        return;
    while (avcodec_receive_frame(record.context.get(), frame.get()) >= 0) {
        appendFrame(record, frame.get(), timeBaseSec);
        av_frame_unref(frame.get());
    }
}

void AudioEngine::appendFrame(DecoderRecord &record, const AVFrame *frame, double timeBaseSec)
{
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const int bytesPerSample = av_get_bytes_per_sample(format);
    const int rate = frame->sample_rate > 0 ? frame->sample_rate
                   : record.context->sample_rate > 0 ? record.context->sample_rate
                                                     : m_sampleRate;
    if (bytesPerSample <= 0 || rate <= 0)
        return;

    double t0 = 0.0;
    if (frame->best_effort_timestamp != AV_NOPTS_VALUE && timeBaseSec > 0.0) {
        t0 = static_cast<double>(frame->best_effort_timestamp) * timeBaseSec - m_startOffset;
    } else if (record.nextTimeValid) {
        t0 = record.nextTime;
    }
    const int count = std::max(0, frame->nb_samples);
    record.nextTime = t0 + static_cast<double>(count) / rate;
    record.nextTimeValid = true;

    // Every queue runs at the output rate (the first stream's); a stream at another rate
    // would otherwise play fast or slow and at the wrong pitch.
    if (rate != m_sampleRate) {
        double start = t0;
        const av::FramePtr converted = record.resampler.convert(frame, rate, m_sampleRate, t0, start);
        if (converted)
            appendSamples(record, converted.get(), m_sampleRate, start);
        return;
    }
    appendSamples(record, frame, rate, t0);
}

void AudioEngine::appendSamples(DecoderRecord &record, const AVFrame *frame, int rate, double t0)
{
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const int count = std::max(0, frame->nb_samples);
    qint64 first = t0 < 0.0 ? static_cast<qint64>(std::ceil(-t0 * rate - SampleEpsilon)) : 0;
    qint64 last = count;
    if (m_endLimited)
        last = std::min<qint64>(count, static_cast<qint64>(std::floor((m_endTime - t0) * rate + SampleEpsilon)));
    first = std::clamp<qint64>(first, 0, count);
    last = std::clamp<qint64>(last, 0, count);
    if (last <= first)
        return;
    double start = t0 + static_cast<double>(first) / rate;

    const int lastGlobal = std::min(MaxChannels, record.firstChannel + record.channels);
    if (record.firstChannel < MaxChannels) {
        const auto &reference = m_queues[record.firstChannel];
        if (m_queueActive[record.firstChannel] && !reference.empty()) {
            const double queueEnd = static_cast<double>(reference.size()) / m_sampleRate
                                    + m_queueStart[record.firstChannel];
            const qint64 gap = std::llround((start - queueEnd) * m_sampleRate);
            const qint64 tolerance = std::max<qint64>(1, static_cast<qint64>(std::ceil(m_sampleRate * ContinuityToleranceSec)));
            if (gap > tolerance) {
                const qint64 maxFill = static_cast<qint64>(MaxSilenceFillSec * m_sampleRate);
                if (gap > maxFill)
                    qWarning() << "Audio timestamp jump of" << gap << "samples; silence limited to" << maxFill;
                const qint64 fill = std::min(gap, maxFill);
                for (int g = record.firstChannel; g < lastGlobal; ++g)
                    m_queues[g].insert(m_queues[g].end(), static_cast<size_t>(fill), 0.0f);
            } else if (gap < -tolerance) {
                const qint64 skip = std::min(last - first, -gap);
                first += skip;
                start += static_cast<double>(skip) / rate;
                if (first >= last)
                    return;
            }
        }
    }

    for (int g = record.firstChannel; g < lastGlobal; ++g) {
        if (m_queues[g].empty()) {
            m_queueStart[g] = start;
            m_queueActive[g] = true;
        }
    }

    // The frame may carry fewer channels than the stream declared; the missing ones are
    // queued as silence so every queue of the stream stays in step.
    const int frameChannels = compat::channelCount(frame) > 0 ? compat::channelCount(frame) : record.channels;
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const AVSampleFormat packed = av_get_packed_sample_fmt(format);
    for (int g = record.firstChannel; g < lastGlobal; ++g) {
        const int c = g - record.firstChannel;
        auto &queue = m_queues[g];
        if (c >= frameChannels || (planar && !frame->extended_data[c])) {
            queue.insert(queue.end(), static_cast<size_t>(last - first), 0.0f);
            continue;
        }
        const uint8_t *base = planar ? frame->extended_data[c] : frame->extended_data[0];
        const size_t stride = planar ? 1 : static_cast<size_t>(frameChannels);
        const size_t offset = planar ? 0 : static_cast<size_t>(c);
        for (qint64 n = first; n < last; ++n)
            queue.push_back(sampleAsFloat(packed, base, offset + static_cast<size_t>(n) * stride));
    }

    m_hasNewAudio = true;
}

void AudioEngine::reset()
{
    for (auto &record : m_decoders) {
        avcodec_flush_buffers(record->context.get());
        record->resampler.reset();
        record->nextTime = 0.0;
        record->nextTimeValid = false;
    }
    clearQueues();
    resetLevelLists();
    m_hasNewAudio = false;
}

void AudioEngine::alignTo(double timeSec, int fadeSamples)
{
    if (m_sampleRate <= 0 || !std::isfinite(timeSec))
        return;
    const qint64 maxFill = static_cast<qint64>(MaxSilenceFillSec * m_sampleRate);
    for (int c = 0; c < std::min(m_channelCount, MaxChannels); ++c) {
        auto &queue = m_queues[c];
        if (!m_queueActive[c] || queue.empty())
            continue;
        const qint64 delta = std::llround((timeSec - m_queueStart[c]) * m_sampleRate);
        if (delta > 0) {
            const qint64 removed = std::min<qint64>(delta, static_cast<qint64>(queue.size()));
            queue.erase(queue.begin(), queue.begin() + removed);
            m_queueStart[c] += static_cast<double>(removed) / m_sampleRate;
            if (queue.empty()) {
                m_queueActive[c] = false;
                continue;
            }
        } else if (delta < 0) {
            const qint64 inserted = std::min(-delta, maxFill);
            queue.insert(queue.begin(), static_cast<size_t>(inserted), 0.0f);
            m_queueStart[c] = inserted == -delta ? timeSec
                                                 : m_queueStart[c] - static_cast<double>(inserted) / m_sampleRate;
            m_queueActive[c] = true;
        }
        const qint64 fade = std::min<qint64>(std::max(fadeSamples, 0), static_cast<qint64>(queue.size()));
        for (qint64 j = 0; j < fade; ++j)
            queue[static_cast<size_t>(j)] *= static_cast<float>(j) / static_cast<float>(fade);
    }
}

bool AudioEngine::isValidSource(int channel) const
{
    return channel >= 0 && channel < std::min(m_channelCount, MaxChannels);
}

QByteArray AudioEngine::drainStereo()
{
    const int channels = std::min(m_channelCount, MaxChannels);
    if (channels <= 0)
        return {};
    const bool leftValid = isValidSource(m_leftSource);
    const bool rightValid = isValidSource(m_rightSource);

    size_t frames = 0;
    if (leftValid && rightValid) {
        frames = std::min(m_queues[m_leftSource].size(), m_queues[m_rightSource].size());
    } else if (leftValid) {
        frames = m_queues[m_leftSource].size();
    } else if (rightValid) {
        frames = m_queues[m_rightSource].size();
    } else {
        for (int c = 0; c < channels; ++c)
            frames = std::max(frames, m_queues[c].size());
    }
    if (frames == 0)
        return {};

    QByteArray out(static_cast<qsizetype>(frames * 4), Qt::Uninitialized);
    auto *dst = reinterpret_cast<uchar *>(out.data());
    for (size_t n = 0; n < frames; ++n) {
        const float l = leftValid ? m_queues[m_leftSource][n] : 0.0f;
        const float r = rightValid ? m_queues[m_rightSource][n] : 0.0f;
        qToLittleEndian<int16_t>(toS16(l), dst + n * 4);
        qToLittleEndian<int16_t>(toS16(r), dst + n * 4 + 2);
    }

    // Every channel drains in step with the routed pair so that a re-route later picks
    // up at the same time position.
    for (int c = 0; c < channels; ++c) {
        auto &queue = m_queues[c];
        if (queue.empty())
            continue;
        const size_t taken = std::min(frames, queue.size());
        float peak = m_peakAccumulator.value(c, 0.0f);
        for (size_t n = 0; n < taken; ++n)
            peak = std::max(peak, std::fabs(queue[n]));
        if (c < m_peakAccumulator.size())
            m_peakAccumulator[c] = peak;
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(taken));
        if (m_queueActive[c])
            m_queueStart[c] += static_cast<double>(taken) / m_sampleRate;
        if (queue.empty())
            m_queueActive[c] = false;
    }
    return out;
}

std::vector<AudioChannelSamples> AudioEngine::takeChannels()
{
    std::vector<AudioChannelSamples> taken;
    for (int c = 0; c < std::min(m_channelCount, MaxChannels); ++c) {
        auto &queue = m_queues[c];
        if (queue.empty())
            continue;
        AudioChannelSamples channel;
        channel.channel = c;
        channel.startSec = m_queueStart[c];
        channel.samples.assign(queue.begin(), queue.end());
        taken.push_back(std::move(channel));
        queue.clear();
        m_queueActive[c] = false;
    }
    return taken;
}

double AudioEngine::queuedSeconds() const
{
    if (m_sampleRate <= 0)
        return 0.0;
    const bool leftValid = isValidSource(m_leftSource);
    const bool rightValid = isValidSource(m_rightSource);
    size_t samples = 0;
    if (leftValid && rightValid) {
        samples = std::min(m_queues[m_leftSource].size(), m_queues[m_rightSource].size());
    } else if (leftValid) {
        samples = m_queues[m_leftSource].size();
    } else if (rightValid) {
        samples = m_queues[m_rightSource].size();
    } else {
        for (int c = 0; c < std::min(m_channelCount, MaxChannels); ++c)
            samples = std::max(samples, m_queues[c].size());
    }
    return static_cast<double>(samples) / m_sampleRate;
}

void AudioEngine::setRouting(int left, int right)
{
    m_leftSource = left;
    m_rightSource = right;
}

QList<float> AudioEngine::takePeaks()
{
    QList<float> peaks = m_peakAccumulator;
    m_peakAccumulator.fill(0.0f);
    return peaks;
}

void AudioEngine::updateLevels(const QList<float> &snapshotDb, double dtSec)
{
    for (qsizetype i = 0; i < m_meters.size(); ++i)
        m_meters[i].step(i < snapshotDb.size() ? snapshotDb[i] : levels::kFloorDb, dtSec);
}
