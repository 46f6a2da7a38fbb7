// Decoding only what is needed: frames already decoded are served from the frame cache, a
// step to the decoder's next output decodes on without a seek, on the way to a target the
// frames nothing refers to are not decoded when they lie outside what the cache would keep
// anyway, and exports may drop the sound.

#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "av/ffmpeg.h"
#include "engine/scopedsetting.h"

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
    if (settings.withSound)
        return false;
    av::FramePtr frame = frameCache.find(frameNumber);
    if (!frame)
        return false;
    ++counters.cacheHits;
    currentFrame = frameNumber;

    QList<DecodedFrame> &queue = file->decodeQueue;
    const bool inQueue = !queue.isEmpty() && queue.first().frameNumber <= frameNumber
        && queue.last().frameNumber >= frameNumber;
    const bool decoderFollows = inQueue
        || (queue.isEmpty() ? file->numbering.lastNumber == frameNumber : queue.first().frameNumber == frameNumber + 1);
    file->decoder.answeredFromCache(decoderFollows);
    if (inQueue) {
        // As if decoded now: the queue goes on with the frame after it.
        while (!queue.isEmpty() && queue.first().frameNumber <= frameNumber)
            queue.removeFirst();
    } else if (!decoderFollows) {
        // Decoder and audio are ahead of this frame: what they hold belongs elsewhere.
        queue.clear();
        file->sinceSeek.heldVideo.clear();
        if (audioEngine)
            audioEngine->reset();
    }
    if (file->decoder.mode() == DecoderState::Mode::Detached)
        schedulePrefetch();
    result.frame = std::move(frame);
    return true;
}

bool VideoEngine::continueWithoutSeek(int64_t frameNumber)
{
    if (!file->decoder.mayContinue() || settings.withSound || file->numbering.manualFrameCounter
        || file->numbering.lastNumber < 0)
        return false;
    const bool next = file->decodeQueue.isEmpty() ? file->numbering.lastNumber + 1 == frameNumber
                                                  : file->decodeQueue.first().frameNumber == frameNumber;
    // Every answer drains the sound decoded with it, so after steps without a seek the
    // audio queue starts past the picture; playing on would begin with padding.
    if (next)
        file->decoder.answeredWithoutSeek();
    return next;
}

bool VideoEngine::dropAudioAheadOfPicture()
{
    if (!file || !file->decoder.soundIsElsewhere(hasSound()))
        return false;
    audioEngine->reset();
    return true;
}

void VideoEngine::prepareCacheForSeek(int64_t frameNumber)
{
    // Stepping back across a key frame extends what is held; a jump elsewhere starts over,
    // so the cache stays one stretch around the place being looked at.
    const int64_t reach = std::max<int64_t>(1, std::llround(file->fps));
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
    if (file)
        file->readBackStartedBelow = -1;
}

void VideoEngine::offerToCache(const AVFrame *frame, int64_t number)
{
    // Counted numbers start again at every seek; they name no frame of the file.
    if (!file->numbering.manualFrameCounter)
        frameCache.offer(frame, number);
}

int64_t VideoEngine::estimatedFrameBytes() const
{
    if (!hasVideo())
        return 0;
    const AVCodecContext *decoder = file->videoCodecContext.get();
    const int bytes = av_image_get_buffer_size(decoder->pix_fmt, decoder->width, decoder->height, 32);
    return bytes > 0 ? bytes : int64_t(decoder->width) * decoder->height * 4;
}

bool VideoEngine::chooseDiscard(const AVPacket *packet, int64_t target)
{
    AVCodecContext *decoder = file->videoCodecContext.get();
    AVDiscard wanted = AVDISCARD_DEFAULT;
    if (settings.readBackTarget >= 0)
        target = settings.readBackTarget;
    const bool numbered = target >= 0 && settings.skipUnreferenced && !file->numbering.manualFrameCounter
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
        file->sinceSeek.skippedUnreferenced = true;
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
    avcodec_send_packet(file->videoCodecContext.get(), nullptr);
    file->decoder.drainedAfterTarget();
    // Should the target not come out after all, the plain way finds it.
    file->sinceSeek.skippedUnreferenced = true;
}

bool VideoEngine::exactNeedsPlainRetry(bool continued, bool reachedAnyFrame)
{
    if (continued && !reachedAnyFrame) {
        // The decoder was at the end: seek like any other request.
        file->decoder.lostTheWay();
        return true;
    }
    // A target past the end yields the last frame, which may be one that was skipped.
    return file->sinceSeek.skippedUnreferenced && settings.skipUnreferenced;
}

VideoEngine::ExactResult VideoEngine::decodeExactPlainly(int64_t frameNumber, int requestId)
{
    const ScopedSetting plainly(settings.skipUnreferenced, false);
    return decodeExact(frameNumber, requestId);
}

bool VideoEngine::repositionForPlayback(int requestId)
{
    if (!file->decoder.playbackMustSeek(hasSound()))
        return true;
    if (isAbandoned(requestId))
        return false;
    // The frame on screen again, as a frame request used to: playback's sound starts there.
    ExactResult result;
    {
        const ScopedSetting withSound(settings.withSound, true);
        result = decodeExact(currentFrame, requestId);
    }
    if (result.abandoned)
        return false;
    if (result.frame && file->fps > 0)
        alignAudioTo(double(currentFrame) / file->fps);
    return true;
}

void VideoEngine::schedulePrefetch()
{
    const std::optional<int64_t> lowest = frameCache.lowest();
    if (!hasVideo() || file->decoder.readBack() != DecoderState::ReadBack::Idle || !lowest || *lowest <= 0
        || frameCache.isOff() || file->fps <= 0)
        return;
    // Within two seconds of the first frame held, and once per first frame (an open GOP
    // may not let the read-back reach below it).
    if (currentFrame - *lowest > std::llround(2 * file->fps) || file->readBackStartedBelow == *lowest)
        return;
    file->readBackStartedBelow = *lowest;
    file->readBackTarget = *lowest - 1;
    file->decoder.readBackScheduled();
    QMetaObject::invokeMethod(this, [this] { prefetchSlice(); }, Qt::QueuedConnection);
}

void VideoEngine::prefetchSlice()
{
    if (!hasVideo() || file->decoder.readBack() == DecoderState::ReadBack::Idle)
        return;
    const int64_t target = file->readBackTarget;
    if (file->decoder.readBack() == DecoderState::ReadBack::Scheduled) {
        // A second's worth before the target: intra-only media land exactly there, long
        // GOPs on their key frame anyway.
        seekDemuxer(std::max<int64_t>(0, target - std::llround(file->fps)), 0);
        resetAfterSeek();
        // The decoder works for the cache now; requests must not take its queue.
        file->decoder.readBackSeeked();
    }
    // A frame or two per slice: a step request never waits for more than that.
    const int64_t sliceEnd = file->numbering.lastNumber >= 0 ? std::min(target, file->numbering.lastNumber + 2) : 0;
    {
        const ScopedSetting readingBack(settings.readBackTarget, target);
        decodeStep(sliceEnd);
    }
    const bool done = file->decodeQueue.isEmpty() || file->decodeQueue.last().frameNumber >= target;
    // The frames are in the cache; the queue is no playback's.
    file->decodeQueue.clear();
    if (done) {
        file->decoder.readBackDone();
        return;
    }
    QMetaObject::invokeMethod(this, [this] { prefetchSlice(); }, Qt::QueuedConnection);
}

void VideoEngine::stopAudioDecoding()
{
    if (audioEngine && !isAudioOnly())
        audioEngine->close();
}
