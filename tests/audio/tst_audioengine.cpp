#include "audio/audioengine.h"
#include "audiodevicesupport.h"
#include "av/ffmpeg.h"
#include "testsupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cmath>
#include <functional>
#include <limits>

namespace {

constexpr int Rate = 48000;

struct Stereo {
    QList<int> left;
    QList<int> right;
    qint64 frames() const { return left.size(); }
};

Stereo split(const QByteArray &bytes)
{
    Stereo out;
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData());
    for (qsizetype i = 0; i + 3 < bytes.size(); i += 4) {
        out.left.append(qFromLittleEndian<qint16>(p + i));
        out.right.append(qFromLittleEndian<qint16>(p + i + 2));
    }
    return out;
}

qint64 queued(const AudioEngine &engine, int channel) { return engine.queuedSamples(channel); }

int toS16(double x)
{
    return static_cast<int>(std::trunc(std::clamp(x * 32767.0, -32768.0, 32767.0)));
}

// The ramp clips use sample n = (n mod 30000 + 0.5) / 32767, so every drained s16 value
// names the source sample it came from.
const QString RampExpr = QStringLiteral("(mod(n,30000)+0.5)/32767");
int rampValue(qint64 sourceIndex) { return static_cast<int>(sourceIndex % 30000); }

class Demuxer
{
public:
    bool open(const QString &path)
    {
        if (av::openInput(m_format, QFile::encodeName(path).constData()) < 0)
            return false;
        return avformat_find_stream_info(m_format.get(), nullptr) >= 0;
    }
    AVFormatContext *get() const { return m_format.get(); }

    // Hands every packet the engine decodes to it; 'edit' may rewrite a packet first and
    // gets the running index of the packets handed over so far. Returns packets fed.
    int feed(AudioEngine &engine, int maxPackets = std::numeric_limits<int>::max(),
             const std::function<void(AVPacket *, int)> &edit = {})
    {
        av::PacketPtr packet = av::makePacket();
        int fed = 0;
        while (fed < maxPackets) {
            if (av_read_frame(m_format.get(), packet.get()) < 0) {
                engine.finishStreams(m_format.get());
                break;
            }
            if (engine.hasDecoderFor(packet->stream_index)) {
                if (edit)
                    edit(packet.get(), fed);
                engine.decodePacket(packet.get(), m_format.get());
                ++fed;
            }
            av_packet_unref(packet.get());
        }
        return fed;
    }

private:
    av::FormatContextPtr m_format;
};

} // namespace

class TestAudioEngine : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    // Makes a small clip with the ffmpeg CLI in the temporary folder.
    QString makeClip(const QString &name, const QStringList &args)
    {
        const QString path = m_dir.filePath(name);
        if (QFile::exists(path))
            return path;
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"), QStringList{"-v", "error", "-y"} + args + QStringList{path});
        if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0) {
            qWarning() << "ffmpeg failed for" << name << ffmpeg.readAllStandardError();
            return {};
        }
        return path;
    }

    QString rampClip(const QString &name, const QString &codec = QStringLiteral("pcm_f32le"))
    {
        return makeClip(name, {"-f", "lavfi", "-i",
                               QStringLiteral("aevalsrc='%1':s=48000:d=1:c=stereo").arg(RampExpr),
                               "-c:a", codec});
    }

    // Two PCM streams: channels 0/1 at 0.1/0.2 for 1 s, channels 2/3 at 0.3/0.4 for 0.5 s.
    QString twoStreamClip()
    {
        return makeClip("two_streams.nut",
                        {"-f", "lavfi", "-i", "aevalsrc=0.1|0.2:s=48000:d=1", "-f", "lavfi", "-i",
                         "aevalsrc=0.3|0.4:s=48000:d=0.5", "-map", "0", "-map", "1", "-c:a", "pcm_f32le"});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        testsupport::registerMetaTypes();
    }

    void openStreams_describesFirstStream_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("info");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");

        const QStringList stereo48{"-f", "lavfi", "-i", "sine=f=440:sample_rate=48000:d=0.3", "-ac", "2"};
        QTest::newRow("pcm 24-bit") << "s24.wav" << stereo48 + QStringList{"-c:a", "pcm_s24le"}
                                    << "PCM,24bit,48kHz" << 48000 << 2;
        QTest::newRow("pcm 8-bit at 32 kHz")
            << "u8.wav" << QStringList{"-f", "lavfi", "-i", "sine=f=440:sample_rate=32000:d=0.3", "-c:a", "pcm_u8"}
            << "PCM,8bit,32kHz" << 32000 << 1;
        QTest::newRow("pcm float") << "f32.wav" << stereo48 + QStringList{"-c:a", "pcm_f32le"}
                                   << "PCM,32bit,48kHz" << 48000 << 2;
        QTest::newRow("flac 16-bit") << "s16.flac" << stereo48 + QStringList{"-c:a", "flac", "-sample_fmt", "s16"}
                                     << "FLAC,16bit,48kHz" << 48000 << 2;
        QTest::newRow("aac 44.1 kHz")
            << "aac.m4a"
            << QStringList{"-f", "lavfi", "-i", "sine=f=440:sample_rate=44100:d=0.3", "-ac", "2", "-c:a", "aac"}
            << "AAC,---,44.1kHz" << 44100 << 2;
        QTest::newRow("opus") << "opus.ogg" << stereo48 + QStringList{"-c:a", "libopus"}
                              << "OPUS,---,48kHz" << 48000 << 2;
    }

    void openStreams_describesFirstStream()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, args);
        QFETCH(QString, info);
        QFETCH(int, rate);
        QFETCH(int, channels);

        const QString path = makeClip(name, args);
        QVERIFY(!path.isEmpty());
        Demuxer demuxer;
        QVERIFY(demuxer.open(path));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        QCOMPARE(engine.audioInfo(), info);
        QCOMPARE(engine.sampleRate(), rate);
        QCOMPARE(engine.channelCount(), channels);
        QCOMPARE(engine.meterLevels(), QList<float>(channels, -60.0f));
        QCOMPARE(engine.meterPeaks(), QList<float>(channels, -60.0f));

        engine.close();
        QCOMPARE(engine.audioInfo(), QStringLiteral("---"));
        QCOMPARE(engine.channelCount(), 0);
        QCOMPARE(engine.sampleRate(), 48000);
        QVERIFY(!engine.hasDecoderFor(0));
        QVERIFY(engine.drainStereo().isEmpty());
        QCOMPARE(engine.queuedSeconds(), 0.0);
    }

    void openStreams_describesSharedClips_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("info");

        QTest::newRow("pcm 24-bit in mov") << "prores_hq_pcm24.mov" << "PCM,24bit,48kHz";
        QTest::newRow("broadcast wave") << "bwf_tc.wav" << "PCM,24bit,48kHz";
        QTest::newRow("pcm 16-bit mono") << "mono.mov" << "PCM,16bit,48kHz";
        QTest::newRow("flac") << "audio.flac" << "FLAC,24bit,48kHz";
        QTest::newRow("aac") << "audio.m4a" << "AAC,---,48kHz";
        QTest::newRow("opus") << "audio.opus" << "OPUS,---,48kHz";
        QTest::newRow("first of two aac streams") << "h264_1080p25.mov" << "AAC,---,48kHz";
    }

    void openStreams_describesSharedClips()
    {
        QFETCH(QString, clip);
        QFETCH(QString, info);
        Demuxer demuxer;
        QVERIFY(demuxer.open(testsupport::mediaPath(clip)));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        QCOMPARE(engine.audioInfo(), info);
    }

    void openStreams_withoutAudioFails()
    {
        const QString path = makeClip("video_only.nut", {"-f", "lavfi", "-i", "testsrc2=s=64x48:d=0.2", "-c:v", "ffv1"});
        Demuxer demuxer;
        QVERIFY(demuxer.open(path));
        AudioEngine engine;
        QVERIFY(!engine.openStreams(demuxer.get()));
        QCOMPARE(engine.channelCount(), 0);
        QCOMPARE(engine.audioInfo(), QStringLiteral("---"));
        QVERIFY(!engine.openStreams(nullptr));
    }

    // Channel numbering across streams and the eight-channel limit, on the shared clips.
    void openStreams_channelLayout_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("decodedStreams");
        QTest::addColumn<int>("ignoredStreams");

        QTest::newRow("mono") << "mono.mov" << 1 << 1 << 0;
        QTest::newRow("two stereo streams") << "h264_1080p25.mov" << 4 << 2 << 0;
        QTest::newRow("five stereo streams") << "five_stereo.mov" << 8 << 4 << 1;
        QTest::newRow("one 6-channel stream") << "video_6ch.mov" << 6 << 1 << 0;
        QTest::newRow("two 6-channel streams") << "twelve_ch.mov" << 8 << 2 << 0;
    }

    void openStreams_channelLayout()
    {
        QFETCH(QString, clip);
        QFETCH(int, channels);
        QFETCH(int, decodedStreams);
        QFETCH(int, ignoredStreams);

        Demuxer demuxer;
        QVERIFY(demuxer.open(testsupport::mediaPath(clip)));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        QCOMPARE(engine.channelCount(), channels);

        int decoded = 0;
        int ignored = 0;
        for (unsigned i = 0; i < demuxer.get()->nb_streams; ++i) {
            const bool isAudio = demuxer.get()->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
            const bool has = engine.hasDecoderFor(static_cast<int>(i));
            QVERIFY2(isAudio || !has, "a non-audio stream has an audio decoder");
            decoded += has ? 1 : 0;
            ignored += (isAudio && !has) ? 1 : 0;
        }
        QCOMPARE(decoded, decodedStreams);
        QCOMPARE(ignored, ignoredStreams);

        // Every exposed channel gets samples, none beyond.
        demuxer.feed(engine, 400);
        for (int c = 0; c < AudioEngine::MaxChannels; ++c)
            QCOMPARE(queued(engine, c) > 0, c < channels);
    }

    // Every decoder output format reaches the queues with the right value and channel.
    void decodePacket_convertsSampleFormats_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QString>("format");

        QTest::newRow("u8") << "fmt_u8.wav" << "pcm_u8" << "u8";
        QTest::newRow("s16") << "fmt_s16.wav" << "pcm_s16le" << "s16";
        QTest::newRow("s32") << "fmt_s32.wav" << "pcm_s32le" << "s32";
        QTest::newRow("flt") << "fmt_flt.wav" << "pcm_f32le" << "flt";
        QTest::newRow("dbl") << "fmt_dbl.wav" << "pcm_f64le" << "dbl";
        QTest::newRow("u8p") << "fmt_u8p.nut" << "pcm_s8_planar" << "u8p";
        QTest::newRow("s16p") << "fmt_s16p.nut" << "pcm_s16le_planar" << "s16p";
        QTest::newRow("s32p") << "fmt_s32p.nut" << "pcm_s32le_planar" << "s32p";
        QTest::newRow("fltp") << "fmt_fltp.wv" << "wavpack" << "fltp";
    }

    void decodePacket_convertsSampleFormats()
    {
        QFETCH(QString, name);
        QFETCH(QString, codec);
        QFETCH(QString, format);

        // Values every format holds exactly, alternating per sample so a wrong stride or
        // plane shows.
        QStringList args{"-f", "lavfi", "-i",
                         "aevalsrc='if(mod(n,2),0.25,0.5)|if(mod(n,2),-0.75,-0.25)':s=48000:d=0.1", "-c:a", codec};
        if (codec == QLatin1String("wavpack"))
            args << "-sample_fmt" << "fltp";
        const QString path = makeClip(name, args);
        QVERIFY(!path.isEmpty());

        Demuxer demuxer;
        QVERIFY(demuxer.open(path));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        {
            // The row only covers its format if the decoder really produces it.
            const AVCodec *decoder = avcodec_find_decoder(demuxer.get()->streams[0]->codecpar->codec_id);
            QVERIFY(decoder);
            av::CodecContextPtr context(avcodec_alloc_context3(decoder));
            QVERIFY(avcodec_parameters_to_context(context.get(), demuxer.get()->streams[0]->codecpar) >= 0);
            QVERIFY(avcodec_open2(context.get(), decoder, nullptr) >= 0);
            av::PacketPtr packet = av::makePacket();
            av::FramePtr frame = av::makeFrame();
            Demuxer probe;
            QVERIFY(probe.open(path));
            QVERIFY(av_read_frame(probe.get(), packet.get()) >= 0);
            QVERIFY(avcodec_send_packet(context.get(), packet.get()) >= 0);
            QVERIFY(avcodec_receive_frame(context.get(), frame.get()) >= 0);
            QCOMPARE(QString::fromLatin1(av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format))), format);
        }

        demuxer.feed(engine);
        QCOMPARE(queued(engine, 0), qint64(4800));
        QVERIFY(engine.hasNewAudio());
        const Stereo out = split(engine.drainStereo());
        QCOMPARE(out.frames(), qint64(4800));
        for (qsizetype n = 0; n < out.frames(); ++n) {
            const bool odd = n % 2;
            QCOMPARE(out.left[n], toS16(odd ? 0.25 : 0.5));
            QCOMPARE(out.right[n], toS16(odd ? -0.75 : -0.25));
        }
        QCOMPARE(queued(engine, 0), qint64(0));
        QVERIFY(!engine.queueActive(0));
    }

    void drainStereo_fullScaleAndClipping()
    {
        // Float PCM keeps values outside -1 … 1, which must clip, not wrap.
        const QString path = makeClip("fullscale.wav",
                                      {"-f", "lavfi", "-i",
                                       "aevalsrc='if(lt(n,100),1,1.5)|if(lt(n,100),-1,-1.5)':s=48000:d=0.01",
                                       "-c:a", "pcm_f32le"});
        Demuxer demuxer;
        QVERIFY(demuxer.open(path));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        demuxer.feed(engine);
        const Stereo out = split(engine.drainStereo());
        QCOMPARE(out.frames(), qint64(480));
        QCOMPARE(out.left[0], 32767);
        QCOMPARE(out.right[0], -32767);
        QCOMPARE(out.left[200], 32767);
        QCOMPARE(out.right[200], -32768);
        // The peak accumulator sees the unclipped magnitude.
        const QList<float> peaks = engine.takePeaks();
        QCOMPARE(peaks.size(), 2);
        QCOMPARE(peaks[0], 1.5f);
        QCOMPARE(peaks[1], 1.5f);
        QCOMPARE(engine.takePeaks(), QList<float>(2, 0.0f));
    }

    // The start offset moves time zero; the end limit drops samples at and after it.
    void decodePacket_timeWindow_data()
    {
        QTest::addColumn<double>("start");
        QTest::addColumn<double>("end");
        QTest::addColumn<qint64>("firstSource");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<double>("queueStart");

        const double inf = std::numeric_limits<double>::infinity();
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QTest::newRow("whole clip") << 0.0 << 0.0 << qint64(0) << qint64(48000) << 0.0;
        QTest::newRow("starts 0.5 s before zero") << 0.5 << 0.0 << qint64(24000) << qint64(24000) << 0.0;
        QTest::newRow("end at 0.5 s") << 0.0 << 0.5 << qint64(0) << qint64(24000) << 0.0;
        QTest::newRow("both") << 0.25 << 0.5 << qint64(12000) << qint64(24000) << 0.0;
        QTest::newRow("starts 0.3 s after zero") << -0.3 << 0.0 << qint64(0) << qint64(48000) << 0.3;
        QTest::newRow("infinite end is no limit") << 0.0 << inf << qint64(0) << qint64(48000) << 0.0;
        QTest::newRow("NaN end is no limit") << 0.0 << nan << qint64(0) << qint64(48000) << 0.0;
        QTest::newRow("end before the audio") << -0.3 << 0.2 << qint64(0) << qint64(0) << 0.0;
    }

    void decodePacket_timeWindow()
    {
        QFETCH(double, start);
        QFETCH(double, end);
        QFETCH(qint64, firstSource);
        QFETCH(qint64, count);
        QFETCH(double, queueStart);

        const QString path = rampClip("ramp.wav");
        Demuxer demuxer;
        QVERIFY(demuxer.open(path));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        engine.setTimeWindow(start, end);
        demuxer.feed(engine);

        QCOMPARE(queued(engine, 0), count);
        QCOMPARE(queued(engine, 1), count);
        if (count == 0)
            return;
        QVERIFY(engine.queueActive(0));
        QVERIFY(std::abs(engine.queueStartSec(0) - queueStart) < 1e-9);
        QVERIFY(std::abs(engine.queuedSeconds() - double(count) / Rate) < 1e-9);
        const Stereo out = split(engine.drainStereo());
        QCOMPARE(out.frames(), count);
        QCOMPARE(out.left.first(), rampValue(firstSource));
        QCOMPARE(out.left.last(), rampValue(firstSource + count - 1));
        QCOMPARE(out.right.first(), out.left.first());
    }

    // Timestamp holes beyond 5 ms become silence, overlaps are skipped, jitter is ignored.
    void decodePacket_continuity_data()
    {
        QTest::addColumn<qint64>("shift"); // samples added to the timestamps from the 6th packet on
        QTest::addColumn<bool>("dropTimestamps");
        QTest::addColumn<qint64>("silence");
        QTest::addColumn<qint64>("skipped");

        QTest::newRow("3 ms gap is jitter") << qint64(144) << false << qint64(0) << qint64(0);
        QTest::newRow("5 ms gap is jitter") << qint64(240) << false << qint64(0) << qint64(0);
        QTest::newRow("6 ms gap is filled") << qint64(288) << false << qint64(288) << qint64(0);
        QTest::newRow("20 ms gap is filled") << qint64(960) << false << qint64(960) << qint64(0);
        QTest::newRow("3 ms overlap is jitter") << qint64(-144) << false << qint64(0) << qint64(0);
        QTest::newRow("20 ms overlap is skipped") << qint64(-960) << false << qint64(0) << qint64(960);
        QTest::newRow("missing timestamps continue") << qint64(0) << true << qint64(0) << qint64(0);
    }

    void decodePacket_continuity()
    {
        QFETCH(qint64, shift);
        QFETCH(bool, dropTimestamps);
        QFETCH(qint64, silence);
        QFETCH(qint64, skipped);

        const QString path = rampClip("ramp.wav");
        Demuxer demuxer;
        QVERIFY(demuxer.open(path));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        engine.setRouting(0, 1);

        const auto edit = [&](AVPacket *packet, int) {
            if (dropTimestamps) {
                packet->pts = AV_NOPTS_VALUE;
                packet->dts = AV_NOPTS_VALUE;
            } else {
                packet->pts += shift;
                packet->dts += shift;
            }
        };
        demuxer.feed(engine, 5);
        const qint64 join = queued(engine, 0);
        QVERIFY(join > 0);
        demuxer.feed(engine, std::numeric_limits<int>::max(), edit);

        QCOMPARE(queued(engine, 0), qint64(48000) + silence - skipped);
        QCOMPARE(queued(engine, 1), queued(engine, 0));
        const Stereo out = split(engine.drainStereo());
        QCOMPARE(out.left[join - 1], rampValue(join - 1));
        for (qint64 n = join; n < join + silence; ++n)
            QCOMPARE(out.left[n], 0);
        QCOMPARE(out.left[join + silence], rampValue(join + skipped));
        QCOMPARE(out.right[join + silence], rampValue(join + skipped));
        QCOMPARE(out.left.last(), rampValue(47999));
    }

    // alignTo trims or pads every active queue to the target and fades in linearly.
    void alignTo_trimsPadsAndFades_data()
    {
        QTest::addColumn<double>("start");    // time window start (negative: audio starts later)
        QTest::addColumn<double>("target");
        QTest::addColumn<qint64>("padding");  // zero samples expected at the head
        QTest::addColumn<qint64>("firstSource");
        QTest::addColumn<qint64>("remaining");

        QTest::newRow("already aligned") << 0.0 << 0.0 << qint64(0) << qint64(0) << qint64(48000);
        QTest::newRow("trim to 0.5 s") << 0.0 << 0.5 << qint64(0) << qint64(24000) << qint64(24000);
        QTest::newRow("audio starts 0.3 s later") << -0.3 << 0.0 << qint64(14400) << qint64(0) << qint64(62400);
        QTest::newRow("target beyond the audio") << 0.0 << 2.0 << qint64(0) << qint64(0) << qint64(0);
    }

    void alignTo_trimsPadsAndFades()
    {
        QFETCH(double, start);
        QFETCH(double, target);
        QFETCH(qint64, padding);
        QFETCH(qint64, firstSource);
        QFETCH(qint64, remaining);

        const QString path = rampClip("ramp.wav");
        Demuxer demuxer;
        QVERIFY(demuxer.open(path));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        engine.setTimeWindow(start, 0.0);
        demuxer.feed(engine);

        const int fade = static_cast<int>(engine.sampleRate() * 0.02);
        QCOMPARE(fade, 960);
        engine.alignTo(target, fade);
        QCOMPARE(queued(engine, 0), remaining);
        QCOMPARE(queued(engine, 1), remaining);
        if (remaining == 0) {
            QVERIFY(!engine.queueActive(0));
            QVERIFY(engine.drainStereo().isEmpty());
            return;
        }
        QVERIFY(std::abs(engine.queueStartSec(0) - target) < 1e-9);

        const Stereo out = split(engine.drainStereo());
        QCOMPARE(out.frames(), remaining);
        for (qint64 n = 0; n < padding; ++n)
            QCOMPARE(out.left[n], 0);
        for (qint64 j = padding; j < fade; ++j) {
            const double source = (double(rampValue(firstSource + j - padding)) + 0.5) / 32767.0;
            QVERIFY2(std::abs(out.left[j] - toS16(source * double(j) / fade)) <= 1, qPrintable(QString::number(j)));
        }
        const qint64 afterFade = std::max<qint64>(padding, fade);
        QCOMPARE(out.left[afterFade], rampValue(firstSource + afterFade - padding));
    }

    // Routing picks the channels; every queue drains in step; invalid sources are silent.
    void drainStereo_routing_data()
    {
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("right");
        QTest::addColumn<double>("leftValue");
        QTest::addColumn<double>("rightValue");
        QTest::addColumn<qint64>("frames");

        // Channels 0/1 last 1 s, channels 2/3 half a second.
        QTest::newRow("ch1/ch2") << 0 << 1 << 0.1 << 0.2 << qint64(48000);
        QTest::newRow("second stream") << 2 << 3 << 0.3 << 0.4 << qint64(24000);
        QTest::newRow("swapped across streams") << 3 << 0 << 0.4 << 0.1 << qint64(24000);
        QTest::newRow("ganged") << 2 << 2 << 0.3 << 0.3 << qint64(24000);
        QTest::newRow("left muted") << -1 << 2 << 0.0 << 0.3 << qint64(24000);
        QTest::newRow("right muted") << 1 << -1 << 0.2 << 0.0 << qint64(48000);
        QTest::newRow("beyond the channels") << 7 << 1 << 0.0 << 0.2 << qint64(48000);
        QTest::newRow("both muted drain the longest") << -1 << -1 << 0.0 << 0.0 << qint64(48000);
        QTest::newRow("both invalid") << 4 << 100 << 0.0 << 0.0 << qint64(48000);
    }

    void drainStereo_routing()
    {
        QFETCH(int, left);
        QFETCH(int, right);
        QFETCH(double, leftValue);
        QFETCH(double, rightValue);
        QFETCH(qint64, frames);

        Demuxer demuxer;
        QVERIFY(demuxer.open(twoStreamClip()));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        QCOMPARE(engine.channelCount(), 4);
        engine.setRouting(left, right);
        QCOMPARE(engine.leftSource(), left);
        QCOMPARE(engine.rightSource(), right);
        demuxer.feed(engine);

        QVERIFY(std::abs(engine.queuedSeconds() - double(frames) / Rate) < 1e-9);
        const QByteArray bytes = engine.drainStereo();
        QCOMPARE(qint64(bytes.size()), frames * 4);
        const Stereo out = split(bytes);
        QCOMPARE(out.left.first(), toS16(leftValue));
        QCOMPARE(out.right.first(), toS16(rightValue));
        QCOMPARE(out.left.last(), toS16(leftValue));
        QCOMPARE(out.right.last(), toS16(rightValue));

        // Unrouted channels drained by the same count, and started where they were.
        for (int c = 0; c < 4; ++c) {
            const qint64 length = c < 2 ? 48000 : 24000;
            QCOMPARE(queued(engine, c), std::max<qint64>(0, length - frames));
            if (queued(engine, c) > 0)
                QVERIFY(std::abs(engine.queueStartSec(c) - double(frames) / Rate) < 1e-9);
            else
                QVERIFY(!engine.queueActive(c));
        }
        // Every drained channel fed its peak accumulator.
        const QList<float> peaks = engine.takePeaks();
        QCOMPARE(peaks.size(), 4);
        for (int c = 0; c < 4; ++c)
            QVERIFY(std::abs(peaks[c] - 0.1f * float(c + 1)) < 1e-6f);
    }

    void drainStereo_monoOnBothSides()
    {
        Demuxer demuxer;
        QVERIFY(demuxer.open(testsupport::mediaPath("mono.mov")));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        QCOMPARE(engine.channelCount(), 1);
        demuxer.feed(engine, 10);

        // The default pair names a channel a mono file lacks: that side is silent.
        QCOMPARE(engine.rightSource(), 1);
        const qint64 queuedMono = queued(engine, 0);
        QVERIFY(queuedMono > 0);
        Stereo out = split(engine.drainStereo());
        QCOMPARE(out.frames(), queuedMono);
        QVERIFY(std::any_of(out.left.begin(), out.left.end(), [](int v) { return v != 0; }));
        QVERIFY(std::all_of(out.right.begin(), out.right.end(), [](int v) { return v == 0; }));

        engine.setRouting(0, 0);
        demuxer.feed(engine);
        out = split(engine.drainStereo());
        QVERIFY(out.frames() > 0);
        QCOMPARE(out.left, out.right);
        QVERIFY(std::any_of(out.left.begin(), out.left.end(), [](int v) { return v != 0; }));
    }

    // The real clip: two AAC streams, time window of the video, drained in picture-sized steps.
    void drainStereo_twoAacStreamsStayInStep()
    {
        Demuxer demuxer;
        QVERIFY(demuxer.open(testsupport::mediaPath("h264_1080p25.mov")));
        const int video = av_find_best_stream(demuxer.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        QVERIFY(video >= 0);
        const AVStream *vs = demuxer.get()->streams[video];
        const double videoStart = vs->start_time == AV_NOPTS_VALUE ? 0.0 : vs->start_time * av_q2d(vs->time_base);
        const double videoDuration = vs->duration > 0 ? vs->duration * av_q2d(vs->time_base) : 4.0;

        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        QCOMPARE(engine.channelCount(), 4);
        engine.setTimeWindow(videoStart, videoDuration);
        engine.setRouting(0, 2);

        qint64 drained = 0;
        while (demuxer.feed(engine, 64) > 0)
            drained += engine.drainStereo().size() / 4;
        // Both streams cover the same time span, within one AAC frame.
        QVERIFY(std::abs(queued(engine, 0) - queued(engine, 2)) <= 1024);
        QCOMPARE(queued(engine, 1), queued(engine, 0));
        drained += engine.drainStereo().size() / 4;
        // The end limit keeps the audio to the video's duration.
        QVERIFY2(std::abs(drained - qint64(std::llround(videoDuration * engine.sampleRate()))) <= 1024,
                 qPrintable(QString::number(drained)));
    }

    // A later stream at another rate joins the output rate (the first stream's): its tone
    // keeps its pitch and its queues fill in step with the first stream's, through seeks.
    void decodePacket_otherRateStreamKeepsItsPitch_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<QString>("codec");
        QTest::newRow("44.1 kHz PCM") << 44100 << QStringLiteral("pcm_s16le");
        QTest::newRow("44.1 kHz AAC") << 44100 << QStringLiteral("aac");
        QTest::newRow("32 kHz PCM") << 32000 << QStringLiteral("pcm_s16le");
        QTest::newRow("96 kHz PCM") << 96000 << QStringLiteral("pcm_s24le");
    }

    void decodePacket_otherRateStreamKeepsItsPitch()
    {
        QFETCH(int, rate);
        QFETCH(QString, codec);
        constexpr double Seconds = 3.0;
        const QString path = makeClip(
            QStringLiteral("rates_%1_%2.mov").arg(rate).arg(codec),
            {"-f", "lavfi", "-i", QStringLiteral("aevalsrc=0.25*sin(2*PI*600*t)|0.25*sin(2*PI*600*t):s=48000:d=%1").arg(Seconds),
             "-f", "lavfi", "-i",
             QStringLiteral("aevalsrc=0.5*sin(2*PI*1000*t)|0.5*sin(2*PI*1000*t):s=%1:d=%2").arg(rate).arg(Seconds),
             "-map", "0", "-map", "1", "-c:a:0", "pcm_s16le", "-c:a:1", codec});
        QVERIFY(!path.isEmpty());

        Demuxer demuxer;
        QVERIFY(demuxer.open(path));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        QCOMPARE(engine.sampleRate(), Rate);
        QCOMPARE(engine.channelCount(), 4);
        engine.setTimeWindow(0.0, Seconds);
        engine.setRouting(2, 3);

        QByteArray drained;
        while (demuxer.feed(engine, 16) > 0) {
            // Both streams stay on the same time axis while they decode.
            QVERIFY2(std::abs(queued(engine, 2) - queued(engine, 0)) <= Rate / 10,
                     qPrintable(QStringLiteral("%1 vs %2").arg(queued(engine, 2)).arg(queued(engine, 0))));
            drained += engine.drainStereo();
        }
        drained += engine.drainStereo();

        const QList<float> left = audiodevice::channel(drained, 0);
        const double frequency = audiodevice::toneFrequency(left.mid(Rate / 4, Rate), Rate);
        QVERIFY2(std::abs(frequency - 1000.0) < 10.0, qPrintable(QStringLiteral("%1 Hz").arg(frequency)));
        QVERIFY(std::abs(audiodevice::peak(left.mid(Rate / 4, Rate)) - 0.5f) < 0.02f);
        // Three seconds of the second stream are three seconds at the output rate (AAC
        // loses up to a frame at its ends).
        QVERIFY2(std::abs(left.size() - Seconds * Rate) <= 2048, qPrintable(QString::number(left.size())));

        // After a seek the resampler starts afresh at the new position.
        QVERIFY(av_seek_frame(demuxer.get(), -1, 1 * AV_TIME_BASE, AVSEEK_FLAG_BACKWARD) >= 0);
        engine.reset();
        while (engine.queueStartSec(2) + double(queued(engine, 2)) / Rate < 1.6 && demuxer.feed(engine, 16) > 0) {
        }
        QVERIFY2(engine.queueStartSec(2) <= 1.5 && engine.queueStartSec(2) + double(queued(engine, 2)) / Rate > 1.6,
                 qPrintable(QStringLiteral("%1 + %2").arg(engine.queueStartSec(2)).arg(queued(engine, 2))));
        engine.alignTo(1.5, 0);
        QVERIFY(std::abs(engine.queueStartSec(2) - 1.5) < 1.0 / Rate);
        const QList<float> afterSeek = audiodevice::channel(engine.drainStereo(), 0);
        QVERIFY(afterSeek.size() > Rate / 10);
        // The tone's phase at 1.5 s is 1500 whole periods: it starts at a zero crossing going up.
        QVERIFY2(std::abs(afterSeek[0]) < 0.05f && afterSeek[4] > afterSeek[0],
                 qPrintable(QStringLiteral("%1 %2").arg(afterSeek[0]).arg(afterSeek[4])));
    }

    void reset_forgetsQueuedAudioAndLevels()
    {
        const QString path = rampClip("ramp.wav");
        Demuxer demuxer;
        QVERIFY(demuxer.open(path));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        // A few packets, well short of the end whatever the demuxer's packet size (a WAV
        // packet holds 512 samples in FFmpeg 5.1, 4096 in 7.1).
        demuxer.feed(engine, 2);
        engine.drainStereo();
        engine.updateLevels({-6.0f, -6.0f}, 0.04);
        demuxer.feed(engine, 1);
        QVERIFY(queued(engine, 0) > 0);

        engine.reset();
        for (int c = 0; c < 2; ++c) {
            QCOMPARE(queued(engine, c), qint64(0));
            QVERIFY(!engine.queueActive(c));
        }
        QCOMPARE(engine.meterLevels(), QList<float>(2, -60.0f));
        QCOMPARE(engine.meterPeaks(), QList<float>(2, -60.0f));
        QCOMPARE(engine.takePeaks(), QList<float>(2, 0.0f));
        QVERIFY(!engine.hasNewAudio());

        // Decoding resumes after a seek of the demuxer, with fresh timestamps.
        QVERIFY(av_seek_frame(demuxer.get(), 0, 24000, AVSEEK_FLAG_BACKWARD) >= 0);
        demuxer.feed(engine);
        QVERIFY(queued(engine, 0) > 0);
        const double head = engine.queueStartSec(0);
        QVERIFY(head <= 0.5 && head > 0.4);
        engine.alignTo(0.5, 0);
        QCOMPARE(queued(engine, 0), qint64(24000));
        QCOMPARE(split(engine.drainStereo()).left.first(), rampValue(24000));
    }

    void levels_toneGivesItsPeakLevel_data()
    {
        QTest::addColumn<double>("amplitudeDb");
        QTest::newRow("-20 dBFS") << -20.0;
        QTest::newRow("-6 dBFS") << -6.0;
        QTest::newRow("-50 dBFS") << -50.0;
    }

    void levels_toneGivesItsPeakLevel()
    {
        QFETCH(double, amplitudeDb);
        const double amplitude = std::pow(10.0, amplitudeDb / 20.0);
        const QString path = makeClip(QStringLiteral("tone_%1.wav").arg(-amplitudeDb),
                                      {"-f", "lavfi", "-i",
                                       QStringLiteral("aevalsrc='%1*sin(2*PI*1000*t)':s=48000:d=0.2:c=stereo")
                                           .arg(amplitude, 0, 'g', 12),
                                       "-c:a", "pcm_s24le"});
        Demuxer demuxer;
        QVERIFY(demuxer.open(path));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        demuxer.feed(engine);
        engine.drainStereo();
        const QList<float> peaks = engine.takePeaks();
        QCOMPARE(peaks.size(), 2);
        QList<float> snapshot;
        for (float p : peaks)
            snapshot.append(p > 0.000001f ? 20.0f * std::log10(p) : -60.0f);
        for (float db : snapshot)
            QVERIFY2(std::abs(db - amplitudeDb) < 0.05, qPrintable(QString::number(db)));

        engine.updateLevels(snapshot, 1.0 / 25.0);
        for (int c = 0; c < 2; ++c) {
            QVERIFY(std::abs(engine.meterLevels()[c] - amplitudeDb) < 0.05);
            QVERIFY(std::abs(engine.meterPeaks()[c] - amplitudeDb) < 0.05);
        }
    }

    // The shared clips carry a tone at -(12 + 2g) dBFS on global channel g (audio.flac:
    // -20 dBFS on both), so each measured peak names the channel it came from.
    void levels_peakPerGlobalChannel_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QList<float>>("expectedDb");
        QTest::addColumn<float>("tolerance");
        QTest::addColumn<double>("skipSec"); // lossy codecs overshoot on the tone's abrupt onset

        const auto tones = [](int count) {
            QList<float> db;
            for (int g = 0; g < count; ++g)
                db.append(-(12.0f + 2.0f * g));
            return db;
        };
        QTest::newRow("mono") << "mono.mov" << tones(1) << 0.05f << 0.0;
        QTest::newRow("pcm 24-bit stereo") << "prores_hq_pcm24.mov" << tones(2) << 0.05f << 0.0;
        QTest::newRow("six channels") << "video_6ch.mov" << tones(6) << 0.05f << 0.0;
        QTest::newRow("five stereo streams, first four") << "five_stereo.mov" << tones(8) << 0.05f << 0.0;
        QTest::newRow("two 6-channel streams, first eight") << "twelve_ch.mov" << tones(8) << 0.05f << 0.0;
        QTest::newRow("two aac streams") << "h264_1080p25.mov" << tones(4) << 0.5f << 0.1;
        QTest::newRow("-20 dBFS flac") << "audio.flac" << QList<float>{-20.0f, -20.0f} << 0.05f << 0.0;
        QTest::newRow("-20 dBFS opus") << "audio.opus" << QList<float>{-20.0f, -20.0f} << 0.5f << 0.1;
    }

    void levels_peakPerGlobalChannel()
    {
        QFETCH(QString, clip);
        QFETCH(QList<float>, expectedDb);
        QFETCH(float, tolerance);
        QFETCH(double, skipSec);

        Demuxer demuxer;
        QVERIFY(demuxer.open(testsupport::mediaPath(clip)));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        QCOMPARE(engine.channelCount(), expectedDb.size());
        engine.setRouting(-1, -1);
        demuxer.feed(engine);
        engine.alignTo(skipSec, 0);
        QVERIFY(!engine.drainStereo().isEmpty());
        const QList<float> peaks = engine.takePeaks();
        QCOMPARE(peaks.size(), expectedDb.size());
        for (qsizetype g = 0; g < peaks.size(); ++g) {
            const float db = 20.0f * std::log10(peaks[g]);
            QVERIFY2(std::abs(db - expectedDb[g]) <= tolerance,
                     qPrintable(QStringLiteral("channel %1: %2 dB").arg(g).arg(db)));
        }
    }

    // A single full-scale click: the bar falls at 90 dB/s to the floor, the peak marker
    // holds for a second and then falls at 24 dB/s, never below the bar.
    void levels_clickBallistics_data()
    {
        QTest::addColumn<int>("steps"); // 40 ms steps after the click
        QTest::addColumn<double>("level");
        QTest::addColumn<double>("peak");
        QTest::addColumn<double>("tolerance");

        QTest::newRow("click") << 0 << 0.0 << 0.0 << 0.01;
        QTest::newRow("0.2 s") << 5 << -18.0 << 0.0 << 0.01;
        QTest::newRow("0.6 s") << 15 << -54.0 << 0.0 << 0.01;
        QTest::newRow("0.8 s at the floor") << 20 << -60.0 << 0.0 << 0.01;
        QTest::newRow("0.96 s still held") << 24 << -60.0 << 0.0 << 0.01;
        // The hold ends within one 40 ms step of 1 s.
        QTest::newRow("1.52 s falling") << 38 << -60.0 << -24.0 * 0.52 << 1.0;
        QTest::newRow("2.0 s falling") << 50 << -60.0 << -24.0 << 1.0;
        QTest::newRow("4 s at the floor") << 100 << -60.0 << -60.0 << 0.01;
    }

    void levels_clickBallistics()
    {
        QFETCH(int, steps);
        QFETCH(double, level);
        QFETCH(double, peak);
        QFETCH(double, tolerance);

        Demuxer demuxer;
        QVERIFY(demuxer.open(rampClip("ramp.wav")));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        engine.updateLevels({0.0f, -60.0f}, 0.04);
        for (int i = 0; i < steps; ++i)
            engine.updateLevels({-60.0f, -60.0f}, 0.04);
        QVERIFY2(std::abs(engine.meterLevels()[0] - level) <= tolerance, qPrintable(QString::number(engine.meterLevels()[0])));
        QVERIFY2(std::abs(engine.meterPeaks()[0] - peak) <= tolerance, qPrintable(QString::number(engine.meterPeaks()[0])));
        QVERIFY(engine.meterPeaks()[0] >= engine.meterLevels()[0]);
        // The silent channel never moves off the floor.
        QCOMPARE(engine.meterLevels()[1], -60.0f);
        QCOMPARE(engine.meterPeaks()[1], -60.0f);
    }

    void levels_attackIsInstantAndSnapshotsAreOptional()
    {
        Demuxer demuxer;
        QVERIFY(demuxer.open(rampClip("ramp.wav")));
        AudioEngine engine;
        QVERIFY(engine.openStreams(demuxer.get()));
        engine.updateLevels({-30.0f, -30.0f}, 0.04);
        engine.updateLevels({-10.0f, -40.0f}, 0.04);
        QCOMPARE(engine.meterLevels()[0], -10.0f);                 // rises at once
        QVERIFY(std::abs(engine.meterLevels()[1] - (-33.6f)) < 1e-4f); // a quieter snapshot does not pull it down
        QCOMPARE(engine.meterPeaks()[0], -10.0f);
        QCOMPARE(engine.meterPeaks()[1], -30.0f);
        // A short snapshot leaves the missing channels to decay.
        engine.updateLevels({}, 0.04);
        QVERIFY(std::abs(engine.meterLevels()[0] - (-13.6f)) < 1e-4f);
    }
};

QTEST_GUILESS_MAIN(TestAudioEngine)
#include "tst_audioengine.moc"
