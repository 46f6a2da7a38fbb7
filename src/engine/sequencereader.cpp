#include "engine/sequencereader.h"

#include "av/ffmpeg.h"

#include <QFile>

#include <algorithm>
#include <climits>

namespace {

// What is read ahead stays within this many bytes of decoded pictures, and a few pictures.
constexpr int64_t kReadAheadBytes = 192LL << 20;
constexpr int kMaxReadAhead = 6;

av::CodecContextPtr openWorkerDecoder(const AVCodecParameters *par, const AVCodec *codec)
{
    av::CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), par) < 0)
        return {};
    // The workers are the parallelism: one core each.
    context->thread_count = 1;
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return {};
    return context;
}

int64_t pictureBytes(const AVCodecParameters *par)
{
    const int size = av_image_get_buffer_size(AVPixelFormat(par->format), par->width, par->height, 1);
    // Unknown before the first decode for some formats: assume 16-bit RGBA.
    return size > 0 ? size : int64_t(par->width) * par->height * 8;
}

} // namespace

SequenceReader::SequenceReader(imagesequence::Sequence files, const AVCodecParameters *par, const AVCodec *codec,
                               int readAheadWorkers)
    : m_files(std::move(files))
{
    for (int i = 0; par && codec && i < readAheadWorkers; ++i) {
        av::CodecContextPtr decoder = openWorkerDecoder(par, codec);
        if (!decoder)
            break;
        m_decoders.push_back(std::move(decoder));
    }
    if (!m_decoders.empty()) {
        const int64_t byBytes = kReadAheadBytes / std::max<int64_t>(pictureBytes(par), 1);
        m_depth = int(std::clamp<int64_t>(byBytes, int64_t(m_decoders.size()) + 1, kMaxReadAhead));
    }
}

SequenceReader::~SequenceReader()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    for (std::thread &worker : m_workers)
        worker.join();
}

int64_t SequenceReader::picturesReadAhead() const
{
    const std::lock_guard lock(m_mutex);
    return m_fromWorkers;
}

int64_t SequenceReader::picturesDropped() const
{
    const std::lock_guard lock(m_mutex);
    return m_dropped;
}

SequenceReader::Picture SequenceReader::decodeFile(const imagesequence::Sequence &files, int64_t index,
                                                   AVCodecContext *decoder)
{
    Picture picture;
    const int64_t number = files.first() + index;
    if (!files.has(number)) {
        picture.failure = QStringLiteral("missing");
        return picture;
    }
    av::PacketPtr packet = av::makePacket();
    av::FramePtr frame = av::makeFrame();
    if (!packet || !frame) {
        picture.failure = QStringLiteral("cannot read");
        return picture;
    }
    QFile source(files.filePath(number));
    const qint64 size = source.open(QIODevice::ReadOnly) ? source.size() : 0;
    bool read = false;
    if (size > 0 && size < INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE && av_new_packet(packet.get(), int(size)) == 0)
        read = source.read(reinterpret_cast<char *>(packet->data), size) == size;
    if (!read) {
        picture.failure = QStringLiteral("cannot read");
        return picture;
    }
    packet->flags |= AV_PKT_FLAG_KEY;
    packet->pts = packet->dts = index;
    packet->duration = 1;
    int sent = avcodec_send_packet(decoder, packet.get());
    if (sent == AVERROR_EOF) {
        // Drained at the end of an earlier pass: still-picture decoders start afresh.
        avcodec_flush_buffers(decoder);
        sent = avcodec_send_packet(decoder, packet.get());
    }
    // Still-picture decoders answer each packet at once, so a file that gives no picture
    // is known here and shown as such rather than skipped.
    bool pictured = false;
    while (avcodec_receive_frame(decoder, frame.get()) >= 0) {
        // One picture per file; anything more is not shown.
        if (!pictured) {
            picture.frame = av::makeFrame();
            if (picture.frame)
                av_frame_move_ref(picture.frame.get(), frame.get());
            pictured = picture.frame != nullptr;
        }
        av_frame_unref(frame.get());
    }
    if (!pictured) {
        picture.failure = QStringLiteral("cannot decode");
        return picture;
    }
    picture.frame->pts = picture.frame->best_effort_timestamp = index;
    return picture;
}

void SequenceReader::startWorkers()
{
    // On the first run forward, so that stills and random looks never start a thread.
    if (!m_workers.empty())
        return;
    for (av::CodecContextPtr &decoder : m_decoders)
        m_workers.emplace_back([this, context = decoder.get()] { work(context); });
}

void SequenceReader::dropAheadLocked()
{
    m_dropped += int64_t(m_ready.size()) + int64_t(m_inProgress.size());
    m_ready.clear();
    // What is being decoded now comes back under the old generation and is thrown away.
    m_inProgress.clear();
    ++m_generation;
    m_ahead = false;
}

SequenceReader::Picture SequenceReader::take(int64_t index, AVCodecContext *decoder)
{
    std::unique_lock lock(m_mutex);
    const bool forward = index == m_lastTaken + 1;
    m_lastTaken = index;
    if (!forward) {
        if (!m_ready.empty() || !m_inProgress.empty())
            dropAheadLocked();
        m_ahead = false;
        m_nextClaim = index + 1;
    } else if (!m_decoders.empty()) {
        m_ahead = true;
        m_nextClaim = std::max(m_nextClaim, index + 1);
        startWorkers();
    }
    // Whatever is ahead of this index may be claimed now.
    m_changed.notify_all();

    for (;;) {
        if (auto found = m_ready.find(index); found != m_ready.end()) {
            Picture picture = std::move(found->second);
            m_ready.erase(found);
            ++m_fromWorkers;
            m_changed.notify_all();
            return picture;
        }
        if (!m_inProgress.contains(index))
            break;
        m_changed.wait(lock);
    }
    // Not ahead: read here. A worker never claims an index at or below the last taken.
    lock.unlock();
    return decodeFile(m_files, index, decoder);
}

void SequenceReader::work(AVCodecContext *decoder)
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] {
            const int64_t held = int64_t(m_ready.size()) + int64_t(m_inProgress.size());
            return m_stopping
                || (m_ahead && m_nextClaim < m_files.frameCount() && m_nextClaim <= m_lastTaken + m_depth
                    && held < m_depth);
        });
        if (m_stopping)
            return;
        const int64_t index = m_nextClaim++;
        const uint64_t generation = m_generation;
        m_inProgress[index] = generation;
        lock.unlock();
        Picture picture = decodeFile(m_files, index, decoder);
        lock.lock();
        if (generation != m_generation)
            continue; // dropped meanwhile (already counted)
        m_inProgress.erase(index);
        m_ready[index] = std::move(picture);
        m_changed.notify_all();
    }
}
