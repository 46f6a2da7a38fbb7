#include "engine/mediachecks.h"

#include "av/ffmpeg.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

namespace mediachecks {

QString failureText(const QString &summary, const QString &reason, const QString &path)
{
    return QStringLiteral("%1\n%2: %3").arg(summary, reason, path);
}

QString ffmpegErrorText(int errorCode)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(errorCode, text, sizeof text) < 0)
        return QStringLiteral("Error %1").arg(errorCode);
    return QString::fromUtf8(text);
}

bool isUrl(const QString &path)
{
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+://"));
    return scheme.match(path).hasMatch();
}

QString localFileProblem(const QString &path)
{
    namespace fs = std::filesystem;
    if (path.isEmpty())
        return QStringLiteral("No file name");
    const fs::path native(path.toStdU16String());
    std::error_code error;
    // status() follows links, so a dangling link reads as a missing file.
    const fs::file_status status = fs::status(native, error);
    if (error || !fs::exists(status)) {
        const std::error_code link = std::make_error_code(std::errc::no_such_file_or_directory);
        return QString::fromLocal8Bit((error ? error : link).message().c_str());
    }
    switch (status.type()) {
    case fs::file_type::regular:
        break;
    case fs::file_type::directory:
        return QStringLiteral("Is a folder, not a media file");
    case fs::file_type::fifo:
        return QStringLiteral("Is a named pipe, not a media file");
    case fs::file_type::character:
    case fs::file_type::block:
        return QStringLiteral("Is a device, not a media file");
    case fs::file_type::socket:
        return QStringLiteral("Is a socket, not a media file");
    default:
        return QStringLiteral("Not a regular file");
    }
    const std::uintmax_t size = fs::file_size(native, error);
    if (!error && size == 0)
        return QStringLiteral("The file is empty");
    return {};
}

QString probeScoreProblem(const AVFormatContext *context)
{
    if (!context || !context->iformat)
        return QStringLiteral("Unknown format");
    // Formats that take no probe (a forced or image2 pattern input) report the maximum.
    if (context->probe_score >= LowestTrustedProbeScore)
        return {};
    return QStringLiteral("Not recognised as media (looks like %1 only with score %2 of 100)")
        .arg(QString::fromLatin1(context->iformat->name))
        .arg(context->probe_score);
}

QString openInput(av::FormatContextPtr &out, const QString &path, const ReadInterrupter &interrupter,
                  bool withoutEditLists)
{
    const QString summary = QStringLiteral("avformat_open_input failed.");
    out.reset();
    if (!isUrl(path)) {
        const QString problem = localFileProblem(path);
        if (!problem.isEmpty())
            return failureText(summary, problem, path);
    }
    const AVIOInterruptCB callback = interruptCallback(interrupter);
    av::OptionList options;
    if (withoutEditLists)
        options.emplace_back("ignore_editlist", "1");
    const int result = av::openInput(out, path.toUtf8().constData(), &callback, options);
    if (result < 0)
        return failureText(summary, ffmpegErrorText(result), path);
    const QString lowScore = probeScoreProblem(out.get());
    if (!lowScore.isEmpty()) {
        out.reset();
        return failureText(summary, lowScore, path);
    }
    return {};
}

QString pictureSizeProblem(int width, int height)
{
    if (width > 0 && height > 0)
        return {};
    return QStringLiteral("No picture size in the stream (%1 x %2)").arg(width).arg(height);
}

bool ticksCoarserThanFrames(int timeBaseNum, int timeBaseDen, double fps)
{
    if (timeBaseNum <= 0 || timeBaseDen <= 0 || !std::isfinite(fps) || fps <= 0)
        return false;
    // Half a frame of slack: a time base of exactly one frame (AVI, raw streams) is fine.
    return double(timeBaseNum) / double(timeBaseDen) * fps > 1.5;
}

bool isPlausibleVideoFps(double fps)
{
    return std::isfinite(fps) && fps >= MinimumVideoFps && fps <= MaximumVideoFps;
}

FrameRateChoice chooseFrameRate(double average, double real, double fallback)
{
    if (isPlausibleVideoFps(average))
        return {average, false};
    // The real rate may not sit exactly on the upper bound: 120 itself is taken as damage there.
    if (isPlausibleVideoFps(real) && real < MaximumVideoFps)
        return {real, true};
    return {fallback, true};
}

namespace {

int64_t framesForSeconds(double seconds, double fps)
{
    if (!(seconds > 0) || !(fps > 0))
        return 0;
    const double frames = std::round(seconds * fps);
    return frames < 9.0e18 ? int64_t(frames) : INT64_MAX;
}

// How far apart two counts are, as a factor >= 1.
double spread(int64_t a, int64_t b)
{
    return double(std::max(a, b)) / double(std::max<int64_t>(1, std::min(a, b)));
}

} // namespace

Length plausibleLength(const LengthFacts &facts)
{
    // Every frame takes at least one byte of the file.
    const auto possible = [&](int64_t frames) {
        return frames >= 1 && (facts.fileBytes <= 0 || frames <= facts.fileBytes);
    };

    Length length;
    const double statedSec = facts.streamDurationSec > 0 ? facts.streamDurationSec : facts.formatDurationSec;
    int64_t declared = facts.declaredFrames >= 1 ? facts.declaredFrames : 0;
    int64_t fromDuration = framesForSeconds(statedSec, facts.fps);
    if (declared && !possible(declared)) {
        declared = 0;
        length.corrected = true;
    }
    bool durationImpossible = false;
    if (fromDuration && !possible(fromDuration)) {
        fromDuration = 0;
        durationImpossible = true;
        length.corrected = true;
    }

    const bool declaredFirst = declared && !facts.preferDuration;
    int64_t frames = declaredFirst ? declared : fromDuration;
    if (declared && fromDuration && spread(declared, fromDuration) > 2.0 && facts.indexEntries >= 1) {
        // Two stated facts contradict each other; the index counts what is really there.
        const int64_t nearer = spread(declared, facts.indexEntries) <= spread(fromDuration, facts.indexEntries)
            ? declared
            : fromDuration;
        if (nearer != frames) {
            frames = nearer;
            length.corrected = true;
        }
        if (nearer == declared && !durationImpossible) {
            durationImpossible = true;
            length.corrected = true;
        }
    }
    if (frames < 1 && length.corrected && facts.indexEntries >= 1 && possible(facts.indexEntries))
        frames = facts.indexEntries;
    length.totalFrames = std::max<int64_t>(frames, 1);

    if (facts.streamDurationSec > 0 && !durationImpossible)
        length.durationSec = facts.streamDurationSec;
    else if (facts.fps > 0)
        length.durationSec = double(length.totalFrames) / facts.fps;
    if (!(length.durationSec > 0) && facts.formatDurationSec > 0 && !durationImpossible)
        length.durationSec = facts.formatDurationSec;
    return length;
}

std::optional<double> timeReferenceSeconds(uint64_t samples, int sampleRate)
{
    if (sampleRate < 1)
        return std::nullopt;
    // Whole seconds wrap in integers, so references near 2^64 samples keep their fraction.
    const uint64_t rate = uint64_t(sampleRate);
    const uint64_t day = rate * 86400u;
    const uint64_t withinDay = samples % day;
    return double(withinDay / rate) + double(withinDay % rate) / double(rate);
}

ReadInterrupter::ReadInterrupter(const std::atomic<int> &latestRequestId)
    : m_latestRequestId(latestRequestId)
{
}

bool ReadInterrupter::shouldInterrupt() const
{
    if (shutdownRequested())
        return true;
    const int active = m_activeRequest.load(std::memory_order_acquire);
    return active > 0 && active < m_latestRequestId.load(std::memory_order_acquire);
}

namespace {

int interruptRead(void *opaque)
{
    return static_cast<const ReadInterrupter *>(opaque)->shouldInterrupt() ? 1 : 0;
}

} // namespace

AVIOInterruptCB interruptCallback(const ReadInterrupter &interrupter)
{
    AVIOInterruptCB callback;
    callback.callback = &interruptRead;
    callback.opaque = const_cast<ReadInterrupter *>(&interrupter);
    return callback;
}

} // namespace mediachecks
