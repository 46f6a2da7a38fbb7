// Forward 1x when the picture has fallen behind the clock, on media whose frames each
// decode on their own (ProRes, DNxHD, Motion JPEG ...). Decoding every late frame only
// to drop it would hold the sound back with the pictures: the demuxer reads at the pace
// of the video decoder, and the sound of a file too heavy for the machine would reach the
// output too late to play unbroken. Here the sound is read ahead at once, the video
// packets read with it are held back undecoded, and only frames still due are decoded.

#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "av/ffmpeg.h"

#include <QDebug>

#include <algorithm>
#include <cmath>

namespace {

// Sound read beyond the clock: covers a slow decode and conversion or two.
constexpr double kSoundLeadSec = 0.6;
// Held packets stay bounded however sparsely the file interleaves its sound.
constexpr double kMaxHeldSec = 3.0;
// Catching up ends when a second's worth of requests took on average less than this share
// of a frame period each: then decoding ahead pays again.
constexpr double kJudgeSec = 1.0;
constexpr double kKeepingUpShare = 0.5;

} // namespace

bool VideoEngine::catchesUpWithoutDecoding(int64_t targetFrame)
{
    if (!canHoldVideo())
        return false;
    File::SinceSeek &run = file->sinceSeek;
    if (targetFrame - currentFrame > decodeplan::catchUpDistance(file->fps)) {
        if (!run.catchingUp)
            qDebug().noquote() << "Playback: behind the clock at frame" << currentFrame << "- decoding only frames still due";
        run.catchingUp = true;
        run.catchUpRequests = 0;
        run.catchUpBusyUSecs = 0;
    }
    return run.catchingUp;
}

void VideoEngine::noteCatchUpRequest(int64_t busyUSecs)
{
    // Judged on time rather than on the steps asked for: a picture a frame or two behind
    // is asked for one frame at a time whether or not the machine keeps up.
    File::SinceSeek &run = file->sinceSeek;
    run.catchUpBusyUSecs += busyUSecs;
    if (++run.catchUpRequests < int(std::ceil(file->fps * kJudgeSec)))
        return;
    const double average = double(run.catchUpBusyUSecs) / run.catchUpRequests;
    if (average < kKeepingUpShare * 1.0e6 / file->fps) {
        qDebug().noquote() << "Playback: keeping up again at frame" << currentFrame;
        run.catchingUp = false;
    }
    run.catchUpRequests = 0;
    run.catchUpBusyUSecs = 0;
}

bool VideoEngine::canHoldVideo() const
{
    return file->intraOnlyVideo && !file->sequence && !file->numbering.manualFrameCounter && file->totalFrames > 1 && file->fps > 0;
}

size_t VideoEngine::maxHeldPackets() const
{
    return size_t(std::max(8.0, std::ceil(file->fps * kMaxHeldSec)));
}

void VideoEngine::holdVideoPacket(av::PacketPtr packet)
{
    std::deque<HeldPacket> &held = file->sinceSeek.heldVideo;
    const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    const int64_t number = ts != AV_NOPTS_VALUE ? decodeplan::frameNumberFromTimestamp(ts, videoClock())
        : held.empty()                          ? currentFrame + 1
                                                : held.back().frameNumber + 1;
    held.push_back({std::move(packet), number});
}

void VideoEngine::sendHeldVideoPacket()
{
    std::deque<HeldPacket> &held = file->sinceSeek.heldVideo;
    av::PacketPtr packet = std::move(held.front().packet);
    held.pop_front();
    // A packet the decoder rejects is skipped; the next one may decode.
    avcodec_send_packet(file->videoCodecContext.get(), packet.get());
}

bool VideoEngine::readPacketHoldingVideo()
{
    AVFormatContext *format = file->formatContext.get();
    av::PacketPtr packet = av::makePacket();
    // The end of the file and interruptions are left to the decode step that follows.
    if (!packet || readPacket(packet.get()) < 0)
        return false;
    const int index = packet->stream_index;
    if (index == file->videoStreamIndex) {
        holdVideoPacket(std::move(packet));
    } else if (hasSound() && audioEngine->hasDecoderFor(index) && unsigned(index) < format->nb_streams) {
        const double timeBase = av_q2d(format->streams[index]->time_base);
        const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        File::SinceSeek &run = file->sinceSeek;
        if (ts != AV_NOPTS_VALUE)
            run.soundReadSec = std::max(run.soundReadSec, double(ts + std::max<int64_t>(packet->duration, 0)) * timeBase
                                                              - file->videoStartSec);
        audioEngine->decodePacket(packet.get(), format);
    }
    return true;
}

void VideoEngine::readAheadHoldingVideo(int64_t targetFrame)
{
    const QList<DecodedFrame> &queue = file->decodeQueue;
    File::SinceSeek &run = file->sinceSeek;
    const bool hasAudio = hasSound();
    const double fps = file->fps;
    // The target may trail the clock by up to the catch-up distance; the lead counts
    // from the clock.
    const double wantedSec =
        double(targetFrame + decodeplan::catchUpDistance(fps)) / fps + (hasAudio ? kSoundLeadSec : 0.0);
    const size_t maxHeld = maxHeldPackets();
    const auto videoReady = [&] {
        return (!queue.isEmpty() && queue.last().frameNumber >= targetFrame)
            || (!run.heldVideo.empty() && run.heldVideo.back().frameNumber >= targetFrame);
    };
    while (!(videoReady() && (!hasAudio || run.soundReadSec >= wantedSec)) && run.heldVideo.size() < maxHeld) {
        if (!readPacketHoldingVideo())
            return;
    }
}

void VideoEngine::catchUpTo(int64_t targetFrame)
{
    QList<DecodedFrame> &queue = file->decodeQueue;
    std::deque<HeldPacket> &held = file->sinceSeek.heldVideo;
    // Decoded frames already late leave unconverted, as on the queue's own path.
    while (!queue.isEmpty() && queue.first().frameNumber < targetFrame)
        takeQueueFront();
    readAheadHoldingVideo(targetFrame);
    if (!queue.isEmpty())
        return;

    // Late packets leave undecoded.
    while (!held.empty() && held.front().frameNumber < targetFrame) {
        held.pop_front();
        ++counters.framesSkipped;
    }
    av::FramePtr work = av::makeFrame();
    if (!work)
        return;
    AVCodecContext *decoder = file->videoCodecContext.get();
    while (queue.isEmpty() && !held.empty()) {
        sendHeldVideoPacket();
        while (avcodec_receive_frame(decoder, work.get()) >= 0)
            queueDecodedFrame(work.get());
        // Frames still in the decoder's threads from before are late too.
        while (!queue.isEmpty() && queue.first().frameNumber < targetFrame)
            takeQueueFront();
    }
}
