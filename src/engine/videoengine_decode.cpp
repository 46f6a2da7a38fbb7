// Frame decoding and frame-exact seeking: the decode step that fills decodeQueue, frame
// numbering, the seek (with the re-seek for open GOPs), requestFrame, decodeFrameAt, request
// ids, and the engine side of the pixel conversion.

#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "av/ffmpeg.h"
#include "engine/scopedsetting.h"
#include "engine/slate.h"

#include <QDebug>
#include <QGuiApplication>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kFadeSeconds = 0.02;

bool isBigPicture(const AVCodecContext *context)
{
    return std::max(context->width, context->height) >= 3840;
}

} // namespace

bool VideoEngine::isAbandoned(int requestId) const
{
    return requestId > 0 && requestId < latestRequestId.load(std::memory_order_acquire);
}

void VideoEngine::abortCurrentTask(int latestId)
{
    latestRequestId.exchange(latestId, std::memory_order_acq_rel);
}

decodeplan::StreamClock VideoEngine::videoClock() const
{
    decodeplan::StreamClock clock;
    if (!file)
        return clock;
    clock.fps = file->fps;
    clock.frameCount = file->totalFrames;
    if (file->formatContext && file->videoStreamIndex >= 0
        && unsigned(file->videoStreamIndex) < file->formatContext->nb_streams) {
        const AVStream *stream = file->formatContext->streams[file->videoStreamIndex];
        clock.timeBaseNum = stream->time_base.num;
        clock.timeBaseDen = stream->time_base.den;
        if (stream->start_time != AV_NOPTS_VALUE)
            clock.startTime = stream->start_time;
    }
    return clock;
}

QList<int64_t> VideoEngine::queuedFrameNumbers() const
{
    QList<int64_t> numbers;
    if (!file)
        return numbers;
    numbers.reserve(file->decodeQueue.size());
    for (const DecodedFrame &entry : file->decodeQueue)
        numbers.append(entry.frameNumber);
    return numbers;
}

// Levels to remember with a frame: fresh peaks when audio arrived since the last frame,
// otherwise the previous snapshot, so a frame always carries the sound around it.
QList<float> VideoEngine::levelSnapshot()
{
    if (!audioEngine)
        return {};
    if (!audioEngine->hasNewAudio())
        return audioEngine->lastSnapshot();
    const QList<float> peaks = audioEngine->takePeaks();
    QList<float> snapshot(audioEngine->channelCount(), levels::kFloorDb);
    // Quieter peaks than the floor stay apart from silence in the list.
    for (qsizetype i = 0; i < std::min(peaks.size(), snapshot.size()); ++i)
        snapshot[i] = levels::linearToDbfs(peaks[i], levels::kFloorDb, 0.000001f);
    audioEngine->setLastSnapshot(snapshot);
    audioEngine->setHasNewAudio(false);
    return snapshot;
}

void VideoEngine::queueDecodedFrame(AVFrame *frame)
{
    ++counters.framesDecoded;
    const std::optional<int64_t> timestamp = frame->best_effort_timestamp != AV_NOPTS_VALUE
        ? std::optional<int64_t>(frame->best_effort_timestamp)
        : std::nullopt;
    const decodeplan::NumberedFrame numbered = decodeplan::numberFrame(file->numbering, timestamp, videoClock());
    if (numbered.stallDetected)
        qDebug().noquote() << "Stalled timestamp detected after 30 frames. Switching to manual counter.";
    if (numbered.jumpDetected)
        qDebug().noquote() << "Timestamp outside the file at frame" << numbered.number << "- counting frames instead";
    offerToCache(frame, numbered.number);

    // The queue takes over the decoder's reference; no pixels are copied.
    av::FramePtr owned = av::makeFrame();
    if (!owned) {
        av_frame_unref(frame);
        return;
    }
    av_frame_move_ref(owned.get(), frame);
    file->decodeQueue.append(DecodedFrame(std::move(owned), numbered.number, levelSnapshot()));
}

void VideoEngine::decodeStep(int64_t stopAtFrame)
{
    if (!hasVideo() || !file->decoder.decodes())
        return;

    const bool hasAudio = audioEngine && audioEngine->channelCount() > 0;
    const decodeplan::QueueTargets targets =
        decodeplan::queueTargets(file->stabilizerEnabled, isBigPicture(file->videoCodecContext.get()), file->fps, hasAudio);

    const auto wantsMore = [&] {
        const qsizetype depth = file->decodeQueue.size();
        if (stopAtFrame >= 0) {
            // Seek phase: only as far as the target, in bites of the minimum depth so
            // that an abandoned request is noticed between them.
            return depth < targets.minimumDepth
                && (file->decodeQueue.isEmpty() || file->decodeQueue.last().frameNumber < stopAtFrame);
        }
        // Frames read ahead count whether decoded or held as packets.
        const qsizetype ahead = depth + qsizetype(file->sinceSeek.heldVideo.size());
        return depth < targets.minimumDepth
            || (hasAudio && ahead < targets.maximumDepth && audioEngine->queuedSeconds() < targets.audioLeadSec);
    };
    // Beyond the minimum depth only the sound is short: frames that decode on their own
    // wait as packets until a picture is wanted, so the sound never waits for the decoder.
    const auto picturesWanted = [&] { return file->decodeQueue.size() < targets.minimumDepth; };
    if (!wantsMore())
        return;

    av::PacketPtr packet = av::makePacket();
    av::FramePtr work = av::makeFrame();
    if (!packet || !work)
        return;

    AVCodecContext *decoder = file->videoCodecContext.get();
    while (wantsMore()) {
        const bool pictures = picturesWanted();
        if (pictures && !file->sinceSeek.heldVideo.empty()) {
            // Packets held back come before anything unread.
            sendHeldVideoPacket();
            while (avcodec_receive_frame(decoder, work.get()) >= 0)
                queueDecodedFrame(work.get());
            continue;
        }
        bool end = false;
        const int readResult = readPacket(packet.get());
        // Interrupted (shutdown or abandoned request): not the end of the file, so the
        // decoder is not drained; the next request seeks anyway.
        if (readResult == AVERROR_EXIT)
            break;
        if (readResult < 0) {
            end = true;
            // A drained decoder answers AVERROR_EOF; harmless on every later step. Held
            // packets go in first, at a later step.
            if (file->sinceSeek.heldVideo.empty())
                avcodec_send_packet(decoder, nullptr);
            if (audioEngine)
                audioEngine->finishStreams(file->formatContext.get());
        } else {
            // Once packets wait, every later one waits behind them: the decoder takes them in
            // stream order, whatever the codec.
            if (packet->stream_index == file->videoStreamIndex && !pictures
                && (canHoldVideo() || !file->sinceSeek.heldVideo.empty())) {
                holdVideoPacket(std::move(packet));
                packet = av::makePacket();
                if (!packet)
                    break;
                continue;
            }
            if (packet->stream_index == file->videoStreamIndex) {
                const bool targetIn = chooseDiscard(packet.get(), stopAtFrame);
                sendVideoPacket(packet.get());
                if (targetIn) {
                    drainForTarget();
                    end = true;
                }
            } else if (audioEngine && audioEngine->hasDecoderFor(packet->stream_index)) {
                audioEngine->decodePacket(packet.get(), file->formatContext.get());
            }
            av_packet_unref(packet.get());
        }
        while (avcodec_receive_frame(decoder, work.get()) >= 0)
            queueDecodedFrame(work.get());
        if (end)
            break;
    }
}

int VideoEngine::readPacket(AVPacket *packet)
{
    if (!file->sequence)
        return av_read_frame(file->formatContext.get(), packet);
    File::SequenceReading &reading = *file->sequence;
    if (reading.nextIndex >= reading.files.frameCount())
        return AVERROR_EOF;
    if (readInterrupter.shouldInterrupt())
        return AVERROR_EXIT;
    av_packet_unref(packet);
    const int64_t index = reading.nextIndex++;
    // The picture (or why there is none) waits by its index; the packet only carries the
    // index through the decode step, flagged so that no decoder ever sees it.
    reading.taken[index] = reading.reader->take(index, file->videoCodecContext.get());
    if (av_new_packet(packet, 1) < 0)
        return AVERROR(ENOMEM);
    packet->flags |= AV_PKT_FLAG_DISCARD;
    // The stream's time base is one frame (image2 at the sequence's rate).
    packet->pts = packet->dts = index;
    packet->duration = 1;
    packet->stream_index = file->videoStreamIndex;
    return 0;
}

void VideoEngine::sendVideoPacket(AVPacket *packet)
{
    AVCodecContext *decoder = file->videoCodecContext.get();
    if (!file->sequence) {
        // A packet the decoder rejects is skipped; the next one may decode.
        avcodec_send_packet(decoder, packet);
        return;
    }
    const int64_t index = packet->pts;
    File::SequenceReading &reading = *file->sequence;
    const auto taken = reading.taken.find(index);
    if (taken == reading.taken.end()) {
        queueSlate(index, QStringLiteral("cannot read"));
        return;
    }
    const SequenceReader::Picture picture = std::move(taken->second);
    reading.taken.erase(taken);
    if (picture.frame)
        queueDecodedFrame(picture.frame.get());
    else
        queueSlate(index, picture.failure);
}

void VideoEngine::queueSlate(int64_t index, const QString &reason)
{
    const AVCodecContext *decoder = file->videoCodecContext.get();
    av::FramePtr picture = slate::make(decoder->width, decoder->height, file->sequence->files.first() + index, reason);
    if (!picture)
        return;
    picture->pts = picture->best_effort_timestamp = index;
    queueDecodedFrame(picture.get());
}

int VideoEngine::seekDemuxer(int64_t frameNumber, double secondsEarlier)
{
    ++counters.seeks;
    if (file->sequence) {
        // Every file is a picture of its own: reading starts at the one wanted.
        const int64_t earlier = int64_t(std::ceil(std::max(secondsEarlier, 0.0) * file->fps));
        file->sequence->nextIndex = std::clamp<int64_t>(frameNumber - earlier, 0, file->totalFrames);
        return 0;
    }
    // An interrupted read (an abandoned request) leaves its error on the input, and the
    // input hands it to a later read once its buffer runs dry: the next request would stop
    // short as if the file ended there. A seek starts reading afresh.
    if (AVIOContext *input = file->formatContext->pb) {
        input->error = 0;
        input->eof_reached = 0;
    }
    // Counted frames are numbered from the head of the file, so that is where they are sought.
    const int64_t ts = file->numbering.manualFrameCounter
        ? decodeplan::seekTimestamp(0, videoClock())
        : decodeplan::seekTimestamp(frameNumber, videoClock(), secondsEarlier);
    return av_seek_frame(file->formatContext.get(), file->videoStreamIndex, ts, AVSEEK_FLAG_BACKWARD);
}

void VideoEngine::resetAfterSeek()
{
    avcodec_flush_buffers(file->videoCodecContext.get());
    if (audioEngine)
        audioEngine->reset();
    file->decodeQueue.clear();
    if (file->sequence)
        file->sequence->taken.clear();
    file->sinceSeek = {};
    file->numbering.framesDecodedSinceSeek = 0;
    file->numbering.lastNumber = -1;
    file->decoder.seeked();
    frameCache.startRun();
}

bool VideoEngine::reseekEarlier(int64_t target, int &attempt, int64_t &lastSeekTs)
{
    const std::optional<double> backoff = decodeplan::reseekBackoffSec(++attempt);
    if (!backoff)
        return false;
    const int64_t ts = decodeplan::seekTimestamp(target, videoClock(), *backoff);
    // Already at the head of the stream: an earlier start does not exist.
    if (ts >= lastSeekTs)
        return false;
    lastSeekTs = ts;
    qDebug().noquote() << "Seek landed past frame" << target << "- seeking again" << *backoff << "sec earlier";
    ++counters.reseeks;
    // Some demuxers refuse a target before their first index entry; the head will do.
    if (seekDemuxer(target, *backoff) < 0 && ts < decodeplan::seekTimestamp(0, videoClock()))
        seekDemuxer(0, 0);
    resetAfterSeek();
    return true;
}

VideoEngine::ExactResult VideoEngine::decodeExact(int64_t frameNumber, int requestId)
{
    // Blocking reads for this request give up once a newer id is announced.
    struct ActiveRequest {
        mediachecks::ReadInterrupter &interrupter;
        ~ActiveRequest() { interrupter.setActiveRequest(0); }
    } active{readInterrupter};
    readInterrupter.setActiveRequest(requestId);
    ExactResult result;
    const bool seekable = file->totalFrames > 1;
    if (seekable && takeFromCache(frameNumber, result))
        return result;
    const bool continues = seekable && continueWithoutSeek(frameNumber);
    // Past the end, seek for the last frame: a seek beyond it (or a re-seek from there)
    // can find nothing to decode. Decoding still runs forward to the real target.
    const int64_t seekTarget = std::min(frameNumber, file->totalFrames - 1);
    if (seekable && !continues) {
        prepareCacheForSeek(frameNumber);
        seekDemuxer(seekTarget, 0);
        resetAfterSeek();
    } else if (!seekable && !file->decodeQueue.isEmpty()) {
        // A single-frame file keeps its one frame: no re-decode.
        currentFrame = 0;
        result.frame = av::cloneFrame(file->decodeQueue.first().frame.get());
        return result;
    }

    int64_t lastSeekTs = decodeplan::seekTimestamp(seekTarget, videoClock());
    int reseekAttempt = 0;
    bool firstAfterSeek = seekable && !continues;
    av::FramePtr lastSeen; // so that a target beyond the end yields the last decodable frame
    for (;;) {
        if (isAbandoned(requestId)) {
            result.abandoned = true;
            return result;
        }
        if (file->decodeQueue.isEmpty()) {
            decodeStep(seekable ? frameNumber : -1);
            if (file->decodeQueue.isEmpty()) {
                // An interrupted read leaves the queue empty too; that is no end of file.
                if (isAbandoned(requestId)) {
                    result.abandoned = true;
                    return result;
                }
                // Near the end of a stream that seeks by decode time (MPEG-TS/PS) the seek
                // can land after the last key frame whose pictures still follow: nothing
                // decodes, so go back as for an open GOP.
                if (firstAfterSeek && reseekEarlier(seekTarget, reseekAttempt, lastSeekTs))
                    continue;
                break;
            }
        }
        if (!seekable) {
            currentFrame = 0;
            result.frame = av::cloneFrame(file->decodeQueue.first().frame.get());
            return result;
        }
        DecodedFrame entry = file->decodeQueue.takeFirst();
        if (firstAfterSeek) {
            firstAfterSeek = false;
            // Open GOP: the seek landed on a key frame whose leading frames (the target
            // among them) can only be decoded from the key frame before it.
            if (entry.frameNumber > frameNumber && reseekEarlier(seekTarget, reseekAttempt, lastSeekTs)) {
                firstAfterSeek = true;
                continue;
            }
        }
        currentFrame = entry.frameNumber;
        if (entry.frameNumber >= frameNumber) {
            result.frame = std::move(entry.frame);
            return result;
        }
        lastSeen = std::move(entry.frame);
    }
    if (exactNeedsPlainRetry(continues, bool(lastSeen)))
        return decodeExactPlainly(frameNumber, requestId);
    result.frame = std::move(lastSeen);
    return result;
}

av::FramePtr VideoEngine::decodeFrameAt(int64_t frameNumber, int requestId)
{
    if (!hasVideo() || frameNumber < 0 || isAbandoned(requestId))
        return {};
    ExactResult result = decodeExact(frameNumber, requestId);
    if (result.abandoned)
        return {};
    return std::move(result.frame);
}

ConversionSource VideoEngine::conversionSource() const
{
    ConversionSource source;
    source.exposureStops = exposureStops;
    if (!file)
        return source;
    if (file->videoCodecContext) {
        source.codecId = file->videoCodecContext->codec_id;
        source.codecProfile = file->videoCodecContext->profile;
    }
    source.rangeOverride = file->rangeOverride;
    return source;
}

QVideoFrame VideoEngine::convertForDisplay(const AVFrame *frame, bool previewDownscale)
{
    if (!frame)
        return {};
    ++counters.framesConverted;
    shownFrame = av::cloneFrame(frame);
    shownFrameNumber = currentFrame;
    return pixelConverter.toVideoFrame(frame, conversionSource(), previewDownscale);
}

void VideoEngine::alignAudioTo(double seconds)
{
    if (dropAudioAheadOfPicture())
        return;
    if (audioEngine && audioEngine->sampleRate() > 0)
        audioEngine->alignTo(seconds, int(audioEngine->sampleRate() * kFadeSeconds));
}

void VideoEngine::finishFrameRequest(QVideoFrame frame, int requestId)
{
    const QByteArray audio = audioEngine ? audioEngine->drainStereo() : QByteArray();
    if (isAudioOnly())
        refreshAudioOnlyLevels();
    const QList<float> levels = audioEngine ? audioEngine->meterLevels() : QList<float>();
    const QList<float> peaks = audioEngine ? audioEngine->meterPeaks() : QList<float>();
    emit frameReady(frame, currentFrame, levels, peaks, audio, requestId);
}

void VideoEngine::requestFrame(int64_t frameNumber, int requestId)
{
    // The answer brings the sound from this frame on, which forward playback starts with.
    // A frame from the cache, or one decoded on without a seek, has none where the picture
    // is, so with sound to deliver this request seeks as for a picture not held.
    const ScopedSetting withSound(settings.withSound, !isAudioOnly() && hasSound());
    requestFrameSilently(frameNumber, requestId);
}

void VideoEngine::requestFrameSilently(int64_t frameNumber, int requestId)
{
    if (isAbandoned(requestId)) {
        finishFrameRequest(QVideoFrame(), requestId);
        return;
    }
    if (isAudioOnly()) {
        positionAudioOnly(frameNumber);
        finishFrameRequest(audioOnlyFrame(), requestId);
        return;
    }
    if (!hasVideo() || frameNumber < 0) {
        finishFrameRequest(QVideoFrame(), requestId);
        return;
    }

    finishFrameRequest(exactPicture(frameNumber, requestId), requestId);
}

QVideoFrame VideoEngine::exactPicture(int64_t frameNumber, int requestId)
{
    ExactResult result = decodeExact(frameNumber, requestId);
    QVideoFrame picture;
    if (!result.abandoned && result.frame) {
        picture = convertForDisplay(result.frame.get());
        if (picture.isValid() && file->totalFrames > 1 && file->fps > 0)
            alignAudioTo(double(currentFrame) / file->fps);
    }
    return picture;
}

void VideoEngine::setConversionProfile(ConversionProfile profile)
{
    // The converter keeps its context when the profile does not change.
    pixelConverter.setConversionProfile(profile);
}

void VideoEngine::setExposure(double stops)
{
    exposureStops = stops;
    // The inspector's converted picture was made at the old exposure.
    if (file)
        file->inspector.clear();
}

QImage VideoEngine::getFrameAsImage(int64_t frameNumber)
{
    if (isAudioOnly()) {
        positionAudioOnly(frameNumber);
        return audioOnlyImage();
    }
    const av::FramePtr frame = decodeFrameAt(frameNumber, -1);
    if (!frame)
        return {};
    // The seek reset the audio; line it up with the frame as a frame request would.
    if (file->totalFrames > 1 && file->fps > 0)
        alignAudioTo(double(currentFrame) / file->fps);
    return exportImage(frame.get());
}

QImage VideoEngine::exportImage(const AVFrame *frame)
{
    if (!frame)
        return {};
    // The viewer's conversion, written straight into the image: no toolkit conversion.
    ++counters.framesConverted;
    return pixelConverter.toImage(frame, conversionSource());
}
