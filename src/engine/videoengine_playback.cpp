// The playback queue (next-frame requests, priming, preview downscale), audio-only media
// (reading audio up to a time, the fixed picture) and the engine's small audio slots.

#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "core/compat.h"
#include "av/ffmpeg.h"
#include "engine/scopedsetting.h"

#include <QDebug>
#include <QElapsedTimer>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kAudioAheadSec = 0.25;
// A start asking for more sound than this is asking for the file: the output holds less.
constexpr double kMaxStartSoundSec = 2.0;
constexpr double kFallbackFps = 30.0;
constexpr int kPictureWidth = 1280;
constexpr int kPictureHeight = 720;

} // namespace

DecodedFrame VideoEngine::takeQueueFront()
{
    DecodedFrame entry = file->decodeQueue.takeFirst();
    currentFrame = entry.frameNumber;
    frameCache.setCentre(currentFrame);
    if (audioEngine)
        audioEngine->updateLevels(entry.levels, 1.0 / (file->fps > 0 ? file->fps : kFallbackFps));
    return entry;
}

QVideoFrame VideoEngine::convertForPlayback(const AVFrame *frame)
{
    if (!frame)
        return {};
    const bool previewDownscale = file->previewDownscaleEnabled && pixelConverter.conversionProfile() == Standard
        && std::max(frame->width, frame->height) >= 3840;
    return convertForDisplay(frame, previewDownscale);
}

QVideoFrame VideoEngine::stillForPlayback()
{
    if (!hasVideo())
        return {};
    if (file->decodeQueue.isEmpty())
        decodeStep();
    if (file->decodeQueue.isEmpty())
        return {};
    currentFrame = 0;
    return convertForPlayback(file->decodeQueue.first().frame.get());
}

void VideoEngine::requestNextFrameAtOrAfter(int64_t targetFrame, int requestId)
{
    if (isAudioOnly()) {
        currentFrame = std::clamp<int64_t>(targetFrame, 0, std::max<int64_t>(file->totalFrames - 1, 0));
        readAudioUntil(file->fps > 0 ? double(currentFrame) / file->fps + kAudioAheadSec : kAudioAheadSec);
        finishFrameRequest(audioOnlyFrame(), requestId);
        return;
    }
    if (!hasVideo() || file->totalFrames <= 1) {
        finishFrameRequest(stillForPlayback(), requestId);
        return;
    }

    QVideoFrame picture;
    if (!repositionForPlayback(requestId)) {
        finishFrameRequest(picture, requestId);
        return;
    }
    // Behind the clock, decoding ahead only makes frames that will be late as well.
    const bool catchUp = catchesUpWithoutDecoding(targetFrame);
    QElapsedTimer busy;
    busy.start();
    if (catchUp)
        catchUpTo(targetFrame);
    for (;;) {
        if (file->decodeQueue.isEmpty() || (file->stabilizerEnabled && !catchUp))
            decodeStep(catchUp ? targetFrame : -1);
        if (file->decodeQueue.isEmpty()) {
            qWarning().noquote() << "Playback: video queue empty" << "target" << targetFrame << "current"
                                 << currentFrame << "total" << file->totalFrames << "stabilizer"
                                 << file->stabilizerEnabled;
            break;
        }
        // Late frames are dropped unconverted: catching up costs decoding only.
        const DecodedFrame entry = takeQueueFront();
        if (entry.frameNumber >= targetFrame) {
            picture = convertForPlayback(entry.frame.get());
            break;
        }
    }
    if (catchUp)
        noteCatchUpRequest(busy.nsecsElapsed() / 1000);
    finishFrameRequest(picture, requestId);
}

void VideoEngine::requestPlaybackStart(int64_t frameNumber, double soundSeconds, int requestId)
{
    if (isAbandoned(requestId) || !(isAudioOnly() || (hasVideo() && frameNumber >= 0))) {
        requestFrame(frameNumber, requestId);
        return;
    }
    const double lead = std::clamp(soundSeconds, 0.0, kMaxStartSoundSec);
    if (isAudioOnly()) {
        positionAudioOnly(frameNumber);
        if (file->fps > 0)
            readAudioUntil(double(currentFrame) / file->fps + lead);
        finishFrameRequest(audioOnlyFrame(), requestId);
        return;
    }
    QVideoFrame picture;
    {
        const ScopedSetting withSound(settings.withSound, hasSound());
        picture = exactPicture(frameNumber, requestId);
    }
    if (picture.isValid() && hasSound() && file->totalFrames > 1 && file->fps > 0) {
        const double until = double(currentFrame) / file->fps + lead;
        const File::SinceSeek &run = file->sinceSeek;
        while (run.soundReadSec < until && run.heldVideo.size() < maxHeldPackets() && readPacketHoldingVideo()) {
        }
    }
    finishFrameRequest(picture, requestId);
}

void VideoEngine::primePlaybackQueue(int64_t frameNumber, int requestId)
{
    if (!hasVideo() || !file->primingEnabled || file->totalFrames < 2 || !(file->fps > 0) || isAbandoned(requestId))
        return;

    const int64_t target = std::clamp<int64_t>(frameNumber, 0, file->totalFrames - 1);
    const double targetSec = double(target) / file->fps;
    if (seekDemuxer(target, 0) < 0) {
        qWarning().noquote() << "Playback stabilizer failed to seek for priming at frame" << target;
        return;
    }
    resetAfterSeek();

    int64_t lastSeekTs = decodeplan::seekTimestamp(target, videoClock());
    int reseekAttempt = 0;
    bool firstAfterSeek = true;
    const int64_t limit = std::max<int64_t>(300, int64_t(std::ceil(10.0 * file->fps)));
    for (int64_t i = 0; i < limit; ++i) {
        if (isAbandoned(requestId)) {
            file->decodeQueue.clear();
            return;
        }
        if (file->decodeQueue.isEmpty()) {
            decodeStep();
            if (file->decodeQueue.isEmpty())
                break;
        }
        const int64_t front = file->decodeQueue.first().frameNumber;
        if (firstAfterSeek) {
            firstAfterSeek = false;
            if (front > target && reseekEarlier(target, reseekAttempt, lastSeekTs)) {
                firstAfterSeek = true;
                continue;
            }
        }
        if (front >= target)
            break;
        file->decodeQueue.removeFirst();
    }

    decodeStep();
    currentFrame = target;
    alignAudioTo(targetSec);
    qDebug().noquote() << "Playback stabilizer primed at frame" << target << "queue" << file->decodeQueue.size();
}

void VideoEngine::setAudioRouting(int chL, int chR)
{
    if (audioEngine)
        audioEngine->setRouting(chL, chR);
}

void VideoEngine::clearAudioQueue()
{
    if (audioEngine)
        audioEngine->reset();
}

// --- audio-only media -------------------------------------------------------------------

void VideoEngine::readAudioUntil(double seconds, bool capAtDuration)
{
    if (!file->formatContext || !audioEngine || file->audioReadExhausted)
        return;
    if (capAtDuration && file->videoDurationSec > 0)
        seconds = std::min(seconds, file->videoDurationSec);
    if (file->audioReadPositionSec >= seconds)
        return;

    av::PacketPtr packet = av::makePacket();
    if (!packet)
        return;
    while (file->audioReadPositionSec < seconds) {
        if (av_read_frame(file->formatContext.get(), packet.get()) < 0) {
            file->audioReadExhausted = true;
            audioEngine->finishStreams(file->formatContext.get());
            break;
        }
        const int index = packet->stream_index;
        if (audioEngine->hasDecoderFor(index) && unsigned(index) < file->formatContext->nb_streams) {
            const AVStream *stream = file->formatContext->streams[index];
            const double timeBase = av_q2d(stream->time_base);
            double start = file->audioReadPositionSec;
            if (packet->pts != AV_NOPTS_VALUE)
                start = double(packet->pts) * timeBase - file->videoStartSec;
            else if (packet->dts != AV_NOPTS_VALUE)
                start = double(packet->dts) * timeBase - file->videoStartSec;
            double length = 0.02;
            if (packet->duration >= 1 && double(packet->duration) * timeBase > 0)
                length = double(packet->duration) * timeBase;
            else if (audioEngine->sampleRate() > 0)
                length = 1024.0 / audioEngine->sampleRate();
            else if (stream->codecpar->sample_rate > 0)
                length = 1024.0 / stream->codecpar->sample_rate;
            audioEngine->decodePacket(packet.get(), file->formatContext.get());
            file->audioReadPositionSec = std::max(file->audioReadPositionSec, start + length);
        }
        av_packet_unref(packet.get());
    }
}

void VideoEngine::positionAudioOnly(int64_t frameNumber)
{
    if (file->formatContext && file->audioStreamIndex >= 0 && file->fps > 0 && audioEngine) {
        const int64_t frame = std::clamp<int64_t>(frameNumber, 0, std::max<int64_t>(file->totalFrames - 1, 0));
        double position = double(frame) / file->fps;
        if (file->videoDurationSec > 0)
            position = std::min(position, file->videoDurationSec);
        const AVStream *stream = file->formatContext->streams[file->audioStreamIndex];
        const int64_t ts = std::llround((position + file->videoStartSec) / av_q2d(stream->time_base));
        av_seek_frame(file->formatContext.get(), file->audioStreamIndex, ts, AVSEEK_FLAG_BACKWARD);
        audioEngine->reset();
        file->decodeQueue.clear();
        file->audioReadExhausted = false;
        file->audioReadPositionSec = position;
        currentFrame = frame;
    }
    double now = file->fps > 0 ? double(currentFrame) / file->fps : 0.0;
    if (file->videoDurationSec > 0)
        now = std::min(now, file->videoDurationSec);
    readAudioUntil(now + kAudioAheadSec);
    alignAudioTo(now);
}

void VideoEngine::refreshAudioOnlyLevels()
{
    if (!audioEngine)
        return;
    const QList<float> peaks = audioEngine->takePeaks();
    QList<float> snapshot(audioEngine->channelCount(), levels::kFloorDb);
    // Quieter peaks than the floor stay apart from silence in the list.
    for (qsizetype i = 0; i < std::min(peaks.size(), snapshot.size()); ++i)
        snapshot[i] = levels::linearToDbfs(peaks[i], levels::kFloorDb, 0.000001f);
    audioEngine->updateLevels(snapshot, 1.0 / (file->fps > 0 ? file->fps : kFallbackFps));
    audioEngine->setLastSnapshot(snapshot);
}

QImage VideoEngine::audioOnlyImage()
{
    if (audioOnlyPicture.isNull()) {
        const QImage loaded(QStringLiteral(":/AudioOnly.png"));
        if (loaded.isNull()) {
            audioOnlyPicture = QImage(kPictureWidth, kPictureHeight, QImage::Format_ARGB32);
            audioOnlyPicture.fill(Qt::black);
        } else {
            audioOnlyPicture = loaded.format() == QImage::Format_ARGB32
                ? loaded
                : loaded.convertToFormat(QImage::Format_ARGB32);
        }
    }
    return audioOnlyPicture;
}

QVideoFrame VideoEngine::audioOnlyFrame()
{
    return compat::videoFrameFromImage(audioOnlyImage());
}
