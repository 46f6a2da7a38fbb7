#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <optional>

// The facts of one open file, built once by the engine. Inside the program this typed
// form is passed around; the QVariantMap of fileOpened, the state's "mediaProperties"
// and `orvel-cli probe` are made from it by toMap(), and fromMap() reads such a map back.
// Keys and value types of the map never change: callers and scripts rely on them.

// A numbered image sequence opened as one piece of media: frame i is file first + i.
struct SequenceFacts
{
    QString pattern;           // "shot.%06d.dpx"
    int64_t first = 0;
    int64_t last = 0;
    QList<qint64> missing;     // numbers between first and last without a file
    bool timecodeFromHeader = false; // else counted from the file number at the rate

    int64_t fileNumber(int64_t frame) const { return first + frame; }
    bool operator==(const SequenceFacts &) const = default;
};

struct MediaInfo
{
    QString filePath;
    bool isAudioOnly = false;
    int width = 0;
    int height = 0;
    double fps = 0.0;
    int64_t totalFrames = 0;
    double videoStartSec = 0.0;
    double videoDurationSec = 0.0;
    QString startTimecode;
    bool hasAlpha = false;
    QString scanType;
    QString codecDisplayName;
    QString colorSpaceInfo;
    QString videoRangeInfo;
    int audioChannelCount = 0;
    QString audioInfo;
    int audioSampleRate = 0;

    // Video files only.
    std::optional<bool> playbackStabilized;
    std::optional<bool> playbackPrimingEnabled;
    // Video files with an audio stream: where the first audio stream starts and ends
    // relative to the video, in frames.
    std::optional<double> avStartDiffFrames;
    std::optional<double> avDurationDiffFrames;
    // Audio-only files: the BWF time reference, when the file carries one.
    std::optional<bool> hasAudioTimeReference;
    std::optional<double> audioTimeReferenceSec;
    // Image sequences only.
    std::optional<SequenceFacts> sequence;
    // Float samples, read as scene-linear and shown through the exposure's view transform.
    // Typed only (not in the map).
    bool sceneLinear = false;

    bool isOpen() const { return !filePath.isEmpty(); }
    bool stabilized() const { return playbackStabilized.value_or(false); }
    bool primingEnabled() const { return playbackPrimingEnabled.value_or(false); }

    QVariantMap toMap() const;
    static MediaInfo fromMap(const QVariantMap &map);
};
