#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "core/compat.h"
#include "core/metatypes.h"

#include <QTimer>

namespace {

constexpr int kReleaseFreedMemoryMs = 10000;

} // namespace

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
    // Before the decoders' threads allocate their first frames.
    compat::configureAllocator();
}

VideoEngine::~VideoEngine()
{
    liveScopeWorker.reset();
    closeFile();
}

void VideoEngine::init()
{
    ensureAudioEngine();
    // Frames are freed on the decoder's threads as much as on this one; without a trim now
    // and then the allocator keeps every page the frame cache and the decoders ever used.
    auto *trim = new QTimer(this);
    trim->setInterval(kReleaseFreedMemoryMs);
    connect(trim, &QTimer::timeout, this, [] { compat::releaseFreedMemory(); });
    trim->start();
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
    scopeConverter.reset();
    shownFrame.reset();
    shownFrameNumber = -1;
    // The demuxer is gone, so the audio decoders go with it, not just their queues.
    if (audioEngine)
        audioEngine->close();
}
