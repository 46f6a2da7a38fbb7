#include "audio/audioresampler.h"

#include <QDebug>

bool AudioResampler::prepare(const AVFrame *frame, int inRate, int outRate)
{
    const int channels = compat::channelCount(frame);
    if (m_context && m_inRate == inRate && m_inFormat == frame->format && m_channels == channels
        && m_outRate == outRate)
        return true;
    m_context.reset();

    // The same default layout on both sides: no remixing, channel i stays channel i even
    // when the stream declares no layout.
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    SwrContext *raw = nullptr;
    const int ret = swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_FLTP, outRate, &layout,
                                        static_cast<AVSampleFormat>(frame->format), inRate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    av::SwrContextPtr context(raw);
    if (ret < 0 || !context || swr_init(context.get()) < 0) {
        qWarning().noquote() << "Audio resampler failed:" << inRate << "Hz to" << outRate << "Hz";
        return false;
    }
    m_context = std::move(context);
    m_inRate = inRate;
    m_inFormat = frame->format;
    m_channels = channels;
    m_outRate = outRate;
    return true;
}

av::FramePtr AudioResampler::convert(const AVFrame *frame, int inRate, int outRate, double inputStartSec,
                                     double &outputStartSec)
{
    if (!frame || inRate <= 0 || outRate <= 0 || compat::channelCount(frame) <= 0 || frame->nb_samples <= 0)
        return {};
    if (!prepare(frame, inRate, outRate))
        return {};

    // The next input sample comes out 'delay' output samples after the next output sample.
    const int64_t delay = swr_get_delay(m_context.get(), outRate);
    outputStartSec = inputStartSec - static_cast<double>(delay) / outRate;

    const int capacity = swr_get_out_samples(m_context.get(), frame->nb_samples);
    if (capacity <= 0)
        return {};
    av::FramePtr out = av::makeFrame();
    if (!out)
        return {};
    out->format = AV_SAMPLE_FMT_FLTP;
    out->sample_rate = outRate;
    out->nb_samples = capacity;
    av_channel_layout_default(&out->ch_layout, m_channels);
    if (av_frame_get_buffer(out.get(), 0) < 0)
        return {};
    const int produced = swr_convert(m_context.get(), out->extended_data, capacity,
                                     const_cast<const uint8_t **>(frame->extended_data), frame->nb_samples);
    if (produced <= 0)
        return {};
    out->nb_samples = produced;
    return out;
}

void AudioResampler::reset()
{
    // A fresh context on the next frame: nothing of the old position leaks into the new.
    m_context.reset();
}
