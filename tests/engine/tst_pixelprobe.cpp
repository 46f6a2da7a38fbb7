#include "decodetestsupport.h"
#include "engine/pixelprobe.h"
#include "engine/videoengine.h"
#include "testsupport.h"

#include <QtTest>

#include <QRegularExpression>

using namespace decodetest;

namespace {

// How ffmpeg's rawvideo output of a format is laid out, read independently of FFmpeg's
// pixel-format descriptors.
enum class Layout { Yuv422p10le, Yuv420p, Bgra, Rgb48be };

struct Reference {
    QByteArray bytes;
    int width = 0;
    int height = 0;
    Layout layout = Layout::Yuv420p;

    unsigned le16(qsizetype offset) const
    {
        return uchar(bytes.at(offset)) | (unsigned(uchar(bytes.at(offset + 1))) << 8);
    }
    unsigned be16(qsizetype offset) const
    {
        return (unsigned(uchar(bytes.at(offset))) << 8) | uchar(bytes.at(offset + 1));
    }
    unsigned u8(qsizetype offset) const { return uchar(bytes.at(offset)); }

    // The three stored values in the format's own component order.
    QString values(int x, int y) const
    {
        const qsizetype w = width;
        const qsizetype h = height;
        unsigned a = 0, b = 0, c = 0;
        switch (layout) {
        case Layout::Yuv422p10le: {
            const qsizetype cw = (w + 1) / 2;
            const qsizetype uBase = w * h * 2;
            const qsizetype vBase = uBase + cw * h * 2;
            a = le16((y * w + x) * 2);
            b = le16(uBase + (y * cw + x / 2) * 2);
            c = le16(vBase + (y * cw + x / 2) * 2);
            break;
        }
        case Layout::Yuv420p: {
            const qsizetype cw = (w + 1) / 2;
            const qsizetype ch = (h + 1) / 2;
            a = u8(y * w + x);
            b = u8(w * h + (y / 2) * cw + x / 2);
            c = u8(w * h + cw * ch + (y / 2) * cw + x / 2);
            break;
        }
        case Layout::Bgra: {
            const qsizetype p = (y * w + x) * 4;
            a = u8(p + 2); // R
            b = u8(p + 1); // G
            c = u8(p);     // B
            break;
        }
        case Layout::Rgb48be: {
            const qsizetype p = (y * w + x) * 6;
            a = be16(p);
            b = be16(p + 2);
            c = be16(p + 4);
            break;
        }
        }
        return QStringLiteral("%1,%2,%3").arg(a).arg(b).arg(c);
    }
};

// "Source:  a,b,c (KINDn)\nConvert: r,g,b" split into its parts; empty list if malformed.
QStringList parseText(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^Source:  (\\d+,\\d+,\\d+) \\((RGB|YUV)(\\d+)\\)\\nConvert: (\\d+,\\d+,\\d+)$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return {};
    return {match.captured(1), match.captured(2) + match.captured(3), match.captured(4)};
}

// A frame of one pixel format filled with zeros, for the layouts no clip covers.
av::FramePtr blankFrame(AVPixelFormat format, int width, int height)
{
    av::FramePtr frame = av::makeFrame();
    if (!frame)
        return {};
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    for (int plane = 0; plane < 4 && frame->buf[plane]; ++plane)
        std::fill_n(frame->buf[plane]->data, frame->buf[plane]->size, uint8_t(0));
    return frame;
}

} // namespace

class TestPixelProbe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void storedValuesMatchFfmpegsDecode_data();
    void storedValuesMatchFfmpegsDecode();
    void layoutsWithoutAClip_data();
    void layoutsWithoutAClip();
    void rotatedCanvasReadsTheTurnedPixel();
    void nothingToShowGivesAnEmptyText();
    void oneDecodePerFrame();
};

void TestPixelProbe::storedValuesMatchFfmpegsDecode_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<int>("frameNumber");
    QTest::addColumn<QString>("nativeFormat");
    QTest::addColumn<int>("layout");
    QTest::addColumn<QString>("kindAndDepth");

    QTest::newRow("10-bit 4:2:2 ProRes") << "yuv422p10_pattern.mov" << 7 << "yuv422p10le"
                                         << int(Layout::Yuv422p10le) << "YUV10";
    QTest::newRow("10-bit 4:2:2 bars") << "prores_hq_pcm24.mov" << 0 << "yuv422p10le"
                                       << int(Layout::Yuv422p10le) << "YUV10";
    QTest::newRow("8-bit 4:2:0 H.264") << "h264.mkv" << 12 << "yuv420p" << int(Layout::Yuv420p) << "YUV8";
    QTest::newRow("BGRA in R,G,B order") << "bgra.avi" << 3 << "bgra" << int(Layout::Bgra) << "RGB8";
    QTest::newRow("big-endian RGB48") << "rgb48be_png.mov" << 2 << "rgb48be" << int(Layout::Rgb48be) << "RGB16";
}

void TestPixelProbe::storedValuesMatchFfmpegsDecode()
{
    QFETCH(QString, clip);
    QFETCH(int, frameNumber);
    QFETCH(QString, nativeFormat);
    QFETCH(int, layout);
    QFETCH(QString, kindAndDepth);

    const QString path = testsupport::mediaPath(clip);
    LocalEngine local;
    QVERIFY(local.open(path));
    Reference reference{referenceFrame(path, frameNumber, nativeFormat), local.info.value("width").toInt(),
                        local.info.value("height").toInt(), Layout(layout)};
    QVERIFY(!reference.bytes.isEmpty());
    const int w = reference.width;
    const int h = reference.height;

    // Picture export with the isolation profile converts to BGRA the way the inspector's
    // RGB conversion does, so the Convert line must equal its pixels.
    local.engine.setConversionProfile(ChannelIsolation);
    const QImage rgb = local.engine.getFrameAsImage(frameNumber);
    QVERIFY(!rgb.isNull());

    // Corners, odd columns (chroma shared with the even neighbour) and points spread over
    // the picture's colour patches.
    QList<QPoint> points = {{0, 0}, {1, 0}, {w - 1, h - 1}, {w - 2, 1}, {3, h - 2}};
    for (int i = 1; i < 24; ++i)
        points.append({(i * 97 + 13) % w, (i * 61 + 7) % h});

    for (const QPoint &p : points) {
        const QString text = local.engine.pixelInspectorSourceConvertText(frameNumber, p.x(), p.y(), w, h, 0);
        const QStringList parts = parseText(text);
        QVERIFY2(parts.size() == 3, qPrintable(text));
        QCOMPARE(parts.at(1), kindAndDepth);
        QVERIFY2(parts.at(0) == reference.values(p.x(), p.y()),
                 qPrintable(QStringLiteral("(%1,%2): %3 vs ffmpeg %4")
                                .arg(p.x()).arg(p.y()).arg(parts.at(0), reference.values(p.x(), p.y()))));
        const QColor c = rgb.pixelColor(p);
        QCOMPARE(parts.at(2), QStringLiteral("%1,%2,%3").arg(c.red()).arg(c.green()).arg(c.blue()));
    }
}

void TestPixelProbe::layoutsWithoutAClip_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QPoint>("pixel");
    // Bytes written at plane offsets: (plane, offset from row y of the pixel's plane, value).
    QTest::addColumn<QList<QList<int>>>("writes");
    QTest::addColumn<QString>("expected");

    // R=21 G=42 B=9 in one little-endian 16-bit word; G straddles the two bytes.
    const int rgb565 = (21 << 11) | (42 << 5) | 9;
    QTest::newRow("RGB565 little-endian") << int(AV_PIX_FMT_RGB565LE) << QPoint(2, 1)
                                          << QList<QList<int>>{{0, 4, rgb565 & 0xff}, {0, 5, rgb565 >> 8}}
                                          << "Source:  21,42,9 (RGB5)";
    QTest::newRow("gray 16-bit big-endian, no chroma") << int(AV_PIX_FMT_GRAY16BE) << QPoint(1, 0)
                                                       << QList<QList<int>>{{0, 2, 0x12}, {0, 3, 0x34}}
                                                       << "Source:  4660,0,0 (YUV16)";
    // Interleaved chroma: pixel (3, 3) uses chroma sample (1, 1), bytes 2 and 3 of row 1.
    QTest::newRow("NV12") << int(AV_PIX_FMT_NV12) << QPoint(3, 3)
                          << QList<QList<int>>{{0, 3, 200}, {1, 2, 60}, {1, 3, 190}}
                          << "Source:  200,60,190 (YUV8)";
    QTest::newRow("4:2:0 10-bit big-endian") << int(AV_PIX_FMT_YUV420P10BE) << QPoint(1, 1)
                                             << QList<QList<int>>{{0, 2, 0x03}, {0, 3, 0xac}, {1, 0, 0x02},
                                                                  {1, 1, 0x00}, {2, 0, 0x01}, {2, 1, 0xff}}
                                             << "Source:  940,512,511 (YUV10)";
    // 10-bit components packed in 32-bit words, B in the low bits.
    const quint32 x2rgb = (1000u << 20) | (500u << 10) | 7u;
    QTest::newRow("X2RGB10 little-endian") << int(AV_PIX_FMT_X2RGB10LE) << QPoint(0, 0)
                                           << QList<QList<int>>{{0, 0, int(x2rgb & 0xff)},
                                                                {0, 1, int((x2rgb >> 8) & 0xff)},
                                                                {0, 2, int((x2rgb >> 16) & 0xff)},
                                                                {0, 3, int(x2rgb >> 24)}}
                                           << "Source:  1000,500,7 (RGB10)";
    // Float planes G, B, R: R = 0.5, G = 1.0, B = 0.25 at pixel (1, 0).
    QTest::newRow("GBR float planes") << int(AV_PIX_FMT_GBRPF32LE) << QPoint(1, 0)
                                      << QList<QList<int>>{{2, 7, 0x3f}, {0, 6, 0x80}, {0, 7, 0x3f}, {1, 7, 0x3e},
                                                           {1, 6, 0x80}}
                                      << "Source:  0.5000,1.0000,0.2500 (RGBF32)";
}

void TestPixelProbe::layoutsWithoutAClip()
{
    QFETCH(int, format);
    QFETCH(QPoint, pixel);
    QFETCH(QList<QList<int>>, writes);
    QFETCH(QString, expected);

    av::FramePtr frame = blankFrame(AVPixelFormat(format), 8, 4);
    QVERIFY(frame);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(format));
    for (const QList<int> &write : writes) {
        const int plane = write.at(0);
        const int row = plane == 0 ? pixel.y() : pixel.y() >> desc->log2_chroma_h;
        frame->data[plane][row * frame->linesize[plane] + write.at(1)] = uint8_t(write.at(2));
    }
    QCOMPARE(pixelprobe::sourceDescription(frame.get(), pixel.x(), pixel.y()), expected);
}

void TestPixelProbe::rotatedCanvasReadsTheTurnedPixel()
{
    const QString path = testsupport::mediaPath(QStringLiteral("yuv422p10_pattern.mov"));
    LocalEngine local;
    QVERIFY(local.open(path));
    const int w = local.info.value("width").toInt();
    const int h = local.info.value("height").toInt();
    VideoEngine &engine = local.engine;

    const QString bottomLeft = engine.pixelInspectorSourceConvertText(4, 0, h - 1, w, h, 0);
    const QString topRight = engine.pixelInspectorSourceConvertText(4, w - 1, 0, w, h, 0);
    QVERIFY(!bottomLeft.isEmpty());
    QVERIFY(bottomLeft != topRight);
    // The canvas shows the turned picture, h wide and w high.
    QCOMPARE(engine.pixelInspectorSourceConvertText(4, 0, 0, h, w, 90), bottomLeft);
    QCOMPARE(engine.pixelInspectorSourceConvertText(4, 0, 0, h, w, -90), topRight);
    QCOMPARE(engine.pixelInspectorSourceConvertText(4, 0, 0, h, w, 270), topRight);
    QCOMPARE(engine.pixelInspectorSourceConvertText(4, w - 1, 0, w, h, 45), topRight);
}

void TestPixelProbe::nothingToShowGivesAnEmptyText()
{
    LocalEngine local;
    local.engine.init();
    QVERIFY(local.engine.pixelInspectorSourceConvertText(0, 1, 1, 320, 240, 0).isEmpty());

    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("bgra.avi"))));
    QVERIFY(!local.engine.pixelInspectorSourceConvertText(0, 640, 360, 1280, 720, 0).isEmpty());
    QVERIFY(local.engine.pixelInspectorSourceConvertText(0, 10, 360, 1280, 720, 0).isEmpty());
    QVERIFY(local.engine.pixelInspectorSourceConvertText(-1, 1, 1, 320, 240, 0).isEmpty());

    local.engine.closeFile();
    QVERIFY(local.engine.pixelInspectorSourceConvertText(0, 1, 1, 320, 240, 0).isEmpty());

    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("audio.flac"))));
    QVERIFY(local.engine.pixelInspectorSourceConvertText(0, 1, 1, 320, 240, 0).isEmpty());
}

void TestPixelProbe::oneDecodePerFrame()
{
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(QStringLiteral("h264.mkv"))));
    VideoEngine &engine = local.engine;

    const QString first = engine.pixelInspectorSourceConvertText(20, 100, 100, 1280, 720, 0);
    QVERIFY(!first.isEmpty());
    const VideoEngine::DecodeCounters afterFirst = engine.decodeCounters();
    const QString again = engine.pixelInspectorSourceConvertText(20, 101, 100, 1280, 720, 0);
    QVERIFY(!again.isEmpty());
    QCOMPARE(engine.decodeCounters().framesDecoded, afterFirst.framesDecoded);
    QCOMPARE(engine.decodeCounters().seeks, afterFirst.seeks);
    QCOMPARE(engine.pixelInspectorSourceConvertText(20, 100, 100, 1280, 720, 0), first);

    // Another frame decodes again; coming back gives the first answer again.
    QVERIFY(!engine.pixelInspectorSourceConvertText(33, 100, 100, 1280, 720, 0).isEmpty());
    QVERIFY(engine.decodeCounters().seeks > afterFirst.seeks);
    QCOMPARE(engine.pixelInspectorSourceConvertText(20, 100, 100, 1280, 720, 0), first);
}

QTEST_MAIN(TestPixelProbe)
#include "tst_pixelprobe.moc"
