#pragma once

// Private to the audio engine's sources.

#include "audio/audioengine.h"
#include "audio/audioresampler.h"
#include "av/ffmpeg.h"

struct AudioEngine::DecoderRecord {
    int streamIndex = -1;
    av::CodecContextPtr context;
    AVRational timeBase{0, 1};
    int firstChannel = 0;  // index of the stream's first channel in the global numbering
    int channels = 1;      // at least 1
    double nextTime = 0.0; // expected time of the next decoded frame
    bool nextTimeValid = false;
    AudioResampler resampler; // used when the stream's rate is not the output rate
};
