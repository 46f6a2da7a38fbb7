#include "analysis/qcanalyzer.h"

#include "analysis/detectors.h"
#include "analysis/picturemeter.h"
#include "audio/audioengine.h"
#include "av/ffmpeg.h"
#include "engine/picturetimecode.h"
#include "engine/slate.h"
#include "engine/videoengine.h"
#include "loudness/channelfifo.h"
#include "loudness/pairmeter.h"

#include <QElapsedTimer>
#include <QMutexLocker>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace qc {

namespace {

// Audio-only media are read in steps of this many seconds.
constexpr double kAudioStepSec = 0.5;

// The audio side of one file: every channel placed on the common time axis (a FIFO per
// channel closes gaps with silence), the per-channel detectors, and the loudness pair.
class AudioSide
{
public:
    AudioSide(const Settings &settings, const Timeline &timeline, int channels, int rate, EventSink sink,
              const std::atomic<bool> &abort)
        : m_settings(settings)
        , m_timeline(timeline)
        , m_rate(rate)
        , m_sink(std::move(sink))
        , m_pair(&abort)
        , m_power(channels, rate)
    {
        // Every channel is placed on the time axis for the graphs; the detectors are optional.
        const bool perChannel = settings.isEnabled(Check::Silence) || settings.isEnabled(Check::TruePeak);
        for (int c = 0; c < channels; ++c) {
            m_fifos.emplace_back(rate, 0.0);
            if (perChannel)
                m_detectors.push_back(std::make_unique<ChannelDetectors>(c, rate, 0.0, settings, timeline, m_sink));
        }
        if (settings.isEnabled(Check::Loudness) && channels > 0) {
            const auto existing = [channels](int c) { return c >= 0 && c < channels ? c : -1; };
            m_left = existing(settings.loudnessLeft.value_or(0));
            m_right = existing(settings.loudnessRight.value_or(channels == 1 ? 0 : 1));
            m_loudnessProblem = m_pair.start(rate, m_left, m_right, 0.0);
            m_measuring = m_loudnessProblem.isEmpty();
        }
    }

    void take(const std::vector<AudioChannelSamples> &blocks)
    {
        for (const AudioChannelSamples &block : blocks) {
            if (block.samples.empty())
                continue;
            m_wide.assign(block.samples.begin(), block.samples.end());
            const auto count = int64_t(m_wide.size());
            if (m_measuring)
                m_pair.push(block.channel, m_wide.data(), count, block.startSec);
            if (size_t(block.channel) < m_fifos.size())
                m_fifos[size_t(block.channel)].push(m_wide.data(), count, block.startSec);
        }
        drainFifos();
        if (m_measuring) {
            if (QString problem = m_pair.feed(PairMeter::Mode::Normal); !problem.isEmpty()) {
                m_loudnessProblem = problem;
                m_measuring = false;
            }
        }
    }

    // The 100 ms blocks every channel has completed.
    void takePower(QList<loudness::PowerBlock> &into)
    {
        for (const loudness::PowerBlock &block : m_power.takeBlocks())
            into.append(block);
    }

    void finish(double durationSec, Summary &summary)
    {
        drainFifos();
        m_power.finish();
        for (auto &detectors : m_detectors)
            detectors->finish();
        if (!m_measuring)
            return;
        if (m_pair.finish().isEmpty()) {
            const double lufs = m_pair.integratedLufs();
            const double peak = m_pair.truePeakDb();
            if (std::isfinite(lufs))
                summary.integratedLufs = lufs;
            if (std::isfinite(peak))
                summary.truePeakDbtp = peak;
            if (auto event = loudnessEvent(lufs, m_settings.thresholds, m_timeline, durationSec, m_left, m_right))
                m_sink(*event);
        }
    }

private:
    void drainFifos()
    {
        for (size_t c = 0; c < m_fifos.size(); ++c) {
            const int64_t count = m_fifos[c].size();
            if (count == 0)
                continue;
            m_wide.resize(size_t(count));
            m_fifos[c].pop(m_wide.data(), count);
            m_narrow.assign(m_wide.begin(), m_wide.end());
            if (c < m_detectors.size())
                m_detectors[c]->push(m_narrow.data(), count);
            m_power.push(int(c), m_narrow.data(), count);
        }
    }

    Settings m_settings;
    Timeline m_timeline;
    int m_rate;
    EventSink m_sink;
    std::vector<ChannelFifo> m_fifos;
    std::vector<std::unique_ptr<ChannelDetectors>> m_detectors;
    PairMeter m_pair;
    loudness::BlockPowerMeter m_power;
    bool m_measuring = false;
    int m_left = -1;
    int m_right = -1;
    QString m_loudnessProblem;
    std::vector<double> m_wide;
    std::vector<float> m_narrow;
};

bool anyPictureCheck(const Settings &settings)
{
    return settings.isEnabled(Check::Black) || settings.isEnabled(Check::Freeze) || settings.isEnabled(Check::Levels);
}

} // namespace

Analyzer::Analyzer(const Settings &settings, EventFn onEvent, ProgressFn onProgress, SeriesFn onSeries)
    : m_settings(settings)
    , m_onEvent(std::move(onEvent))
    , m_onProgress(std::move(onProgress))
    , m_onSeries(std::move(onSeries))
{
}

void Analyzer::reportSeries(bool now)
{
    constexpr qint64 kSeriesEveryMs = 100;
    if (!m_onSeries || m_series.isEmpty() || (!now && m_sinceSeries.isValid() && m_sinceSeries.elapsed() < kSeriesEveryMs))
        return;
    m_onSeries(m_series);
    m_series = Series();
    m_sinceSeries.start();
}

void Analyzer::abort()
{
    m_abort.store(true, std::memory_order_relaxed);
    {
        QMutexLocker lock(&m_pauseLock);
        m_resumed.wakeAll();
    }
    QMutexLocker lock(&m_engineLock);
    if (m_engine)
        m_engine->requestShutdown();
}

void Analyzer::setPaused(bool paused)
{
    QMutexLocker lock(&m_pauseLock);
    m_paused = paused;
    if (!paused)
        m_resumed.wakeAll();
}

void Analyzer::waitWhilePaused()
{
    QMutexLocker lock(&m_pauseLock);
    while (m_paused && !aborting())
        m_resumed.wait(&m_pauseLock);
}

Analyzer::Outcome Analyzer::run(const QString &path)
{
    QElapsedTimer clock;
    clock.start();
    Outcome outcome;

    VideoEngine engine;
    {
        QMutexLocker lock(&m_engineLock);
        m_engine = &engine;
        if (aborting())
            engine.requestShutdown();
    }
    struct Unregister {
        Analyzer *analyzer;
        ~Unregister()
        {
            QMutexLocker lock(&analyzer->m_engineLock);
            analyzer->m_engine = nullptr;
        }
    } unregister{this};

    // Analyses never step back: no decoded frames are kept.
    engine.setFrameCacheBound(0);
    engine.setFpsOverride(m_settings.sequenceFps);
    QString openError;
    QObject::connect(&engine, &VideoEngine::fileOpened, &engine,
                     [&openError](bool success, const QVariantMap &, const QString &error) {
                         if (!success)
                             openError = error;
                     }, Qt::DirectConnection);
    engine.init();
    engine.openFile(path);
    if (aborting()) {
        outcome.kind = Outcome::Aborted;
        return outcome;
    }
    outcome.info = engine.mediaInfo();
    if (!outcome.info.isOpen()) {
        outcome.error = openError.isEmpty() ? QStringLiteral("The file could not be opened.") : openError;
        return outcome;
    }

    const MediaInfo &info = outcome.info;
    Timeline timeline;
    timeline.fps = info.fps > 0 ? info.fps : 30.0;
    timeline.totalFrames = info.totalFrames;
    const auto sink = [&outcome, this](const Event &event) {
        outcome.events.append(event);
        if (m_onEvent)
            m_onEvent(event);
    };

    int lastProgress = -1;
    const auto progress = [&](double fraction) {
        const int percent = std::clamp(int(fraction * 100.0), 0, 99);
        if (percent != lastProgress && m_onProgress)
            m_onProgress(percent);
        lastProgress = percent;
    };

    AudioSide audio(m_settings, timeline, info.audioChannelCount, info.audioSampleRate, sink, m_abort);
    Summary &summary = outcome.summary;
    if (info.isAudioOnly) {
        const double duration = info.videoDurationSec;
        for (double t = kAudioStepSec; !aborting();) {
            waitWhilePaused();
            double reached = t;
            const bool more = engine.readAudioTo(t, &reached);
            audio.take(engine.takeDecodedAudio());
            audio.takePower(m_series.power);
            reportSeries(false);
            if (duration > 0)
                progress(t / duration);
            if (!more)
                break;
            // Steps follow what was read, so a timestamp far ahead is not walked up to.
            t = std::max(t, reached) + kAudioStepSec;
        }
        summary.frames = info.totalFrames;
    } else {
        const bool pictures = anyPictureCheck(m_settings);
        PictureMeter meter(m_settings);
        PictureDetectors pictureDetectors(m_settings, timeline, sink);
        TimestampGapDetector gaps(m_settings.thresholds, timeline, sink);
        TimecodeBreakDetector timecodes(timeline, sink);
        MissingFrameDetector missing(timeline, sink);
        const AVRational frameRate = av_d2q(timeline.fps, 1001000);
        const int rangeOverride = engine.pictureRangeOverride();
        std::string pendingGroupTimecode;
        while (!aborting()) {
            waitWhilePaused();
            const VideoEngine::SequentialPicture picture = engine.readNextPicture();
            audio.take(engine.takeDecodedAudio());
            audio.takePower(m_series.power);
            reportSeries(false);
            if (!picture.frame)
                break;
            ++summary.frames;
            if (m_settings.isEnabled(Check::TimestampGap))
                gaps.feed(picture.frameNumber, picture.seconds);
            // A slate stands in for a frame without a picture: nothing to measure there.
            const QString slateReason = slate::reasonOf(picture.frame.get());
            if (m_settings.isEnabled(Check::MissingFrame))
                missing.feed(picture.frameNumber, slateReason);
            if (!slateReason.isEmpty()) {
                if (info.totalFrames > 0)
                    progress(double(picture.frameNumber + 1) / double(info.totalFrames));
                continue;
            }
            // Measured for the graphs even with every picture check off.
            const PictureStats stats = meter.measure(picture.frame.get(), rangeOverride);
            m_series.luma.append(LumaPoint{picture.frameNumber, float(stats.lumaMin), float(stats.lumaAverage),
                                           float(stats.lumaMax)});
            if (pictures)
                pictureDetectors.feed(picture.frameNumber, stats);
            if (m_settings.isEnabled(Check::TimecodeBreak)) {
                const auto found = picturetimecode::fromFrame(picture.frame.get(), frameRate);
                const bool intra = picture.frame->pict_type == AV_PICTURE_TYPE_I;
                if (found && found->source == QLatin1String("GOP timecode")) {
                    // A group's header is read while the picture before it is still being
                    // finished, so its timecode may arrive on that picture: it belongs to
                    // the group's intra picture, this one or the next.
                    if (intra)
                        timecodes.feed(picture.frameNumber, found->text.toStdString(), true);
                    else
                        pendingGroupTimecode = found->text.toStdString();
                } else if (found) {
                    timecodes.feed(picture.frameNumber, found->text.toStdString(), false);
                }
                if (intra && !pendingGroupTimecode.empty()) {
                    if (!found)
                        timecodes.feed(picture.frameNumber, pendingGroupTimecode, true);
                    pendingGroupTimecode.clear();
                }
            }
            if (info.totalFrames > 0)
                progress(double(picture.frameNumber + 1) / double(info.totalFrames));
        }
        pictureDetectors.finish();
        missing.finish();
    }
    if (aborting()) {
        outcome.kind = Outcome::Aborted;
        return outcome;
    }

    summary.durationSec = info.videoDurationSec > 0 ? info.videoDurationSec : double(info.totalFrames) / timeline.fps;
    audio.finish(summary.durationSec, summary);
    audio.takePower(m_series.power);
    reportSeries(true);
    for (const Event &event : std::as_const(outcome.events)) {
        ++summary.eventCounts[size_t(event.check)];
        summary.failed = summary.failed || event.severity == Severity::Error;
    }
    summary.elapsedSec = double(clock.elapsed()) / 1000.0;
    if (m_onProgress)
        m_onProgress(100);
    outcome.kind = aborting() ? Outcome::Aborted : Outcome::Analysed;
    return outcome;
}

} // namespace qc
