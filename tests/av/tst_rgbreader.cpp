// The frame reader every picture path shares. Flat frames are written with FFmpeg's own
// component writer in every layout the decoders produce, from code values computed here
// with an independent reference (the encoding matrix inverted numerically), and must read
// back as that reference: layouts, depths, byte orders, ranges, matrices, alpha. Then the
// things a flat frame cannot show: chroma siting, values beyond black and white, bands,
// unknown tags and frames that cannot be read.

#include "av/ffmpeg.h"
#include "av/rgbreader.h"

#include <QtTest>

#include <array>
#include <cmath>
#include <cstring>

namespace {

struct Weights {
    double kr, kb;
};

Weights weightsOf(int colorSpace)
{
    switch (colorSpace) {
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return {0.299, 0.114};
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return {0.2627, 0.0593}; // constant luminance read as its NCL matrix
    case AVCOL_SPC_SMPTE240M: return {0.212, 0.087};
    case AVCOL_SPC_FCC: return {0.30, 0.11};
    default: return {0.2126, 0.0722};
    }
}

// Y'CbCr code values of an R'G'B' colour (0..1) at 'depth' and range.
std::array<double, 3> encode(double r, double g, double b, int colorSpace, bool full, int depth)
{
    const Weights w = weightsOf(colorSpace);
    const double y = w.kr * r + (1 - w.kr - w.kb) * g + w.kb * b;
    const double cb = (b - y) / (2 * (1 - w.kb));
    const double cr = (r - y) / (2 * (1 - w.kr));
    const double max = std::ldexp(1.0, depth) - 1;
    const double unit = std::ldexp(1.0, depth - 8);
    const double mid = std::ldexp(1.0, depth - 1);
    if (full)
        return {y * max, mid + cb * max, mid + cr * max};
    return {16 * unit + y * 219 * unit, mid + cb * 224 * unit, mid + cr * 224 * unit};
}

// R'G'B' (0..1, unclamped) of code values: the encoding matrix inverted numerically.
std::array<double, 3> decode(double yCode, double cbCode, double crCode, int colorSpace, bool full, int depth)
{
    const Weights w = weightsOf(colorSpace);
    const double kg = 1 - w.kr - w.kb;
    const double max = std::ldexp(1.0, depth) - 1;
    const double unit = std::ldexp(1.0, depth - 8);
    const double mid = std::ldexp(1.0, depth - 1);
    const double yuv[3] = {full ? yCode / max : (yCode - 16 * unit) / (219 * unit),
                           (cbCode - mid) / (full ? max : 224 * unit), (crCode - mid) / (full ? max : 224 * unit)};
    const double m[3][3] = {{w.kr, kg, w.kb},
                            {-w.kr / (2 * (1 - w.kb)), -kg / (2 * (1 - w.kb)), 0.5},
                            {0.5, -kg / (2 * (1 - w.kr)), -w.kb / (2 * (1 - w.kr))}};
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1])
                       - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
                       + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    std::array<double, 3> rgb{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            rgb[r] += (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det * yuv[c];
        }
    }
    return rgb;
}

// A frame of 'format' whose every pixel holds 'codes' (per component, in the descriptor's
// order), written with FFmpeg's own component writer.
av::FramePtr flatFrame(AVPixelFormat format, int width, int height, const std::array<uint32_t, 4> &codes,
                       int range = AVCOL_RANGE_UNSPECIFIED, int colorSpace = AVCOL_SPC_UNSPECIFIED)
{
    av::FramePtr frame = av::makeFrame();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    frame->color_range = AVColorRange(range);
    frame->colorspace = AVColorSpace(colorSpace);
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(format);
    for (int p = 0; p < 4 && frame->buf[p]; ++p)
        std::memset(frame->buf[p]->data, 0, frame->buf[p]->size); // the writer ORs bits in
    for (int c = 0; c < desc->nb_components; ++c) {
        const bool chroma = (c == 1 || c == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components > 2;
        const int w = chroma ? AV_CEIL_RSHIFT(width, desc->log2_chroma_w) : width;
        const int h = chroma ? AV_CEIL_RSHIFT(height, desc->log2_chroma_h) : height;
        const std::vector<uint32_t> row(size_t(w), codes[size_t(c)]);
        for (int y = 0; y < h; ++y)
            av_write_image_line2(row.data(), frame->data, frame->linesize, desc, 0, y, c, w, 4);
    }
    return frame;
}

uint32_t floatBits(double v)
{
    const float f = float(v);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

std::array<float, 4> floatPixel(const RgbReader &reader, int x, int y)
{
    std::vector<float> row(size_t(reader.width()) * 4);
    reader.rowsToRgbaFloat(y, y + 1, row.data(), ptrdiff_t(row.size()));
    return {row[size_t(4 * x)], row[size_t(4 * x + 1)], row[size_t(4 * x + 2)], row[size_t(4 * x + 3)]};
}

QImage bgraImage(const RgbReader &reader)
{
    QImage image(reader.width(), reader.height(), QImage::Format_ARGB32);
    image.fill(0);
    reader.toBgra8(image.bits(), image.bytesPerLine());
    return image;
}

int byteOf(double v) { return std::clamp(int(std::floor(v * 255.0 + 0.5)), 0, 255); }

} // namespace

class TestRgbReader : public QObject
{
    Q_OBJECT

private slots:
    void flatYuvLayouts_data();
    void flatYuvLayouts();
    void flatRgbLayouts_data();
    void flatRgbLayouts();
    void chromaSiting_data();
    void chromaSiting();
    void valuesBeyondBlackAndWhiteKept();
    void bandsEqualRows();
    void yuvTaggedRgbHoldsGbr();
    void unknownColourSpaceNamedOnce();
    void unreadableFrames();
};

void TestRgbReader::flatYuvLayouts_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("range");      // as tagged on the frame
    QTest::addColumn<bool>("full");      // as it must be read
    QTest::addColumn<int>("colorSpace");
    QTest::addColumn<double>("alpha");   // -1: the layout has none

    const int limited = AVCOL_RANGE_MPEG, fullRange = AVCOL_RANGE_JPEG, none = AVCOL_RANGE_UNSPECIFIED;
    const int bt709 = AVCOL_SPC_BT709;
    struct Row { const char *name; AVPixelFormat format; int range; bool full; int cs; double alpha; };
    const Row rows[] = {
        {"yuv420p 709", AV_PIX_FMT_YUV420P, limited, false, bt709, -1},
        {"yuv420p untagged range", AV_PIX_FMT_YUV420P, none, false, bt709, -1},
        {"yuv420p untagged matrix", AV_PIX_FMT_YUV420P, limited, false, AVCOL_SPC_UNSPECIFIED, -1},
        {"yuv420p reserved matrix", AV_PIX_FMT_YUV420P, limited, false, AVCOL_SPC_RESERVED, -1},
        {"yuv420p full", AV_PIX_FMT_YUV420P, fullRange, true, bt709, -1},
        {"yuvj420p full by layout", AV_PIX_FMT_YUVJ420P, none, true, bt709, -1},
        {"yuv422p 601", AV_PIX_FMT_YUV422P, limited, false, AVCOL_SPC_SMPTE170M, -1},
        {"yuv444p 470bg", AV_PIX_FMT_YUV444P, limited, false, AVCOL_SPC_BT470BG, -1},
        {"yuv444p 2020", AV_PIX_FMT_YUV444P, limited, false, AVCOL_SPC_BT2020_NCL, -1},
        {"yuv444p 2020 CL", AV_PIX_FMT_YUV444P, limited, false, AVCOL_SPC_BT2020_CL, -1},
        {"yuv444p 240M", AV_PIX_FMT_YUV444P, limited, false, AVCOL_SPC_SMPTE240M, -1},
        {"yuv444p FCC full", AV_PIX_FMT_YUV444P, fullRange, true, AVCOL_SPC_FCC, -1},
        {"yuv410p", AV_PIX_FMT_YUV410P, limited, false, bt709, -1},
        {"yuv411p", AV_PIX_FMT_YUV411P, limited, false, bt709, -1},
        {"yuv440p", AV_PIX_FMT_YUV440P, limited, false, bt709, -1},
        {"yuv420p10le", AV_PIX_FMT_YUV420P10LE, limited, false, bt709, -1},
        {"yuv422p10le 2020", AV_PIX_FMT_YUV422P10LE, limited, false, AVCOL_SPC_BT2020_NCL, -1},
        {"yuv422p12le full", AV_PIX_FMT_YUV422P12LE, fullRange, true, bt709, -1},
        {"yuv444p16le", AV_PIX_FMT_YUV444P16LE, limited, false, bt709, -1},
        {"yuv444p10be", AV_PIX_FMT_YUV444P10BE, limited, false, bt709, -1},
        {"nv12", AV_PIX_FMT_NV12, limited, false, bt709, -1},
        {"nv21", AV_PIX_FMT_NV21, limited, false, bt709, -1},
        {"p010le", AV_PIX_FMT_P010LE, limited, false, AVCOL_SPC_BT2020_NCL, -1},
        {"p016le full", AV_PIX_FMT_P016LE, fullRange, true, bt709, -1},
        {"yuyv422", AV_PIX_FMT_YUYV422, limited, false, bt709, -1},
        {"uyvy422", AV_PIX_FMT_UYVY422, limited, false, bt709, -1},
        {"yuva420p", AV_PIX_FMT_YUVA420P, limited, false, bt709, 0.5},
        {"yuva444p10le", AV_PIX_FMT_YUVA444P10LE, limited, false, bt709, 0.25},
        {"gray", AV_PIX_FMT_GRAY8, limited, false, bt709, -1},
        {"gray10le full", AV_PIX_FMT_GRAY10LE, fullRange, true, bt709, -1},
        {"ya8", AV_PIX_FMT_YA8, limited, false, bt709, 0.5},
    };
    for (const Row &row : rows)
        QTest::newRow(row.name) << int(row.format) << row.range << row.full << row.cs << row.alpha;
}

// A colour that uses every coefficient, encoded at the layout's depth, reads back as the
// reference decoding of the codes actually stored.
void TestRgbReader::flatYuvLayouts()
{
    QFETCH(int, format);
    QFETCH(int, range);
    QFETCH(bool, full);
    QFETCH(int, colorSpace);
    QFETCH(double, alpha);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(format));
    const int depth = desc->comp[0].depth;
    const auto codes = encode(0.8, 0.35, 0.15, colorSpace, full, depth);
    // Grey layouts hold luma (and alpha in the second component); their chroma is neutral.
    const bool grey = desc->nb_components < 3;
    const int alphaComponent = desc->nb_components - 1;
    std::array<uint32_t, 4> stored{};
    for (int c = 0; c < (grey ? 1 : 3); ++c)
        stored[size_t(c)] = uint32_t(std::lround(codes[size_t(c)]));
    const double alphaMax = std::ldexp(1.0, desc->comp[alphaComponent].depth) - 1;
    if (alpha >= 0)
        stored[size_t(alphaComponent)] = uint32_t(std::lround(alpha * alphaMax));
    const double mid = std::ldexp(1.0, depth - 1);
    // Odd sizes: the last chroma sample covers half a pair.
    const av::FramePtr frame = flatFrame(AVPixelFormat(format), 19, 7, stored, range, colorSpace);
    QVERIFY(frame);

    RgbReader reader;
    QVERIFY(reader.open(frame.get()));
    QVERIFY(!reader.facts().rgb);
    QCOMPARE(reader.facts().range, full ? colour::Range::Full : colour::Range::Limited);
    QCOMPARE(reader.facts().alpha, alpha >= 0);
    const auto want = grey ? decode(stored[0], mid, mid, colorSpace, full, depth)
                           : decode(stored[0], stored[1], stored[2], colorSpace, full, depth);
    const QImage image = bgraImage(reader);
    for (const QPoint p : {QPoint(0, 0), QPoint(18, 6), QPoint(9, 3)}) {
        const auto got = floatPixel(reader, p.x(), p.y());
        for (int i = 0; i < 3; ++i)
            QVERIFY2(std::abs(got[size_t(i)] - want[size_t(i)]) < 2e-5,
                     qPrintable(QStringLiteral("channel %1 at %2,%3: %4, reference %5")
                                    .arg(i).arg(p.x()).arg(p.y()).arg(got[size_t(i)]).arg(want[size_t(i)])));
        const QColor c = image.pixelColor(p);
        QVERIFY(std::abs(c.red() - byteOf(want[0])) <= 1 && std::abs(c.green() - byteOf(want[1])) <= 1
                && std::abs(c.blue() - byteOf(want[2])) <= 1);
        const double wantAlpha = alpha >= 0 ? stored[size_t(alphaComponent)] / alphaMax : 1.0;
        QVERIFY(std::abs(got[3] - wantAlpha) < 1e-6);
        QCOMPARE(c.alpha(), byteOf(wantAlpha));
    }
}

void TestRgbReader::flatRgbLayouts_data()
{
    QTest::addColumn<int>("format");
    struct Row { const char *name; AVPixelFormat format; };
    const Row rows[] = {
        {"gbrp", AV_PIX_FMT_GBRP},         {"gbrp10le", AV_PIX_FMT_GBRP10LE}, {"gbrp12le", AV_PIX_FMT_GBRP12LE},
        {"gbrp16be", AV_PIX_FMT_GBRP16BE}, {"gbrap", AV_PIX_FMT_GBRAP},       {"gbrap10le", AV_PIX_FMT_GBRAP10LE},
        {"rgb24", AV_PIX_FMT_RGB24},       {"bgr24", AV_PIX_FMT_BGR24},       {"rgba", AV_PIX_FMT_RGBA},
        {"bgra", AV_PIX_FMT_BGRA},         {"argb", AV_PIX_FMT_ARGB},         {"abgr", AV_PIX_FMT_ABGR},
        {"0rgb", AV_PIX_FMT_0RGB},         {"rgb0", AV_PIX_FMT_RGB0},         {"rgb48le", AV_PIX_FMT_RGB48LE},
        {"rgb48be", AV_PIX_FMT_RGB48BE},   {"bgr48le", AV_PIX_FMT_BGR48LE},   {"rgba64be", AV_PIX_FMT_RGBA64BE},
        {"x2rgb10le", AV_PIX_FMT_X2RGB10LE}, {"rgb565le", AV_PIX_FMT_RGB565LE}, {"rgb565be", AV_PIX_FMT_RGB565BE},
        {"rgb555le", AV_PIX_FMT_RGB555LE}, {"gbrpf32le", AV_PIX_FMT_GBRPF32LE}, {"gbrapf32be", AV_PIX_FMT_GBRAPF32BE},
        {"bayer_rggb8 (unpacked first)", AV_PIX_FMT_BAYER_RGGB8},
    };
    for (const Row &row : rows)
        QTest::newRow(row.name) << int(row.format);
}

// RGB layouts pass without a matrix: each component's code over its own maximum.
void TestRgbReader::flatRgbLayouts()
{
    QFETCH(int, format);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(format));
    const bool isFloat = desc->flags & AV_PIX_FMT_FLAG_FLOAT;
    const bool bayer = desc->flags & AV_PIX_FMT_FLAG_BAYER;
    const double colour[4] = {0.8, 0.35, 0.15, 0.6};
    std::array<uint32_t, 4> stored{};
    std::array<double, 4> want{0, 0, 0, 1};
    for (int c = 0; c < desc->nb_components && !bayer; ++c) {
        const double max = std::ldexp(1.0, desc->comp[c].depth) - 1;
        stored[size_t(c)] = isFloat ? floatBits(colour[c]) : uint32_t(std::lround(colour[c] * max));
        want[size_t(c)] = isFloat ? colour[c] : stored[size_t(c)] / max;
    }
    const av::FramePtr frame = flatFrame(AVPixelFormat(format), 18, 6, stored);
    QVERIFY(frame);
    if (bayer) {
        // Every site of the mosaic the same grey: it stays flat through demosaicing.
        std::memset(frame->buf[0]->data, 128, frame->buf[0]->size);
        want = {128 / 255.0, 128 / 255.0, 128 / 255.0, 1.0};
    }

    RgbReader reader;
    QVERIFY(reader.open(frame.get()));
    QVERIFY(reader.facts().rgb);
    QCOMPARE(reader.facts().alpha, bool(desc->flags & AV_PIX_FMT_FLAG_ALPHA));
    QCOMPARE(reader.facts().sceneLinear, isFloat);
    const QImage image = bgraImage(reader);
    for (const QPoint p : {QPoint(0, 0), QPoint(17, 5), QPoint(7, 2)}) {
        const QColor c = image.pixelColor(p);
        const int got[4] = {c.red(), c.green(), c.blue(), c.alpha()};
        // The mosaic goes through swscale's demosaicing, which may round a grey down.
        const int tolerance = bayer ? 1 : 0;
        for (int i = 0; i < 4; ++i) {
            // Floats are scene-linear: their colour goes through the view transform, alpha not.
            const int expected = isFloat && i < 3 ? colour::toByte(colour::sceneLinearToDisplay(want[size_t(i)], 0.0))
                                                  : byteOf(want[size_t(i)]);
            QVERIFY2(std::abs(got[i] - expected) <= tolerance,
                     qPrintable(QStringLiteral("channel %1: %2, expected %3").arg(i).arg(got[i]).arg(expected)));
        }
        if (!bayer) {
            const auto f = floatPixel(reader, p.x(), p.y());
            for (int i = 0; i < 4; ++i)
                QVERIFY(std::abs(f[size_t(i)] - want[size_t(i)]) < 1e-6);
        }
    }
    if (isFloat) {
        // Two stops down: a quarter of the linear value before the encoding; floats unchanged.
        ConversionSource source;
        source.exposureStops = -2.0;
        QVERIFY(reader.open(frame.get(), source));
        const QColor c = bgraImage(reader).pixelColor(3, 3);
        QCOMPARE(c.red(), colour::toByte(colour::sceneLinearToDisplay(0.8 / 4, 0.0)));
        QCOMPARE(c.blue(), colour::toByte(colour::sceneLinearToDisplay(0.15 / 4, 0.0)));
        QVERIFY(std::abs(floatPixel(reader, 3, 3)[0] - 0.8) < 1e-6);
    }
}

void TestRgbReader::chromaSiting_data()
{
    QTest::addColumn<int>("location");
    QTest::addColumn<QList<double>>("row0"); // interpolated Cb codes of pixels 0..5, picture row 0
    QTest::addColumn<QList<double>>("row1"); // the same, picture row 1
    // Chroma row 0 holds 128, 200, 128, 128; chroma row 1 is 128 throughout.
    QTest::newRow("unspecified reads as left") << int(AVCHROMA_LOC_UNSPECIFIED)
                                               << QList<double>{128, 164, 200, 164, 128, 128}
                                               << QList<double>{128, 155, 182, 155, 128, 128};
    QTest::newRow("left") << int(AVCHROMA_LOC_LEFT) << QList<double>{128, 164, 200, 164, 128, 128}
                          << QList<double>{128, 155, 182, 155, 128, 128};
    QTest::newRow("center") << int(AVCHROMA_LOC_CENTER) << QList<double>{128, 146, 182, 182, 146, 128}
                            << QList<double>{128, 141.5, 168.5, 168.5, 141.5, 128};
    QTest::newRow("top left") << int(AVCHROMA_LOC_TOPLEFT) << QList<double>{128, 164, 200, 164, 128, 128}
                              << QList<double>{128, 146, 164, 146, 128, 128};
}

// 4:2:0 chroma is interpolated linearly from where the tag says its samples sit.
void TestRgbReader::chromaSiting()
{
    QFETCH(int, location);
    QFETCH(QList<double>, row0);
    QFETCH(QList<double>, row1);
    av::FramePtr frame = flatFrame(AV_PIX_FMT_YUV420P, 8, 4, {126, 128, 128, 0}, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709);
    QVERIFY(frame);
    frame->chroma_location = AVChromaLocation(location);
    frame->data[1][1] = 200;

    RgbReader reader;
    QVERIFY(reader.open(frame.get()));
    // Y and Cr are neutral, so blue - luma carries Cb alone.
    const double bFromCb = 2 * (1 - 0.0722) / 224.0;
    const double luma = (126 - 16) / 219.0;
    for (int y = 0; y < 2; ++y) {
        const QList<double> &want = y == 0 ? row0 : row1;
        for (int x = 0; x < 6; ++x) {
            const double cb = (floatPixel(reader, x, y)[2] - luma) / bFromCb + 128.0;
            QVERIFY2(std::abs(cb - want[x]) < 1e-3, qPrintable(QStringLiteral("pixel %1,%2: Cb %3, expected %4")
                                                                    .arg(x).arg(y).arg(cb).arg(want[x])));
        }
    }
}

// Below black, above white and out of gamut stay in the float rows; bytes clamp them.
void TestRgbReader::valuesBeyondBlackAndWhiteKept()
{
    struct Case { uint32_t y, cb, cr; };
    for (const Case c : {Case{4, 128, 128}, Case{250, 128, 128}, Case{81, 90, 240}}) {
        const av::FramePtr frame = flatFrame(AV_PIX_FMT_YUV444P, 4, 2, {c.y, c.cb, c.cr, 0}, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709);
        RgbReader reader;
        QVERIFY(reader.open(frame.get()));
        const auto want = decode(c.y, c.cb, c.cr, AVCOL_SPC_BT709, false, 8);
        const auto got = floatPixel(reader, 1, 1);
        const QColor bytes = bgraImage(reader).pixelColor(1, 1);
        const int gotBytes[3] = {bytes.red(), bytes.green(), bytes.blue()};
        for (int i = 0; i < 3; ++i) {
            QVERIFY(std::abs(got[size_t(i)] - want[size_t(i)]) < 2e-5);
            QCOMPARE(gotBytes[i], byteOf(want[size_t(i)]));
        }
        QVERIFY(*std::min_element(want.begin(), want.end()) < 0 || *std::max_element(want.begin(), want.end()) > 1);
    }
}

// The whole picture in bands on the cores equals the rows read one range at a time.
void TestRgbReader::bandsEqualRows()
{
    const int w = 37, h = 301;
    av::FramePtr frame = flatFrame(AV_PIX_FMT_YUV420P10LE, w, h, {0, 0, 0, 0}, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709);
    QVERIFY(frame);
    for (int p = 0; p < 3; ++p) {
        const int pw = p ? (w + 1) / 2 : w, ph = p ? (h + 1) / 2 : h;
        for (int y = 0; y < ph; ++y)
            for (int x = 0; x < pw; ++x)
                reinterpret_cast<uint16_t *>(frame->data[p] + y * frame->linesize[p])[x] = uint16_t(64 + (x * 37 + y * 11 + p * 101) % 897);
    }
    RgbReader reader;
    QVERIFY(reader.open(frame.get()));
    const QImage whole = bgraImage(reader);
    QImage pieces(w, h, QImage::Format_ARGB32);
    pieces.fill(0);
    for (int first = 0; first < h; first += 13)
        reader.rowsToBgra8(first, std::min(first + 13, h), pieces.scanLine(first), pieces.bytesPerLine());
    QCOMPARE(whole, pieces);
    // Every row was written: a 10-bit picture of these codes has no transparent pixel.
    for (int y = 0; y < h; ++y)
        QVERIFY(qAlpha(whole.pixel(w - 1, y)) == 255);
}

// A YUV layout tagged RGB stores G, B, R in its Y, Cb, Cr planes.
void TestRgbReader::yuvTaggedRgbHoldsGbr()
{
    const av::FramePtr frame = flatFrame(AV_PIX_FMT_YUV444P, 4, 2, {20, 200, 90, 0}, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_RGB);
    RgbReader reader;
    QVERIFY(reader.open(frame.get()));
    QVERIFY(reader.facts().rgb);
    QCOMPARE(bgraImage(reader).pixelColor(2, 1), QColor(90, 20, 200));
}

// An unknown matrix is read by the untagged rule and named in the log once per tag.
void TestRgbReader::unknownColourSpaceNamedOnce()
{
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtWarningMsg)
            warnings << text;
    });
    const std::array<uint32_t, 4> codes{51, 109, 212, 0}; // BT.709 75 % red
    QImage bt709Reading;
    {
        const av::FramePtr frame = flatFrame(AV_PIX_FMT_YUV444P, 4, 2, codes, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709);
        RgbReader reader;
        QVERIFY(reader.open(frame.get()));
        bt709Reading = bgraImage(reader);
    }
    for (int tag : {int(AVCOL_SPC_YCGCO), int(AVCOL_SPC_YCGCO), int(AVCOL_SPC_ICTCP), 99}) {
        const av::FramePtr frame = flatFrame(AV_PIX_FMT_YUV444P, 4, 2, codes, AVCOL_RANGE_MPEG, tag);
        RgbReader reader;
        QVERIFY(reader.open(frame.get()));
        QVERIFY(!reader.facts().tagRecognised);
        QCOMPARE(reader.facts().matrix, colour::Matrix::BT709);
        QCOMPARE(bgraImage(reader), bt709Reading);
    }
    qInstallMessageHandler(previous);
    QCOMPARE(warnings.size(), 3);
    QVERIFY2(warnings[0].contains(QLatin1String("\"ycgco\"")), qPrintable(warnings[0]));
    QVERIFY2(warnings[1].contains(QLatin1String("\"ictcp\"")), qPrintable(warnings[1]));
    QVERIFY2(warnings[2].contains(QLatin1String("(99)")), qPrintable(warnings[2]));
}

void TestRgbReader::unreadableFrames()
{
    RgbReader reader;
    QVERIFY(!reader.open(nullptr));
    av::FramePtr frame = flatFrame(AV_PIX_FMT_YUV420P, 8, 4, {16, 128, 128, 0});
    QVERIFY(reader.open(frame.get()));

    av::FramePtr empty = av::makeFrame();
    empty->format = AV_PIX_FMT_YUV420P;
    QVERIFY(!reader.open(empty.get()));
    QVERIFY(!reader.isOpen());
    // Rows of a reader that is not open write nothing.
    uint32_t sentinel[8] = {0x12345678u, 0x12345678u};
    reader.rowsToBgra8(0, 1, reinterpret_cast<uint8_t *>(sentinel), 32);
    QCOMPARE(sentinel[0], 0x12345678u);

    for (int format : {int(AV_PIX_FMT_NONE), int(AV_PIX_FMT_NB) + 5, int(AV_PIX_FMT_VAAPI)}) {
        av::FramePtr odd = av::makeFrame();
        odd->format = format;
        odd->width = 8;
        odd->height = 4;
        QVERIFY(!reader.open(odd.get()));
    }
    // A plane the layout needs is missing.
    av::FramePtr broken = flatFrame(AV_PIX_FMT_YUV420P, 8, 4, {16, 128, 128, 0});
    broken->data[2] = nullptr;
    QVERIFY(!reader.open(broken.get()));
}

QTEST_MAIN(TestRgbReader)
#include "tst_rgbreader.moc"
