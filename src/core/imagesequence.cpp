#include "core/imagesequence.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <map>

namespace imagesequence {

namespace {

bool hasLeadingZero(const QString &digits)
{
    return digits.size() > 1 && digits.front() == QLatin1Char('0');
}

// Beyond this a number is not a frame number (and would not fit image2's int).
constexpr int kMaxDigits = 9;

struct Member {
    QString digits;
    int64_t number = 0;
};

// The members of one prefix/suffix group that share 'digits' run: padded at its width
// when it has a leading zero or every unpadded member is as wide; otherwise the unpadded ones.
Sequence runOf(const QString &prefix, const QString &suffix, const QString &digits, const std::vector<Member> &group)
{
    const int width = int(digits.size());
    bool padded = hasLeadingZero(digits);
    if (!padded && width > 1) {
        padded = std::all_of(group.begin(), group.end(), [&](const Member &m) {
            return hasLeadingZero(m.digits) || m.digits.size() == width;
        });
    }
    Sequence sequence;
    sequence.prefix = prefix;
    sequence.suffix = suffix;
    sequence.padding = padded ? width : 0;
    for (const Member &m : group) {
        const bool belongs = padded ? m.digits.size() == width : !hasLeadingZero(m.digits);
        if (belongs)
            sequence.present.push_back(m.number);
    }
    std::sort(sequence.present.begin(), sequence.present.end());
    sequence.present.erase(std::unique(sequence.present.begin(), sequence.present.end()), sequence.present.end());
    return sequence;
}

using GroupKey = std::pair<QString, QString>;

std::map<GroupKey, std::vector<Member>> groupsOf(const QStringList &names)
{
    std::map<GroupKey, std::vector<Member>> groups;
    for (const QString &name : names) {
        const std::optional<NumberedName> split = splitNumbered(name);
        if (!split)
            continue;
        groups[{split->prefix, split->suffix}].push_back({split->digits, split->digits.toLongLong()});
    }
    return groups;
}

} // namespace

bool isSequenceExtension(const QString &suffix)
{
    static const QStringList known = {QStringLiteral("dpx"), QStringLiteral("exr"), QStringLiteral("tif"),
                                      QStringLiteral("tiff"), QStringLiteral("png")};
    return known.contains(suffix.toLower());
}

std::optional<NumberedName> splitNumbered(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || !isSequenceExtension(fileName.mid(dot + 1)))
        return std::nullopt;
    qsizetype start = dot;
    while (start > 0 && fileName.at(start - 1).isDigit() && fileName.at(start - 1).unicode() < 128)
        --start;
    const qsizetype length = dot - start;
    if (length == 0 || length > kMaxDigits)
        return std::nullopt;
    return NumberedName{fileName.left(start), fileName.mid(start, length), fileName.mid(dot)};
}

bool Sequence::has(int64_t number) const
{
    return std::binary_search(present.begin(), present.end(), number);
}

std::vector<std::pair<int64_t, int64_t>> Sequence::gaps() const
{
    std::vector<std::pair<int64_t, int64_t>> result;
    for (size_t i = 1; i < present.size(); ++i) {
        if (present[i] > present[i - 1] + 1)
            result.emplace_back(present[i - 1] + 1, present[i] - 1);
    }
    return result;
}

std::vector<int64_t> Sequence::missingNumbers(size_t limit) const
{
    std::vector<int64_t> result;
    for (const auto &[from, to] : gaps()) {
        for (int64_t n = from; n <= to && result.size() < limit; ++n)
            result.push_back(n);
    }
    return result;
}

QString Sequence::fileName(int64_t number) const
{
    const QString digits = padding > 0 ? QStringLiteral("%1").arg(number, padding, 10, QLatin1Char('0'))
                                       : QString::number(number);
    return prefix + digits + suffix;
}

QString Sequence::filePath(int64_t number) const
{
    return QDir(directory).filePath(fileName(number));
}

QString Sequence::pattern() const
{
    QString escapedPrefix = prefix;
    QString escapedSuffix = suffix;
    escapedPrefix.replace(QLatin1Char('%'), QStringLiteral("%%"));
    escapedSuffix.replace(QLatin1Char('%'), QStringLiteral("%%"));
    const QString number = padding > 0 ? QLatin1String("%0") + QString::number(padding) + QLatin1Char('d')
                                       : QStringLiteral("%d");
    return escapedPrefix + number + escapedSuffix;
}

std::optional<Sequence> detect(const QString &chosen, const QStringList &names)
{
    const std::optional<NumberedName> split = splitNumbered(chosen);
    if (!split)
        return std::nullopt;
    std::vector<Member> group;
    for (const QString &name : names) {
        const std::optional<NumberedName> other = splitNumbered(name);
        if (other && other->prefix == split->prefix && other->suffix == split->suffix)
            group.push_back({other->digits, other->digits.toLongLong()});
    }
    Sequence sequence = runOf(split->prefix, split->suffix, split->digits, group);
    if (sequence.present.size() < 2 || !sequence.has(split->digits.toLongLong()))
        return std::nullopt;
    return sequence;
}

std::vector<Sequence> detectInFolder(const QStringList &names)
{
    std::vector<Sequence> result;
    for (const auto &[key, group] : groupsOf(names)) {
        // Each distinct width (and the unpadded numbers) is a run of its own.
        QHash<QString, bool> seen;
        for (const Member &m : group) {
            Sequence sequence = runOf(key.first, key.second, m.digits, group);
            const QString id = QString::number(sequence.padding);
            if (seen.contains(id))
                continue;
            seen.insert(id, true);
            if (sequence.present.size() >= 2)
                result.push_back(std::move(sequence));
        }
    }
    std::stable_sort(result.begin(), result.end(), [](const Sequence &a, const Sequence &b) {
        return a.present.size() > b.present.size();
    });
    return result;
}

Found find(const QString &path)
{
    Found found;
    const QFileInfo info(path);
    if (info.isDir()) {
        const QDir dir(info.absoluteFilePath());
        std::vector<Sequence> sequences = detectInFolder(dir.entryList(QDir::Files | QDir::Readable, QDir::Name));
        found.sequencesInFolder = int(sequences.size());
        if (sequences.empty()) {
            found.error = QStringLiteral("No image sequence in this folder.");
            return found;
        }
        found.sequence = std::move(sequences.front());
        found.sequence->directory = dir.absolutePath();
        return found;
    }
    if (!splitNumbered(info.fileName()))
        return found;
    const QDir dir = info.absoluteDir();
    found.sequence = detect(info.fileName(), dir.entryList(QDir::Files | QDir::Readable, QDir::Name));
    if (found.sequence)
        found.sequence->directory = dir.absolutePath();
    return found;
}

} // namespace imagesequence
