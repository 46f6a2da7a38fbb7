#include "analysis/audiocompare.h"

#include "av/ffmpeg.h"

#include <algorithm>
#include <cmath>

namespace cmp {

namespace {

struct DecodedStream {
    int rate = 0;
    int channels = 0;
    std::vector<float> samples; // interleaved
};

// Every audio stream of 'path', decoded to interleaved float at its own rate and layout.
bool decodeAll(const QString &path, std::vector<DecodedStream> &streams, QString &error)
{
    av::FormatContextPtr format;
    if (av::openInput(format, path.toUtf8().constData()) < 0 || avformat_find_stream_info(format.get(), nullptr) < 0) {
        error = QStringLiteral("%1 cannot be read").arg(path);
        return false;
    }
    struct Decoder {
        int index = -1;
        av::CodecContextPtr codec;
        av::SwrContextPtr swr;
        DecodedStream out;
    };
    std::vector<Decoder> decoders;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters *par = format->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        Decoder decoder;
        decoder.index = int(i);
        const AVCodec *codec = avcodec_find_decoder(par->codec_id);
        if (codec) {
            decoder.codec.reset(avcodec_alloc_context3(codec));
            if (!decoder.codec || avcodec_parameters_to_context(decoder.codec.get(), par) < 0
                || avcodec_open2(decoder.codec.get(), codec, nullptr) < 0)
                decoder.codec.reset();
        }
        decoders.push_back(std::move(decoder));
    }
    const auto drain = [](Decoder &decoder, AVFrame *frame) {
        while (avcodec_receive_frame(decoder.codec.get(), frame) >= 0) {
            const int channels = frame->ch_layout.nb_channels;
            if (!decoder.swr) {
                SwrContext *swr = nullptr;
                if (swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_FLT, frame->sample_rate,
                                        &frame->ch_layout, AVSampleFormat(frame->format), frame->sample_rate, 0,
                                        nullptr)
                        < 0
                    || swr_init(swr) < 0) {
                    swr_free(&swr);
                    return;
                }
                decoder.swr.reset(swr);
                decoder.out.rate = frame->sample_rate;
                decoder.out.channels = channels;
            }
            if (channels != decoder.out.channels)
                continue;
            const size_t at = decoder.out.samples.size();
            decoder.out.samples.resize(at + size_t(frame->nb_samples) * size_t(channels));
            auto *dst = reinterpret_cast<uint8_t *>(decoder.out.samples.data() + at);
            const int got = swr_convert(decoder.swr.get(), &dst, frame->nb_samples,
                                        const_cast<const uint8_t **>(frame->extended_data), frame->nb_samples);
            decoder.out.samples.resize(at + size_t(std::max(got, 0)) * size_t(channels));
        }
    };
    av::PacketPtr packet = av::makePacket();
    av::FramePtr frame = av::makeFrame();
    if (!packet || !frame) {
        error = QStringLiteral("out of memory");
        return false;
    }
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        for (Decoder &decoder : decoders)
            if (decoder.index == packet->stream_index && decoder.codec
                && avcodec_send_packet(decoder.codec.get(), packet.get()) >= 0)
                drain(decoder, frame.get());
        av_packet_unref(packet.get());
    }
    for (Decoder &decoder : decoders) {
        if (decoder.codec && avcodec_send_packet(decoder.codec.get(), nullptr) >= 0)
            drain(decoder, frame.get());
        streams.push_back(std::move(decoder.out));
    }
    return true;
}

} // namespace

AudioStreamResult compareSamples(const std::vector<float> &a, const std::vector<float> &b, int channels, int rate,
                                 int64_t offsetSamples)
{
    AudioStreamResult result;
    result.compared = true;
    const auto framesA = int64_t(a.size()) / std::max(channels, 1);
    const auto framesB = int64_t(b.size()) / std::max(channels, 1);
    // A's frames i with a partner k = i - offset in B.
    const int64_t first = std::max<int64_t>(0, offsetSamples);
    const int64_t last = std::min(framesA, framesB + offsetSamples);
    float largest = 0.0f;
    for (int64_t i = first; i < last; ++i) {
        const float *pa = a.data() + i * channels;
        const float *pb = b.data() + (i - offsetSamples) * channels;
        for (int c = 0; c < channels; ++c) {
            const float d = std::abs(pa[c] - pb[c]);
            if (d > largest) {
                if (!result.firstDifferentSec)
                    result.firstDifferentSec = double(i) / double(rate);
                largest = d;
            }
        }
    }
    result.samplesCompared = std::max<int64_t>(0, last - first);
    result.identical = largest == 0.0f;
    if (!result.identical)
        result.maxDifferenceDb = 20.0 * std::log10(double(largest));
    return result;
}

std::vector<AudioStreamResult> compareAudio(const QString &pathA, const QString &pathB, double offsetSec,
                                            QString &error)
{
    std::vector<DecodedStream> a, b;
    std::vector<AudioStreamResult> results;
    if (!decodeAll(pathA, a, error) || !decodeAll(pathB, b, error))
        return results;
    const size_t count = std::max(a.size(), b.size());
    for (size_t n = 0; n < count; ++n) {
        AudioStreamResult result;
        if (n >= a.size() || n >= b.size()) {
            result.problem = n >= a.size() ? QStringLiteral("only in B") : QStringLiteral("only in A");
        } else if (a[n].rate != b[n].rate || a[n].channels != b[n].channels) {
            result.problem = QStringLiteral("A has %1 Hz, %2 channels; B has %3 Hz, %4 channels")
                                 .arg(a[n].rate)
                                 .arg(a[n].channels)
                                 .arg(b[n].rate)
                                 .arg(b[n].channels);
        } else {
            result = compareSamples(a[n].samples, b[n].samples, a[n].channels, a[n].rate,
                                    std::llround(offsetSec * a[n].rate));
        }
        result.stream = int(n);
        results.push_back(result);
    }
    return results;
}

} // namespace cmp
