// Opening a file: the demuxer and its stream facts, the video decoder and its threading,
// frame rate, length and start timecode, the facts the rest of the program reads
// (MediaInfo), the sound, and audio-only media. Each step either fills the new File or
// names why the file cannot be shown.

#include "engine/videoengine.h"

#include "audio/audioengine.h"
#include "av/ffmpeg.h"
#include "core/compat.h"
#include "core/pictureheader.h"
#include "core/timecode.h"
#include "engine/codecnaming.h"
#include "engine/mediachecks.h"

#include <QDebug>
#include <QDir>
#include <QThread>

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

mediachecks::LengthFacts lengthFacts(AVFormatContext *ctx, const AVStream *stream, double fps)
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

// Rate as FFmpeg's framerate option: the NTSC family exactly (24000/1001), others as near
// as a rational with a small denominator gets.
QString rateOption(double fps)
{
    const double ntsc = fps * 1001.0 / 1000.0;
    if (std::abs(ntsc - std::round(ntsc)) < 0.005 && std::abs(fps - std::round(fps)) > 0.005)
        return QStringLiteral("%1/1001").arg(qint64(std::llround(ntsc)) * 1000);
    const AVRational q = av_d2q(fps, 100000);
    return QStringLiteral("%1/%2").arg(q.num).arg(q.den);
}

constexpr double kSequenceDefaultFps = 24.0;

// Rate and start timecode of a sequence: a rate given wins, then the first file's header,
// then 24; the header's timecode, else the first file's number counted at that rate.
struct SequenceTiming {
    double fps = kSequenceDefaultFps;
    QString startTimecode;
    bool timecodeFromHeader = false;
};

SequenceTiming sequenceTiming(const imagesequence::Sequence &files, double fpsOverride)
{
    const pictureheader::Facts header = pictureheader::readFile(files.filePath(files.first()));
    SequenceTiming timing;
    if (fpsOverride > 0)
        timing.fps = fpsOverride;
    else if (header.fps && mediachecks::isPlausibleVideoFps(*header.fps))
        timing.fps = *header.fps;
    if (!header.timecode.isEmpty() && Timecode::forVideo(timing.fps, header.timecode.toStdString())) {
        timing.startTimecode = header.timecode;
        timing.timecodeFromHeader = true;
        return timing;
    }
    if (std::optional<Timecode> counted = Timecode::forVideo(timing.fps, "")) {
        counted->setFrames(files.first());
        timing.startTimecode = QString::fromStdString(counted->toString());
    }
    return timing;
}

} // namespace

void VideoEngine::publishOpened(const MediaInfo &info)
{
    file->info = info;
    emit mediaOpened(info);
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
    // The last file's decoders, pools and cached frames are gone: give their pages back.
    compat::releaseFreedMemory();
    const imagesequence::Found found = imagesequence::find(filePath);
    // A folder without a sequence is refused below like any folder, in the error form
    // callers match on.
    if (!found.error.isEmpty())
        qDebug().noquote() << found.error << filePath;
    std::optional<SequenceTiming> timing;
    if (found.sequence) {
        timing = sequenceTiming(*found.sequence, fpsOverride);
        if (found.sequencesInFolder > 1)
            qDebug().noquote() << "The folder holds" << found.sequencesInFolder << "sequences; opening the longest";
    }
    const QString openError =
        found.sequence ? openSequenceContainer(*found.sequence, timing->fps) : openContainer(filePath);
    if (!openError.isEmpty()) {
        fail(openError);
        return;
    }

    const AVCodec *defaultDecoder = nullptr;
    file->videoStreamIndex = findVideoStream(defaultDecoder);
    if (file->videoStreamIndex < 0) {
        if (openAudioOnly(filePath) == AudioOnlyResult::NoAudioStream)
            fail(QStringLiteral("No video stream found."));
        return;
    }

    const AVStream *stream = file->formatContext->streams[file->videoStreamIndex];
    const AVCodecParameters *par = stream->codecpar;
    file->audioOnly = false;
    file->videoStartSec = streamStartSec(stream);
    choosePlaybackMeasures(par);

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
    if (const QString error = openVideoDecoder(decoder, par, filePath); !error.isEmpty()) {
        fail(error);
        return;
    }

    if (file->sequence) {
        const imagesequence::Sequence &files = file->sequence->files;
        const int workers = sequenceReadAheadWorkers >= 0 ? sequenceReadAheadWorkers
                                                          : std::clamp(QThread::idealThreadCount(), 1, 4);
        file->sequence->reader = std::make_unique<SequenceReader>(files, par, decoder, workers);
        file->fps = timing->fps;
        file->totalFrames = files.frameCount();
        file->videoDurationSec = double(files.frameCount()) / file->fps;
        file->videoStartSec = 0.0;
    } else {
        chooseFrameRate(stream);
        if (const QString error = reopenForCoarseTicks(filePath, stream); !error.isEmpty()) {
            fail(error);
            return;
        }
        readLength(stream);
    }
    currentFrame = 0;
    MediaInfo info = describeVideo(filePath, stream, decoder);
    if (file->sequence) {
        const imagesequence::Sequence &files = file->sequence->files;
        info.startTimecode = timing->startTimecode;
        SequenceFacts facts;
        facts.pattern = files.pattern();
        facts.first = files.first();
        facts.last = files.last();
        for (const int64_t number : files.missingNumbers())
            facts.missing.append(number);
        facts.timecodeFromHeader = timing->timecodeFromHeader;
        info.sequence = facts;
        qDebug().noquote() << " - Sequence:" << facts.pattern << facts.first << "-" << facts.last << ","
                           << facts.missing.size() << "missing";
    }
    openSoundWithVideo(info);
    publishOpened(info);
}

QString VideoEngine::openSequenceContainer(const imagesequence::Sequence &files, double fps)
{
    file = std::make_unique<File>();
    const QString pattern = QDir(files.directory).filePath(files.pattern());
    const AVIOInterruptCB callback = mediachecks::interruptCallback(readInterrupter);
    const av::OptionList options = {{"pattern_type", "sequence"},
                                    {"start_number", std::to_string(files.first())},
                                    {"framerate", rateOption(fps).toStdString()}};
    const int result = av::openInput(file->formatContext, pattern.toUtf8().constData(), &callback, options, "image2");
    if (result < 0) {
        return mediachecks::failureText(QStringLiteral("avformat_open_input failed."),
                                        mediachecks::ffmpegErrorText(result), files.filePath(files.first()));
    }
    if (const int found = avformat_find_stream_info(file->formatContext.get(), nullptr); found < 0) {
        return mediachecks::failureText(QStringLiteral("avformat_find_stream_info failed."),
                                        mediachecks::ffmpegErrorText(found), files.filePath(files.first()));
    }
    file->sequence.emplace();
    file->sequence->files = files;
    return {};
}

QString VideoEngine::openContainer(const QString &filePath)
{
    file = std::make_unique<File>();
    const QString openError = mediachecks::openInput(file->formatContext, filePath, readInterrupter);
    if (!openError.isEmpty())
        return openError;
    if (const int result = avformat_find_stream_info(file->formatContext.get(), nullptr); result < 0) {
        return mediachecks::failureText(QStringLiteral("avformat_find_stream_info failed."),
                                        mediachecks::ffmpegErrorText(result), filePath);
    }
    const AVInputFormat *inputFormat = file->formatContext->iformat;
    file->numbering.manualFrameCounter = inputFormat && (inputFormat->flags & AVFMT_NOTIMESTAMPS);
    if (file->numbering.manualFrameCounter)
        qDebug() << "File format lacks timestamps. Using manual frame counter.";
    return {};
}

int VideoEngine::findVideoStream(const AVCodec *&defaultDecoder)
{
    AVFormatContext *format = file->formatContext.get();
    defaultDecoder = nullptr;
    int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &defaultDecoder, 0);
    if (index == AVERROR_DECODER_NOT_FOUND) {
        // There is a picture but nothing to decode it with: report that at the decoder
        // step instead of pretending the file has no video.
        defaultDecoder = nullptr;
        index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    }
    return index < 0 ? -1 : index;
}

void VideoEngine::choosePlaybackMeasures(const AVCodecParameters *par)
{
    const AVInputFormat *inputFormat = file->formatContext->iformat;
    const bool big = std::max(par->width, par->height) >= 3840;
    const bool proresLike = par->codec_id == AV_CODEC_ID_PRORES
        || containsCaseInsensitive(inputFormat ? inputFormat->name : nullptr, "mxf");
    const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
    file->stabilizerEnabled = !big || proresLike || hevc;
    file->primingEnabled = big && proresLike;
    file->previewDownscaleEnabled = big && (proresLike || hevc);
}

QString VideoEngine::openVideoDecoder(const AVCodec *decoder, const AVCodecParameters *par,
                                      const QString &filePath)
{
    file->videoCodecContext.reset(avcodec_alloc_context3(decoder));
    AVCodecContext *context = file->videoCodecContext.get();
    if (!context)
        return QStringLiteral("avcodec_alloc_context3 failed.");
    // Same outcome as a decoder that will not open with these parameters.
    if (avcodec_parameters_to_context(context, par) < 0)
        return QStringLiteral("avcodec_open2 failed.");
    qDebug().noquote() << "Video decoder:" << (decoder ? decoder->name : "none");

    const AVCodecDescriptor *descriptor = avcodec_descriptor_get(par->codec_id);
    file->intraOnlyVideo = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
    if (isStillImageCodec(par->codec_id)) {
        // A sequence's pictures come one after another as fast as they decode: every core on
        // each one where the decoder can share it (EXR). Frame threads would hold pictures
        // back, and a sequence needs each file's picture (or its failure) at once.
        const bool shared = file->sequence && decoder && (decoder->capabilities & AV_CODEC_CAP_SLICE_THREADS);
        context->thread_count = shared ? 0 : 1;
        context->thread_type = FF_THREAD_SLICE;
    } else if (file->intraOnlyVideo && decoder && (decoder->capabilities & AV_CODEC_CAP_SLICE_THREADS)) {
        // Every core on one frame: a frame comes out of the packet that carries it. Frame
        // threads would hold back as many frames as there are threads, each decoded on a
        // single core, which a frame step or a jump to the due frame pays in full.
        context->thread_count = 0;
        context->thread_type = FF_THREAD_SLICE;
    } else {
        context->thread_count = 0;
        context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }

    if (avcodec_open2(context, decoder, nullptr) < 0)
        return QStringLiteral("avcodec_open2 failed.");
    if (const QString problem = mediachecks::pictureSizeProblem(context->width, context->height); !problem.isEmpty())
        return mediachecks::failureText(QStringLiteral("avcodec_open2 failed."), problem, filePath);
    return {};
}

void VideoEngine::chooseFrameRate(const AVStream *stream)
{
    const mediachecks::FrameRateChoice rate = mediachecks::chooseFrameRate(
        rateValue(stream->avg_frame_rate.den > 0 ? stream->avg_frame_rate : stream->r_frame_rate),
        rateValue(stream->r_frame_rate), kAudioOnlyFps);
    file->fps = rate.fps;
    if (rate.corrected)
        qDebug() << "Abnormal FPS detected. Using corrected FPS:" << file->fps;
}

QString VideoEngine::reopenForCoarseTicks(const QString &filePath, const AVStream *&stream)
{
    if (!mediachecks::ticksCoarserThanFrames(stream->time_base.num, stream->time_base.den, file->fps))
        return {};
    qDebug() << "Time base" << stream->time_base.num << "/" << stream->time_base.den
             << "is coarser than a frame. Numbering frames in decode order.";
    file->numbering.manualFrameCounter = true;
    const QString reopenError = mediachecks::openInput(file->formatContext, filePath, readInterrupter, true);
    if (!reopenError.isEmpty())
        return reopenError;
    AVFormatContext *format = file->formatContext.get();
    const int index = file->videoStreamIndex;
    if (const int result = avformat_find_stream_info(format, nullptr);
        result < 0 || index >= int(format->nb_streams) || format->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
        return mediachecks::failureText(QStringLiteral("avformat_find_stream_info failed."),
                                        mediachecks::ffmpegErrorText(result < 0 ? result : AVERROR_INVALIDDATA),
                                        filePath);
    }
    stream = format->streams[index];
    file->videoStartSec = streamStartSec(stream);
    return {};
}

void VideoEngine::readLength(const AVStream *stream)
{
    const mediachecks::Length length =
        mediachecks::plausibleLength(lengthFacts(file->formatContext.get(), stream, file->fps));
    file->totalFrames = length.totalFrames;
    file->videoDurationSec = length.durationSec;
    if (length.corrected)
        qDebug() << "Implausible frame count or duration in the file. Using" << file->totalFrames << "frames,"
                 << file->videoDurationSec << "sec";
}

MediaInfo VideoEngine::describeVideo(const QString &filePath, const AVStream *stream, const AVCodec *decoder)
{
    const AVCodecParameters *par = stream->codecpar;
    // A container tag wins; without one, the pictures may carry their own.
    QString startTimecode = metadataValue(file->formatContext->metadata, stream->metadata, "timecode");
    // A sequence's timecode is settled from its header or numbers, never by the demuxer.
    if (startTimecode.isEmpty() && pictureTimecodeLookup && !file->sequence)
        startTimecode = startTimecodeFromPictures();

    const codecnaming::VideoCodecName codecName = codecnaming::videoCodecName(par, decoder);
    if (codecName.forcedRange == codecnaming::VideoRange)
        qDebug().noquote() << "FourCC override: Forcing Video Range for" << codecName.name;
    else if (codecName.forcedRange == codecnaming::FullRange)
        qDebug().noquote() << "FourCC override: Forcing Full Range for" << codecName.name;
    file->rangeOverride = codecName.forcedRange != codecnaming::NoForcedRange ? codecName.forcedRange
                                                                              : int(par->color_range);

    const AVCodecContext *context = file->videoCodecContext.get();
    const AVPixFmtDescriptor *pixDesc = av_pix_fmt_desc_get(context->pix_fmt);
    MediaInfo info;
    info.filePath = filePath;
    info.isAudioOnly = false;
    info.width = context->width;
    info.height = context->height;
    info.fps = file->fps;
    info.totalFrames = file->totalFrames;
    info.videoStartSec = file->videoStartSec;
    info.videoDurationSec = file->videoDurationSec;
    info.playbackStabilized = file->stabilizerEnabled;
    info.playbackPrimingEnabled = file->primingEnabled;
    info.startTimecode = startTimecode;
    info.hasAlpha = pixDesc && (pixDesc->flags & AV_PIX_FMT_FLAG_ALPHA);
    info.sceneLinear = pixDesc && (pixDesc->flags & AV_PIX_FMT_FLAG_FLOAT);
    info.scanType = isInterlaced(par->field_order) ? QStringLiteral("i") : QStringLiteral("p");
    info.codecDisplayName = codecName.name;
    info.colorSpaceInfo = colorSpaceText(par);
    info.videoRangeInfo = rangeText(file->rangeOverride);

    qDebug().noquote() << "Media opened:" << filePath;
    qDebug().noquote() << " - Resolution:" << info.width << "x" << info.height;
    qDebug().noquote() << " - FPS:" << file->fps;
    qDebug().noquote() << " - Total Frames:" << file->totalFrames;
    qDebug().noquote() << " - Codec:" << codecName.name << "(Profile:" << par->profile << ")";
    qDebug().noquote() << " - Color Space:" << info.colorSpaceInfo;
    qDebug().noquote() << " - Range:" << info.videoRangeInfo;
    qDebug().noquote() << " - Video Timeline: start" << file->videoStartSec << "sec, duration"
                       << file->videoDurationSec << "sec";
    if (file->stabilizerEnabled)
        qDebug().noquote() << " - Playback Stabilizer: enabled";
    if (file->previewDownscaleEnabled)
        qDebug().noquote() << " - Playback Preview Downscale: enabled";
    return info;
}

void VideoEngine::openSoundWithVideo(MediaInfo &info)
{
    AVFormatContext *format = file->formatContext.get();
    ensureAudioEngine();
    if (!audioEngine->openStreams(format))
        audioEngine->close();
    audioEngine->setTimeWindow(file->videoStartSec, file->videoDurationSec);
    info.audioChannelCount = audioEngine->channelCount();
    info.audioInfo = audioEngine->audioInfo();
    info.audioSampleRate = audioEngine->sampleRate();

    const AVStream *firstAudio = nullptr;
    for (unsigned i = 0; i < format->nb_streams && !firstAudio; ++i) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            firstAudio = format->streams[i];
    }
    double audioStart = 0.0;
    double audioDuration = 0.0;
    const double fps = file->fps;
    if (firstAudio) {
        audioStart = streamStartSec(firstAudio);
        if (firstAudio->duration >= 1)
            audioDuration = seconds(firstAudio->duration, firstAudio->time_base);
        else if (format->duration != AV_NOPTS_VALUE && format->duration >= 1)
            audioDuration = formatDurationSec(format);
        info.avStartDiffFrames = fps > 0.0 ? (audioStart - file->videoStartSec) * fps : 0.0;
        info.avDurationDiffFrames = fps > 0.0 ? (audioDuration - file->videoDurationSec) * fps : 0.0;
    }

    if (audioEngine->channelCount() > 0) {
        qDebug().noquote() << " - Audio:" << audioEngine->audioInfo() << "@" << audioEngine->sampleRate() << "Hz";
        if (firstAudio) {
            qDebug().noquote() << " - A/V Timeline: audio start" << audioStart << "sec, duration" << audioDuration
                               << "sec, start diff" << info.avStartDiffFrames.value_or(0.0)
                               << "frames, duration diff" << info.avDurationDiffFrames.value_or(0.0) << "frames";
        }
    }
}

VideoEngine::AudioOnlyResult VideoEngine::openAudioOnly(const QString &filePath)
{
    AVFormatContext *format = file->formatContext.get();
    file->audioStreamIndex = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (file->audioStreamIndex < 0) {
        file->audioStreamIndex = -1;
        return AudioOnlyResult::NoAudioStream;
    }

    ensureAudioEngine();
    if (!audioEngine->openStreams(format)) {
        audioEngine->close();
        fail(QStringLiteral("Audio decoder initialization failed."));
        return AudioOnlyResult::Failed;
    }

    const AVStream *stream = format->streams[file->audioStreamIndex];
    file->audioOnly = true;
    file->videoStreamIndex = -1;
    file->videoCodecContext.reset();
    const QString codecName = codecnaming::audioCodecName(stream->codecpar);
    file->fps = kAudioOnlyFps;

    file->videoStartSec = streamStartSec(stream);
    double durationSec = 0.0;
    if (stream->duration >= 1)
        durationSec = seconds(stream->duration, stream->time_base);
    else if (formatDurationSec(format) > 0.0)
        durationSec = formatDurationSec(format);
    file->videoDurationSec = durationSec;

    // The tolerance keeps binary noise (10 s reading as 10.000000000000002) from adding a
    // frame that is not there.
    file->totalFrames = durationSec > 0.0
        ? std::max<int64_t>(int64_t(std::ceil(durationSec * kAudioOnlyFps - 1e-6)) + 1, 2)
        : 1;
    currentFrame = 0;
    audioEngine->setTimeWindow(file->videoStartSec, file->videoDurationSec);

    bool hasTimeReference = false;
    double timeReferenceSec = 0.0;
    if (metadataHas(format->metadata, stream->metadata, "time_reference")) {
        const QString text = metadataValue(format->metadata, stream->metadata, "time_reference").trimmed();
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
    info.totalFrames = file->totalFrames;
    info.videoStartSec = file->videoStartSec;
    info.videoDurationSec = file->videoDurationSec;
    info.hasAlpha = false;
    info.codecDisplayName = codecName;
    info.colorSpaceInfo = QStringLiteral("---");
    info.videoRangeInfo = QStringLiteral("---");
    info.audioChannelCount = audioEngine->channelCount();
    info.audioInfo = audioEngine->audioInfo();
    info.audioSampleRate = audioEngine->sampleRate();
    info.hasAudioTimeReference = hasTimeReference;
    info.audioTimeReferenceSec = timeReferenceSec;

    qDebug().noquote() << "Audio-only media opened:" << filePath;
    qDebug().noquote() << " - Audio Codec:" << codecName;
    qDebug().noquote() << " - Audio:" << audioEngine->audioInfo() << "@" << audioEngine->sampleRate() << "Hz";
    qDebug().noquote() << " - Timeline: start" << file->videoStartSec << "sec, duration" << file->videoDurationSec
                       << "sec";
    if (hasTimeReference)
        qDebug().noquote() << " - BWF time_reference:" << timeReferenceSec << "sec";

    publishOpened(info);
    return AudioOnlyResult::Opened;
}
