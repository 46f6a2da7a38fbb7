#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "core/metatypes.h"

DecodedFrame::DecodedFrame(av::FramePtr decoded, int64_t number, QList<float> channelLevels)
    : frame(std::move(decoded))
    , frameNumber(number)
    , levels(std::move(channelLevels))
{
}

DecodedFrame::DecodedFrame(const DecodedFrame &other)
    : frame(av::cloneFrame(other.frame.get()))
    , frameNumber(other.frameNumber)
    , levels(other.levels)
{
}

DecodedFrame &DecodedFrame::operator=(const DecodedFrame &other)
{
    if (this != &other) {
        frame = av::cloneFrame(other.frame.get());
        frameNumber = other.frameNumber;
        levels = other.levels;
    }
    return *this;
}

VideoEngine::VideoEngine()
    : QObject(nullptr)
{
    // Signals carry int64_t, QList<float> and MediaInfo across threads.
    registerMetaTypes();
}

VideoEngine::~VideoEngine()
{
    closeFile();
}

void VideoEngine::init()
{
    ensureAudioEngine();
}

void VideoEngine::ensureAudioEngine()
{
    if (!audioEngine)
        audioEngine = new AudioEngine(this);
}

const MediaInfo &VideoEngine::mediaInfo() const
{
    static const MediaInfo none;
    return file ? file->info : none;
}

bool VideoEngine::hasSound() const
{
    return audioEngine && audioEngine->channelCount() > 0;
}

void VideoEngine::closeFile()
{
    // Frames of this file must never answer for the next one.
    forgetCachedFrames();
    file.reset();
    pixelConverter.reset();
    // The demuxer is gone, so the audio decoders go with it, not just their queues.
    if (audioEngine)
        audioEngine->close();
}
