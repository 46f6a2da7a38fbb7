#include "loudness/loudnessmeasureworker.h"
#include "loudness/loudnesstestsupport.h"
#include "testsupport.h"

#include "av/ffmpeg.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <vector>

using namespace loudnesstest;
using testsupport::mediaPath;

namespace {

constexpr double kMinusInf = -std::numeric_limits<double>::infinity();
constexpr int kRate = 48000;

// One packet of a hand-made PCM file: stereo 16-bit samples of a 1 kHz sine at 'db'
// (minus infinity: silence) lasting 'seconds', stamped with 'startSec'.
struct PcmPacket {
    int stream;
    double startSec;
    double seconds;
    double db;
};

// Writes a Matroska file with 'streams' stereo 16-bit 48 kHz PCM streams whose packets
// carry exactly the given times, which the ffmpeg CLI would "repair". Empty on success.
QString writePcmMatroska(const QString &path, int streams, const std::vector<PcmPacket> &packets)
{
    AVFormatContext *raw = nullptr;
    const QByteArray file = path.toUtf8();
    if (avformat_alloc_output_context2(&raw, nullptr, "matroska", file.constData()) < 0)
        return QStringLiteral("no muxer");
    av::OutputContextPtr output(raw);
    for (int s = 0; s < streams; ++s) {
        AVStream *stream = avformat_new_stream(output.get(), nullptr);
        if (!stream)
            return QStringLiteral("no stream");
        AVCodecParameters *par = stream->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = AV_CODEC_ID_PCM_S16LE;
        par->sample_rate = kRate;
        par->format = AV_SAMPLE_FMT_S16;
        par->bits_per_coded_sample = 16;
        par->block_align = 4;
        av_channel_layout_default(&par->ch_layout, 2);
        stream->time_base = AVRational{1, kRate};
    }
    if (avio_open(&output->pb, file.constData(), AVIO_FLAG_WRITE) < 0)
        return QStringLiteral("cannot write");
    if (avformat_write_header(output.get(), nullptr) < 0)
        return QStringLiteral("header");
    av::PacketPtr packet = av::makePacket();
    for (const PcmPacket &p : packets) {
        const int samples = int(std::lround(p.seconds * kRate));
        if (av_new_packet(packet.get(), samples * 4) < 0)
            return QStringLiteral("packet");
        auto *data = reinterpret_cast<int16_t *>(packet->data);
        const double amplitude = std::isinf(p.db) ? 0.0 : std::pow(10.0, p.db / 20.0);
        const int64_t first = std::llround(p.startSec * kRate);
        for (int i = 0; i < samples; ++i) {
            const auto value = int16_t(std::lround(32767.0 * amplitude * std::sin(2.0 * M_PI * 1000.0 * double(first + i) / kRate)));
            data[2 * i] = value;
            data[2 * i + 1] = value;
        }
        packet->stream_index = p.stream;
        packet->pts = packet->dts = first;
        packet->duration = samples;
        av_packet_rescale_ts(packet.get(), AVRational{1, kRate}, output->streams[p.stream]->time_base);
        if (av_interleaved_write_frame(output.get(), packet.get()) < 0)
            return QStringLiteral("write");
    }
    if (av_write_trailer(output.get()) < 0)
        return QStringLiteral("trailer");
    return {};
}

// 'seconds' of back-to-back 100 ms packets from 'fromSec' on.
void appendRun(std::vector<PcmPacket> &packets, int stream, double fromSec, double seconds, double db)
{
    const int count = int(std::lround(seconds * 10.0));
    for (int i = 0; i < count; ++i)
        packets.push_back({stream, fromSec + i * 0.1, 0.1, db});
}

QString makeWithFfmpeg(const QString &path, const QStringList &arguments)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 QStringList{QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y")}
                     + arguments + QStringList{path});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        return QString::fromUtf8(ffmpeg.readAllStandardError());
    return {};
}

// A worker run that may block: given limitMs to finish, aborted from this thread after
// abortAfterMs (when >= 0). On time-out 'release' unblocks the worker so the thread ends.
struct BoundedRun {
    bool finishedInTime = false;
    QStringList outcomes; // "ready", "failed", "aborted"
    QString failure;
    qint64 elapsedMs = 0;
};

BoundedRun runBounded(const LoudnessMeasureRequest &request, int abortAfterMs, int limitMs,
                      const std::function<void()> &release)
{
    BoundedRun run;
    QThread thread;
    auto *worker = new LoudnessMeasureWorker(request);
    worker->moveToThread(&thread);
    QEventLoop loop;
    QObject::connect(&thread, &QThread::started, worker, &LoudnessMeasureWorker::run);
    QObject::connect(worker, &LoudnessMeasureWorker::measurementReady, &loop, [&run] { run.outcomes << "ready"; });
    QObject::connect(worker, &LoudnessMeasureWorker::failed, &loop, [&run](const QString &message) {
        run.outcomes << "failed";
        run.failure = message;
    });
    QObject::connect(worker, &LoudnessMeasureWorker::aborted, &loop, [&run] { run.outcomes << "aborted"; });
    QObject::connect(worker, &LoudnessMeasureWorker::finished, &loop, [&run, &loop] {
        run.finishedInTime = true;
        loop.quit();
    });
    QObject::connect(worker, &LoudnessMeasureWorker::finished, &thread, &QThread::quit, Qt::DirectConnection);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    if (abortAfterMs >= 0)
        QTimer::singleShot(abortAfterMs, &loop, [worker] { worker->abort(); }); // from this thread, like the dialog
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    thread.start();
    loop.exec();
    run.elapsedMs = clock.elapsed();
    if (!run.finishedInTime) {
        worker->abort();
        release();
    }
    thread.wait();
    return run;
}

} // namespace

class TestLoudnessMeasureWorker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void referenceLevels_data();
    void referenceLevels();
    void agreesWithFfmpegMeter_data();
    void agreesWithFfmpegMeter();
    void silence();
    void timestampGapsAndOverlaps_data();
    void timestampGapsAndOverlaps();
    void failures_data();
    void failures();
    void abortDuringDecoding();
    void abortBeforeStart();
    void blockingInputs_data();
    void blockingInputs();

private:
    QTemporaryDir m_dir;
};

void TestLoudnessMeasureWorker::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestLoudnessMeasureWorker::referenceLevels_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("end");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("right");
    QTest::addColumn<double>("expected");

    QTest::newRow("1 kHz -23 dBFS") << "loudness_1k_-23dbfs.wav" << 0.0 << 20.0 << 0 << 1 << -23.0;
    QTest::newRow("1 kHz -33 dBFS") << "loudness_1k_-33dbfs.wav" << 0.0 << 20.0 << 0 << 1 << -33.0;
    QTest::newRow("gated -36/-23/-36") << "loudness_gate_36_23_36.wav" << 0.0 << 80.0 << 0 << 1 << -23.0;
    QTest::newRow("gated -72/-36/-23/-36/-72") << "loudness_gate_72_36_23_36_72.wav" << 0.0 << 100.0 << 0 << 1 << -23.0;
    // Ranges that start mid-file: only the named segment counts.
    QTest::newRow("range on the -23 part") << "loudness_gate_36_23_36.wav" << 10.0 << 70.0 << 0 << 1 << -23.0;
    QTest::newRow("range on the last -36 part") << "loudness_gate_36_23_36.wav" << 70.0 << 80.0 << 0 << 1 << -36.0;
    QTest::newRow("range mid -72 file") << "loudness_gate_72_36_23_36_72.wav" << 25.0 << 35.0 << 0 << 1 << -23.0;
    // Channel g of loudness_stereo_51.mov sits at -(20 + g) dBFS: 0-1 stereo, 2-7 the 5.1.
    QTest::newRow("stereo stream pair") << "loudness_stereo_51.mov" << 0.0 << 10.0 << 0 << 1 << sineLoudness(-20, -21);
    QTest::newRow("5.1 stream pair") << "loudness_stereo_51.mov" << 0.0 << 10.0 << 2 << 7 << sineLoudness(-22, -27);
    QTest::newRow("across the streams") << "loudness_stereo_51.mov" << 0.0 << 10.0 << 1 << 4 << sineLoudness(-21, -24);
    QTest::newRow("swapped sides") << "loudness_stereo_51.mov" << 0.0 << 10.0 << 6 << 3 << sineLoudness(-26, -23);
    QTest::newRow("dual mono") << "loudness_stereo_51.mov" << 0.0 << 10.0 << 3 << 3 << sineLoudness(-23, -23);
    QTest::newRow("right unrouted") << "loudness_stereo_51.mov" << 0.0 << 10.0 << 4 << -1 << sineLoudness(-24, kMinusInf);
    QTest::newRow("left unrouted") << "loudness_stereo_51.mov" << 2.0 << 9.0 << -1 << 5 << sineLoudness(kMinusInf, -25);
    // The second stream runs at 44.1 kHz and is brought to the first one's 48 kHz.
    QTest::newRow("second stream at 44.1 kHz") << "loudness_two_rates.mkv" << 0.0 << 10.0 << 2 << 3 << sineLoudness(-26, -30);
    QTest::newRow("48 and 44.1 kHz paired") << "loudness_two_rates.mkv" << 0.0 << 10.0 << 0 << 3 << sineLoudness(-20, -30);
}

void TestLoudnessMeasureWorker::referenceLevels()
{
    QFETCH(QString, clip);
    QFETCH(double, start);
    QFETCH(double, end);
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(double, expected);

    const WorkerRun run = runWorker({mediaPath(clip), start, end, left, right});
    QVERIFY2(run.measured(), qPrintable(run.failure));
    QVERIFY(run.wellFormed());
    QVERIFY2(std::abs(run.integratedLufs - expected) <= 0.1,
             qPrintable(QStringLiteral("%1 LUFS, expected %2").arg(run.integratedLufs).arg(expected)));
    // Progress climbs to 90 while decoding and reaches 100 only after the flush.
    QCOMPARE(run.progress.constFirst(), 0);
    QCOMPARE(run.progress.constLast(), 100);
    QCOMPARE(run.progressAtReady, 100);
    QCOMPARE(run.progress.at(run.progress.size() - 2), 90);
    QVERIFY(std::is_sorted(run.progress.cbegin(), run.progress.cend()));
}

void TestLoudnessMeasureWorker::agreesWithFfmpegMeter_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("right");
    QTest::addColumn<QString>("map");
    QTest::addColumn<QString>("before");

    // The true peak lies between the samples: every sample is 3 dB under the crest.
    QTest::newRow("inter-sample peak") << "loudness_isp_12k.wav" << 0 << 1 << "0:a:0" << "";
    QTest::newRow("-23 dBFS tone") << "loudness_1k_-23dbfs.wav" << 0 << 1 << "0:a:0" << "";
    QTest::newRow("pair of the 5.1 stream") << "loudness_stereo_51.mov" << 3 << 6 << "0:a:1"
                                            << "pan=stereo|c0=c1|c1=c4,";
}

void TestLoudnessMeasureWorker::agreesWithFfmpegMeter()
{
    QFETCH(QString, clip);
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(QString, map);
    QFETCH(QString, before);

    const Reference reference = ffmpegMeter(mediaPath(clip), map, before);
    QVERIFY2(reference.ok, qPrintable(reference.log.right(2000)));
    const WorkerRun run = runWorker({mediaPath(clip), 0.0, 1000.0, left, right});
    QVERIFY2(run.measured(), qPrintable(run.failure));
    // ffmpeg prints one decimal.
    QVERIFY2(std::abs(run.truePeakDb - reference.truePeakDb) <= 0.1,
             qPrintable(QStringLiteral("true peak %1 dBTP, ffmpeg %2").arg(run.truePeakDb).arg(reference.truePeakDb)));
    QVERIFY2(std::abs(run.integratedLufs - reference.integratedLufs) <= 0.1,
             qPrintable(QStringLiteral("%1 LUFS, ffmpeg %2").arg(run.integratedLufs).arg(reference.integratedLufs)));
}

void TestLoudnessMeasureWorker::silence()
{
    // Both sides unrouted: digital silence of the range's length, no decoding at all.
    const WorkerRun run = runWorker({mediaPath("loudness_1k_-23dbfs.wav"), 1.0, 6.0, -1, -1});
    QVERIFY2(run.measured(), qPrintable(run.failure));
    QVERIFY(run.wellFormed());
    QVERIFY(std::isinf(run.truePeakDb) && run.truePeakDb < 0);
    QVERIFY(!(run.integratedLufs > -70.0)); // the meter's floor, never a level
    QCOMPARE(run.progress.constLast(), 100);
}

void TestLoudnessMeasureWorker::timestampGapsAndOverlaps_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("expected");

    // Stream 0 (channels 0-1) carries the timing fault, stream 1 (channels 2-3) is clean;
    // channel 0 is measured against channel 2. The tone is -20 dBFS. In both files, placed
    // by their timestamps, exactly one side plays at any time; misplaced, both would
    // overlap for 5 s and read about 1 LU louder.
    QTest::newRow("gap") << "gap.mkv" << sineLoudness(-20, kMinusInf);
    QTest::newRow("overlap") << "overlap.mkv" << sineLoudness(-20, kMinusInf);
    // Stream 1 starts 10 s after stream 0: its first sample belongs at 10 s, not at 0.
    QTest::newRow("late start") << "late.mkv" << sineLoudness(-20, kMinusInf);
    // Stream 0 pauses for 40 s while stream 1 plays on, longer than either side is held.
    QTest::newRow("long pause") << "pause.mkv" << sineLoudness(-20, kMinusInf);
}

void TestLoudnessMeasureWorker::timestampGapsAndOverlaps()
{
    QFETCH(QString, name);
    QFETCH(double, expected);

    std::vector<PcmPacket> packets;
    double end = 20.0;
    if (name == QLatin1String("late.mkv")) {
        appendRun(packets, 0, 0.0, 10.0, -20.0);
        appendRun(packets, 0, 10.0, 10.0, kMinusInf);
        appendRun(packets, 1, 10.0, 10.0, -20.0);
    } else if (name == QLatin1String("pause.mkv")) {
        // Stream 0: tone 0-5 s, nothing until 45 s, tone 45-50 s. Stream 1 fills in between.
        end = 70.0;
        appendRun(packets, 0, 0.0, 5.0, -20.0);
        appendRun(packets, 0, 45.0, 5.0, -20.0);
        appendRun(packets, 1, 0.0, 5.0, kMinusInf);
        appendRun(packets, 1, 5.0, 40.0, -20.0);
        appendRun(packets, 1, 45.0, 5.0, kMinusInf);
        appendRun(packets, 1, 50.0, 20.0, -20.0);
    } else if (name == QLatin1String("gap.mkv")) {
        // Stream 0: silence 0-5 s, nothing 5-10 s, tone 10-20 s. Stream 1: tone 0-10 s, silence after.
        appendRun(packets, 0, 0.0, 5.0, kMinusInf);
        appendRun(packets, 0, 10.0, 10.0, -20.0);
        appendRun(packets, 1, 0.0, 10.0, -20.0);
        appendRun(packets, 1, 10.0, 10.0, kMinusInf);
    } else {
        // Stream 0: 10 s of silence in one packet, then 5 s of tone stamped 5 s, wholly inside
        // the silence, so it must be dropped; then silence again from 10 s.
        packets.push_back({0, 0.0, 10.0, kMinusInf});
        packets.push_back({0, 5.0, 5.0, -20.0});
        packets.push_back({0, 10.0, 10.0, kMinusInf});
        appendRun(packets, 1, 0.0, 20.0, -20.0);
    }
    std::stable_sort(packets.begin(), packets.end(),
                     [](const PcmPacket &a, const PcmPacket &b) { return a.startSec < b.startSec; });
    const QString path = m_dir.filePath(name);
    const QString problem = writePcmMatroska(path, 2, packets);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    const WorkerRun run = runWorker({path, 0.0, end, 0, 2});
    QVERIFY2(run.measured(), qPrintable(run.failure));
    QVERIFY2(std::abs(run.integratedLufs - expected) <= 0.1,
             qPrintable(QStringLiteral("%1 LUFS, expected %2").arg(run.integratedLufs).arg(expected)));
}

void TestLoudnessMeasureWorker::failures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("end");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("right");
    QTest::addColumn<QString>("message");

    const QString stereo = mediaPath("loudness_1k_-23dbfs.wav");
    QTest::newRow("no file") << "" << 0.0 << 10.0 << 0 << 1 << "No media file is loaded.";
    // The range is checked before the file is touched.
    QTest::newRow("empty range") << "/nonexistent.wav" << 5.0 << 5.0 << 0 << 1 << "Invalid loudness measurement range.";
    QTest::newRow("reversed range") << stereo << 6.0 << 5.0 << 0 << 1 << "Invalid loudness measurement range.";
    QTest::newRow("missing file") << "/nonexistent.wav" << 0.0 << 1.0 << 0 << 1
                                  << "Failed to open media for loudness measurement: No such file or directory";
    QTest::newRow("not media") << "@garbage" << 0.0 << 1.0 << 0 << 1
                               << "Failed to open media for loudness measurement: Invalid data found when processing input";
    QTest::newRow("no audio") << "@video_only.mkv" << 0.0 << 1.0 << 0 << 1 << "No decodable audio stream found.";
    QTest::newRow("left past the channels") << stereo << 0.0 << 1.0 << 2 << 1 << "Selected audio channel is not available.";
    QTest::newRow("right past the channels") << stereo << 0.0 << 1.0 << 0 << 2 << "Selected audio channel is not available.";
    // Two plus six channels fill the eight; the mono third stream has no number.
    QTest::newRow("ninth channel") << mediaPath("loudness_stereo_51.mov") << 0.0 << 1.0 << 8 << 0
                                   << "Selected audio channel is not available.";
}

void TestLoudnessMeasureWorker::failures()
{
    QFETCH(QString, path);
    QFETCH(double, start);
    QFETCH(double, end);
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(QString, message);

    if (path == QLatin1String("@garbage")) {
        path = m_dir.filePath("garbage.bin");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, '\x5a'));
    } else if (path == QLatin1String("@video_only.mkv")) {
        path = m_dir.filePath("video_only.mkv");
        const QString problem = makeWithFfmpeg(path, {"-f", "lavfi", "-i", "testsrc=s=160x120:r=25:d=1", "-c:v", "ffv1"});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
    const WorkerRun run = runWorker({path, start, end, left, right});
    QVERIFY(run.wellFormed());
    QCOMPARE(run.failure, message);
    QVERIFY(!run.measured());
}

void TestLoudnessMeasureWorker::abortDuringDecoding()
{
    bool abortedAt = false;
    const WorkerRun run = runWorker({mediaPath("loudness_gate_72_36_23_36_72.wav"), 0.0, 100.0, 0, 1},
                                    [&abortedAt](LoudnessMeasureWorker *worker, int progress) {
                                        if (progress >= 5 && !abortedAt) {
                                            abortedAt = true;
                                            worker->abort();
                                        }
                                    });
    QVERIFY(abortedAt);
    QVERIFY(run.wellFormed());
    QVERIFY(run.signalOrder.contains("aborted"));
    QVERIFY(!run.measured());
    QVERIFY(run.progress.constLast() < 90);
}

void TestLoudnessMeasureWorker::abortBeforeStart()
{
    const WorkerRun run = runWorker({mediaPath("loudness_1k_-23dbfs.wav"), 0.0, 20.0, 0, 1}, {}, true);
    QCOMPARE(run.signalOrder, (QStringList{"progress", "aborted", "finished"}));
    QCOMPARE(run.progress, QList<int>{0});
}

void TestLoudnessMeasureWorker::blockingInputs_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("abortAfterMs");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("message");

    // Nobody writes to the pipe: open() would wait for a writer for ever.
    QTest::newRow("named pipe") << "fifo" << -1 << "failed"
                                << "Failed to open media for loudness measurement: Is a named pipe, not a media file";
    // A stream that connects and then sends nothing, as a stalled share does: the dialog's
    // Cancel must end the reads.
    QTest::newRow("stalled stream, aborted") << "tcp" << 300 << "aborted" << "";
}

void TestLoudnessMeasureWorker::blockingInputs()
{
    QFETCH(QString, kind);
    QFETCH(int, abortAfterMs);
    QFETCH(QString, outcome);
    QFETCH(QString, message);

    QString path;
    std::function<void()> release;
    testsupport::SilentServer server(8000); // closes after 8 s, ending a read nothing else ends
    if (kind == QLatin1String("fifo")) {
        path = m_dir.filePath("pipe.wav");
        QFile::remove(path);
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        // A writer that closes at once ends a reader stuck in open().
        release = [path] {
            const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        };
    } else {
        QVERIFY(server.port() > 0);
        path = QStringLiteral("tcp://127.0.0.1:%1").arg(server.port());
        release = [] {};
    }
    const BoundedRun run = runBounded({path, 0.0, 10.0, 0, 1}, abortAfterMs, 5000, release);
    QVERIFY2(run.finishedInTime, qPrintable(QStringLiteral("still reading after %1 ms").arg(run.elapsedMs)));
    QCOMPARE(run.outcomes, QStringList{outcome});
    QCOMPARE(run.failure, message);
}

QTEST_GUILESS_MAIN(TestLoudnessMeasureWorker)
#include "tst_loudnessmeasureworker.moc"
