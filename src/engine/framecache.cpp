#include "engine/framecache.h"

#include "av/ffmpeg.h"
#include "core/compat.h"

#include <QByteArray>
#include <QtGlobal>

#include <limits>

int64_t FrameCache::boundFromEnvironment()
{
    const QByteArray text = qgetenv(BoundVariable).trimmed();
    if (text.isEmpty())
        return DefaultBoundBytes;
    bool ok = false;
    const qlonglong mib = text.toLongLong(&ok);
    if (!ok || mib < 0 || mib > (int64_t(1) << 40))
        return DefaultBoundBytes;
    return int64_t(mib) << 20;
}

int64_t FrameCache::frameBytes(const AVFrame *frame)
{
    if (!frame)
        return 0;
    int64_t bytes = 0;
    for (const AVBufferRef *buffer : frame->buf) {
        if (buffer)
            bytes += int64_t(buffer->size);
    }
    for (int i = 0; i < frame->nb_extended_buf; ++i)
        bytes += int64_t(frame->extended_buf[i]->size);
    return bytes;
}

FrameCache::FrameCache(int64_t boundBytes)
    : m_bound(std::max<int64_t>(boundBytes, 0))
{
}

void FrameCache::setBoundBytes(int64_t bytes)
{
    m_bound = std::max<int64_t>(bytes, 0);
    evict();
}

std::optional<int64_t> FrameCache::lowest() const
{
    if (m_frames.empty())
        return std::nullopt;
    return m_frames.begin()->first;
}

std::optional<int64_t> FrameCache::highest() const
{
    if (m_frames.empty())
        return std::nullopt;
    return m_frames.rbegin()->first;
}

int64_t FrameCache::capacityFrames(int64_t bytesPerFrame) const
{
    if (isOff())
        return 0;
    if (bytesPerFrame <= 0)
        return std::numeric_limits<int64_t>::max();
    return m_bound / bytesPerFrame;
}

av::FramePtr FrameCache::find(int64_t number) const
{
    const auto it = m_frames.find(number);
    return it == m_frames.end() ? av::FramePtr() : av::cloneFrame(it->second.frame.get());
}

void FrameCache::setCentre(int64_t number)
{
    m_centre = number;
}

void FrameCache::startRun()
{
    m_armed = false;
    m_lastNumber.reset();
}

void FrameCache::offer(const AVFrame *frame, int64_t number)
{
    if (isOff() || !frame)
        return;
    if (m_lastNumber && number <= *m_lastNumber) {
        // Two frames with one number: whichever is kept could be the wrong picture.
        clear();
        m_off = true;
        return;
    }
    m_lastNumber = number;
    if (!m_armed) {
        if (!compat::frameIsKey(frame))
            return;
        m_armed = true;
    }
    av::FramePtr reference = av::cloneFrame(frame);
    if (!reference)
        return;
    const int64_t bytes = frameBytes(reference.get());
    auto [it, inserted] = m_frames.try_emplace(number);
    if (!inserted)
        m_bytes -= it->second.bytes;
    it->second = Entry{std::move(reference), bytes};
    m_bytes += bytes;
    evict();
}

void FrameCache::clear()
{
    m_frames.clear();
    m_bytes = 0;
    m_off = false;
    startRun();
}

void FrameCache::evict()
{
    while (m_bytes > m_bound && !m_frames.empty()) {
        const auto first = m_frames.begin();
        const auto last = std::prev(m_frames.end());
        // On a tie the later frame goes: steps back are what the cache is for.
        const auto victim = (m_centre - first->first) > (last->first - m_centre) ? first : last;
        m_bytes -= victim->second.bytes;
        m_frames.erase(victim);
    }
}
