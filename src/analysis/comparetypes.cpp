#include "analysis/comparetypes.h"

#include "core/timecode.h"

#include <algorithm>
#include <cmath>

namespace cmp {

namespace {

QString rateText(double fps)
{
    return QString::number(fps, 'g', 6) + QStringLiteral(" fps");
}

} // namespace

bool sameRate(double a, double b)
{
    if (!(a > 0.0) || !(b > 0.0))
        return false;
    return std::abs(a - b) <= 1e-6 * std::max(a, b);
}

Alignment align(const SideFacts &a, const SideFacts &b, const Options &options)
{
    Alignment result;
    if (!sameRate(a.fps, b.fps)) {
        result.error = QStringLiteral("The frame rates differ: A has %1, B has %2.").arg(rateText(a.fps), rateText(b.fps));
        return result;
    }
    if ((a.width != b.width || a.height != b.height) && !options.scale) {
        result.error = QStringLiteral("The picture sizes differ: A is %1x%2, B is %3x%4 (--scale compares B scaled to A's size).")
                           .arg(a.width)
                           .arg(a.height)
                           .arg(b.width)
                           .arg(b.height);
        return result;
    }
    switch (options.align) {
    case AlignMode::Start:
        break;
    case AlignMode::Offset:
        result.offset = options.offset;
        break;
    case AlignMode::Auto:
    case AlignMode::Timecode: {
        const auto start = [&](const SideFacts &side) -> std::optional<Timecode> {
            if (side.startTimecode.isEmpty())
                return std::nullopt;
            return Timecode::forVideo(side.fps, side.startTimecode.toStdString());
        };
        const std::optional<Timecode> ta = start(a);
        const std::optional<Timecode> tb = start(b);
        if (ta && tb) {
            // The shorter way round midnight: a file starting at 23:59:59:00 and one at
            // 00:00:01:00 are two seconds apart, not a day less two seconds.
            const auto day = int64_t(ta->framesPerDay());
            int64_t offset = (int64_t(tb->frames()) - int64_t(ta->frames())) % day;
            if (offset > day / 2)
                offset -= day;
            else if (offset < -day / 2)
                offset += day;
            result.offset = offset;
            result.byTimecode = true;
        } else if (options.align == AlignMode::Timecode) {
            const auto describe = [](const SideFacts &side, const std::optional<Timecode> &tc) {
                if (side.startTimecode.isEmpty())
                    return QStringLiteral("none");
                return tc ? side.startTimecode : side.startTimecode + QStringLiteral(" (unusable at this rate)");
            };
            result.error = QStringLiteral("Both files need a source timecode to align by timecode: A has %1, B has %2.")
                               .arg(describe(a, ta), describe(b, tb));
            return result;
        }
        break;
    }
    }
    result.ok = true;
    return result;
}

SideFacts factsOf(const MediaInfo &info)
{
    SideFacts facts;
    facts.fps = info.fps;
    facts.startTimecode = info.startTimecode;
    facts.width = info.width;
    facts.height = info.height;
    return facts;
}

Alignment align(const MediaInfo &a, const MediaInfo &b, const Options &options)
{
    return align(factsOf(a), factsOf(b), options);
}

std::optional<double> PairResult::lowestPsnr() const
{
    std::optional<double> lowest;
    for (int p = 0; p < planes; ++p) {
        if (psnr[p] && (!lowest || *psnr[p] < *lowest))
            lowest = psnr[p];
    }
    return lowest;
}

void addToRuns(Runs &runs, int64_t n)
{
    if (!runs.empty() && runs.back().second + 1 == n) {
        runs.back().second = n;
        return;
    }
    runs.emplace_back(n, n);
}

bool beyondThreshold(const PairResult &result, std::optional<double> thresholdDb)
{
    if (result.identical)
        return false;
    if (!thresholdDb)
        return true;
    const std::optional<double> lowest = result.lowestPsnr();
    // Pictures that differ in a way PSNR does not see (it was not asked for) count.
    return !lowest || *lowest < *thresholdDb;
}

void SummaryBuilder::pair(const PairResult &result)
{
    ++m_summary.framesCompared;
    if (result.identical) {
        ++m_summary.identicalFrames;
        return;
    }
    if (beyondThreshold(result, m_threshold))
        ++m_summary.framesBeyondThreshold;
    addToRuns(m_summary.differentRuns, result.frameA);
    if (!m_summary.firstDifferentFrameA)
        m_summary.firstDifferentFrameA = result.frameA;
    if (result.psnr[0] && (!m_summary.minPsnrY || *result.psnr[0] < *m_summary.minPsnrY)) {
        m_summary.minPsnrY = result.psnr[0];
        m_summary.minPsnrFrameA = result.frameA;
    }
}

Merge::Step Merge::next(std::optional<int64_t> headA, std::optional<int64_t> headB) const
{
    if (!headB)
        return Step::TakeA;
    if (!headA)
        return Step::TakeB;
    const int64_t partner = *headB + m_offset; // B's head in A's numbering
    if (*headA < partner)
        return Step::TakeA;
    if (*headA > partner)
        return Step::TakeB;
    return Step::Pair;
}

} // namespace cmp
