#include "loudness/loudnessgraph.h"

#include "av/ffmpeg.h"
#include "av/filterlib.h"
#include "core/levels.h"

#include <QByteArray>

#include <cmath>

namespace {

QString errorText(int code)
{
    char buffer[64] = {};
    av_strerror(code, buffer, sizeof(buffer));
    return QString::fromUtf8(buffer);
}

// The meter formats its figures with printf, which follows LC_NUMERIC; the application
// object adopts the user's locale, so accept a decimal comma too.
bool parseNumber(const char *text, double *value)
{
    QByteArray bytes(text);
    bool ok = false;
    *value = bytes.toDouble(&ok);
    if (!ok) {
        bytes.replace(',', '.');
        *value = bytes.toDouble(&ok);
    }
    return ok;
}

} // namespace

QString LoudnessGraph::build(int rate)
{
    m_rate = rate;
    QString loadError;
    if (!av::filterlib::load(&loadError))
        return loadError;
    m_graph.reset(av::filterlib::graphAlloc());
    if (!m_graph)
        return QStringLiteral("avfilter_graph_alloc failed.");
    const AVFilter *source = av::filterlib::getByName("abuffer");
    const AVFilter *meter = av::filterlib::getByName("ebur128");
    const AVFilter *sink = av::filterlib::getByName("abuffersink");
    if (!source || !meter || !sink)
        return QStringLiteral("Required FFmpeg filters are not available.");
    const char *formatName = av_get_sample_fmt_name(AV_SAMPLE_FMT_DBL);
    if (!formatName)
        return QStringLiteral("Failed to resolve loudness sample format.");

    const QByteArray sourceArgs =
        QStringLiteral("time_base=1/%1:sample_rate=%1:sample_fmt=%2:channel_layout=stereo")
            .arg(rate)
            .arg(QString::fromLatin1(formatName))
            .toUtf8();
    int ret = av::filterlib::graphCreateFilter(&m_source, source, "orvel_loudness_source", sourceArgs.constData(),
                                            nullptr, m_graph.get());
    if (ret < 0)
        return QStringLiteral("Failed to create abuffer: ") + errorText(ret);
    ret = av::filterlib::graphCreateFilter(&m_meter, meter, "orvel_ebur128", compat::kEbur128Arguments,
                                        nullptr, m_graph.get());
    if (ret < 0)
        return QStringLiteral("Failed to create ebur128: ") + errorText(ret);
    ret = av::filterlib::graphCreateFilter(&m_sink, sink, "orvel_loudness_sink", nullptr, nullptr, m_graph.get());
    if (ret < 0)
        return QStringLiteral("Failed to create abuffersink: ") + errorText(ret);
    ret = av::filterlib::link(m_source, 0, m_meter, 0);
    if (ret >= 0)
        ret = av::filterlib::link(m_meter, 0, m_sink, 0);
    if (ret < 0)
        return QStringLiteral("Failed to link loudness filter graph: ") + errorText(ret);
    ret = av::filterlib::graphConfig(m_graph.get(), nullptr);
    if (ret < 0)
        return QStringLiteral("Failed to configure loudness filter graph: ") + errorText(ret);
    return {};
}

QString LoudnessGraph::feed(const double *left, const double *right, int64_t count)
{
    if (count <= 0)
        return {};
    av::FramePtr frame = av::makeFrame();
    if (!frame)
        return QStringLiteral("av_frame_alloc failed while feeding loudness filter.");
    frame->nb_samples = int(count);
    frame->format = AV_SAMPLE_FMT_DBL;
    frame->sample_rate = m_rate; // the source's output rate
    frame->pts = m_samplesFed;
    av_channel_layout_default(&frame->ch_layout, 2);
    int ret = av_frame_get_buffer(frame.get(), 0);
    if (ret < 0)
        return QStringLiteral("av_frame_get_buffer failed: ") + errorText(ret);
    auto *out = reinterpret_cast<double *>(frame->data[0]);
    for (int64_t i = 0; i < count; ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right[i];
    }
    ret = av::filterlib::bufferSourceAddFrameFlags(m_source, frame.get(), 0);
    if (ret < 0)
        return QStringLiteral("Failed to feed loudness filter: ") + errorText(ret);
    m_samplesFed += count;
    return drain();
}

QString LoudnessGraph::finish()
{
    const int ret = av::filterlib::bufferSourceAddFrameFlags(m_source, nullptr, 0);
    if (ret < 0)
        return QStringLiteral("Failed to finish loudness filter: ") + errorText(ret);
    QString problem = drain();
    if (problem.isEmpty())
        readSummaryOptions();
    return problem;
}

QString LoudnessGraph::drain()
{
    if (!m_drainFrame) {
        m_drainFrame = av::makeFrame();
        if (!m_drainFrame)
            return QStringLiteral("av_frame_alloc failed while draining loudness filter.");
    }
    AVFrame *frame = m_drainFrame.get();
    for (;;) {
        const int ret = av::filterlib::bufferSinkGetFrame(m_sink, frame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return {};
        if (ret < 0)
            return QStringLiteral("Failed to drain loudness filter: ") + errorText(ret);
        double value = 0.0;
        if (const AVDictionaryEntry *entry = av_dict_get(frame->metadata, "lavfi.r128.I", nullptr, 0);
            entry && parseNumber(entry->value, &value)) {
            m_integrated = value;
            m_integratedSeen = true;
        }
        if (const AVDictionaryEntry *entry = av_dict_get(frame->metadata, "lavfi.r128.S", nullptr, 0);
            entry && parseNumber(entry->value, &value))
            m_shortTerm.push_back(value);
        if (const AVDictionaryEntry *entry = av_dict_get(frame->metadata, "lavfi.r128.true_peak", nullptr, 0);
            entry && parseNumber(entry->value, &value)) {
            // A negative peak is no reading; a zero one is silence.
            if (value >= 0.0) {
                m_truePeakDb = levels::linearToDbfs(value, -std::numeric_limits<double>::infinity());
                m_truePeakSeen = true;
            }
        }
        av_frame_unref(frame);
    }
}

void LoudnessGraph::readSummaryOptions()
{
    double value = 0.0;
    if (!m_integratedSeen && av_opt_get_double(m_meter, "integrated", AV_OPT_SEARCH_CHILDREN, &value) >= 0)
        m_integrated = value;
    if (!m_truePeakSeen && av_opt_get_double(m_meter, "true_peak", AV_OPT_SEARCH_CHILDREN, &value) >= 0)
        m_truePeakDb = value;
}
