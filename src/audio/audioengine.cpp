#include "audio/audioengine.h"
#include "audio/audioengine_p.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {

// Bit width of a sample format as the status text counts it; 0 for anything unusual.
int sampleFormatBits(int format)
{
    switch (static_cast<AVSampleFormat>(format)) {
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_U8P:
        return 8;
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S16P:
        return 16;
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_S32P:
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_FLTP:
        return 32;
    case AV_SAMPLE_FMT_DBL:
    case AV_SAMPLE_FMT_DBLP:
        return 64;
    default:
        return 0;
    }
}

// First positive value wins: declared raw depths, then the coded depth for lossless
// codecs, then (PCM only) what the codec and sample formats imply.
int streamBitDepth(const AVStream *stream, const AVCodecContext *context)
{
    const AVCodecParameters *par = stream->codecpar;
    if (par->bits_per_raw_sample > 0)
        return par->bits_per_raw_sample;
    if (context->bits_per_raw_sample > 0)
        return context->bits_per_raw_sample;

    const AVCodecDescriptor *descriptor = avcodec_descriptor_get(par->codec_id);
    const bool isPcm = descriptor && descriptor->name && qstrncmp(descriptor->name, "pcm_", 4) == 0;
    const bool isLossless = par->codec_id == AV_CODEC_ID_FLAC || par->codec_id == AV_CODEC_ID_ALAC;
    if ((isPcm || isLossless) && par->bits_per_coded_sample > 0)
        return par->bits_per_coded_sample;
    if (!isPcm)
        return 0;
    if (const int bits = av_get_bits_per_sample(par->codec_id); bits > 0)
        return bits;
    if (const int bits = sampleFormatBits(par->format); bits > 0)
        return bits;
    return sampleFormatBits(context->sample_fmt);
}

QString describeStream(const AVCodec *decoder, int bitDepth, int sampleRate)
{
    QString name = QString::fromLatin1(decoder->name).toUpper();
    if (name.startsWith(QLatin1String("PCM_")))
        name = QStringLiteral("PCM");
    const QString depth = bitDepth > 0 ? QStringLiteral("%1bit").arg(bitDepth) : QStringLiteral("---");
    static const QRegularExpression trailingZero(QStringLiteral("\\.0$"));
    QString rate = QString::number(sampleRate / 1000.0, 'f', 1);
    rate.remove(trailingZero);
    return QStringLiteral("%1,%2,%3").arg(name, depth, rate + QStringLiteral("kHz"));
}

} // namespace

AudioEngine::AudioEngine(QObject *parent)
    : QObject(parent)
{
}

AudioEngine::~AudioEngine()
{
    close();
}

bool AudioEngine::openStreams(AVFormatContext *formatContext)
{
    close();
    if (!formatContext)
        return false;

    int channelTotal = 0;
    for (unsigned i = 0; i < formatContext->nb_streams; ++i) {
        const AVStream *stream = formatContext->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        if (channelTotal >= MaxChannels)
            break;

        const AVCodec *decoder = avcodec_find_decoder(stream->codecpar->codec_id);
        if (!decoder)
            continue;
        av::CodecContextPtr context(avcodec_alloc_context3(decoder));
        if (!context)
            continue;
        if (avcodec_parameters_to_context(context.get(), stream->codecpar) < 0)
            continue;
        context->thread_count = 0;
        context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        // Lets the decoder interpret packet timestamps (priming/skip samples) correctly.
        context->pkt_timebase = stream->time_base;
        if (avcodec_open2(context.get(), decoder, nullptr) < 0)
            continue;

        const int channels = std::max(1, compat::channelCount(stream->codecpar));

        if (m_decoders.empty()) {
            m_sampleRate = stream->codecpar->sample_rate > 0 ? stream->codecpar->sample_rate : 48000;
            m_bitDepth = streamBitDepth(stream, context.get());
            m_audioInfo = describeStream(decoder, m_bitDepth, m_sampleRate);
        }

        auto record = std::make_unique<DecoderRecord>();
        record->streamIndex = static_cast<int>(i);
        record->context = std::move(context);
        record->timeBase = stream->time_base;
        record->firstChannel = channelTotal;
        record->channels = channels;
        m_decoders.push_back(std::move(record));
        channelTotal = std::min(MaxChannels, channelTotal + channels);
    }

    if (m_decoders.empty())
        return false;

    m_channelCount = channelTotal;
    resetLevelLists();
    clearQueues();
    return true;
}

void AudioEngine::close()
{
    m_decoders.clear();
    m_sampleRate = 48000;
    m_bitDepth = 0;
    m_audioInfo = QStringLiteral("---");
    m_channelCount = 0;
    clearQueues();
    resetLevelLists();
    m_startOffset = 0.0;
    m_endTime = 0.0;
    m_endLimited = false;
    m_hasNewAudio = false;
}

void AudioEngine::setTimeWindow(double startSec, double endSec)
{
    m_startOffset = std::isfinite(startSec) ? startSec : 0.0;
    m_endTime = endSec;
    m_endLimited = std::isfinite(endSec) && endSec > 0.0;
}

void AudioEngine::resetLevelLists()
{
    m_meters = QList<levels::Ballistics>(m_channelCount);
    m_peakAccumulator = QList<float>(m_channelCount, 0.0f);
    m_lastSnapshot = QList<float>(m_channelCount, levels::kFloorDb);
}

QList<float> AudioEngine::meterLevels() const
{
    QList<float> list;
    list.reserve(m_meters.size());
    for (const levels::Ballistics &meter : m_meters)
        list.append(meter.level);
    return list;
}

QList<float> AudioEngine::meterPeaks() const
{
    QList<float> list;
    list.reserve(m_meters.size());
    for (const levels::Ballistics &meter : m_meters)
        list.append(meter.peak);
    return list;
}

void AudioEngine::clearQueues()
{
    for (auto &queue : m_queues)
        queue.clear();
    m_queueStart.fill(0.0);
    m_queueActive.fill(false);
}

qsizetype AudioEngine::queuedSamples(int channel) const
{
    if (channel < 0 || channel >= MaxChannels)
        return 0;
    return static_cast<qsizetype>(m_queues[channel].size());
}

double AudioEngine::queueStartSec(int channel) const
{
    if (channel < 0 || channel >= MaxChannels)
        return 0.0;
    return m_queueStart[channel];
}

bool AudioEngine::queueActive(int channel) const
{
    return channel >= 0 && channel < MaxChannels && m_queueActive[channel];
}
