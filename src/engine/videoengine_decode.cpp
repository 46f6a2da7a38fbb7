#include "engine/videoengine.h"

// TODO(decode task): frame decoding, frame-exact seeking, the playback queue, pixel
// conversion, scope requests and the pixel inspector belong here. Until then the frame
// requests answer with an invalid picture (so callers waiting for frameReady do not
// hang) and the image queries return null results. None of this is finished behaviour.

void VideoEngine::requestFrame(int64_t frameNumber, int requestId)
{
    Q_UNUSED(frameNumber);
    // TODO(decode task): seek and decode exactly frameNumber.
    emit frameReady(QVideoFrame(), currentFrame, {}, {}, {}, requestId);
}

void VideoEngine::requestNextFrame(int requestId)
{
    // TODO(decode task): next frame in decode order.
    emit frameReady(QVideoFrame(), currentFrame, {}, {}, {}, requestId);
}

void VideoEngine::requestNextFrameAtOrAfter(int64_t targetFrame, int requestId)
{
    Q_UNUSED(targetFrame);
    // TODO(decode task): first queued frame numbered targetFrame or more, without seeking.
    emit frameReady(QVideoFrame(), currentFrame, {}, {}, {}, requestId);
}

void VideoEngine::primePlaybackQueue(int64_t frameNumber, int requestId)
{
    // TODO(decode task): seek and fill the queue up to frameNumber for UHD ProRes/MXF.
    Q_UNUSED(frameNumber);
    Q_UNUSED(requestId);
}

void VideoEngine::requestScopeImage(int64_t frameNumber, ScopeRange range, DisplayChannel channel,
                                    int rotationDegrees)
{
    // TODO(decode task): render the waveform of frameNumber.
    Q_UNUSED(range);
    Q_UNUSED(channel);
    Q_UNUSED(rotationDegrees);
    emit scopeImageReady(QImage(), frameNumber);
}

void VideoEngine::setAudioRouting(int chL, int chR)
{
    // TODO(decode task): hand the routing to the audio engine.
    Q_UNUSED(chL);
    Q_UNUSED(chR);
}

void VideoEngine::clearAudioQueue()
{
    // TODO(decode task): reset the audio engine's queues and levels.
}

void VideoEngine::setConversionProfile(ConversionProfile profile)
{
    if (profile == conversionProfile)
        return;
    conversionProfile = profile;
    swsContext.reset();
    swsSourceFormat = -1;
    swsSourceWidth = 0;
    swsSourceHeight = 0;
    swsTargetWidth = 0;
    swsTargetHeight = 0;
    swsTargetFormat = -1;
}

void VideoEngine::setAudioVisualizationEnabled(bool enabled)
{
    audioVisualizationEnabled = enabled;
    if (!enabled) {
        lastVisualization = QImage();
        visualizationHoldFrames = 0;
    }
}

void VideoEngine::abortCurrentTask(int latestId)
{
    latestRequestId.exchange(latestId);
}

QImage VideoEngine::getFrameAsImage(int64_t frameNumber)
{
    // TODO(decode task): decode frameNumber and convert it to ARGB32.
    Q_UNUSED(frameNumber);
    return {};
}

QString VideoEngine::pixelInspectorSourceConvertText(int64_t frameNumber, int canvasX, int canvasY,
                                                     int canvasW, int canvasH, int rotationDegrees)
{
    // TODO(decode task): source and converted values of the pixel under the canvas point.
    Q_UNUSED(frameNumber);
    Q_UNUSED(canvasX);
    Q_UNUSED(canvasY);
    Q_UNUSED(canvasW);
    Q_UNUSED(canvasH);
    Q_UNUSED(rotationDegrees);
    return {};
}
