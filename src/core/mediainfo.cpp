#include "core/mediainfo.h"

namespace {

template <typename T>
void insertIfSet(QVariantMap &map, const char *key, const std::optional<T> &value)
{
    if (value)
        map.insert(QLatin1String(key), *value);
}

std::optional<bool> optionalBool(const QVariantMap &map, const char *key)
{
    const auto it = map.constFind(QLatin1String(key));
    return it == map.constEnd() ? std::nullopt : std::optional<bool>(it->toBool());
}

std::optional<double> optionalDouble(const QVariantMap &map, const char *key)
{
    const auto it = map.constFind(QLatin1String(key));
    return it == map.constEnd() ? std::nullopt : std::optional<double>(it->toDouble());
}

} // namespace

QVariantMap MediaInfo::toMap() const
{
    QVariantMap map;
    map.insert(QStringLiteral("filePath"), filePath);
    map.insert(QStringLiteral("isAudioOnly"), isAudioOnly);
    map.insert(QStringLiteral("width"), width);
    map.insert(QStringLiteral("height"), height);
    map.insert(QStringLiteral("fps"), fps);
    map.insert(QStringLiteral("totalFrames"), qint64(totalFrames));
    map.insert(QStringLiteral("videoStartSec"), videoStartSec);
    map.insert(QStringLiteral("videoDurationSec"), videoDurationSec);
    map.insert(QStringLiteral("startTimecode"), startTimecode);
    map.insert(QStringLiteral("hasAlpha"), hasAlpha);
    map.insert(QStringLiteral("scanType"), scanType);
    map.insert(QStringLiteral("codecDisplayName"), codecDisplayName);
    map.insert(QStringLiteral("colorSpaceInfo"), colorSpaceInfo);
    map.insert(QStringLiteral("videoRangeInfo"), videoRangeInfo);
    map.insert(QStringLiteral("audioChannelCount"), audioChannelCount);
    map.insert(QStringLiteral("audioInfo"), audioInfo);
    map.insert(QStringLiteral("audioSampleRate"), audioSampleRate);
    insertIfSet(map, "playbackStabilized", playbackStabilized);
    insertIfSet(map, "playbackPrimingEnabled", playbackPrimingEnabled);
    insertIfSet(map, "avStartDiffFrames", avStartDiffFrames);
    insertIfSet(map, "avDurationDiffFrames", avDurationDiffFrames);
    insertIfSet(map, "hasAudioTimeReference", hasAudioTimeReference);
    insertIfSet(map, "audioTimeReferenceSec", audioTimeReferenceSec);
    if (sequence) {
        QVariantList missing;
        for (const qint64 number : sequence->missing)
            missing.append(number);
        map.insert(QStringLiteral("sequence"),
                   QVariantMap{{QStringLiteral("pattern"), sequence->pattern},
                               {QStringLiteral("first"), qint64(sequence->first)},
                               {QStringLiteral("last"), qint64(sequence->last)},
                               {QStringLiteral("missing"), missing},
                               {QStringLiteral("timecodeFromHeader"), sequence->timecodeFromHeader}});
    }
    return map;
}

MediaInfo MediaInfo::fromMap(const QVariantMap &map)
{
    MediaInfo info;
    info.filePath = map.value(QStringLiteral("filePath")).toString();
    info.isAudioOnly = map.value(QStringLiteral("isAudioOnly")).toBool();
    info.width = map.value(QStringLiteral("width")).toInt();
    info.height = map.value(QStringLiteral("height")).toInt();
    info.fps = map.value(QStringLiteral("fps")).toDouble();
    info.totalFrames = map.value(QStringLiteral("totalFrames")).toLongLong();
    info.videoStartSec = map.value(QStringLiteral("videoStartSec")).toDouble();
    info.videoDurationSec = map.value(QStringLiteral("videoDurationSec")).toDouble();
    info.startTimecode = map.value(QStringLiteral("startTimecode")).toString();
    info.hasAlpha = map.value(QStringLiteral("hasAlpha")).toBool();
    info.scanType = map.value(QStringLiteral("scanType")).toString();
    info.codecDisplayName = map.value(QStringLiteral("codecDisplayName")).toString();
    info.colorSpaceInfo = map.value(QStringLiteral("colorSpaceInfo")).toString();
    info.videoRangeInfo = map.value(QStringLiteral("videoRangeInfo")).toString();
    info.audioChannelCount = map.value(QStringLiteral("audioChannelCount")).toInt();
    info.audioInfo = map.value(QStringLiteral("audioInfo")).toString();
    info.audioSampleRate = map.value(QStringLiteral("audioSampleRate")).toInt();
    info.playbackStabilized = optionalBool(map, "playbackStabilized");
    info.playbackPrimingEnabled = optionalBool(map, "playbackPrimingEnabled");
    info.avStartDiffFrames = optionalDouble(map, "avStartDiffFrames");
    info.avDurationDiffFrames = optionalDouble(map, "avDurationDiffFrames");
    info.hasAudioTimeReference = optionalBool(map, "hasAudioTimeReference");
    info.audioTimeReferenceSec = optionalDouble(map, "audioTimeReferenceSec");
    if (const auto it = map.constFind(QStringLiteral("sequence")); it != map.constEnd()) {
        const QVariantMap fields = it->toMap();
        SequenceFacts facts;
        facts.pattern = fields.value(QStringLiteral("pattern")).toString();
        facts.first = fields.value(QStringLiteral("first")).toLongLong();
        facts.last = fields.value(QStringLiteral("last")).toLongLong();
        for (const QVariant &number : fields.value(QStringLiteral("missing")).toList())
            facts.missing.append(number.toLongLong());
        facts.timecodeFromHeader = fields.value(QStringLiteral("timecodeFromHeader")).toBool();
        info.sequence = facts;
    }
    return info;
}
