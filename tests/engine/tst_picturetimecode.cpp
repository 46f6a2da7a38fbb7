// Start timecode read from the picture stream when the container carries none: the frame
// side data and tags it comes from, and the open path that uses it.

#include "decodetestsupport.h"
#include "engine/picturetimecode.h"
#include "testsupport.h"

extern "C" {
#include <libavutil/timecode.h>
}

#include <QtTest>

#include <QTemporaryDir>

#include <cstring>

using namespace decodetest;

namespace {

// The 25-bit GOP header form: drop flag, hours, minutes, marker bit, seconds, frames.
int64_t gopTimecode(bool drop, int hh, int mm, int ss, int ff)
{
    return (int64_t(drop) << 24) | (int64_t(hh) << 19) | (int64_t(mm) << 13) | (int64_t(1) << 12)
        | (int64_t(ss) << 6) | int64_t(ff);
}

void addGop(AVFrame *frame, int64_t value)
{
    AVFrameSideData *data = av_frame_new_side_data(frame, AV_FRAME_DATA_GOP_TIMECODE, sizeof(value));
    QVERIFY(data);
    std::memcpy(data->data, &value, sizeof(value));
}

void addSmpte(AVFrame *frame, uint32_t value)
{
    const uint32_t values[2] = {1, value};
    AVFrameSideData *data = av_frame_new_side_data(frame, AV_FRAME_DATA_S12M_TIMECODE, sizeof(values));
    QVERIFY(data);
    std::memcpy(data->data, values, sizeof(values));
}

} // namespace

class TestPictureTimecode : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fromFrame_data();
    void fromFrame();
    void codecsThatMayCarryOne();
    void openTakesThePictureTimecode_data();
    void openTakesThePictureTimecode();

private:
    QTemporaryDir m_dir;
};

void TestPictureTimecode::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
    // Container timecode 01:00:00:00, GOP headers 00:10:00:00: the container wins.
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=1", "-c:v", "mpeg2video", "-gop_timecode",
                       "00:10:00:00", "-metadata", "timecode=01:00:00:00", m_dir.filePath("both.mov")}));
    // The same GOP timecode and no container tag at all.
    QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=1", "-c:v", "mpeg2video", "-gop_timecode",
                       "00:10:00:00", "-write_tmcd", "0", m_dir.filePath("gop_only.mov")}));
}

void TestPictureTimecode::fromFrame_data()
{
    QTest::addColumn<qint64>("gop");     // -1: none
    QTest::addColumn<qint64>("smpte");   // -1: none
    QTest::addColumn<QString>("tag");    // empty: none
    QTest::addColumn<int>("rateNum");
    QTest::addColumn<int>("rateDen");
    QTest::addColumn<QString>("text");   // empty: nothing found
    QTest::addColumn<QString>("source");

    const auto smpte = [](int num, int den, bool drop, int hh, int mm, int ss, int ff) {
        return qint64(av_timecode_get_smpte(AVRational{num, den}, drop, hh, mm, ss, ff));
    };
    QTest::newRow("GOP drop-frame") << qint64(gopTimecode(true, 0, 59, 59, 20)) << qint64(-1) << QString() << 30000
                                    << 1001 << "00:59:59;20" << "GOP timecode";
    QTest::newRow("GOP non-drop") << qint64(gopTimecode(false, 10, 0, 0, 0)) << qint64(-1) << QString() << 25 << 1
                                  << "10:00:00:00" << "GOP timecode";
    QTest::newRow("SMPTE drop-frame") << qint64(-1) << smpte(30000, 1001, true, 1, 0, 0, 2) << QString() << 30000
                                      << 1001 << "01:00:00;02" << "SMPTE timecode";
    QTest::newRow("SMPTE 25") << qint64(-1) << smpte(25, 1, false, 23, 59, 59, 24) << QString() << 25 << 1
                              << "23:59:59:24" << "SMPTE timecode";
    QTest::newRow("tag only") << qint64(-1) << qint64(-1) << "12:34:56:07" << 25 << 1 << "12:34:56:07"
                              << "frame timecode tag";
    QTest::newRow("GOP before tag") << qint64(gopTimecode(false, 1, 2, 3, 4)) << qint64(-1) << "09:09:09:09" << 25
                                    << 1 << "01:02:03:04" << "GOP timecode";
    QTest::newRow("SMPTE before tag") << qint64(-1) << smpte(25, 1, false, 5, 6, 7, 8) << "09:09:09:09" << 25 << 1
                                      << "05:06:07:08" << "SMPTE timecode";
    QTest::newRow("nothing") << qint64(-1) << qint64(-1) << QString() << 25 << 1 << QString() << QString();
}

void TestPictureTimecode::fromFrame()
{
    QFETCH(qint64, gop);
    QFETCH(qint64, smpte);
    QFETCH(QString, tag);
    QFETCH(int, rateNum);
    QFETCH(int, rateDen);
    QFETCH(QString, text);
    QFETCH(QString, source);

    const av::FramePtr frame = av::makeFrame();
    QVERIFY(frame);
    if (gop >= 0)
        addGop(frame.get(), gop);
    if (smpte >= 0)
        addSmpte(frame.get(), uint32_t(smpte));
    if (!tag.isEmpty())
        av_dict_set(&frame->metadata, "timecode", tag.toLatin1().constData(), 0);

    const auto found = picturetimecode::fromFrame(frame.get(), AVRational{rateNum, rateDen});
    if (text.isEmpty()) {
        QVERIFY(!found);
        return;
    }
    QVERIFY(found);
    QCOMPARE(found->text, text);
    QCOMPARE(found->source, source);
}

void TestPictureTimecode::codecsThatMayCarryOne()
{
    for (AVCodecID id : {AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MPEG1VIDEO, AV_CODEC_ID_H264, AV_CODEC_ID_HEVC})
        QVERIFY(picturetimecode::codecMayCarryTimecode(id));
    for (AVCodecID id : {AV_CODEC_ID_PRORES, AV_CODEC_ID_DNXHD, AV_CODEC_ID_VP9, AV_CODEC_ID_PNG})
        QVERIFY(!picturetimecode::codecMayCarryTimecode(id));
}

// The start timecode a file opens with, and the log line that says where it came from.
// Opening leaves the decoder at the start: the first request is frame 0, exactly.
void TestPictureTimecode::openTakesThePictureTimecode_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("startTimecode");
    QTest::addColumn<QString>("logLine"); // empty: no line about the pictures' timecode
    QTest::newRow("MPEG-TS, GOP headers only")
        << testsupport::mediaPath("mpeg2_2997df_gop_tc.ts") << "00:59:59;20"
        << "Start timecode from the picture stream (GOP timecode): 00:59:59;20";
    QTest::newRow("MOV, GOP headers only") << m_dir.filePath("gop_only.mov") << "00:10:00:00"
                                           << "Start timecode from the picture stream (GOP timecode): 00:10:00:00";
    QTest::newRow("container first") << m_dir.filePath("both.mov") << "01:00:00:00" << QString();
    // MPEG-2 GOP headers always hold a timecode; an encoder given none writes zero.
    QTest::newRow("program stream, zero GOP timecode")
        << testsupport::mediaPath("mpeg2_opengop.mpg") << "00:00:00:00"
        << "Start timecode from the picture stream (GOP timecode): 00:00:00:00";
    QTest::newRow("H.264 without one") << testsupport::mediaPath("h264_opengop.ts") << QString() << QString();
}

void TestPictureTimecode::openTakesThePictureTimecode()
{
    QFETCH(QString, path);
    QFETCH(QString, startTimecode);
    QFETCH(QString, logLine);

    LogCapture log;
    LocalEngine local;
    QVERIFY(local.open(path));
    QCOMPARE(local.info.value(QStringLiteral("startTimecode")).toString(), startTimecode);
    const QStringList lines = log.matching(QStringLiteral("Start timecode from the picture stream"));
    if (logLine.isEmpty())
        QVERIFY(lines.isEmpty());
    else
        QCOMPARE(lines, QStringList{logLine});

    QCOMPARE(local.engine.currentFrameNumber(), int64_t(0));
    const av::FramePtr frame = local.engine.decodeFrameAt(0, -1);
    QVERIFY(frame);
    QCOMPARE(local.engine.currentFrameNumber(), int64_t(0));
    QVERIFY(packFrame(frame.get()) == referenceFrame(path, 0, pixelFormatName(frame.get())));
    const Answer answer = local.request(1, 3);
    QCOMPARE(answer.frameNumber, int64_t(1));
}

QTEST_GUILESS_MAIN(TestPictureTimecode)
#include "tst_picturetimecode.moc"
