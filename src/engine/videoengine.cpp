#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "engine/codecnaming.h"
#include "engine/mediachecks.h"
#include "av/ffmpeg.h"
#include "core/metatypes.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <string_view>

namespace {

constexpr double kAudioOnlyFps = 30.0;
constexpr int kAudioOnlyWidth = 1280;
constexpr int kAudioOnlyHeight = 720;

double seconds(int64_t ticks, AVRational timeBase)
{
    return double(ticks) * av_q2d(timeBase);
}

// Rate as a double; 0 when the denominator is 0, so a 0/0 rate reads as "unknown"
// rather than NaN.
double rateValue(AVRational rate)
{
    return rate.den > 0 ? double(rate.num) / double(rate.den) : 0.0;
}

bool isStillImageCodec(AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_MJPEG:
    case AV_CODEC_ID_JPEGLS:
    case AV_CODEC_ID_PNG:
    case AV_CODEC_ID_BMP:
    case AV_CODEC_ID_JPEG2000:
    case AV_CODEC_ID_TARGA:
    case AV_CODEC_ID_TIFF:
    case AV_CODEC_ID_DPX:
    case AV_CODEC_ID_WEBP:
    case AV_CODEC_ID_EXR:
        return true;
    default:
        return false;
    }
}

QString metadataValue(const AVDictionary *first, const AVDictionary *second, const char *key)
{
    // No flags: av_dict_get matches keys case-insensitively.
    for (const AVDictionary *dict : {first, second}) {
        if (const AVDictionaryEntry *entry = av_dict_get(dict, key, nullptr, 0))
            return QString::fromUtf8(entry->value);
    }
    return {};
}

bool metadataHas(const AVDictionary *first, const AVDictionary *second, const char *key)
{
    return av_dict_get(first, key, nullptr, 0) || av_dict_get(second, key, nullptr, 0);
}

// Format duration in seconds when known (AV_NOPTS_VALUE otherwise); 0 when unknown.
double formatDurationSec(const AVFormatContext *ctx)
{
    return ctx->duration != AV_NOPTS_VALUE ? double(ctx->duration) / AV_TIME_BASE : 0.0;
}

double streamStartSec(const AVStream *stream)
{
    return stream->start_time != AV_NOPTS_VALUE ? seconds(stream->start_time, stream->time_base) : 0.0;
}

QString colorSpaceText(const AVCodecParameters *par)
{
    if (par->color_primaries == AVCOL_PRI_UNSPECIFIED && par->color_trc == AVCOL_TRC_UNSPECIFIED
        && par->color_space == AVCOL_SPC_UNSPECIFIED)
        return QStringLiteral("---");
    return QStringLiteral("CICP %1-%2-%3")
        .arg(int(par->color_primaries))
        .arg(int(par->color_trc))
        .arg(int(par->color_space));
}

QString rangeText(int range)
{
    switch (range) {
    case AVCOL_RANGE_MPEG: return QStringLiteral("Video Range");
    case AVCOL_RANGE_JPEG: return QStringLiteral("Full Range");
    default: return QStringLiteral("---");
    }
}

bool isInterlaced(AVFieldOrder order)
{
    return order != AV_FIELD_UNKNOWN && order != AV_FIELD_PROGRESSIVE;
}

bool containsCaseInsensitive(const char *haystack, const char *needle)
{
    return haystack && QString::fromLatin1(haystack).contains(QLatin1String(needle), Qt::CaseInsensitive);
}

bool containsCaseSensitive(const char *haystack, const char *needle)
{
    return haystack && std::string_view(haystack).find(needle) != std::string_view::npos;
}

mediachecks::LengthFacts lengthFacts(AVFormatContext *ctx, AVStream *stream, double fps)
{
    mediachecks::LengthFacts facts;
    facts.declaredFrames = stream->nb_frames;
    facts.streamDurationSec = stream->duration >= 1 ? seconds(stream->duration, stream->time_base) : 0.0;
    facts.formatDurationSec = formatDurationSec(ctx);
    facts.fps = fps;
    // Matroska has no per-stream frame count worth trusting.
    facts.preferDuration = containsCaseSensitive(ctx->iformat ? ctx->iformat->name : nullptr, "matroska");
    facts.indexEntries = avformat_index_get_entries_count(stream);
    facts.fileBytes = ctx->pb ? std::max<int64_t>(avio_size(ctx->pb), 0) : 0;
    return facts;
}

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
    // Signals carry int64_t and QList<float> across threads.
    registerMetaTypes();
}

VideoEngine::~VideoEngine()
{
    closeFile();
    audioOnlyPicture = QImage();
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

void VideoEngine::closeFile()
{
    // Frames of this file must never answer for the next one.
    forgetCachedFrames();
    videoCodecContext.reset();
    formatContext.reset();
    pixelConverter.reset();
    openedInfo = MediaInfo();
    videoStreamIndex = -1;
    audioStreamIndex = -1;
    fps = 0.0;
    videoStartSec = 0.0;
    videoDurationSec = 0.0;
    audioReadPositionSec = 0.0;
    audioOnly = false;
    stabilizerEnabled = false;
    primingEnabled = false;
    previewDownscaleEnabled = false;
    previewDownscaleActive = false;
    audioReadExhausted = false;
    audioVisualizationEnabled = false;
    lastVisualization = QImage();
    visualizationHoldFrames = 0;
    inspector.clear();
    rangeOverride = 0;
    // The demuxer is gone, so the audio decoders go with it, not just their queues.
    if (audioEngine)
        audioEngine->close();
    decodeQueue.clear();
    heldVideo.clear();
    intraOnlyVideo = false;
    catchingUp = false;
    catchUpRequests = 0;
    catchUpBusyUSecs = 0;
    soundReadSec = 0.0;
    numbering = decodeplan::NumberingState();
    sequentialStarted = false;
}

void VideoEngine::publishOpened(const MediaInfo &info)
{
    openedInfo = info;
    emit fileOpened(true, info.toMap(), QString());
}

void VideoEngine::fail(const QString &error)
{
    // Nothing half-open survives a failed open: later requests see a closed engine.
    closeFile();
    emit fileOpened(false, QVariantMap(), error);
}

void VideoEngine::openFile(QString filePath)
{
    closeFile();

    const QString openError = mediachecks::openInput(formatContext, filePath, readInterrupter);
    if (!openError.isEmpty()) {
        fail(openError);
        return;
    }
    if (const int result = avformat_find_stream_info(formatContext.get(), nullptr); result < 0) {
        fail(mediachecks::failureText(QStringLiteral("avformat_find_stream_info failed."),
                                      mediachecks::ffmpegErrorText(result), filePath));
        return;
    }

    const AVInputFormat *inputFormat = formatContext->iformat;
    numbering = decodeplan::NumberingState();
    numbering.manualFrameCounter = inputFormat && (inputFormat->flags & AVFMT_NOTIMESTAMPS);
    if (numbering.manualFrameCounter)
        qDebug() << "File format lacks timestamps. Using manual frame counter.";

    const AVCodec *defaultDecoder = nullptr;
    videoStreamIndex = av_find_best_stream(formatContext.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &defaultDecoder, 0);
    if (videoStreamIndex == AVERROR_DECODER_NOT_FOUND) {
        // There is a picture but nothing to decode it with: report that at the decoder
        // step instead of pretending the file has no video.
        defaultDecoder = nullptr;
        videoStreamIndex = av_find_best_stream(formatContext.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    }
    if (videoStreamIndex < 0) {
        videoStreamIndex = -1;
        if (openAudioOnly(filePath) == AudioOnlyResult::NoAudioStream)
            fail(QStringLiteral("No video stream found."));
        return;
    }

    AVStream *stream = formatContext->streams[videoStreamIndex];
    const AVCodecParameters *par = stream->codecpar;
    audioOnly = false;
    videoStartSec = streamStartSec(stream);

    const bool big = std::max(par->width, par->height) >= 3840;
    const bool proresLike = par->codec_id == AV_CODEC_ID_PRORES
        || containsCaseInsensitive(inputFormat ? inputFormat->name : nullptr, "mxf");
    const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
    stabilizerEnabled = !big || proresLike || hevc;
    primingEnabled = big && proresLike;
    previewDownscaleEnabled = big && (proresLike || hevc);

    const AVCodec *decoder = defaultDecoder;
    if (par->codec_id == AV_CODEC_ID_AV1) {
        // Hardware-only or missing default decoders are common for AV1; prefer software.
        for (const char *name : {"libdav1d", "libaom-av1", "av1"}) {
            const AVCodec *candidate = avcodec_find_decoder_by_name(name);
            if (candidate && candidate->id == AV_CODEC_ID_AV1) {
                decoder = candidate;
                break;
            }
        }
        if (decoder != defaultDecoder) {
            qDebug().noquote() << "Using software AV1 decoder:" << decoder->name << "(default was"
                               << (defaultDecoder ? defaultDecoder->name : "none") << ")";
        }
    }

    videoCodecContext.reset(avcodec_alloc_context3(decoder));
    if (!videoCodecContext) {
        fail(QStringLiteral("avcodec_alloc_context3 failed."));
        return;
    }
    if (avcodec_parameters_to_context(videoCodecContext.get(), par) < 0) {
        // Same outcome as a decoder that will not open with these parameters.
        fail(QStringLiteral("avcodec_open2 failed."));
        return;
    }
    qDebug().noquote() << "Video decoder:" << (decoder ? decoder->name : "none");

    const AVCodecDescriptor *descriptor = avcodec_descriptor_get(par->codec_id);
    intraOnlyVideo = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
    if (isStillImageCodec(par->codec_id)) {
        videoCodecContext->thread_count = 1;
        videoCodecContext->thread_type = FF_THREAD_SLICE;
    } else if (intraOnlyVideo && decoder && (decoder->capabilities & AV_CODEC_CAP_SLICE_THREADS)) {
        // Every core on one frame: a frame comes out of the packet that carries it. Frame
        // threads would hold back as many frames as there are threads, each decoded on a
        // single core, which a frame step or a jump to the due frame pays in full.
        videoCodecContext->thread_count = 0;
        videoCodecContext->thread_type = FF_THREAD_SLICE;
    } else {
        videoCodecContext->thread_count = 0;
        videoCodecContext->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }

    if (avcodec_open2(videoCodecContext.get(), decoder, nullptr) < 0) {
        fail(QStringLiteral("avcodec_open2 failed."));
        return;
    }
    if (const QString problem = mediachecks::pictureSizeProblem(videoCodecContext->width, videoCodecContext->height);
        !problem.isEmpty()) {
        fail(mediachecks::failureText(QStringLiteral("avcodec_open2 failed."), problem, filePath));
        return;
    }

    const mediachecks::FrameRateChoice rate = mediachecks::chooseFrameRate(
        rateValue(stream->avg_frame_rate.den > 0 ? stream->avg_frame_rate : stream->r_frame_rate),
        rateValue(stream->r_frame_rate), kAudioOnlyFps);
    fps = rate.fps;
    if (rate.corrected)
        qDebug() << "Abnormal FPS detected. Using corrected FPS:" << fps;

    const mediachecks::Length length = mediachecks::plausibleLength(lengthFacts(formatContext.get(), stream, fps));
    totalFrames = length.totalFrames;
    videoDurationSec = length.durationSec;
    if (length.corrected)
        qDebug() << "Implausible frame count or duration in the file. Using" << totalFrames << "frames," << videoDurationSec << "sec";

    currentFrame = 0;

    // A container tag wins; without one, the pictures may carry their own.
    QString startTimecode = metadataValue(formatContext->metadata, stream->metadata, "timecode");
    if (startTimecode.isEmpty() && pictureTimecodeLookup)
        startTimecode = startTimecodeFromPictures();

    const codecnaming::VideoCodecName codecName = codecnaming::videoCodecName(par, decoder);
    if (codecName.forcedRange == codecnaming::VideoRange)
        qDebug().noquote() << "FourCC override: Forcing Video Range for" << codecName.name;
    else if (codecName.forcedRange == codecnaming::FullRange)
        qDebug().noquote() << "FourCC override: Forcing Full Range for" << codecName.name;
    rangeOverride = codecName.forcedRange != codecnaming::NoForcedRange ? codecName.forcedRange
                                                                        : int(par->color_range);

    const AVPixFmtDescriptor *pixDesc = av_pix_fmt_desc_get(videoCodecContext->pix_fmt);
    const QString colorSpaceInfo = colorSpaceText(par);
    const QString videoRangeInfo = rangeText(rangeOverride);

    MediaInfo info;
    info.filePath = filePath;
    info.isAudioOnly = false;
    info.width = videoCodecContext->width;
    info.height = videoCodecContext->height;
    info.fps = fps;
    info.totalFrames = totalFrames;
    info.videoStartSec = videoStartSec;
    info.videoDurationSec = videoDurationSec;
    info.playbackStabilized = stabilizerEnabled;
    info.playbackPrimingEnabled = primingEnabled;
    info.startTimecode = startTimecode;
    info.hasAlpha = pixDesc && (pixDesc->flags & AV_PIX_FMT_FLAG_ALPHA);
    info.scanType = isInterlaced(par->field_order) ? QStringLiteral("i") : QStringLiteral("p");
    info.codecDisplayName = codecName.name;
    info.colorSpaceInfo = colorSpaceInfo;
    info.videoRangeInfo = videoRangeInfo;

    ensureAudioEngine();
    if (!audioEngine->openStreams(formatContext.get()))
        audioEngine->close();
    audioEngine->setTimeWindow(videoStartSec, videoDurationSec);
    info.audioChannelCount = audioEngine->channelCount();
    info.audioInfo = audioEngine->audioInfo();
    info.audioSampleRate = audioEngine->sampleRate();

    const AVStream *firstAudio = nullptr;
    for (unsigned i = 0; i < formatContext->nb_streams && !firstAudio; ++i) {
        if (formatContext->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            firstAudio = formatContext->streams[i];
    }
    double audioStart = 0.0;
    double audioDuration = 0.0;
    if (firstAudio) {
        audioStart = streamStartSec(firstAudio);
        if (firstAudio->duration >= 1)
            audioDuration = seconds(firstAudio->duration, firstAudio->time_base);
        else if (formatContext->duration != AV_NOPTS_VALUE && formatContext->duration >= 1)
            audioDuration = formatDurationSec(formatContext.get());
        const double startDiff = fps > 0.0 ? (audioStart - videoStartSec) * fps : 0.0;
        const double durationDiff = fps > 0.0 ? (audioDuration - videoDurationSec) * fps : 0.0;
        info.avStartDiffFrames = startDiff;
        info.avDurationDiffFrames = durationDiff;
    }

    qDebug().noquote() << "Media opened:" << filePath;
    qDebug().noquote() << " - Resolution:" << videoCodecContext->width << "x" << videoCodecContext->height;
    qDebug().noquote() << " - FPS:" << fps;
    qDebug().noquote() << " - Total Frames:" << totalFrames;
    qDebug().noquote() << " - Codec:" << codecName.name << "(Profile:" << par->profile << ")";
    qDebug().noquote() << " - Color Space:" << colorSpaceInfo;
    qDebug().noquote() << " - Range:" << videoRangeInfo;
    qDebug().noquote() << " - Video Timeline: start" << videoStartSec << "sec, duration" << videoDurationSec << "sec";
    if (stabilizerEnabled)
        qDebug().noquote() << " - Playback Stabilizer: enabled";
    if (previewDownscaleEnabled)
        qDebug().noquote() << " - Playback Preview Downscale: enabled";
    if (audioEngine->channelCount() > 0) {
        qDebug().noquote() << " - Audio:" << audioEngine->audioInfo() << "@" << audioEngine->sampleRate() << "Hz";
        if (firstAudio) {
            qDebug().noquote() << " - A/V Timeline: audio start" << audioStart << "sec, duration" << audioDuration
                               << "sec, start diff" << info.avStartDiffFrames.value_or(0.0)
                               << "frames, duration diff" << info.avDurationDiffFrames.value_or(0.0) << "frames";
        }
    }

    publishOpened(info);
}

VideoEngine::AudioOnlyResult VideoEngine::openAudioOnly(const QString &filePath)
{
    audioStreamIndex = av_find_best_stream(formatContext.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (audioStreamIndex < 0) {
        audioStreamIndex = -1;
        return AudioOnlyResult::NoAudioStream;
    }

    ensureAudioEngine();
    if (!audioEngine->openStreams(formatContext.get())) {
        audioEngine->close();
        fail(QStringLiteral("Audio decoder initialization failed."));
        return AudioOnlyResult::Failed;
    }

    const AVStream *stream = formatContext->streams[audioStreamIndex];
    audioOnly = true;
    videoStreamIndex = -1;
    videoCodecContext.reset();
    audioOnlyCodecName = codecnaming::audioCodecName(stream->codecpar);
    fps = kAudioOnlyFps;

    videoStartSec = streamStartSec(stream);
    double durationSec = 0.0;
    if (stream->duration >= 1)
        durationSec = seconds(stream->duration, stream->time_base);
    else if (formatDurationSec(formatContext.get()) > 0.0)
        durationSec = formatDurationSec(formatContext.get());
    videoDurationSec = durationSec;

    // The tolerance keeps binary noise (10 s reading as 10.000000000000002) from adding a
    // frame that is not there.
    totalFrames = durationSec > 0.0
        ? std::max<int64_t>(int64_t(std::ceil(durationSec * kAudioOnlyFps - 1e-6)) + 1, 2)
        : 1;
    currentFrame = 0;
    audioReadExhausted = false;
    audioReadPositionSec = 0.0;
    audioEngine->setTimeWindow(videoStartSec, videoDurationSec);

    bool hasTimeReference = false;
    double timeReferenceSec = 0.0;
    if (metadataHas(formatContext->metadata, stream->metadata, "time_reference")) {
        const QString text = metadataValue(formatContext->metadata, stream->metadata, "time_reference").trimmed();
        bool valid = false;
        const qulonglong samples = text.toULongLong(&valid, 10);
        const int rate = audioEngine->sampleRate() >= 1 ? audioEngine->sampleRate() : stream->codecpar->sample_rate;
        if (valid) {
            hasTimeReference = rate > 0;
            timeReferenceSec = mediachecks::timeReferenceSeconds(samples, rate).value_or(0.0);
        }
    }

    MediaInfo info;
    info.filePath = filePath;
    info.isAudioOnly = true;
    info.width = kAudioOnlyWidth;
    info.height = kAudioOnlyHeight;
    info.fps = kAudioOnlyFps;
    info.totalFrames = totalFrames;
    info.videoStartSec = videoStartSec;
    info.videoDurationSec = videoDurationSec;
    info.hasAlpha = false;
    info.codecDisplayName = audioOnlyCodecName;
    info.colorSpaceInfo = QStringLiteral("---");
    info.videoRangeInfo = QStringLiteral("---");
    info.audioChannelCount = audioEngine->channelCount();
    info.audioInfo = audioEngine->audioInfo();
    info.audioSampleRate = audioEngine->sampleRate();
    info.hasAudioTimeReference = hasTimeReference;
    info.audioTimeReferenceSec = timeReferenceSec;

    qDebug().noquote() << "Audio-only media opened:" << filePath;
    qDebug().noquote() << " - Audio Codec:" << audioOnlyCodecName;
    qDebug().noquote() << " - Audio:" << audioEngine->audioInfo() << "@" << audioEngine->sampleRate() << "Hz";
    qDebug().noquote() << " - Timeline: start" << videoStartSec << "sec, duration" << videoDurationSec << "sec";
    if (hasTimeReference)
        qDebug().noquote() << " - BWF time_reference:" << timeReferenceSec << "sec";

    publishOpened(info);
    return AudioOnlyResult::Opened;
}
