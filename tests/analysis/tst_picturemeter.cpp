// The per-picture measurements on synthetic pictures: black and legal limits at each bit
// depth and range, R, G, B limits through the chroma, picture differences, other layouts.

#include "analysis/picturemeter.h"
#include "av/ffmpeg.h"
#include "av/ffmpegptr.h"
#include "core/colour.h"

#include <QtTest>

#include <cmath>

using namespace qc;

namespace {

// A picture of one colour: code values y, cb, cr in every sample.
av::FramePtr flatPicture(AVPixelFormat format, int range, int y, int cb, int cr, int width = 64, int height = 32)
{
    av::FramePtr frame = av::makeFrame();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    frame->color_range = AVColorRange(range);
    frame->colorspace = AVCOL_SPC_BT709;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(format);
    const bool wide = desc->comp[0].depth > 8;
    const int values[3] = {y, cb, cr};
    for (int p = 0; p < 3 && frame->data[p]; ++p) {
        const int w = p == 0 ? width : -((-width) >> desc->log2_chroma_w);
        const int h = p == 0 ? height : -((-height) >> desc->log2_chroma_h);
        for (int row = 0; row < h; ++row) {
            uint8_t *line = frame->data[p] + ptrdiff_t(row) * frame->linesize[p];
            for (int x = 0; x < w; ++x) {
                if (wide)
                    reinterpret_cast<uint16_t *>(line)[x] = uint16_t(values[p]);
                else
                    line[x] = uint8_t(values[p]);
            }
        }
    }
    return frame;
}

Settings pictureChecks()
{
    Settings settings;
    return settings;
}

} // namespace

class TestPictureMeter : public QObject
{
    Q_OBJECT

private slots:
    void blackAndLegalLimits_data();
    void blackAndLegalLimits();
    void chromaOutsideRgb();
    void lumaRange_data();
    void lumaRange();
    void partOfThePicture();
    void differences();
    void otherLayouts_data();
    void otherLayouts();
};

void TestPictureMeter::blackAndLegalLimits_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("luma");
    QTest::addColumn<bool>("black");
    QTest::addColumn<bool>("outside");

    const int limited = AVCOL_RANGE_MPEG, full = AVCOL_RANGE_JPEG;
    const int p8 = AV_PIX_FMT_YUV420P, p10 = AV_PIX_FMT_YUV422P10LE, p12 = AV_PIX_FMT_YUV444P12LE;
    // 8-bit limited: black below 16 + 21.9 = 37.9; legal 16 - 10.95 .. 235 + 10.95.
    QTest::newRow("8 limited: 16") << p8 << limited << 16 << true << false;
    QTest::newRow("8 limited: 37") << p8 << limited << 37 << true << false;
    QTest::newRow("8 limited: 38") << p8 << limited << 38 << false << false;
    QTest::newRow("8 limited: 245") << p8 << limited << 245 << false << false;
    QTest::newRow("8 limited: 246") << p8 << limited << 246 << false << true;
    QTest::newRow("8 limited: 250") << p8 << limited << 250 << false << true;
    QTest::newRow("8 limited: 5") << p8 << limited << 5 << true << true;
    QTest::newRow("8 limited: 6") << p8 << limited << 6 << true << false;
    // 8-bit full: black below 25.5; everything 0..255 is legal.
    QTest::newRow("8 full: 25") << p8 << full << 25 << true << false;
    QTest::newRow("8 full: 26") << p8 << full << 26 << false << false;
    QTest::newRow("8 full: 30") << p8 << full << 30 << false << false;
    QTest::newRow("8 full: 0") << p8 << full << 0 << true << false;
    QTest::newRow("8 full: 255") << p8 << full << 255 << false << false;
    // 10-bit limited: black below 64 + 87.6 = 151.6; legal 20.2 .. 983.8.
    QTest::newRow("10 limited: 151") << p10 << limited << 151 << true << false;
    QTest::newRow("10 limited: 152") << p10 << limited << 152 << false << false;
    QTest::newRow("10 limited: 140") << p10 << limited << 140 << true << false;
    QTest::newRow("10 limited: 983") << p10 << limited << 983 << false << false;
    QTest::newRow("10 limited: 984") << p10 << limited << 984 << false << true;
    QTest::newRow("10 limited: 20") << p10 << limited << 20 << true << true;
    // 12-bit full: black below 409.5.
    QTest::newRow("12 full: 409") << p12 << full << 409 << true << false;
    QTest::newRow("12 full: 410") << p12 << full << 410 << false << false;
}

void TestPictureMeter::blackAndLegalLimits()
{
    QFETCH(int, format);
    QFETCH(int, range);
    QFETCH(int, luma);
    QFETCH(bool, black);
    QFETCH(bool, outside);
    const int depth = av_pix_fmt_desc_get(AVPixelFormat(format))->comp[0].depth;
    const int mid = 1 << (depth - 1);
    const av::FramePtr frame = flatPicture(AVPixelFormat(format), range, luma, mid, mid);
    QVERIFY(frame);
    PictureMeter meter(pictureChecks());
    const PictureStats stats = meter.measure(frame.get(), 0);
    QCOMPARE(stats.blackFraction, black ? 1.0 : 0.0);
    QCOMPARE(stats.outOfRangeFraction, outside ? 1.0 : 0.0);
    // The range the display assumes wins over the picture's own tag.
    const int other = range == AVCOL_RANGE_MPEG ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    const av::FramePtr retagged = flatPicture(AVPixelFormat(format), other, luma, mid, mid);
    QCOMPARE(PictureMeter(pictureChecks()).measure(retagged.get(), range).blackFraction, black ? 1.0 : 0.0);
}

void TestPictureMeter::lumaRange_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("left");  // luma code of the left half (RGB: every component)
    QTest::addColumn<int>("right"); // of the right half
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");
    QTest::addColumn<double>("tolerance");
    const int limited = AVCOL_RANGE_MPEG, full = AVCOL_RANGE_JPEG;
    QTest::newRow("8 limited: black | white") << int(AV_PIX_FMT_YUV420P) << limited << 16 << 235 << 0.0 << 1.0 << 1e-9;
    QTest::newRow("8 full: black | white") << int(AV_PIX_FMT_YUV420P) << full << 0 << 255 << 0.0 << 1.0 << 1e-9;
    QTest::newRow("8 limited: past both ends") << int(AV_PIX_FMT_YUV420P) << limited << 1 << 254 << -15.0 / 219.0
                                               << 219.0 / 219.0 + 19.0 / 219.0 << 1e-9;
    QTest::newRow("10 limited: black | white") << int(AV_PIX_FMT_YUV422P10LE) << limited << 64 << 940 << 0.0 << 1.0 << 1e-9;
    QTest::newRow("10 limited: grey | past white") << int(AV_PIX_FMT_YUV422P10LE) << limited << 502 << 1019 << 0.5
                                                   << (1019.0 - 64.0) / 876.0 << 1e-9;
    QTest::newRow("12 full: quarter | three quarters") << int(AV_PIX_FMT_YUV444P12LE) << full << 1024 << 3071
                                                       << 1024.0 / 4095.0 << 3071.0 / 4095.0 << 1e-9;
    // RGB is repacked to 16 bits by swscale first, which makes 8-bit 255 65283, not 65535.
    QTest::newRow("RGB 8: black | white") << int(AV_PIX_FMT_GBRP) << full << 0 << 255 << 0.0 << 1.0 << 0.005;
}

void TestPictureMeter::lumaRange()
{
    QFETCH(int, format);
    QFETCH(int, range);
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(double, min);
    QFETCH(double, max);
    QFETCH(double, tolerance);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(format));
    const bool rgb = desc->flags & AV_PIX_FMT_FLAG_RGB;
    const int mid = 1 << (desc->comp[0].depth - 1);
    av::FramePtr frame = flatPicture(AVPixelFormat(format), range, left, rgb ? left : mid, rgb ? left : mid);
    QVERIFY(frame);
    // The right half of every plane (Y only for Y'CbCr) to 'right'.
    for (int p = 0; p < (rgb ? 3 : 1); ++p) {
        for (int row = 0; row < frame->height; ++row) {
            uint8_t *line = frame->data[p] + ptrdiff_t(row) * frame->linesize[p];
            for (int x = frame->width / 2; x < frame->width; ++x) {
                if (desc->comp[0].depth > 8)
                    reinterpret_cast<uint16_t *>(line)[x] = uint16_t(right);
                else
                    line[x] = uint8_t(right);
            }
        }
    }
    const PictureStats stats = PictureMeter(pictureChecks()).measure(frame.get(), 0);
    QVERIFY2(std::abs(stats.lumaMin - min) < tolerance, qPrintable(QString::number(stats.lumaMin)));
    QVERIFY2(std::abs(stats.lumaMax - max) < tolerance, qPrintable(QString::number(stats.lumaMax)));
    QVERIFY2(std::abs(stats.lumaAverage - (min + max) / 2) < tolerance, qPrintable(QString::number(stats.lumaAverage)));
}

void TestPictureMeter::chromaOutsideRgb()
{
    // Legal luma and chroma codes whose R, G or B leave -5 .. 105 %: mid grey with Cr at
    // its top gives R = 0.5 + 1.5748 x 0.5 = 1.29 (BT.709), Cb at its bottom gives B < 0.
    const struct {
        int y, cb, cr;
        bool outside;
    } cases[] = {
        {126, 128, 128, false}, {126, 128, 240, true}, {126, 16, 128, true},
        // 100 % red: R'G'B' (1, 0, 0) is legal.
        {63, 102, 240, false},
    };
    for (const auto &c : cases) {
        const av::FramePtr frame = flatPicture(AV_PIX_FMT_YUV444P, AVCOL_RANGE_MPEG, c.y, c.cb, c.cr);
        const PictureStats stats = PictureMeter(pictureChecks()).measure(frame.get(), 0);
        QVERIFY2(stats.outOfRangeFraction == (c.outside ? 1.0 : 0.0),
                 qPrintable(QStringLiteral("%1,%2,%3: %4").arg(c.y).arg(c.cb).arg(c.cr).arg(stats.outOfRangeFraction)));
    }
    // The limits follow the colour module's own conversion: a code just inside and one just
    // outside 105 % red by its matrix.
    const colour::YuvToRgb toRgb = colour::yuvToRgb(colour::Matrix::BT709, colour::Range::Limited, 8);
    int inside = -1;
    for (int y = 16; y <= 235; ++y) {
        if (toRgb.apply(y, 128, 200)[0] <= 1.05)
            inside = y;
    }
    QVERIFY(inside > 16 && inside < 235);
    const av::FramePtr edge = flatPicture(AV_PIX_FMT_YUV444P, AVCOL_RANGE_MPEG, inside, 128, 200);
    const av::FramePtr past = flatPicture(AV_PIX_FMT_YUV444P, AVCOL_RANGE_MPEG, inside + 1, 128, 200);
    QCOMPARE(PictureMeter(pictureChecks()).measure(edge.get(), 0).outOfRangeFraction, 0.0);
    QCOMPARE(PictureMeter(pictureChecks()).measure(past.get(), 0).outOfRangeFraction, 1.0);
}

void TestPictureMeter::partOfThePicture()
{
    // A quarter of the rows black and out of range, in a 4:2:0 picture with odd sides.
    av::FramePtr frame = flatPicture(AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, 120, 128, 128, 63, 40);
    for (int row = 0; row < 10; ++row)
        memset(frame->data[0] + ptrdiff_t(row) * frame->linesize[0], 4, 63);
    const PictureStats stats = PictureMeter(pictureChecks()).measure(frame.get(), 0);
    QCOMPARE(stats.blackFraction, 0.25);
    QCOMPARE(stats.outOfRangeFraction, 0.25);
}

void TestPictureMeter::differences()
{
    PictureMeter meter(pictureChecks());
    const av::FramePtr first = flatPicture(AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, 100, 128, 128);
    const av::FramePtr same = flatPicture(AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, 100, 128, 128);
    const av::FramePtr brighter = flatPicture(AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, 102, 128, 128);
    QVERIFY(!meter.measure(first.get(), 0).differenceDb);
    const PictureStats still = meter.measure(same.get(), 0);
    QVERIFY(still.differenceDb && *still.differenceDb < -100.0);
    const PictureStats moved = meter.measure(brighter.get(), 0);
    QVERIFY(moved.differenceDb);
    QVERIFY(std::abs(*moved.differenceDb - 20.0 * std::log10(2.0 / 255.0)) < 1e-9);
    // Another size is not compared.
    const av::FramePtr other = flatPicture(AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, 102, 128, 128, 32, 32);
    QVERIFY(!meter.measure(other.get(), 0).differenceDb);
}

void TestPictureMeter::otherLayouts_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("value"); // every byte of the picture
    QTest::addColumn<double>("black");
    QTest::addColumn<double>("outside");

    // Grey: luma only, limited unless tagged.
    QTest::newRow("gray8 16") << int(AV_PIX_FMT_GRAY8) << 16 << 1.0 << 0.0;
    QTest::newRow("gray8 128") << int(AV_PIX_FMT_GRAY8) << 128 << 0.0 << 0.0;
    QTest::newRow("gray8 250") << int(AV_PIX_FMT_GRAY8) << 250 << 0.0 << 1.0;
    // Packed RGB: full range, luma from the weights; 10 % of 255 is 25.5.
    QTest::newRow("rgb24 20") << int(AV_PIX_FMT_RGB24) << 20 << 1.0 << 0.0;
    QTest::newRow("rgb24 30") << int(AV_PIX_FMT_RGB24) << 30 << 0.0 << 0.0;
    // Packed 4:2:2 goes through a repack; chroma at 20 puts R, G and B far outside.
    QTest::newRow("yuyv 20") << int(AV_PIX_FMT_YUYV422) << 20 << 1.0 << 1.0;
    QTest::newRow("uyvy 128") << int(AV_PIX_FMT_UYVY422) << 128 << 0.0 << 0.0;
}

void TestPictureMeter::otherLayouts()
{
    QFETCH(int, format);
    QFETCH(int, value);
    QFETCH(double, black);
    QFETCH(double, outside);
    av::FramePtr frame = av::makeFrame();
    frame->format = format;
    frame->width = 32;
    frame->height = 16;
    QVERIFY(av_frame_get_buffer(frame.get(), 0) >= 0);
    for (int p = 0; p < 4 && frame->data[p]; ++p)
        memset(frame->data[p], value, size_t(frame->linesize[p]) * 16);
    const PictureStats stats = PictureMeter(pictureChecks()).measure(frame.get(), 0);
    QCOMPARE(stats.blackFraction, black);
    QCOMPARE(stats.outOfRangeFraction, outside);
}

QTEST_GUILESS_MAIN(TestPictureMeter)
#include "tst_picturemeter.moc"
