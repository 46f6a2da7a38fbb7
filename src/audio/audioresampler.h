#pragma once

// Private to the audio engine's sources: brings one audio stream to the output rate.

#include "av/ffmpeg.h"

// Converts decoded frames of one stream to planar float at another sample rate, keeping
// its channels as they are. Keeps filter history between frames, so a stream resamples
// without seams; reset() after a seek.
class AudioResampler
{
public:
    // 'frame' (at inRate) resampled to outRate. inputStartSec is the time of the frame's first sample;
    // outputStartSec receives the time of the result's first sample (earlier than the
    // input's by what the resampler held back). Null when the conversion fails or yields
    // nothing yet.
    av::FramePtr convert(const AVFrame *frame, int inRate, int outRate, double inputStartSec,
                         double &outputStartSec);
    void reset();

private:
    bool prepare(const AVFrame *frame, int inRate, int outRate);

    av::SwrContextPtr m_context;
    int m_inRate = 0;
    int m_inFormat = -1;
    int m_channels = 0;
    int m_outRate = 0;
};
