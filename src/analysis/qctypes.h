#pragma once

// The vocabulary of the QC analysis: which checks exist, their thresholds, the presets that
// fill them, and the events the detectors report. Plain typed values; the text and JSON
// forms belong to whoever shows them (the CLI, the player's event lane).

#include "loudness/blockpower.h"

#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace qc {

enum class Check {
    Black,
    Freeze,
    Levels,
    Silence,
    TruePeak,
    Loudness,
    TimestampGap,
    TimecodeBreak,
    MissingFrame,
};
constexpr int CheckCount = 9;
constexpr std::array<Check, CheckCount> AllChecks = {
    Check::Black,    Check::Freeze,   Check::Levels,        Check::Silence,      Check::TruePeak,
    Check::Loudness, Check::TimestampGap, Check::TimecodeBreak, Check::MissingFrame,
};

// "black", "freeze", "levels", "silence", "truePeak", "loudness", "timestampGap",
// "timecodeBreak", "missingFrame": the names events and options carry.
QString checkName(Check check);
std::optional<Check> checkFromName(const QString &name);

// Every limit a check uses. Fractions are 0..1 of the picture; levels are in dB.
struct Thresholds {
    // black: luma below blackLumaFraction of the nominal range on at least blackPictureFraction
    // of the picture, for at least blackMinFrames frames.
    double blackLumaFraction = 0.10;
    double blackPictureFraction = 0.98;
    int blackMinFrames = 3;
    // freeze: mean absolute luma difference to the previous picture below freezeNoiseDb
    // (relative to full scale) for at least freezeMinSec.
    double freezeNoiseDb = -60.0;
    double freezeMinSec = 2.0;
    // levels: more than levelsPictureFraction of the picture with Y, R, G or B outside
    // levelsLow..levelsHigh of the nominal range, for at least levelsMinFrames frames.
    double levelsLow = -0.05;
    double levelsHigh = 1.05;
    double levelsPictureFraction = 0.01;
    int levelsMinFrames = 1;
    // silence: a channel below silenceDb (sample peak) for at least silenceMinSec.
    double silenceDb = -60.0;
    double silenceMinSec = 2.0;
    // truePeak: above truePeakDb in a 100 ms block.
    double truePeakDb = -1.0;
    // loudness: integrated loudness of the measured pair outside target ± tolerance.
    double loudnessTarget = -23.0;
    double loudnessTolerance = 1.0;
    // timestampGap: the next picture comes more than gapFactor frame durations later.
    double gapFactor = 1.5;
};

enum class Preset { Ebu, Atsc, Streaming };
QString presetName(Preset preset);
std::optional<Preset> presetFromName(const QString &name);
Thresholds presetThresholds(Preset preset);

enum class Severity { Warning, Error };
QString severityName(Severity severity);

// Near misses: a true peak or loudness within this many dB / LU inside a limit is reported
// as a warning (loudness: at most half the tolerance, so a window of ±1 LU keeps a clean
// middle).
constexpr double WarningMarginDb = 1.0;

// One finding. Frames are the player's frame numbers (audio-only media: its 30 fps grid);
// endFrame is the last frame of the event, endSec where the event ends (exclusive). Both
// times are seconds from the start of the picture stream (of the audio for audio-only).
struct Event {
    Check check = Check::Black;
    int64_t startFrame = 0;
    int64_t endFrame = 0;
    double startSec = 0.0;
    double endSec = 0.0;
    Severity severity = Severity::Error;
    double value = 0.0;           // what was measured (see each check)
    double limit = 0.0;           // the limit it was held against
    std::optional<int> channel;   // global audio channel, for per-channel checks
    QString message;
};

// What one file's analysis measured besides its events.
struct Summary {
    int64_t frames = 0;                   // pictures analysed (audio-only: grid frames)
    double durationSec = 0.0;
    std::optional<double> integratedLufs; // of the measured pair; empty without audio
    std::optional<double> truePeakDbtp;   // of the measured pair; empty without audio or silent
    std::array<int, CheckCount> eventCounts{};
    bool failed = false;                  // any event of severity error
    double elapsedSec = 0.0;
};

// Which checks run and with what limits; the measured pair for loudness (global channels,
// as the loudness command numbers them; -1 is silence, as there).
struct Settings {
    Thresholds thresholds;
    std::array<bool, CheckCount> enabled = {true, true, true, true, true, true, true, true, true};
    std::optional<int> loudnessLeft;  // default 0
    std::optional<int> loudnessRight; // default 1, or 0 for mono
    double sequenceFps = 0.0;         // image sequences' rate over their headers' (0: theirs)

    bool isEnabled(Check check) const { return enabled[size_t(check)]; }
};

// The luma of one picture, as fractions of its nominal range (0 black, 1 white).
struct LumaPoint {
    int64_t frame = 0;
    float min = 0.0f;
    float average = 0.0f;
    float max = 0.0f;
};

// What the analysis measured along the file since its last report, for the graphs: the
// luma of each picture (none for missing frames) and the sound's 100 ms blocks from the
// start of the picture stream, every channel of them (the first MaxBlockChannels), so any
// pair's loudness can be formed from them.
struct Series {
    QList<LumaPoint> luma;
    QList<loudness::PowerBlock> power;
    bool isEmpty() const { return luma.isEmpty() && power.isEmpty(); }
};

// Time order within a file: start, then the check's order above, then the channel.
bool eventBefore(const Event &a, const Event &b);

} // namespace qc
