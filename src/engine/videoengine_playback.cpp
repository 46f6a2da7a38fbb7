// The playback queue (next-frame requests, priming, preview downscale), audio-only media
// (reading audio up to a time, the fixed picture with its stereo trace) and the engine's
// small audio slots.

#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "core/compat.h"
#include "av/ffmpeg.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kAudioAheadSec = 0.25;
constexpr double kFallbackFps = 30.0;
constexpr int kPictureWidth = 1280;
constexpr int kPictureHeight = 720;
constexpr int kTracePoints = 2400;
constexpr int kTraceHoldRequests = 6;

} // namespace

DecodedFrame VideoEngine::takeQueueFront()
{
    DecodedFrame entry = decodeQueue.takeFirst();
    currentFrame = entry.frameNumber;
    frameCache.setCentre(currentFrame);
    if (audioEngine)
        audioEngine->updateLevels(entry.levels, 1.0 / (fps > 0 ? fps : kFallbackFps));
    return entry;
}

QVideoFrame VideoEngine::convertForPlayback(const AVFrame *frame)
{
    if (!frame)
        return {};
    const bool before = previewDownscaleActive;
    previewDownscaleActive = previewDownscaleEnabled && pixelConverter.conversionProfile() == Standard
        && std::max(frame->width, frame->height) >= 3840;
    QVideoFrame picture = convertForDisplay(frame);
    previewDownscaleActive = before;
    return picture;
}

void VideoEngine::requestNextFrame(int requestId)
{
    if (audioOnly) {
        currentFrame = std::min(currentFrame + 1, std::max<int64_t>(totalFrames - 1, 0));
        readAudioUntil(fps > 0 ? double(currentFrame) / fps + kAudioAheadSec : kAudioAheadSec);
        finishFrameRequest(audioOnlyFrame(QByteArray()), requestId);
        return;
    }

    QVideoFrame picture;
    if (totalFrames > 1 && !repositionForPlayback(requestId)) {
        finishFrameRequest(picture, requestId);
        return;
    }
    if (formatContext && videoCodecContext) {
        if (totalFrames > 1) {
            decodeStep();
            if (!decodeQueue.isEmpty()) {
                const DecodedFrame entry = takeQueueFront();
                picture = convertForPlayback(entry.frame.get());
            }
        } else {
            if (decodeQueue.isEmpty())
                decodeStep();
            if (!decodeQueue.isEmpty()) {
                currentFrame = 0;
                picture = convertForPlayback(decodeQueue.first().frame.get());
            }
        }
    }
    finishFrameRequest(picture, requestId);
}

void VideoEngine::requestNextFrameAtOrAfter(int64_t targetFrame, int requestId)
{
    if (audioOnly) {
        currentFrame = std::clamp<int64_t>(targetFrame, 0, std::max<int64_t>(totalFrames - 1, 0));
        readAudioUntil(fps > 0 ? double(currentFrame) / fps + kAudioAheadSec : kAudioAheadSec);
        finishFrameRequest(audioOnlyFrame(QByteArray()), requestId);
        return;
    }
    if (totalFrames <= 1) {
        requestNextFrame(requestId);
        return;
    }

    QVideoFrame picture;
    if (!repositionForPlayback(requestId)) {
        finishFrameRequest(picture, requestId);
        return;
    }
    if (formatContext && videoCodecContext) {
        // Behind the clock, decoding ahead only makes frames that will be late as well.
        const bool catchUp = catchesUpWithoutDecoding(targetFrame);
        QElapsedTimer busy;
        busy.start();
        if (catchUp)
            catchUpTo(targetFrame);
        for (;;) {
            if (decodeQueue.isEmpty() || (stabilizerEnabled && !catchUp))
                decodeStep(catchUp ? targetFrame : -1);
            if (decodeQueue.isEmpty()) {
                qWarning().noquote() << "Playback: video queue empty" << "target" << targetFrame << "current"
                                     << currentFrame << "total" << totalFrames << "stabilizer"
                                     << stabilizerEnabled;
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
    }
    finishFrameRequest(picture, requestId);
}

void VideoEngine::primePlaybackQueue(int64_t frameNumber, int requestId)
{
    if (!primingEnabled || audioOnly || !formatContext || !videoCodecContext || totalFrames < 2 || !(fps > 0)
        || isAbandoned(requestId))
        return;

    const int64_t target = std::clamp<int64_t>(frameNumber, 0, totalFrames - 1);
    const double targetSec = double(target) / fps;
    if (seekDemuxer(target, 0) < 0) {
        qWarning().noquote() << "Playback stabilizer failed to seek for priming at frame" << target;
        return;
    }
    resetAfterSeek();

    int64_t lastSeekTs = decodeplan::seekTimestamp(target, videoClock());
    int reseekAttempt = 0;
    bool firstAfterSeek = true;
    const int64_t limit = std::max<int64_t>(300, int64_t(std::ceil(10.0 * fps)));
    for (int64_t i = 0; i < limit; ++i) {
        if (isAbandoned(requestId)) {
            decodeQueue.clear();
            return;
        }
        if (decodeQueue.isEmpty()) {
            decodeStep();
            if (decodeQueue.isEmpty())
                break;
        }
        const int64_t front = decodeQueue.first().frameNumber;
        if (firstAfterSeek) {
            firstAfterSeek = false;
            if (front > target && reseekEarlier(target, reseekAttempt, lastSeekTs)) {
                firstAfterSeek = true;
                continue;
            }
        }
        if (front >= target)
            break;
        decodeQueue.removeFirst();
    }

    decodeStep();
    currentFrame = target;
    alignAudioTo(targetSec);
    qDebug().noquote() << "Playback stabilizer primed at frame" << target << "queue" << decodeQueue.size();
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

void VideoEngine::setAudioVisualizationEnabled(bool enabled)
{
    audioVisualizationEnabled = enabled;
    if (!enabled) {
        lastVisualization = QImage();
        visualizationHoldFrames = 0;
    }
}

// --- audio-only media -------------------------------------------------------------------

void VideoEngine::readAudioUntil(double seconds, bool capAtDuration)
{
    if (!formatContext || !audioEngine || audioReadExhausted)
        return;
    if (capAtDuration && videoDurationSec > 0)
        seconds = std::min(seconds, videoDurationSec);
    if (audioReadPositionSec >= seconds)
        return;

    av::PacketPtr packet = av::makePacket();
    if (!packet)
        return;
    while (audioReadPositionSec < seconds) {
        if (av_read_frame(formatContext.get(), packet.get()) < 0) {
            audioReadExhausted = true;
            audioEngine->finishStreams(formatContext.get());
            break;
        }
        const int index = packet->stream_index;
        if (audioEngine->hasDecoderFor(index) && unsigned(index) < formatContext->nb_streams) {
            const AVStream *stream = formatContext->streams[index];
            const double timeBase = av_q2d(stream->time_base);
            double start = audioReadPositionSec;
            if (packet->pts != AV_NOPTS_VALUE)
                start = double(packet->pts) * timeBase - videoStartSec;
            else if (packet->dts != AV_NOPTS_VALUE)
                start = double(packet->dts) * timeBase - videoStartSec;
            double length = 0.02;
            if (packet->duration >= 1 && double(packet->duration) * timeBase > 0)
                length = double(packet->duration) * timeBase;
            else if (audioEngine->sampleRate() > 0)
                length = 1024.0 / audioEngine->sampleRate();
            else if (stream->codecpar->sample_rate > 0)
                length = 1024.0 / stream->codecpar->sample_rate;
            audioEngine->decodePacket(packet.get(), formatContext.get());
            audioReadPositionSec = std::max(audioReadPositionSec, start + length);
        }
        av_packet_unref(packet.get());
    }
}

void VideoEngine::positionAudioOnly(int64_t frameNumber)
{
    if (formatContext && audioStreamIndex >= 0 && fps > 0 && audioEngine) {
        const int64_t frame = std::clamp<int64_t>(frameNumber, 0, std::max<int64_t>(totalFrames - 1, 0));
        double position = double(frame) / fps;
        if (videoDurationSec > 0)
            position = std::min(position, videoDurationSec);
        const AVStream *stream = formatContext->streams[audioStreamIndex];
        const int64_t ts = std::llround((position + videoStartSec) / av_q2d(stream->time_base));
        av_seek_frame(formatContext.get(), audioStreamIndex, ts, AVSEEK_FLAG_BACKWARD);
        audioEngine->reset();
        decodeQueue.clear();
        audioReadExhausted = false;
        audioReadPositionSec = position;
        currentFrame = frame;
    }
    double now = fps > 0 ? double(currentFrame) / fps : 0.0;
    if (videoDurationSec > 0)
        now = std::min(now, videoDurationSec);
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
    audioEngine->updateLevels(snapshot, 1.0 / (fps > 0 ? fps : kFallbackFps));
    audioEngine->setLastSnapshot(snapshot);
}

QImage VideoEngine::audioOnlyImage(const QByteArray &stereo)
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
    if (!audioVisualizationEnabled)
        return audioOnlyPicture;

    if (stereo.size() < 8) {
        // No new sound: keep the last trace for a few requests, so it does not flicker.
        if (!lastVisualization.isNull() && visualizationHoldFrames >= 1) {
            --visualizationHoldFrames;
            return lastVisualization;
        }
        return audioOnlyPicture;
    }

    QImage canvas = audioOnlyPicture.copy();
    const double side = std::min(canvas.width(), canvas.height());
    const double cx = canvas.width() / 2.0;
    const double cy = canvas.height() / 2.0;
    const double radius = 0.47 * side;
    const qsizetype frames = stereo.size() / 4;
    const qsizetype step = std::max<qsizetype>(1, frames / kTracePoints);
    const auto *bytes = reinterpret_cast<const uchar *>(stereo.constData());

    QPainterPath path;
    double peak = 0.0;
    for (qsizetype i = 0; i < frames; i += step) {
        const double left = std::clamp(qFromLittleEndian<qint16>(bytes + 4 * i) / 32768.0, -1.0, 1.0);
        const double right = std::clamp(qFromLittleEndian<qint16>(bytes + 4 * i + 2) / 32768.0, -1.0, 1.0);
        const QPointF point(cx + right * radius, cy - left * radius);
        if (i == 0)
            path.moveTo(point);
        else
            path.lineTo(point);
        peak = std::max({peak, std::abs(left), std::abs(right)});
    }

    if (peak > 0.0005) {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(255, 255, 255, 255), 1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        painter.drawPath(path);
        painter.end();
        lastVisualization = canvas;
        visualizationHoldFrames = kTraceHoldRequests;
    } else {
        lastVisualization = QImage();
        visualizationHoldFrames = 0;
    }
    return canvas;
}

QVideoFrame VideoEngine::audioOnlyFrame(const QByteArray &stereo)
{
    return compat::videoFrameFromImage(audioOnlyImage(stereo));
}
