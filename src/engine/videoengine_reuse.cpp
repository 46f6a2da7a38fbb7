// Decoding only what is needed: frames already decoded are served from the frame cache, a
// step to the decoder's next output decodes on without a seek, on the way to a target the
// frames nothing refers to are not decoded when they lie outside what the cache would keep
// anyway, and exports may drop the sound.

#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "av/ffmpeg.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Frames just before the target are always decoded: the packet's number comes from its
// own timestamp, and a rounding slip there must not drop the target itself.
constexpr int64_t kNonrefMarginFrames = 2;

// Decoders whose AVDISCARD_NONREF drops only frames no other frame predicts from.
bool honoursNonrefDiscard(AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_HEVC:
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
        return true;
    default:
        return false;
    }
}

} // namespace

bool VideoEngine::takeFromCache(int64_t frameNumber, ExactResult &result)
{
    frameCache.setCentre(frameNumber);
    if (repositioning)
        return false;
    av::FramePtr frame = frameCache.find(frameNumber);
    if (!frame)
        return false;
    ++counters.cacheHits;
    currentFrame = frameNumber;
    holdAudioForPlayback();

    const bool inQueue = !decodeQueue.isEmpty() && decodeQueue.first().frameNumber <= frameNumber
        && decodeQueue.last().frameNumber >= frameNumber;
    if (inQueue) {
        // As if decoded now: the queue goes on with the frame after it.
        while (!decodeQueue.isEmpty() && decodeQueue.first().frameNumber <= frameNumber)
            decodeQueue.removeFirst();
    } else if (!(decodeQueue.isEmpty() ? numbering.lastNumber == frameNumber
                                       : decodeQueue.first().frameNumber == frameNumber + 1)) {
        // Decoder and audio are ahead of this frame: what they hold belongs elsewhere.
        decoderDetached = true;
        decodeQueue.clear();
        heldVideo.clear();
        if (audioEngine)
            audioEngine->reset();
    }
    if (decoderDetached)
        schedulePrefetch();
    result.frame = std::move(frame);
    return true;
}

bool VideoEngine::continueWithoutSeek(int64_t frameNumber)
{
    if (decoderDetached || drainedForTarget || repositioning || numbering.manualFrameCounter
        || numbering.lastNumber < 0)
        return false;
    const bool next = decodeQueue.isEmpty() ? numbering.lastNumber + 1 == frameNumber
                                            : decodeQueue.first().frameNumber == frameNumber;
    if (next)
        holdAudioForPlayback();
    return next;
}

void VideoEngine::holdAudioForPlayback()
{
    // Every answer drains the sound decoded with it, so after steps without a seek the
    // audio queue starts past the picture; playing on would begin with padding.
    if (audioEngine && audioEngine->channelCount() > 0)
        playbackMustSeek = true;
}

bool VideoEngine::dropAudioAheadOfPicture()
{
    if (!playbackMustSeek || !audioEngine)
        return false;
    audioEngine->reset();
    return true;
}

void VideoEngine::prepareCacheForSeek(int64_t frameNumber)
{
    // Stepping back across a key frame extends what is held; a jump elsewhere starts over,
    // so the cache stays one stretch around the place being looked at.
    const int64_t reach = std::max<int64_t>(1, std::llround(fps));
    const std::optional<int64_t> lowest = frameCache.lowest();
    const std::optional<int64_t> highest = frameCache.highest();
    if (!lowest || frameNumber < *lowest - reach || frameNumber > *highest + reach) {
        forgetCachedFrames();
        return;
    }
    // A step back just below what is held (intra-only media, or a key frame not yet read
    // back): once this request is answered, read further back between the next ones.
    if (frameNumber < *lowest)
        QMetaObject::invokeMethod(this, [this] { schedulePrefetch(); }, Qt::QueuedConnection);
}

void VideoEngine::forgetCachedFrames()
{
    frameCache.clear();
    restartReuseAfterSeek();
    prefetchStartedBelow = -1;
}

void VideoEngine::restartReuseAfterSeek()
{
    frameCache.startRun();
    decoderDetached = false;
    playbackMustSeek = false;
    skippedNonrefSinceSeek = false;
    drainedForTarget = false;
    prefetchActive = false;
}

void VideoEngine::offerToCache(const AVFrame *frame, int64_t number)
{
    // Counted numbers start again at every seek; they name no frame of the file.
    if (!numbering.manualFrameCounter)
        frameCache.offer(frame, number);
}

int64_t VideoEngine::estimatedFrameBytes() const
{
    if (!videoCodecContext)
        return 0;
    const AVCodecContext *decoder = videoCodecContext.get();
    const int bytes = av_image_get_buffer_size(decoder->pix_fmt, decoder->width, decoder->height, 32);
    return bytes > 0 ? bytes : int64_t(decoder->width) * decoder->height * 4;
}

bool VideoEngine::chooseDiscard(const AVPacket *packet, int64_t target)
{
    AVCodecContext *decoder = videoCodecContext.get();
    AVDiscard wanted = AVDISCARD_DEFAULT;
    if (discardTarget >= 0)
        target = discardTarget;
    const bool numbered = target >= 0 && skipNonrefAllowed && !numbering.manualFrameCounter
        && packet->pts != AV_NOPTS_VALUE;
    const int64_t number = numbered ? decodeplan::frameNumberFromTimestamp(packet->pts, videoClock()) : -1;
    if (numbered && honoursNonrefDiscard(decoder->codec_id)) {
        // Frames the cache would keep are worth decoding for the steps back to come.
        const int64_t kept = std::min<int64_t>(frameCache.capacityFrames(estimatedFrameBytes()),
                                               std::numeric_limits<int32_t>::max());
        if (number < target - kNonrefMarginFrames - kept)
            wanted = AVDISCARD_NONREF;
        // One answer only: a frame after the target that nothing refers to is never shown.
        else if (oneShot && number > target + kNonrefMarginFrames)
            wanted = AVDISCARD_NONREF;
    }
    if (wanted == AVDISCARD_NONREF) {
        skippedNonrefSinceSeek = true;
        ++counters.skippablePackets;
    }
    // Frame threads copy it from the context with every packet.
    decoder->skip_frame = wanted;
    return oneShot && numbered && number == target;
}

void VideoEngine::drainForTarget()
{
    // The target's references came before it in decoding order; draining now hands out
    // every frame held back (reordering, frame threads) without decoding any after it.
    avcodec_send_packet(videoCodecContext.get(), nullptr);
    drainedForTarget = true;
    // Should the target not come out after all, the plain way finds it.
    skippedNonrefSinceSeek = true;
}

bool VideoEngine::exactNeedsPlainRetry(bool continued, bool reachedAnyFrame)
{
    if (continued && !reachedAnyFrame) {
        // The decoder was at the end: seek like any other request.
        decoderDetached = true;
        return true;
    }
    // A target past the end yields the last frame, which may be one that was skipped.
    return skippedNonrefSinceSeek && skipNonrefAllowed;
}

VideoEngine::ExactResult VideoEngine::decodeExactPlainly(int64_t frameNumber, int requestId)
{
    const bool allowed = skipNonrefAllowed;
    skipNonrefAllowed = false;
    ExactResult result = decodeExact(frameNumber, requestId);
    skipNonrefAllowed = allowed;
    return result;
}

bool VideoEngine::repositionForPlayback(int requestId)
{
    if (!decoderDetached && !playbackMustSeek)
        return true;
    if (isAbandoned(requestId))
        return false;
    // The frame on screen again, as a frame request used to: playback's sound starts there.
    repositioning = true;
    const ExactResult result = decodeExact(currentFrame, requestId);
    repositioning = false;
    if (result.abandoned)
        return false;
    if (result.frame && fps > 0)
        alignAudioTo(double(currentFrame) / fps);
    return true;
}

void VideoEngine::schedulePrefetch()
{
    const std::optional<int64_t> lowest = frameCache.lowest();
    if (prefetchActive || !lowest || *lowest <= 0 || frameCache.isOff() || fps <= 0)
        return;
    // Within two seconds of the first frame held, and once per first frame (an open GOP
    // may not let the read-back reach below it).
    if (currentFrame - *lowest > std::llround(2 * fps) || prefetchStartedBelow == *lowest)
        return;
    prefetchStartedBelow = *lowest;
    prefetchTarget = *lowest - 1;
    prefetchActive = true;
    prefetchSeekDone = false;
    QMetaObject::invokeMethod(this, "prefetchSlice", Qt::QueuedConnection);
}

void VideoEngine::prefetchSlice()
{
    if (!prefetchActive || !formatContext || !videoCodecContext)
        return;
    if (!prefetchSeekDone) {
        // A second's worth before the target: intra-only media land exactly there, long
        // GOPs on their key frame anyway.
        seekDemuxer(std::max<int64_t>(0, prefetchTarget - std::llround(fps)), 0);
        resetAfterSeek();
        // The decoder works for the cache now; requests must not take its queue.
        prefetchActive = true;
        prefetchSeekDone = true;
        decoderDetached = true;
        holdAudioForPlayback();
    }
    // A frame or two per slice: a step request never waits for more than that.
    const int64_t sliceEnd = numbering.lastNumber >= 0 ? std::min(prefetchTarget, numbering.lastNumber + 2) : 0;
    discardTarget = prefetchTarget;
    decodeStep(sliceEnd);
    discardTarget = -1;
    const bool done = decodeQueue.isEmpty() || decodeQueue.last().frameNumber >= prefetchTarget;
    // The frames are in the cache; the queue is no playback's.
    decodeQueue.clear();
    if (done) {
        prefetchActive = false;
        return;
    }
    QMetaObject::invokeMethod(this, "prefetchSlice", Qt::QueuedConnection);
}

void VideoEngine::stopAudioDecoding()
{
    if (audioEngine && !audioOnly)
        audioEngine->close();
}
