#pragma once

// The media engine: owns everything FFmpeg-related for the one open file and answers the
// GUI through queued signals. Widgets include this header, so no FFmpeg headers here.

#include "av/ffmpegptr.h"
#include "core/conversionprofile.h"
#include "core/enums.h"
#include "core/imagesequence.h"
#include "core/mediainfo.h"
#include "core/scoperequest.h"
#include "engine/decodeplan.h"
#include "engine/decoderstate.h"
#include "engine/framecache.h"
#include "engine/mediachecks.h"
#include "engine/pixelconverter.h"
#include "engine/pixelprobe.h"
#include "engine/scopeworker.h"
#include "engine/sequencereader.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <QVideoFrame>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class AudioEngine;
struct AudioChannelSamples;
struct AVCodec;
struct AVCodecParameters;
struct AVStream;

// Draws the scope image of one decoded frame (null: no picture, bare graticule). The scope
// renderer lives in a layer above the engine, so whoever creates the engine hands it in.
using ScopeRenderFn = std::function<QImage(const AVFrame *frame, const ScopeRequest &request)>;

// One frame decoded ahead. Copies are new references to the same picture buffers
// (av_frame_clone), not pixel copies; a copy whose reference could not be made holds null.
struct DecodedFrame {
    av::FramePtr frame;
    int64_t frameNumber = 0;
    QList<float> levels; // dBFS per audio channel, captured when the frame was decoded

    DecodedFrame() = default;
    DecodedFrame(av::FramePtr decoded, int64_t number, QList<float> channelLevels);
    DecodedFrame(const DecodedFrame &other);
    DecodedFrame &operator=(const DecodedFrame &other);
    DecodedFrame(DecodedFrame &&) noexcept = default;
    DecodedFrame &operator=(DecodedFrame &&) noexcept = default;
    ~DecodedFrame() = default;
};

// Media properties map ("fileInfo" of fileOpened): MediaInfo::toMap() of the facts the
// open built (core/mediainfo.h); mediaOpened and mediaInfo() have the same facts typed.
//
// Everything that belongs to the open file (demuxer, decoders, facts, playback queue and
// the decoder's state) is one object, File, made by openFile and dropped by closeFile; what
// outlives a file (conversion profile, frame cache bound, audio engine) is the engine's own.
//
// Threading: the object has no parent; its owner (state/OpenMedia) moves it to a QThread of
// its own and reaches it through queued calls of its slots (typed lambdas, never by name).
// Every member below belongs to that thread, except latestRequestId and readInterrupter.
class VideoEngine : public QObject
{
    Q_OBJECT

public:
    VideoEngine();
    ~VideoEngine() override;

    // Set once before the engine thread starts. Without a renderer every scope request is
    // answered with a null image.
    void setScopeRenderer(ScopeRenderFn renderer);

signals:
    void fileOpened(bool success, QVariantMap fileInfo, QString error);
    // The facts of a successful open, typed; sent just before its fileOpened.
    void mediaOpened(MediaInfo info);
    void frameReady(QVideoFrame frame, int64_t frameNumber, QList<float> audioLevels,
                    QList<float> peakLevels, QByteArray audioBuffer, int requestId);
    void scopeImageReady(QImage image, int64_t frameNumber);

public slots:
    // Creates the audio engine as a child, on the engine's thread. Queue it once after
    // moving the engine to its thread, before the first openFile.
    void init();
    // Closes what is open, opens filePath and emits exactly one fileOpened.
    void openFile(QString filePath);
    // Drops the open file (demuxer, decoders, queue, caches); emits nothing. Leaves the
    // conversion profile and currentFrame as they are.
    void closeFile();

    // Exact frame n; the answer carries the sound from frame n on, aligned to it (forward
    // playback starts with it), so with sound this always seeks.
    void requestFrame(int64_t frameNumber, int requestId = 0);
    // Exact frame n, served from the frame cache or decoded on without a seek where it can
    // be; the answer then comes without sound. For steps and shuttles, whose sound is not
    // played.
    void requestFrameSilently(int64_t frameNumber, int requestId = 0);
    // Playback: the first frame numbered targetFrame or more, from the queue without a seek
    // (frames before it leave unconverted).
    void requestNextFrameAtOrAfter(int64_t targetFrame, int requestId = 0);
    // Forward playback begins at frame n: requestFrame's answer, its sound reaching at least
    // soundSeconds past the frame (less only where the file ends), so that the output can
    // start at once and play on while the next answers fill the playback queue. The video
    // read on the way is held back undecoded for them.
    void requestPlaybackStart(int64_t frameNumber, double soundSeconds, int requestId = 0);
    void primePlaybackQueue(int64_t frameNumber, int requestId = 0);
    // live: the scope of the picture last shown (playback's), without touching the decoder;
    // the answer names that picture's number. Falls back to frameNumber when none is kept.
    void requestScopeImage(int64_t frameNumber, ScopeRange range, DisplayChannel channel,
                           int rotationDegrees = 0, ScopeKind kind = ScopeWaveform, bool live = false);
    void setAudioRouting(int chL, int chR);
    void clearAudioQueue();
    void setConversionProfile(ConversionProfile profile);
    // Exposure in stops of the view transform of scene-linear (float) pictures; kept
    // across files. Conversions from now on use it.
    void setExposure(double stops);
    // The one call made directly from the GUI thread: stores the id atomically so that
    // running work for an older id can give up.
    void abortCurrentTask(int latestId);
    // Frame n as the viewer shows it under the current profile, at full size (RGB32, or
    // ARGB32 with the source's alpha); null without a frame.
    QImage getFrameAsImage(int64_t frameNumber);
    // Stored and converted values of the pixel under a viewer-canvas point of frameNumber
    // ("Source:  ...\nConvert: r,g,b"); empty off the picture or without a frame. Decodes
    // (seeking, so only while stopped) when the frame is not the one cached.
    QString pixelInspectorSourceConvertText(int64_t frameNumber, int canvasX, int canvasY,
                                            int canvasW, int canvasH, int rotationDegrees);

public:
    // Any thread, like abortCurrentTask: every blocking read from now on gives up, so a
    // stuck open or decode returns and the thread can quit. Permanent for this engine.
    void requestShutdown() { readInterrupter.requestShutdown(); }

    // --- engine thread only: used by the engine's own units, the CLI, tests, benchmarks ---

    // The decoded frame numbered frameNumber (or the last one reached when the file ends
    // first) as a new reference, without conversion; null when nothing is open, the number
    // is negative or the request was abandoned. Seeks (emptying the playback queue) unless
    // the media is a single frame. Never touches audio alignment.
    av::FramePtr decodeFrameAt(int64_t frameNumber, int requestId);
    // Number of the frame most recently delivered or positioned to.
    int64_t currentFrameNumber() const { return currentFrame; }

    struct DecodeCounters {
        int64_t framesDecoded = 0;   // frames the video decoder returned
        int64_t framesConverted = 0; // display conversions of video frames
        int64_t seeks = 0;           // demuxer seeks, re-seeks included
        int64_t reseeks = 0;         // re-seeks after landing past the target
        int64_t cacheHits = 0;       // exact requests answered from the frame cache
        int64_t skippablePackets = 0; // video packets sent while non-reference frames were skipped
        int64_t framesSkipped = 0;   // late frames of playback never decoded
    };
    DecodeCounters decodeCounters() const { return counters; }
    QList<int64_t> queuedFrameNumbers() const;
    int conversionContextBuilds() const { return pixelConverter.contextBuildCount(); }
    bool playbackPrimingEnabled() const { return file && file->primingEnabled; }
    // Facts of the open file (empty when none is open).
    const MediaInfo &mediaInfo() const;
    // Where the decoder stands; the default (in step) when nothing is open.
    DecoderState decoderState() const { return file ? file->decoder : DecoderState(); }
    // Decoded frames kept for steps back and repeated requests. The bound may also be set
    // before the engine is moved to its thread (the CLI switches the cache off with 0).
    const FrameCache &decodedFrameCache() const { return frameCache; }
    void setFrameCacheBound(int64_t bytes) { frameCache.setBoundBytes(bytes); }
    // Whether an open without a timecode tag decodes the first picture for one (on by
    // default). Work that never shows the timecode (the CLI's picture export) skips it.
    void setPictureTimecodeLookup(bool enabled) { pictureTimecodeLookup = enabled; }
    // For an engine that answers one frame request and is then closed (the CLI's export):
    // nothing after the target is decoded, and the decoder is drained as soon as the
    // target's packet is in. Set before the thread starts.
    void setOneShot(bool enabled) { oneShot = enabled; }
    // Frame rate for media that carry none of their own (image sequences), over what their
    // headers say; 0 leaves it to the files (else 24). Set before the open.
    void setFpsOverride(double fps) { fpsOverride = fps; }
    // Threads that read and decode an image sequence's next files ahead while it is read
    // forward; -1 (the default): one per core, 0: none. Set before the open.
    void setSequenceReadAhead(int workers) { sequenceReadAheadWorkers = workers; }
    // The open sequence's reader (null for other media): its read-ahead counters.
    const SequenceReader *sequenceReader() const
    {
        return file && file->sequence ? file->sequence->reader.get() : nullptr;
    }
    // The conversion half of getFrameAsImage, for a frame from decodeFrameAt: the display
    // conversion of the current profile written straight into the image.
    QImage exportImage(const AVFrame *frame);
    // Closes the audio decoders of the open file, for work that needs no sound (the CLI's
    // picture export): audio packets are then dropped unread.
    void stopAudioDecoding();

    // --- one pass through the whole file in order, for analyses (videoengine_sequential.cpp) ---
    // Engine thread only; meant for an engine of its own (no playback, frame cache off).
    struct SequentialPicture {
        av::FramePtr frame;      // null at the end of the file (or when nothing is open)
        int64_t frameNumber = -1; // the player's number for it
        std::optional<double> seconds; // its timestamp from the picture stream's start
    };
    // The next picture in presentation order, decoding on from where the decoder stands
    // (the start, right after openFile). The sound read with it waits in the audio queues.
    SequentialPicture readNextPicture();
    // Audio-only media: decodes the sound up to 'seconds' from the start; false once the
    // file is exhausted (its decoders then drained). 'reached' gets how far the packets read
    // so far go (a damaged timestamp may put it far ahead).
    bool readAudioTo(double seconds, double *reached = nullptr);
    // Everything decoded so far on every channel, taken out of the audio queues.
    std::vector<AudioChannelSamples> takeDecodedAudio();
    // The range the display assumes for every picture (an AVColorRange value; 0: each
    // picture's own tag).
    int pictureRangeOverride() const { return file ? file->rangeOverride : 0; }

private:
    // The open file: what its open found, fixed until it is closed, and the state of
    // decoding it. Engine thread.
    struct File {
        // --- found by the open ---
        av::FormatContextPtr formatContext;
        av::CodecContextPtr videoCodecContext; // null for audio-only media
        int videoStreamIndex = -1;
        int audioStreamIndex = -1;             // set only for audio-only media
        bool audioOnly = false;
        double fps = 0.0;                      // used for all frame/time arithmetic
        double videoStartSec = 0.0;
        double videoDurationSec = 0.0;
        int64_t totalFrames = 0;               // at least 1 once open
        int rangeOverride = 0;                 // AVColorRange; 0 = each frame's own range
        bool intraOnlyVideo = false;           // every frame decodes on its own
        // Playback measures chosen for the file's size and codec.
        bool stabilizerEnabled = false;
        bool primingEnabled = false;
        bool previewDownscaleEnabled = false;
        MediaInfo info;

        // --- decoding ---
        DecoderState decoder;
        // manualFrameCounter: number frames by count, not by timestamp (stays set until the
        // file is closed); framesDecodedSinceSeek: frames since the last seek or open.
        decodeplan::NumberingState numbering;
        QList<DecodedFrame> decodeQueue;
        // What the current run of decoding has seen since its seek; every seek starts anew.
        struct SinceSeek {
            // Video packets read but not yet decoded, in stream order, with their frame
            // numbers; the decoder takes them before anything new is read.
            struct HeldPacket {
                av::PacketPtr packet;
                int64_t frameNumber = 0;
            };
            std::deque<HeldPacket> heldVideo;
            bool skippedUnreferenced = false; // or drained early: a short run may hide frames
            bool catchingUp = false;          // this run has fallen behind
            int catchUpRequests = 0;          // requests since catching up began or was last judged
            int64_t catchUpBusyUSecs = 0;     // time those requests took
            double soundReadSec = 0.0;        // end of the last audio packet read ahead
        } sinceSeek;
        // The read-back: its target, and the cache's first frame when it started (once per
        // first frame; an open GOP may not let it reach below).
        int64_t readBackTarget = -1;
        int64_t readBackStartedBelow = -1;
        bool sequentialStarted = false;        // readNextPicture has positioned at the start
        // Audio-only media: how far the sound has been read, relative to videoStartSec.
        bool audioReadExhausted = false;
        double audioReadPositionSec = 0.0;
        // Pixel-inspector cache: one decoded frame and its RGB conversion.
        PixelProbe inspector;
        // Image sequences: the files, and the index of the next one to read. The demuxer
        // only describes the stream; readPacket takes each picture from the reader (which
        // reads ahead) and leaves it in 'taken' for the decode step, keeping the gaps.
        struct SequenceReading {
            imagesequence::Sequence files;
            int64_t nextIndex = 0;
            std::unique_ptr<SequenceReader> reader;
            std::map<int64_t, SequenceReader::Picture> taken;
        };
        std::optional<SequenceReading> sequence;
    };
    using HeldPacket = File::SinceSeek::HeldPacket;

    // Named settings of the decoding a request does; a request overrides them for its
    // duration (see ScopedSetting in the units).
    struct DecodeSettings {
        bool withSound = false;         // seek even to a frame the cache holds (for its sound)
        bool skipUnreferenced = true;   // off while an exact decode is retried plainly
        int64_t readBackTarget = -1;    // the read-back's target while it decodes a slice
    };

    bool hasVideo() const { return file && file->videoCodecContext; }
    bool isAudioOnly() const { return file && file->audioOnly; }
    bool hasSound() const;

    // --- opening (videoengine_open.cpp) ---
    enum class AudioOnlyResult { NoAudioStream, Failed, Opened };
    void fail(const QString &error);
    // Keeps the facts and emits the one successful mediaOpened and fileOpened.
    void publishOpened(const MediaInfo &info);
    // Demuxer, stream info and numbering mode of a new File; the error text or empty.
    QString openContainer(const QString &filePath);
    // The video stream and its default decoder; -1 when there is none.
    int findVideoStream(const AVCodec *&defaultDecoder);
    void choosePlaybackMeasures(const AVCodecParameters *par);
    QString openVideoDecoder(const AVCodec *decoder, const AVCodecParameters *par, const QString &filePath);
    void chooseFrameRate(const AVStream *stream);
    // Ticks coarser than a frame: frames are counted in decode order, and the file is opened
    // again without edit lists (which in such ticks leave only the first picture); 'stream'
    // then points into the new demuxer. The error text or empty.
    QString reopenForCoarseTicks(const QString &filePath, const AVStream *&stream);
    void readLength(const AVStream *stream);
    // The demuxer for an image sequence (image2 on its pattern, at its rate); the error or empty.
    QString openSequenceContainer(const imagesequence::Sequence &files, double fps);
    MediaInfo describeVideo(const QString &filePath, const AVStream *stream, const AVCodec *decoder);
    void openSoundWithVideo(MediaInfo &info);
    AudioOnlyResult openAudioOnly(const QString &filePath);
    void ensureAudioEngine();

    // --- decoding (videoengine_decode.cpp) ---
    bool isAbandoned(int requestId) const;
    decodeplan::StreamClock videoClock() const;
    // Fills decodeQueue up to the depth/audio-lead targets; with stopAtFrame >= 0 it also
    // stops as soon as a frame numbered stopAtFrame or more is queued (seek phase).
    void decodeStep(int64_t stopAtFrame = -1);
    void queueDecodedFrame(AVFrame *frame);
    // The next packet: the demuxer's, or for a sequence the next file's (a gap or an
    // unreadable file comes as a packet flagged AV_PKT_FLAG_DISCARD). av_read_frame's result.
    int readPacket(AVPacket *packet);
    // Sends a video packet; for a sequence, a flagged packet or one the decoder turns into
    // no picture is queued as the missing-frame slate.
    void sendVideoPacket(AVPacket *packet);
    void queueSlate(int64_t index, const QString &reason);
    QList<float> levelSnapshot();
    // Demuxer seek for frame n, secondsEarlier before it; the av_seek_frame result.
    int seekDemuxer(int64_t frameNumber, double secondsEarlier);
    void resetAfterSeek();

    // --- start timecode from the pictures (videoengine_timecode.cpp) ---
    // Decodes the first picture of codecs that can carry a timecode and returns it (logged
    // with its source), or empty; the decoder is left positioned at the start.
    QString startTimecodeFromPictures();
    struct ExactResult {
        av::FramePtr frame;
        bool abandoned = false;
    };
    // Seek (for media of more than one frame) and decode forward to frame n, re-seeking
    // earlier when the first frame after a seek is already past n or nothing decodes.
    ExactResult decodeExact(int64_t frameNumber, int requestId);
    // Re-seek attempt after the seek for 'target' landed past it (or after the last frame
    // that decodes); false when the bound is used up or the seek cannot go earlier than
    // 'lastSeekTs'.
    bool reseekEarlier(int64_t target, int &attempt, int64_t &lastSeekTs);

    // --- decoded-frame reuse and frames skipped on the way (videoengine_reuse.cpp) ---
    // Serves frame n from the cache without touching the decoder; keeps the playback queue
    // in step or, when the decoder is elsewhere, leaves it detached.
    bool takeFromCache(int64_t frameNumber, ExactResult &result);
    // True when frame n is the decoder's next output, so reaching it needs no seek.
    bool continueWithoutSeek(int64_t frameNumber);
    // Instead of aligning: when the sound decoded so far does not start at the picture, it
    // is dropped, so that no answer hands it to the output.
    bool dropAudioAheadOfPicture();
    // Before a seek for n: the cache is kept only when n lies next to what it holds.
    void prepareCacheForSeek(int64_t frameNumber);
    void forgetCachedFrames();
    void offerToCache(const AVFrame *frame, int64_t number);
    // Sets the decoder's skip_frame for the next packet on the way to 'target' (-1: none).
    // True when the engine is one-shot and this is the target's own packet: nothing after
    // it is needed, so the decoder may be drained.
    bool chooseDiscard(const AVPacket *packet, int64_t target);
    void drainForTarget();
    int64_t estimatedFrameBytes() const;
    // After a run that ended short of frame n: whether to decode again the plain way (the
    // decoder had nothing more without a seek, or skipped frames may hide the last one).
    bool exactNeedsPlainRetry(bool continued, bool reachedAnyFrame);
    ExactResult decodeExactPlainly(int64_t frameNumber, int requestId);
    // Playback continues from the decoder's queue; after a frame from the cache or steps
    // without a seek, decoder or sound sit elsewhere, so the decoder seeks to the current
    // frame first and the sound is aligned to it. False when the request was abandoned.
    bool repositionForPlayback(int requestId);
    // Stepping back through the cache toward its first frame: decode the stretch before it
    // while the steps are served, so crossing the key frame does not stall.
    void schedulePrefetch();
    // One bite of the read-back: decodes up to the queue's minimum depth toward the frame
    // before the cache's first, then queues itself again, so requests run in between.
    void prefetchSlice();

    ConversionSource conversionSource() const;
    QVideoFrame convertForDisplay(const AVFrame *frame, bool previewDownscale = false);
    void alignAudioTo(double seconds);
    // The tail every frame request ends with: drain audio, levels, frameReady.
    void finishFrameRequest(QVideoFrame frame, int requestId);

    // --- scope requests (videoengine_scope.cpp) ---
    bool scopeSourceIsRgb() const;
    // 8-bit BGRA picture of 'frame' under the scope's conversion profile, rotated and
    // fitted (scopeConverter; the viewer's conversion is left alone). Null when the
    // conversion fails.
    QImage scopeFallbackPicture(const AVFrame *frame, ScopeRange range, int rotationDegrees);
    // The same on any thread, with the caller's converter.
    static QImage scopeFallbackPicture(PixelConverter &converter, const ConversionSource &source,
                                       const AVFrame *frame, ScopeRange range, int rotationDegrees);

    // --- playback queue and audio-only media (videoengine_playback.cpp) ---
    // Removes the queue's first entry: currentFrame and meter levels follow it.
    DecodedFrame takeQueueFront();
    // Exact frame n, converted for display, the sound aligned to it; null when abandoned or
    // not found. The work of a frame request before its answer is sent.
    QVideoFrame exactPicture(int64_t frameNumber, int requestId);
    // Display conversion with the preview downscale decided for this frame.
    QVideoFrame convertForPlayback(const AVFrame *frame);
    // Forward 1x on media whose frames each decode alone, when the picture is behind:
    // the frames before the target are not decoded, and the sound is read ahead with
    // the video packets held back undecoded (videoengine_catchup.cpp).
    bool catchesUpWithoutDecoding(int64_t targetFrame);
    // Drops what is late, reads the sound ahead and decodes held packets until a frame at
    // or after the target is queued (or none is left to decode).
    void catchUpTo(int64_t targetFrame);
    // Leaves catching up once requests take well under a frame period again.
    void noteCatchUpRequest(int64_t busyUSecs);
    void readAheadHoldingVideo(int64_t targetFrame);
    // Reads one packet: sound is decoded (soundReadSec follows it), video is held back.
    // False at the end of the file or when the read was interrupted.
    bool readPacketHoldingVideo();
    // Video packets may wait undecoded (intra-only, numbered by timestamp).
    bool canHoldVideo() const;
    size_t maxHeldPackets() const;
    void holdVideoPacket(av::PacketPtr packet);
    void sendHeldVideoPacket();
    // Reads audio packets until 'seconds' of sound are decoded; past the duration only
    // when capAtDuration is false (a pass to the end of the file).
    void readAudioUntil(double seconds, bool capAtDuration = true);
    void positionAudioOnly(int64_t frameNumber);
    void refreshAudioOnlyLevels();
    // The fixed picture audio-only media show.
    QImage audioOnlyImage();
    QVideoFrame audioOnlyFrame();
    // A still (one frame) during playback: its one frame, kept in the queue.
    QVideoFrame stillForPlayback();

    // --- engine thread ---
    std::unique_ptr<File> file;            // null while nothing is open
    DecodeSettings settings;
    int64_t currentFrame = 0;              // kept across closeFile, as the last answer said
    // Display conversion with its cached swscale context and key, and the conversion
    // profile (kept across files).
    PixelConverter pixelConverter;
    // The scope's 8-bit pictures, under the scope's profiles.
    PixelConverter scopeConverter;
    bool pictureTimecodeLookup = true;
    bool oneShot = false;
    double fpsOverride = 0.0;
    double exposureStops = 0.0;
    int sequenceReadAheadWorkers = -1;
    QImage audioOnlyPicture;               // loaded once, kept across files
    DecodeCounters counters;
    AudioEngine *audioEngine = nullptr;    // child; created by init()
    ScopeRenderFn scopeRenderer;           // set before the thread starts, then read-only
    // The last picture converted for display (a reference), for live scopes while playing.
    av::FramePtr shownFrame;
    int64_t shownFrameNumber = -1;
    // Draws live scopes off this thread; made on the first one, joined first on destruction
    // (its jobs emit scopeImageReady).
    std::unique_ptr<ScopeWorker> liveScopeWorker;
    FrameCache frameCache;

    // --- written by the GUI thread (abortCurrentTask), read by the engine thread ---
    std::atomic<int> latestRequestId{0};
    // Asked by the demuxer before blocking reads: shutdown, or the running request abandoned.
    mediachecks::ReadInterrupter readInterrupter{latestRequestId};
};
