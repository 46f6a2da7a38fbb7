#include "loudness/loudnessmeasureworker.h"

#include "av/ffmpeg.h"
#include "engine/mediachecks.h"
#include "loudness/pairmeter.h"

#include <QDebug>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

struct LoudnessMeasureWorker::Outcome {
    enum Kind { Measured, Failed, Aborted };
    Kind kind = Failed;
    QString message;
    double truePeakDb = -std::numeric_limits<double>::infinity();
    double integratedLufs = std::numeric_limits<double>::quiet_NaN();
};

namespace {

constexpr int kMaxChannels = 8;
constexpr int64_t kBlockSamples = PairMeter::BlockSamples;

QString errorText(int code)
{
    char buffer[64] = {};
    av_strerror(code, buffer, sizeof(buffer));
    return QString::fromUtf8(buffer);
}

struct StreamEntry {
    int streamIndex = -1;
    av::CodecContextPtr decoder;
    AVRational timeBase{0, 1};
    int firstChannel = 0;
    int channelCount = 0;
    double expectedSec = 0.0; // where the next frame should start when it carries no time
    bool expectedKnown = false;
    bool measured = false;    // one of its channels is on the left or right side
};

// Sample x of channel 'channel' as (x - bias) * scale, for count samples from 'first'.
template <typename T>
void gather(const AVFrame *frame, bool planar, int channel, int channels, int64_t first, int64_t count,
            double bias, double scale, double *out)
{
    if (planar) {
        const T *in = reinterpret_cast<const T *>(frame->extended_data[channel]) + first;
        for (int64_t i = 0; i < count; ++i)
            out[i] = (double(in[i]) - bias) * scale;
    } else {
        const T *in = reinterpret_cast<const T *>(frame->extended_data[0]) + first * channels + channel;
        for (int64_t i = 0; i < count; ++i)
            out[i] = (double(in[i * channels]) - bias) * scale;
    }
}

// Samples first..first+count of one channel as doubles in -1..1; formats without a
// conversion here give zeros.
void convertChannel(const AVFrame *frame, int channel, int channels, int64_t first, int64_t count, double *out)
{
    const auto format = AVSampleFormat(frame->format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
        gather<uint8_t>(frame, planar, channel, channels, first, count, 128.0, 1.0 / 128.0, out);
        break;
    case AV_SAMPLE_FMT_S16:
        gather<int16_t>(frame, planar, channel, channels, first, count, 0.0, 1.0 / 32768.0, out);
        break;
    case AV_SAMPLE_FMT_S32:
        gather<int32_t>(frame, planar, channel, channels, first, count, 0.0, 1.0 / 2147483648.0, out);
        break;
    case AV_SAMPLE_FMT_FLT:
        gather<float>(frame, planar, channel, channels, first, count, 0.0, 1.0, out);
        break;
    case AV_SAMPLE_FMT_DBL:
        gather<double>(frame, planar, channel, channels, first, count, 0.0, 1.0, out);
        break;
    case AV_SAMPLE_FMT_S64:
        gather<int64_t>(frame, planar, channel, channels, first, count, 0.0, 1.0 / 9223372036854775808.0, out);
        break;
    default:
        std::fill(out, out + count, 0.0);
        break;
    }
}

// One measurement from opening the file to the meter's figures. Owns every FFmpeg object
// of the run, so they are all gone when it is destroyed.
class MeasurementRun
{
public:
    MeasurementRun(const LoudnessMeasureRequest &request, std::function<void(int)> progress,
                   const std::atomic<bool> &abortRequested)
        : m_request(request)
        , m_progress(std::move(progress))
        , m_abort(abortRequested)
        , m_pair(&abortRequested)
    {
    }

    // Opens the file and its audio decoders and builds the meter.
    QString open();
    // Feeds the range's length of digital silence (both sides unrouted).
    QString feedSilence();
    // Decodes from the range's start to the end of the file through the frame step.
    QString decode();
    QString finish() { return m_pair.finish(); }

    bool silent() const { return m_request.leftChannel < 0 && m_request.rightChannel < 0; }
    bool aborting() const { return m_abort.load(std::memory_order_relaxed); }
    static int interrupted(void *run) { return static_cast<const MeasurementRun *>(run)->aborting() ? 1 : 0; }
    double integratedLufs() const { return m_pair.integratedLufs(); }
    double truePeakDb() const { return m_pair.truePeakDb(); }

private:
    QString receiveFrames(StreamEntry &entry, AVFrame *frame);
    QString frameStep(StreamEntry &entry, const AVFrame *frame);
    void reportProgress(double fraction);

    const LoudnessMeasureRequest m_request;
    std::function<void(int)> m_progress;
    const std::atomic<bool> &m_abort;

    av::FormatContextPtr m_input;
    std::vector<StreamEntry> m_entries;
    std::vector<int> m_entryOfStream; // stream index -> index in m_entries, or -1
    int m_channelTotal = 0;
    int m_rate = 0;
    double m_startOffsetSec = 0.0;
    PairMeter m_pair;
    // Scratch space reused from frame to frame.
    std::vector<double> m_converted;
    std::vector<double> m_resampled;
};

QString MeasurementRun::open()
{
    const QString openFailed = QStringLiteral("Failed to open media for loudness measurement: ");
    // A named pipe or a device blocks in open() or read(), where no interrupt reaches.
    if (!mediachecks::isUrl(m_request.filePath)) {
        if (const QString problem = mediachecks::localFileProblem(m_request.filePath); !problem.isEmpty())
            return openFailed + problem;
    }
    // Every blocking read of this demuxer (a stalled share or stream) gives up on abort().
    const AVIOInterruptCB interrupt{&MeasurementRun::interrupted, this};
    const QByteArray path = m_request.filePath.toUtf8();
    int ret = av::openInput(m_input, path.constData(), &interrupt);
    if (ret < 0)
        return openFailed + errorText(ret);
    ret = avformat_find_stream_info(m_input.get(), nullptr);
    if (ret < 0)
        return QStringLiteral("Failed to read stream info for loudness measurement: ") + errorText(ret);

    // Audio times are taken from the picture's start, so the range matches frame numbers.
    const int video = av_find_best_stream(m_input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video >= 0) {
        const AVStream *stream = m_input->streams[video];
        if (stream->start_time != AV_NOPTS_VALUE)
            m_startOffsetSec = double(stream->start_time) * av_q2d(stream->time_base);
    }

    m_entryOfStream.assign(m_input->nb_streams, -1);
    for (unsigned i = 0; i < m_input->nb_streams && m_channelTotal < kMaxChannels; ++i) {
        const AVStream *stream = m_input->streams[i];
        const AVCodecParameters *par = stream->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        const AVCodec *codec = avcodec_find_decoder(par->codec_id);
        if (!codec)
            continue;
        av::CodecContextPtr decoder(avcodec_alloc_context3(codec));
        if (!decoder || avcodec_parameters_to_context(decoder.get(), par) < 0)
            continue;
        decoder->thread_count = 0;
        decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
            continue;
        StreamEntry entry;
        entry.streamIndex = int(i);
        entry.timeBase = stream->time_base;
        entry.firstChannel = m_channelTotal;
        entry.channelCount = std::min(std::max(compat::channelCount(par), 1), kMaxChannels - m_channelTotal);
        if (m_rate == 0)
            m_rate = par->sample_rate > 0 ? par->sample_rate : decoder->sample_rate;
        entry.decoder = std::move(decoder);
        for (int c = 0; c < entry.channelCount; ++c) {
            const int global = entry.firstChannel + c;
            if (global == m_request.leftChannel || global == m_request.rightChannel)
                entry.measured = true;
        }
        m_channelTotal += entry.channelCount;
        m_entryOfStream[i] = int(m_entries.size());
        m_entries.push_back(std::move(entry));
    }
    if (m_entries.empty() || m_rate < 1)
        return QStringLiteral("No decodable audio stream found.");
    if (m_request.leftChannel >= m_channelTotal || m_request.rightChannel >= m_channelTotal)
        return QStringLiteral("Selected audio channel is not available.");
    // Every channel starts at the range's start, so a stream whose audio begins later is
    // preceded by silence instead of being paired with the other side's first samples.
    return m_pair.start(m_rate, m_request.leftChannel, m_request.rightChannel, m_request.startSec);
}

QString MeasurementRun::feedSilence()
{
    const int64_t total = std::max<int64_t>(
        1, int64_t(std::ceil((m_request.endSec - m_request.startSec) * m_rate)));
    const std::vector<double> zeros(kBlockSamples, 0.0);
    int64_t fed = 0;
    while (fed < total && !aborting()) {
        const int64_t block = std::min(kBlockSamples, total - fed);
        if (QString problem = m_pair.graph().feed(zeros.data(), zeros.data(), block); !problem.isEmpty())
            return problem;
        fed += block;
        m_progress(int(std::lround(double(fed) / double(total) * 90.0)));
    }
    return {};
}

QString MeasurementRun::decode()
{
    // From the very start nothing needs skipping; a seek there could only land late on
    // formats that seek coarsely.
    if (m_request.startSec > 0.0) {
        const int64_t target = std::llround((m_startOffsetSec + m_request.startSec) * 1000000.0);
        av_seek_frame(m_input.get(), -1, target, AVSEEK_FLAG_BACKWARD);
        for (StreamEntry &entry : m_entries) {
            avcodec_flush_buffers(entry.decoder.get());
            entry.expectedKnown = false;
        }
    }
    av::PacketPtr packet = av::makePacket();
    av::FramePtr frame = av::makeFrame();
    if (!packet || !frame)
        return QStringLiteral("Failed to allocate audio decode buffers.");

    while (!aborting() && av_read_frame(m_input.get(), packet.get()) >= 0) {
        const int index = packet->stream_index;
        StreamEntry *entry = index >= 0 && index < int(m_entryOfStream.size()) && m_entryOfStream[index] >= 0
                                 ? &m_entries[size_t(m_entryOfStream[index])]
                                 : nullptr;
        // A stream none of whose channels is measured would only be decoded to be thrown away.
        if (!entry || !entry->measured) {
            av_packet_unref(packet.get());
            continue;
        }
        const int sent = avcodec_send_packet(entry->decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN))
            continue;
        if (QString problem = receiveFrames(*entry, frame.get()); !problem.isEmpty())
            return problem;
    }
    if (aborting())
        return {};
    for (StreamEntry &entry : m_entries) {
        if (!entry.measured)
            continue;
        avcodec_send_packet(entry.decoder.get(), nullptr);
        if (QString problem = receiveFrames(entry, frame.get()); !problem.isEmpty())
            return problem;
    }
    return m_pair.feed(PairMeter::Mode::Final);
}

QString MeasurementRun::receiveFrames(StreamEntry &entry, AVFrame *frame)
{
    while (!aborting() && avcodec_receive_frame(entry.decoder.get(), frame) >= 0) {
        QString problem = frameStep(entry, frame);
        av_frame_unref(frame);
        if (!problem.isEmpty())
            return problem;
    }
    return {};
}

QString MeasurementRun::frameStep(StreamEntry &entry, const AVFrame *frame)
{
    const int frameRate = frame->sample_rate > 0 ? frame->sample_rate : entry.decoder->sample_rate;
    const int64_t samples = frame->nb_samples;
    if (frameRate < 1 || samples <= 0)
        return {};
    const int frameChannels = compat::channelCount(frame) > 0 ? compat::channelCount(frame) : entry.channelCount;

    double t = 0.0;
    if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
        t = double(frame->best_effort_timestamp) * av_q2d(entry.timeBase) - m_startOffsetSec;
    else if (entry.expectedKnown)
        t = entry.expectedSec;
    const double frameSec = double(samples) / frameRate;
    entry.expectedSec = t + frameSec;
    entry.expectedKnown = true;

    int64_t first = t < m_request.startSec ? int64_t(std::ceil((m_request.startSec - t) * frameRate)) : 0;
    int64_t last = m_request.endSec < t + frameSec ? int64_t(std::floor((m_request.endSec - t) * frameRate))
                                                   : samples;
    first = std::clamp<int64_t>(first, 0, samples);
    last = std::clamp<int64_t>(last, 0, samples);
    if (first >= last)
        return {};

    const int64_t count = last - first;
    // Nearest earlier sample: a second stream at another rate follows the first one's.
    const int64_t outCount = std::max<int64_t>(1, std::llround(double(count) * m_rate / frameRate));
    const double startSec = double(first) / frameRate + t;
    for (int c = 0; c < entry.channelCount && c < frameChannels; ++c) {
        const int global = entry.firstChannel + c;
        if (global != m_request.leftChannel && global != m_request.rightChannel)
            continue;
        m_converted.resize(size_t(count));
        convertChannel(frame, c, frameChannels, first, count, m_converted.data());
        const double *out = m_converted.data();
        if (frameRate != m_rate || outCount != count) {
            m_resampled.resize(size_t(outCount));
            for (int64_t j = 0; j < outCount; ++j)
                m_resampled[size_t(j)] = m_converted[size_t(std::min(j * frameRate / m_rate, count - 1))];
            out = m_resampled.data();
        }
        m_pair.push(global, out, outCount, startSec);
    }

    const double reached = std::clamp(double(last) / frameRate + t, m_request.startSec, m_request.endSec);
    reportProgress((reached - m_request.startSec) / (m_request.endSec - m_request.startSec));
    return m_pair.feed(PairMeter::Mode::Normal);
}

void MeasurementRun::reportProgress(double fraction)
{
    m_progress(std::clamp(int(std::lround(fraction * 90.0)), 0, 100));
}

} // namespace

LoudnessMeasureWorker::LoudnessMeasureWorker(const LoudnessMeasureRequest &request, QObject *parent)
    : QObject(parent)
    , filePath(request.filePath)
    , startSec(request.startSec)
    , endSec(request.endSec)
    , leftChannel(request.leftChannel)
    , rightChannel(request.rightChannel)
{
}

void LoudnessMeasureWorker::abort()
{
    abortRequested.exchange(true);
}

void LoudnessMeasureWorker::setProgress(int progress)
{
    if (progress == lastProgress)
        return;
    lastProgress = progress;
    emit progressChanged(progress);
}

void LoudnessMeasureWorker::run()
{
    setProgress(0);
    const Outcome outcome = measure(); // every FFmpeg object of the run is freed on return
    switch (outcome.kind) {
    case Outcome::Measured:
        emit measurementReady(outcome.truePeakDb, outcome.integratedLufs);
        break;
    case Outcome::Failed:
        emit failed(outcome.message);
        break;
    case Outcome::Aborted:
        emit aborted();
        break;
    }
    emit finished();
}

LoudnessMeasureWorker::Outcome LoudnessMeasureWorker::measure()
{
    Outcome outcome;
    const auto fail = [&outcome](const QString &message) {
        outcome.kind = Outcome::Failed;
        outcome.message = message;
        return outcome;
    };
    if (abortRequestedNow()) {
        outcome.kind = Outcome::Aborted;
        return outcome;
    }
    if (filePath.isEmpty())
        return fail(QStringLiteral("No media file is loaded."));
    if (!(endSec > startSec))
        return fail(QStringLiteral("Invalid loudness measurement range."));

    const LoudnessMeasureRequest request{filePath, startSec, endSec, leftChannel, rightChannel};
    MeasurementRun measurement(request, [this](int progress) { setProgress(progress); }, abortRequested);
    if (QString problem = measurement.open(); !problem.isEmpty()) {
        // An abort during the open ends its reads with an error that is no failure.
        if (abortRequestedNow()) {
            outcome.kind = Outcome::Aborted;
            return outcome;
        }
        return fail(problem);
    }
    const QString problem = measurement.silent() ? measurement.feedSilence() : measurement.decode();
    if (!problem.isEmpty())
        return fail(problem);
    if (abortRequestedNow()) {
        outcome.kind = Outcome::Aborted;
        return outcome;
    }
    setProgress(90);
    if (QString finishProblem = measurement.finish(); !finishProblem.isEmpty())
        return fail(finishProblem);
    setProgress(100);
    outcome.kind = Outcome::Measured;
    outcome.truePeakDb = measurement.truePeakDb();
    outcome.integratedLufs = measurement.integratedLufs();
    qDebug() << "Loudness measurement:" << "true peak" << outcome.truePeakDb << "dBTP," << "integrated"
             << outcome.integratedLufs << "LUFS," << "range" << startSec << "to" << endSec << "sec,"
             << "channels" << leftChannel << rightChannel;
    return outcome;
}
