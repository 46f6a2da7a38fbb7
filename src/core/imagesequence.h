#pragma once

// Numbered picture files (shot.086400.dpx, shot.086401.dpx ...) seen as one piece of media:
// the run of files in one folder sharing a prefix, a suffix and a padding. Frame i of the
// media is file first + i; numbers in between with no file are gaps that keep their numbers.
//
// detect() and detectInFolder() are pure: they work on a list of names. find() lists the
// folder of a path and calls them.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace imagesequence {

// Extensions (lower case) whose numbered files are read as sequences.
bool isSequenceExtension(const QString &suffix);

// A file name split around its frame number: the last run of digits, followed only by the
// extension ("shot_v003.086400.dpx" -> "shot_v003.", "086400", ".dpx").
struct NumberedName {
    QString prefix;
    QString digits;
    QString suffix;
};
std::optional<NumberedName> splitNumbered(const QString &fileName);

struct Sequence {
    QString directory;
    QString prefix;
    QString suffix;
    int padding = 0; // digits of every number; 0 when the numbers are not padded
    std::vector<int64_t> present; // numbers that have a file, ascending

    int64_t first() const { return present.empty() ? 0 : present.front(); }
    int64_t last() const { return present.empty() ? -1 : present.back(); }
    int64_t frameCount() const { return last() - first() + 1; }
    bool has(int64_t number) const;
    // Numbers without a file, as inclusive ranges.
    std::vector<std::pair<int64_t, int64_t>> gaps() const;
    // Every missing number, at most 'limit' of them.
    std::vector<int64_t> missingNumbers(size_t limit = 100000) const;
    QString fileName(int64_t number) const;
    QString filePath(int64_t number) const;
    // printf-style name for FFmpeg's image2 demuxer ("shot.%06d.dpx"); '%' in the name doubled.
    QString pattern() const;
};

// The sequence the file 'chosen' belongs to among 'names' (one folder); empty when the name
// carries no frame number, has another extension, or no other file shares its run.
std::optional<Sequence> detect(const QString &chosen, const QStringList &names);
// The sequences among 'names', longest first (ties by prefix).
std::vector<Sequence> detectInFolder(const QStringList &names);

struct Found {
    std::optional<Sequence> sequence;
    QString error; // a folder without a sequence; empty otherwise
    int sequencesInFolder = 0;
};
// 'path' is a file (its sequence, if it has one) or a folder (its longest sequence).
Found find(const QString &path);

} // namespace imagesequence
