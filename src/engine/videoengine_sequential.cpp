// One pass through the whole file in presentation order, for analyses: the same decode
// step, decoder choice and frame numbering as every frame request, without conversion.

#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "av/ffmpeg.h"

VideoEngine::SequentialPicture VideoEngine::readNextPicture()
{
    SequentialPicture picture;
    if (!hasVideo())
        return picture;
    DecodedFrame entry;
    if (!file->sequentialStarted) {
        // The first picture as an exact request: the open may have left the demuxer
        // anywhere (a timecode look that seeks back lands after the first key frame in
        // streams that seek by decode time), and the first frames of an open GOP need a
        // re-seek.
        file->sequentialStarted = true;
        ExactResult first = decodeExact(0, -1);
        if (!first.frame)
            return picture;
        entry = DecodedFrame(std::move(first.frame), currentFrame, {});
    } else {
        if (file->decodeQueue.isEmpty())
            decodeStep();
        if (file->decodeQueue.isEmpty())
            return picture;
        entry = file->decodeQueue.takeFirst();
    }
    currentFrame = entry.frameNumber;
    const decodeplan::StreamClock clock = videoClock();
    if (entry.frame && entry.frame->best_effort_timestamp != AV_NOPTS_VALUE && clock.timeBaseDen != 0) {
        const int64_t ticks = entry.frame->best_effort_timestamp - clock.startTime.value_or(0);
        picture.seconds = double(ticks) * double(clock.timeBaseNum) / double(clock.timeBaseDen);
    }
    picture.frame = std::move(entry.frame);
    picture.frameNumber = entry.frameNumber;
    return picture;
}

bool VideoEngine::readAudioTo(double seconds, double *reached)
{
    if (!isAudioOnly())
        return false;
    readAudioUntil(seconds, false);
    if (reached)
        *reached = file->audioReadPositionSec;
    return !file->audioReadExhausted;
}

std::vector<AudioChannelSamples> VideoEngine::takeDecodedAudio()
{
    return audioEngine ? audioEngine->takeChannels() : std::vector<AudioChannelSamples>();
}
