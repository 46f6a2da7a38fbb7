#include "analysis/qctypes.h"

#include <tuple>

namespace qc {

namespace {

const char *const kCheckNames[CheckCount] = {
    "black", "freeze", "levels", "silence", "truePeak", "loudness", "timestampGap", "timecodeBreak",
};

} // namespace

QString checkName(Check check)
{
    return QString::fromLatin1(kCheckNames[size_t(check)]);
}

std::optional<Check> checkFromName(const QString &name)
{
    for (Check check : AllChecks) {
        if (name.compare(checkName(check), Qt::CaseInsensitive) == 0)
            return check;
    }
    return std::nullopt;
}

QString presetName(Preset preset)
{
    switch (preset) {
    case Preset::Ebu: return QStringLiteral("ebu");
    case Preset::Atsc: return QStringLiteral("atsc");
    case Preset::Streaming: return QStringLiteral("streaming");
    }
    return QStringLiteral("ebu");
}

std::optional<Preset> presetFromName(const QString &name)
{
    for (Preset preset : {Preset::Ebu, Preset::Atsc, Preset::Streaming}) {
        if (name.compare(presetName(preset), Qt::CaseInsensitive) == 0)
            return preset;
    }
    return std::nullopt;
}

Thresholds presetThresholds(Preset preset)
{
    Thresholds thresholds; // the EBU figures are the defaults
    switch (preset) {
    case Preset::Ebu:
        break;
    case Preset::Atsc:
        thresholds.loudnessTarget = -24.0;
        thresholds.loudnessTolerance = 2.0;
        thresholds.truePeakDb = -2.0;
        break;
    case Preset::Streaming:
        thresholds.loudnessTarget = -24.0;
        thresholds.loudnessTolerance = 2.0;
        thresholds.truePeakDb = -2.0;
        break;
    }
    return thresholds;
}

QString severityName(Severity severity)
{
    return severity == Severity::Error ? QStringLiteral("error") : QStringLiteral("warning");
}

bool eventBefore(const Event &a, const Event &b)
{
    return std::make_tuple(a.startSec, int(a.check), a.channel.value_or(-1), a.startFrame)
        < std::make_tuple(b.startSec, int(b.check), b.channel.value_or(-1), b.startFrame);
}

} // namespace qc
