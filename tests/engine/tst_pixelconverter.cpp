#include <QProcess>
#include <QTemporaryDir>
#include <QVideoFrameFormat>
#include <QtTest>

#include <array>
#include <cmath>
#include <cstring>

#include "av/ffmpeg.h"
#include "engine/pixelconverter.h"
#include "testsupport.h"

namespace {

// First decoded video frame of a file plus what the engine would pass along with it.
struct Decoded {
    av::FramePtr frame;
    ConversionSource source;
    QString error;
};

Decoded decodeFirstFrame(const QString &path, int rangeOverride = -1)
{
    Decoded out;
    av::FormatContextPtr format;
    if (av::openInput(format, path.toUtf8().constData()) < 0) {
        out.error = "cannot open " + path;
        return out;
    }
    if (avformat_find_stream_info(format.get(), nullptr) < 0) {
        out.error = "no stream info in " + path;
        return out;
    }
    const AVCodec *decoder = nullptr;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0 || !decoder) {
        out.error = "no video stream in " + path;
        return out;
    }
    const AVStream *stream = format->streams[index];
    av::CodecContextPtr codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0
        || avcodec_open2(codec.get(), decoder, nullptr) < 0) {
        out.error = "cannot open decoder for " + path;
        return out;
    }
    out.source.codecId = codec->codec_id;
    out.source.codecProfile = codec->profile;
    out.source.rangeOverride = rangeOverride >= 0 ? rangeOverride : stream->codecpar->color_range;

    av::PacketPtr packet = av::makePacket();
    av::FramePtr frame = av::makeFrame();
    bool draining = false;
    while (true) {
        const int got = avcodec_receive_frame(codec.get(), frame.get());
        if (got == 0) {
            out.frame = std::move(frame);
            return out;
        }
        if (got != AVERROR(EAGAIN) || draining)
            break;
        if (av_read_frame(format.get(), packet.get()) < 0) {
            avcodec_send_packet(codec.get(), nullptr);
            draining = true;
            continue;
        }
        if (packet->stream_index == index)
            avcodec_send_packet(codec.get(), packet.get());
        av_packet_unref(packet.get());
    }
    out.error = "no frame decoded from " + path;
    return out;
}

bool runFfmpeg(const QStringList &args, QByteArray *stdoutData = nullptr)
{
    QProcess process;
    process.start("ffmpeg", QStringList{"-nostdin", "-hide_banner", "-v", "error", "-y"} + args);
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        qWarning() << "ffmpeg failed:" << args << process.readAllStandardError();
        return false;
    }
    if (stdoutData)
        *stdoutData = process.readAllStandardOutput();
    return true;
}

// ffmpeg's own RGB conversion of the first frame, with the matrix and range named
// explicitly so that both sides read untagged material the same way.
QByteArray ffmpegRgb24(const QString &path, const AVFrame *frame, int range)
{
    const int cs = frame->colorspace;
    const char *matrix = (cs == AVCOL_SPC_BT470BG || cs == AVCOL_SPC_SMPTE170M) ? "bt601"
                         : (cs == AVCOL_SPC_BT2020_NCL || cs == AVCOL_SPC_BT2020_CL) ? "bt2020"
                                                                                      : "bt709";
    const QString filter = QString("scale=in_color_matrix=%1:in_range=%2:flags=bicubic+accurate_rnd+full_chroma_int")
                               .arg(matrix, range == AVCOL_RANGE_JPEG ? "full" : "limited");
    QByteArray rgb;
    runFfmpeg({"-i", path, "-frames:v", "1", "-vf", filter, "-pix_fmt", "rgb24", "-f", "rawvideo", "-"}, &rgb);
    return rgb;
}

QColor rgbAt(const QByteArray &rgb24, int width, int x, int y)
{
    const auto *p = reinterpret_cast<const uchar *>(rgb24.constData()) + (qsizetype(y) * width + x) * 3;
    return QColor(p[0], p[1], p[2]);
}

// Reads a mapped BGRA video frame into a QImage copy (B,G,R,A bytes = ARGB32 here).
QImage bgraFrameToImage(QVideoFrame frame)
{
    if (frame.pixelFormat() != QVideoFrameFormat::Format_BGRA8888 || !frame.map(compat::MapReadOnly))
        return {};
    QImage image(frame.width(), frame.height(), QImage::Format_ARGB32);
    for (int y = 0; y < frame.height(); ++y)
        std::memcpy(image.scanLine(y), frame.bits(0) + qsizetype(y) * frame.bytesPerLine(0), size_t(frame.width()) * 4);
    frame.unmap();
    return image;
}

int maxChannelDiff(QColor a, QColor b)
{
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

// Hand-built planar 4:2:2 frame of one flat colour given as code values.
av::FramePtr makeFlat422(AVPixelFormat format, int width, int height, int y, int u, int v,
                         int range, int colorSpace)
{
    av::FramePtr frame = av::makeFrame();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    frame->color_range = AVColorRange(range);
    frame->colorspace = AVColorSpace(colorSpace);
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    const bool wide = av_pix_fmt_desc_get(format)->comp[0].depth > 8;
    const int values[3] = {y, u, v};
    for (int p = 0; p < 3; ++p) {
        const int planeWidth = p == 0 ? width : (width + 1) / 2;
        for (int row = 0; row < height; ++row) {
            uint8_t *line = frame->data[p] + qsizetype(row) * frame->linesize[p];
            for (int x = 0; x < planeWidth; ++x) {
                if (wide)
                    reinterpret_cast<uint16_t *>(line)[x] = uint16_t(values[p]);
                else
                    line[x] = uint8_t(values[p]);
            }
        }
    }
    return frame;
}

// Reference R'G'B' (0..255, unrounded) of Y'CbCr code values: the code values are
// de-quantised as the standards define and the encoding matrix built from Kr/Kb is inverted
// numerically.
std::array<double, 3> referenceRgb(int depth, bool full, double kr, double kb, int yCode, int cbCode, int crCode)
{
    const double n = std::ldexp(1.0, depth - 8);
    const double maxCode = std::ldexp(1.0, depth) - 1;
    const double yNorm = full ? yCode / maxCode : (yCode / n - 16.0) / 219.0;
    const double mid = std::ldexp(1.0, depth - 1);
    const double cbNorm = full ? (cbCode - mid) / maxCode : (cbCode - mid) / n / 224.0;
    const double crNorm = full ? (crCode - mid) / maxCode : (crCode - mid) / n / 224.0;

    const double kg = 1 - kr - kb;
    const double m[3][3] = {
        {kr, kg, kb},
        {-kr / (2 * (1 - kb)), -kg / (2 * (1 - kb)), 0.5},
        {0.5, -kg / (2 * (1 - kr)), -kb / (2 * (1 - kr))},
    };
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1])
                       - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
                       + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    double inv[3][3];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inv[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
        }
    }
    const double yuv[3] = {std::clamp(yNorm, 0.0, 1.0), cbNorm, crNorm};
    std::array<double, 3> rgb{};
    for (int r = 0; r < 3; ++r)
        rgb[r] = 255.0 * (inv[r][0] * yuv[0] + inv[r][1] * yuv[1] + inv[r][2] * yuv[2]);
    return rgb;
}

int rounded8(double v) { return std::clamp(int(std::lround(v)), 0, 255); }

} // namespace

class TestPixelConverter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void outputFormatAndTags_data();
    void outputFormatAndTags();
    void rgbSourcePassesUnchanged();
    void viewerMatchesInspectorAndExport_data();
    void viewerMatchesInspectorAndExport();
    void rgbImageMatchesFfmpegOnBars();
    void alphaIsCarried_data();
    void alphaIsCarried();
    void dnxhr444ColoursNotSwapped_data();
    void dnxhr444ColoursNotSwapped();
    void dnxhrPlaneOrderHook();
    void flat422GivesMatrixResult_data();
    void flat422GivesMatrixResult();
    void decoded422PatchGivesMatrixResult();
    void edge422TakesChromaFromItsOwnSide();
    void contextCacheFollowsProfileAndKey();
    void previewSize_data();
    void previewSize();
    void previewDownscaleOfUhd_data();
    void previewDownscaleOfUhd();
    void unusableInputGivesNoPicture();

private:
    QString tmp(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestPixelConverter::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString src = "testsrc2=s=64x36:r=25:d=0.04";
    const QStringList h264 = {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};
    struct Clip { QString name; QStringList args; };
    // Tagged on the frames and for the encoder: FFmpeg 5.1's CLI takes the encoder options,
    // 7's prefers the frames' own (otherwise unset) primaries and transfer.
    const auto tagged = [&](const QString &setparams, const QStringList &encoderTags) {
        return QStringList{"-f", "lavfi", "-i", src + ",format=yuv420p,setparams=" + setparams} + h264 + encoderTags;
    };
    const QList<Clip> clips = {
        {"hlg.mp4", tagged("color_primaries=bt2020:color_trc=arib-std-b67:colorspace=bt2020nc",
                           {"-color_primaries", "bt2020", "-color_trc", "arib-std-b67", "-colorspace", "bt2020nc"})},
        {"pq.mp4", tagged("color_primaries=bt2020:color_trc=smpte2084:colorspace=bt2020nc",
                          {"-color_primaries", "bt2020", "-color_trc", "smpte2084", "-colorspace", "bt2020nc"})},
        {"smpte170m.mp4", tagged("color_primaries=smpte170m:color_trc=smpte170m:colorspace=smpte170m",
                                 {"-color_primaries", "smpte170m", "-color_trc", "smpte170m", "-colorspace", "smpte170m"})},
        {"fullrange.mp4", tagged("range=pc:colorspace=bt709", {"-color_range", "pc", "-colorspace", "bt709"})},
        // Odd size: the last chroma row and column belong to a half-covered pair.
        {"odd.nut", {"-f", "lavfi", "-i", "testsrc2=s=64x36:r=25:d=0.04,scale=33:17,format=yuv420p", "-c:v", "rawvideo"}},
        {"dnx_yuv444.mov", {"-f", "lavfi", "-i", "smptebars=s=256x144:r=25:d=0.04", "-c:v", "dnxhd",
                            "-profile:v", "dnxhr_444", "-pix_fmt", "yuv444p10le"}},
        {"dnx_gbrp.mov", {"-f", "lavfi", "-i", "smptebars=s=256x144:r=25:d=0.04", "-c:v", "dnxhd",
                          "-profile:v", "dnxhr_444", "-pix_fmt", "gbrp10le"}},
        {"halfred4444.mov", {"-f", "lavfi", "-i", "color=c=red@0.5:s=64x32:r=25:d=0.04,format=yuva444p10le",
                             "-c:v", "prores_ks", "-profile:v", "4444"}},
        {"flat422.mov", {"-f", "lavfi", "-i", "color=c=0x4080C0:s=64x32:r=25:d=0.04", "-c:v", "prores_ks",
                         "-profile:v", "3"}},
    };
    for (const Clip &clip : clips)
        QVERIFY2(runFfmpeg(clip.args + QStringList{tmp(clip.name)}), qPrintable(clip.name));
}

// Media names starting with "tmp:" are made by initTestCase, the others by the generator.
static QString clipPath(const QString &name, const QTemporaryDir &dir)
{
    return name.startsWith("tmp:") ? dir.filePath(name.mid(4)) : testsupport::mediaPath(name);
}

void TestPixelConverter::outputFormatAndTags_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<int>("profile");
    QTest::addColumn<int>("rangeOverride"); // -1: the stream's own
    QTest::addColumn<int>("pixelFormat");
    QTest::addColumn<int>("colorRange");
    QTest::addColumn<int>("colorSpace");
    QTest::addColumn<int>("colorTransfer");

    using F = QVideoFrameFormat;
    const int bgra = F::Format_BGRA8888;
    const int full = F::ColorRange_Full;
    const int bt709 = F::ColorSpace_BT709, bt601 = F::ColorSpace_BT601;
    const int trc709 = F::ColorTransfer_BT709;
    const int other = 7; // not a named profile

    // Every profile hands the viewer final 8-bit R'G'B' (the toolkit converts nothing);
    // the tags only describe the source.
    QTest::newRow("h264 standard") << "h264_1080p25.mov" << int(Standard) << -1 << bgra << full << bt709 << trc709;
    QTest::newRow("bt709 standard") << "bt709.mp4" << int(Standard) << -1 << bgra << full << bt709 << trc709;
    QTest::newRow("h264 isolation") << "h264_1080p25.mov" << int(ChannelIsolation) << -1 << bgra << full << bt709 << trc709;
    QTest::newRow("h264 scope percent") << "h264_1080p25.mov" << int(ScopePercent) << -1 << bgra << full << bt709 << trc709;
    QTest::newRow("h264 scope code") << "h264_1080p25.mov" << int(ScopeCodeValue) << -1 << bgra << full << bt709 << trc709;
    QTest::newRow("h264 other profile") << "h264_1080p25.mov" << other << -1 << bgra << full << bt709 << trc709;
    QTest::newRow("prores 422 standard") << "prores_hq_pcm24.mov" << int(Standard) << -1 << bgra << full << bt709 << trc709;
    QTest::newRow("prores alpha standard") << "prores4444_alpha.mov" << int(Standard) << -1 << bgra << full << bt709 << trc709;
    QTest::newRow("bgra standard") << "bgra.avi" << int(Standard) << -1 << bgra << full << bt709 << trc709;
    QTest::newRow("hlg standard") << "tmp:hlg.mp4" << int(Standard) << -1 << bgra << full << bt709
                                  << int(F::ColorTransfer_STD_B67);
    QTest::newRow("hlg isolation") << "tmp:hlg.mp4" << int(ChannelIsolation) << -1 << bgra << full << bt709
                                   << int(F::ColorTransfer_STD_B67);
    QTest::newRow("pq standard") << "tmp:pq.mp4" << int(Standard) << -1 << bgra << full << bt709
                                 << int(F::ColorTransfer_ST2084);
    QTest::newRow("170m standard") << "tmp:smpte170m.mp4" << int(Standard) << -1 << bgra << full << bt601 << trc709;
    QTest::newRow("170m isolation") << "tmp:smpte170m.mp4" << int(ChannelIsolation) << -1 << bgra << full << bt601 << trc709;
    QTest::newRow("full range") << "tmp:fullrange.mp4" << int(Standard) << -1 << bgra << full << bt709 << trc709;
}

void TestPixelConverter::outputFormatAndTags()
{
    QFETCH(QString, clip);
    QFETCH(int, profile);
    QFETCH(int, rangeOverride);
    const Decoded decoded = decodeFirstFrame(clipPath(clip, m_dir), rangeOverride);
    QVERIFY2(decoded.frame, qPrintable(decoded.error));

    PixelConverter converter;
    converter.setConversionProfile(ConversionProfile(profile));
    const QVideoFrame frame = converter.toVideoFrame(decoded.frame.get(), decoded.source, false);
    QVERIFY(frame.isValid());
    QCOMPARE(frame.size(), QSize(decoded.frame->width, decoded.frame->height));
    QTEST(int(frame.pixelFormat()), "pixelFormat");
    QTEST(int(frame.surfaceFormat().colorRange()), "colorRange");
    QTEST(int(frame.surfaceFormat().colorSpace()), "colorSpace");
    QTEST(int(frame.surfaceFormat().colorTransfer()), "colorTransfer");
}

// An 8-bit BGRA source reaches the viewer byte for byte; no matrix touches RGB.
void TestPixelConverter::rgbSourcePassesUnchanged()
{
    const Decoded decoded = decodeFirstFrame(testsupport::mediaPath("bgra.avi"));
    QVERIFY2(decoded.frame, qPrintable(decoded.error));
    const AVFrame *src = decoded.frame.get();
    QCOMPARE(src->format, int(AV_PIX_FMT_BGRA));
    PixelConverter converter;
    for (const ConversionProfile profile : {Standard, ChannelIsolation, ScopeCodeValue}) {
        converter.setConversionProfile(profile);
        const QImage viewer = bgraFrameToImage(converter.toVideoFrame(src, decoded.source, false));
        QCOMPARE(viewer.size(), QSize(src->width, src->height));
        for (int y = 0; y < src->height; ++y)
            QVERIFY2(std::memcmp(viewer.constScanLine(y), src->data[0] + qsizetype(y) * src->linesize[0],
                                 size_t(src->width) * 4) == 0,
                     qPrintable(QString("row %1 differs").arg(y)));
    }
    QCOMPARE(converter.contextBuildCount(), 0);
}

void TestPixelConverter::viewerMatchesInspectorAndExport_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<int>("profile");
    QTest::newRow("h264 4:2:0") << "h264_1080p25.mov" << int(Standard);
    QTest::newRow("prores 4:2:2 10-bit") << "prores_hq_pcm24.mov" << int(Standard);
    QTest::newRow("dnxhr 4:2:2 8-bit") << "dnxhr_hq.mov" << int(Standard);
    QTest::newRow("dnxhr 4:4:4") << "dnxhr_444.mov" << int(Standard);
    QTest::newRow("170m") << "tmp:smpte170m.mp4" << int(Standard);
    QTest::newRow("odd size") << "tmp:odd.nut" << int(Standard);
    QTest::newRow("alpha") << "prores4444_alpha.mov" << int(Standard);
    QTest::newRow("h264 under isolation") << "h264_1080p25.mov" << int(ChannelIsolation);
    QTest::newRow("prores under isolation") << "prores_hq_pcm24.mov" << int(ChannelIsolation);
}

// The viewer's picture, the inspector's "Convert:" values and the picture export are the
// same pixels: the inspector reads the picture as shown in colour (where it is active), the
// export the picture of the current profile.
void TestPixelConverter::viewerMatchesInspectorAndExport()
{
    QFETCH(QString, clip);
    QFETCH(int, profile);
    const Decoded decoded = decodeFirstFrame(clipPath(clip, m_dir));
    QVERIFY2(decoded.frame, qPrintable(decoded.error));
    const AVFrame *src = decoded.frame.get();
    PixelConverter converter;
    converter.setConversionProfile(ConversionProfile(profile));
    const QImage viewer = bgraFrameToImage(converter.toVideoFrame(src, decoded.source, false));
    const QImage exported = converter.toImage(src, decoded.source);
    const QImage inspector = converter.toRgbImage(src, decoded.source);
    QVERIFY(!viewer.isNull());
    QCOMPARE(inspector.format(), QImage::Format_ARGB32);
    const bool alpha = av_pix_fmt_desc_get(AVPixelFormat(src->format))->flags & AV_PIX_FMT_FLAG_ALPHA;
    QCOMPARE(exported.format(), alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    QCOMPARE(exported.convertToFormat(QImage::Format_ARGB32), viewer);
    PixelConverter standard;
    QCOMPARE(inspector, bgraFrameToImage(standard.toVideoFrame(src, decoded.source, false)));
    // Only planar 4:2:2 under isolation takes another converter.
    const bool planar422 = src->format == AV_PIX_FMT_YUV422P || src->format == AV_PIX_FMT_YUV422P10LE;
    QCOMPARE(inspector == viewer, !(planar422 && profile == ChannelIsolation));
}

void TestPixelConverter::rgbImageMatchesFfmpegOnBars()
{
    const QString path = testsupport::mediaPath("demo_bars_25p.mov");
    const Decoded decoded = decodeFirstFrame(path);
    QVERIFY2(decoded.frame, qPrintable(decoded.error));
    const AVFrame *src = decoded.frame.get();
    PixelConverter converter;
    const QImage image = converter.toRgbImage(src, decoded.source);
    QVERIFY(!image.isNull());
    const QByteArray reference = ffmpegRgb24(path, src, decoded.source.rangeOverride ? decoded.source.rangeOverride
                                                                                      : src->color_range);
    QCOMPARE(reference.size(), qsizetype(src->width) * src->height * 3);

    // Centres of the seven top bars, and of the bottom-left and bottom-right patches.
    const int w = src->width, h = src->height;
    QList<QPoint> points;
    for (int bar = 0; bar < 7; ++bar)
        points << QPoint(w / 8 + (w * 3 / 4) * (2 * bar + 1) / 14, h / 3);
    points << QPoint(w / 16, h * 8 / 10) << QPoint(w - w / 16, h / 3);
    for (const QPoint &pt : points) {
        const QColor got = image.pixelColor(pt);
        const QColor want = rgbAt(reference, w, pt.x(), pt.y());
        QVERIFY2(maxChannelDiff(got, want) <= 2,
                 qPrintable(QString("at %1,%2: got %3 want %4").arg(pt.x()).arg(pt.y()).arg(got.name(), want.name())));
    }
}

void TestPixelConverter::alphaIsCarried_data()
{
    QTest::addColumn<QString>("clip");
    QTest::newRow("prores 4444 clip") << "prores4444_alpha.mov";
    QTest::newRow("half transparent red") << "tmp:halfred4444.mov";
}

void TestPixelConverter::alphaIsCarried()
{
    QFETCH(QString, clip);
    const Decoded decoded = decodeFirstFrame(clipPath(clip, m_dir));
    QVERIFY2(decoded.frame, qPrintable(decoded.error));
    const AVFrame *src = decoded.frame.get();
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(src->format));
    QVERIFY(desc->flags & AV_PIX_FMT_FLAG_ALPHA);
    const int alphaDepth = desc->comp[3].depth;

    PixelConverter converter;
    const QVideoFrame frame = converter.toVideoFrame(src, decoded.source, false);
    QCOMPARE(frame.pixelFormat(), QVideoFrameFormat::Format_BGRA8888);
    const QImage image = bgraFrameToImage(frame);
    QVERIFY(!image.isNull());
    for (int y = 0; y < src->height; y += std::max(1, src->height / 7)) {
        for (int x = 0; x < src->width; x += std::max(1, src->width / 9)) {
            const uint8_t *row = src->data[desc->comp[3].plane] + qsizetype(y) * src->linesize[desc->comp[3].plane];
            const int code = alphaDepth > 8 ? reinterpret_cast<const uint16_t *>(row)[x] : row[x];
            const int want = int(std::lround(code * 255.0 / (std::ldexp(1.0, alphaDepth) - 1)));
            QVERIFY2(std::abs(image.pixelColor(x, y).alpha() - want) <= 1,
                     qPrintable(QString("alpha at %1,%2: %3 vs %4").arg(x).arg(y).arg(image.pixelColor(x, y).alpha()).arg(want)));
        }
    }
    if (clip.contains("halfred")) {
        const QColor c = image.pixelColor(image.width() / 2, image.height() / 2);
        QVERIFY2(std::abs(c.alpha() - 128) <= 2 && c.red() > 230 && c.green() < 25 && c.blue() < 25,
                 qPrintable(c.name(QColor::HexArgb)));
    }
}

void TestPixelConverter::dnxhr444ColoursNotSwapped_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<int>("profile");
    QTest::addColumn<bool>("hdBars"); // smptehdbars: the seven bars span the middle 3/4
    QTest::newRow("yuv 4:4:4 viewer") << "tmp:dnx_yuv444.mov" << int(Standard) << false;
    QTest::newRow("yuv 4:4:4 isolation") << "tmp:dnx_yuv444.mov" << int(ChannelIsolation) << false;
    QTest::newRow("rgb viewer") << "tmp:dnx_gbrp.mov" << int(Standard) << false;
    QTest::newRow("rgb isolation") << "tmp:dnx_gbrp.mov" << int(ChannelIsolation) << false;
    QTest::newRow("generated clip viewer") << "dnxhr_444.mov" << int(Standard) << true;
    QTest::newRow("generated clip isolation") << "dnxhr_444.mov" << int(ChannelIsolation) << true;
}

void TestPixelConverter::dnxhr444ColoursNotSwapped()
{
    QFETCH(QString, clip);
    QFETCH(int, profile);
    QFETCH(bool, hdBars);
    const Decoded decoded = decodeFirstFrame(clipPath(clip, m_dir));
    QVERIFY2(decoded.frame, qPrintable(decoded.error));
    QCOMPARE(decoded.source.codecProfile, ORVEL_PROFILE(DNXHR_444));
    const AVFrame *src = decoded.frame.get();

    PixelConverter converter;
    converter.setConversionProfile(ConversionProfile(profile));
    QVideoFrame frame = converter.toVideoFrame(src, decoded.source, false);
    QVERIFY(frame.isValid());
    const QImage viewer = bgraFrameToImage(frame);
    const QImage inspector = converter.toRgbImage(src, decoded.source);
    QVERIFY(!viewer.isNull() && !inspector.isNull());

    // Top bars, left to right: grey, yellow, cyan, green, magenta, red, blue.
    struct Bar { int index; bool r, g, b; };
    const Bar bars[] = {{0, 1, 1, 1}, {1, 1, 1, 0}, {2, 0, 1, 1}, {3, 0, 1, 0}, {4, 1, 0, 1}, {5, 1, 0, 0}, {6, 0, 0, 1}};
    for (const QImage &image : {viewer, inspector}) {
        for (const Bar &bar : bars) {
            const int w = image.width();
            const int x = hdBars ? w / 8 + (w * 3 / 4) * (2 * bar.index + 1) / 14 : w * (2 * bar.index + 1) / 14;
            const QColor c = image.pixelColor(x, image.height() / 3);
            auto on = [](int v) { return v > 150; };
            auto off = [](int v) { return v < 40; };
            const bool ok = (bar.r ? on(c.red()) : off(c.red())) && (bar.g ? on(c.green()) : off(c.green()))
                            && (bar.b ? on(c.blue()) : off(c.blue()));
            QVERIFY2(ok, qPrintable(QString("bar %1 is %2").arg(bar.index).arg(c.name())));
        }
    }
}

// A decoder that hands R,G,B planes in GBR order is corrected only when the engine says so.
void TestPixelConverter::dnxhrPlaneOrderHook()
{
    const int w = 32, h = 16;
    av::FramePtr frame = av::makeFrame();
    frame->format = AV_PIX_FMT_GBRP10LE;
    frame->width = w;
    frame->height = h;
    QVERIFY(av_frame_get_buffer(frame.get(), 0) >= 0);
    const int planeValues[3] = {900, 100, 20}; // planes 0,1,2 hold R,G,B of an orange patch
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                reinterpret_cast<uint16_t *>(frame->data[p] + y * frame->linesize[p])[x] = uint16_t(planeValues[p]);

    ConversionSource source;
    source.codecId = AV_CODEC_ID_DNXHD;
    source.codecProfile = ORVEL_PROFILE(DNXHR_444);
    const int r = rounded8(900 * 255.0 / 1023), g = rounded8(100 * 255.0 / 1023), b = rounded8(20 * 255.0 / 1023);

    struct Case { bool hook; QColor want; };
    // Without the hook the planes are read as the format declares: G=plane0, B=plane1, R=plane2.
    const Case cases[] = {{true, QColor(r, g, b)}, {false, QColor(b, r, g)}};
    for (const Case &c : cases) {
        source.dnxhrPlanesInRgbOrder = c.hook;
        PixelConverter converter;
        const QImage viewer = bgraFrameToImage(converter.toVideoFrame(frame.get(), source, false));
        const QImage inspector = converter.toRgbImage(frame.get(), source);
        QVERIFY(!viewer.isNull() && !inspector.isNull());
        QVERIFY2(maxChannelDiff(viewer.pixelColor(5, 5), c.want) <= 1, qPrintable(viewer.pixelColor(5, 5).name()));
        QVERIFY2(maxChannelDiff(inspector.pixelColor(5, 5), c.want) <= 1, qPrintable(inspector.pixelColor(5, 5).name()));
    }
}

void TestPixelConverter::flat422GivesMatrixResult_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("colorSpace");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("cb");
    QTest::addColumn<int>("cr");

    const int video = AVCOL_RANGE_MPEG, full = AVCOL_RANGE_JPEG;
    QTest::newRow("10-bit 709 blue-ish") << int(AV_PIX_FMT_YUV422P10LE) << video << int(AVCOL_SPC_BT709) << 16 << 6 << 464 << 664 << 380;
    QTest::newRow("10-bit 709 red") << int(AV_PIX_FMT_YUV422P10LE) << video << int(AVCOL_SPC_BT709) << 15 << 6 << 250 << 409 << 960;
    QTest::newRow("10-bit 709 white") << int(AV_PIX_FMT_YUV422P10LE) << video << int(AVCOL_SPC_BT709) << 16 << 6 << 940 << 512 << 512;
    QTest::newRow("10-bit untagged") << int(AV_PIX_FMT_YUV422P10LE) << video << int(AVCOL_SPC_UNSPECIFIED) << 16 << 6 << 600 << 300 << 700;
    QTest::newRow("10-bit 601") << int(AV_PIX_FMT_YUV422P10LE) << video << int(AVCOL_SPC_SMPTE170M) << 16 << 6 << 600 << 300 << 700;
    QTest::newRow("10-bit 2020") << int(AV_PIX_FMT_YUV422P10LE) << video << int(AVCOL_SPC_BT2020_NCL) << 16 << 6 << 600 << 300 << 700;
    QTest::newRow("10-bit full") << int(AV_PIX_FMT_YUV422P10LE) << full << int(AVCOL_SPC_BT709) << 16 << 6 << 600 << 300 << 700;
    QTest::newRow("8-bit 709") << int(AV_PIX_FMT_YUV422P) << video << int(AVCOL_SPC_BT709) << 16 << 6 << 120 << 90 << 170;
    QTest::newRow("12-bit 709") << int(AV_PIX_FMT_YUV422P12LE) << video << int(AVCOL_SPC_BT709) << 16 << 6 << 2400 << 1500 << 2600;
    // Tall enough to be converted in parallel bands: every row must still be written.
    QTest::newRow("10-bit tall") << int(AV_PIX_FMT_YUV422P10LE) << video << int(AVCOL_SPC_BT709) << 16 << 517 << 464 << 664 << 380;
    QTest::newRow("16-bit full") << int(AV_PIX_FMT_YUV422P16LE) << full << int(AVCOL_SPC_BT709) << 16 << 6 << 30000 << 20000 << 45000;
}

// Flat areas of constant chroma come out exactly as the matrix says, in the viewer under
// channel isolation (luma-guided) and in the inspector (the colour module).
void TestPixelConverter::flat422GivesMatrixResult()
{
    QFETCH(int, format);
    QFETCH(int, range);
    QFETCH(int, colorSpace);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, y);
    QFETCH(int, cb);
    QFETCH(int, cr);
    av::FramePtr frame = makeFlat422(AVPixelFormat(format), width, height, y, cb, cr, range, colorSpace);
    QVERIFY(frame);

    double kr = 0.2126, kb = 0.0722;
    if (colorSpace == AVCOL_SPC_SMPTE170M)
        kr = 0.299, kb = 0.114;
    else if (colorSpace == AVCOL_SPC_BT2020_NCL)
        kr = 0.2627, kb = 0.0593;
    const int depth = av_pix_fmt_desc_get(AVPixelFormat(format))->comp[0].depth;
    const auto rgb = referenceRgb(depth, range == AVCOL_RANGE_JPEG, kr, kb, y, cb, cr);
    const QColor want(rounded8(rgb[0]), rounded8(rgb[1]), rounded8(rgb[2]));

    PixelConverter converter;
    converter.setConversionProfile(ChannelIsolation);
    const ConversionSource source;
    const QImage viewer = bgraFrameToImage(converter.toVideoFrame(frame.get(), source, false));
    const QImage inspector = converter.toRgbImage(frame.get(), source);
    QCOMPARE(converter.contextBuildCount(), 0); // no swscale on either path
    for (const QImage &image : {viewer, inspector}) {
        QCOMPARE(image.size(), QSize(width, height));
        for (int yy = 0; yy < image.height(); ++yy)
            for (int x = 0; x < image.width(); ++x)
                QCOMPARE(image.pixel(x, yy), want.rgba());
    }
}

void TestPixelConverter::decoded422PatchGivesMatrixResult()
{
    const Decoded decoded = decodeFirstFrame(tmp("flat422.mov"));
    QVERIFY2(decoded.frame, qPrintable(decoded.error));
    const AVFrame *src = decoded.frame.get();
    QCOMPARE(src->format, int(AV_PIX_FMT_YUV422P10LE));
    auto code = [src](int plane, int x, int y) {
        return int(reinterpret_cast<const uint16_t *>(src->data[plane] + y * src->linesize[plane])[x]);
    };
    const int y0 = code(0, 0, 0), cb0 = code(1, 0, 0), cr0 = code(2, 0, 0);
    for (int y = 0; y < src->height; ++y) {
        for (int x = 0; x < src->width; ++x)
            QVERIFY2(code(0, x, y) == y0, "the encoded patch is not flat");
        for (int x = 0; x < (src->width + 1) / 2; ++x)
            QVERIFY2(code(1, x, y) == cb0 && code(2, x, y) == cr0, "the encoded patch is not flat");
    }
    const bool full = (decoded.source.rangeOverride ? decoded.source.rangeOverride : src->color_range) == AVCOL_RANGE_JPEG;
    const auto rgb = referenceRgb(10, full, 0.2126, 0.0722, y0, cb0, cr0);
    const QColor want(rounded8(rgb[0]), rounded8(rgb[1]), rounded8(rgb[2]));

    PixelConverter converter;
    converter.setConversionProfile(ChannelIsolation);
    const QImage viewer = bgraFrameToImage(converter.toVideoFrame(src, decoded.source, false));
    const QImage inspector = converter.toRgbImage(src, decoded.source);
    QVERIFY(!viewer.isNull() && !inspector.isNull());
    QCOMPARE(viewer.pixelColor(src->width / 2, src->height / 2), want);
    QCOMPARE(inspector.pixelColor(0, 0), want);
    QCOMPARE(inspector.pixelColor(src->width - 1, src->height - 1), want);
}

// Under channel isolation, at a luma edge inside a chroma pair, each side takes the chroma
// of the flat area it belongs to instead of the mixed pair, so a red/blue edge gets no
// purple seam.
void TestPixelConverter::edge422TakesChromaFromItsOwnSide()
{
    const int w = 16, h = 2, edge = 5; // pixels 4 and 5 share chroma sample 2
    const int red[3] = {250, 409, 960}, blue[3] = {127, 960, 471}; // BT.709 10-bit codes
    av::FramePtr frame = makeFlat422(AV_PIX_FMT_YUV422P10LE, w, h, 0, 0, 0, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709);
    QVERIFY(frame);
    for (int y = 0; y < h; ++y) {
        auto *luma = reinterpret_cast<uint16_t *>(frame->data[0] + y * frame->linesize[0]);
        for (int x = 0; x < w; ++x)
            luma[x] = uint16_t(x < edge ? red[0] : blue[0]);
        for (int p = 1; p < 3; ++p) {
            auto *chroma = reinterpret_cast<uint16_t *>(frame->data[p] + y * frame->linesize[p]);
            for (int j = 0; j < w / 2; ++j)
                chroma[j] = uint16_t(j < 2 ? red[p] : j > 2 ? blue[p] : (red[p] + blue[p]) / 2);
        }
    }
    PixelConverter converter;
    converter.setConversionProfile(ChannelIsolation);
    const QImage image = bgraFrameToImage(converter.toVideoFrame(frame.get(), ConversionSource(), false));
    QVERIFY(!image.isNull());
    for (int x = 0; x < w; ++x) {
        const QColor c = image.pixelColor(x, 1);
        const bool redSide = x < edge;
        QVERIFY2(redSide ? (c.red() > 150 && c.blue() < 60) : (c.blue() > 150 && c.red() < 60),
                 qPrintable(QString("pixel %1 is %2").arg(x).arg(c.name())));
    }
    // Away from the edge the flat colours are exact.
    const auto r = referenceRgb(10, false, 0.2126, 0.0722, red[0], red[1], red[2]);
    const auto b = referenceRgb(10, false, 0.2126, 0.0722, blue[0], blue[1], blue[2]);
    QCOMPARE(image.pixelColor(1, 0), QColor(rounded8(r[0]), rounded8(r[1]), rounded8(r[2])));
    QCOMPARE(image.pixelColor(w - 2, 0), QColor(rounded8(b[0]), rounded8(b[1]), rounded8(b[2])));
}

// Only the preview downscale uses swscale (to shrink the planes); its context is cached
// on formats and sizes and dropped by a profile change or a file close.
void TestPixelConverter::contextCacheFollowsProfileAndKey()
{
    const Decoded hd = decodeFirstFrame(testsupport::mediaPath("h264_1080p25.mov"));
    QVERIFY2(hd.frame, qPrintable(hd.error));
    const Decoded uhd = decodeFirstFrame(testsupport::mediaPath("uhd_prores.mov"));
    QVERIFY2(uhd.frame, qPrintable(uhd.error));
    const Decoded uhdH264 = decodeFirstFrame(testsupport::mediaPath("uhd_h264.mp4"));
    QVERIFY2(uhdH264.frame, qPrintable(uhdH264.error));
    const PixelConverter::CacheKey empty;

    PixelConverter converter;
    QCOMPARE(converter.cacheKey(), empty);
    QVERIFY(converter.toVideoFrame(uhd.frame.get(), uhd.source, true).isValid());
    QCOMPARE(converter.contextBuildCount(), 1);
    const PixelConverter::CacheKey uhdKey{AV_PIX_FMT_YUV422P10LE, 3840, 2160, 1280, 720, AV_PIX_FMT_YUV422P10LE};
    QCOMPARE(converter.cacheKey(), uhdKey);

    struct Step {
        const char *what;
        int setProfile;      // -1: leave
        bool reset;
        const Decoded *frame;
        bool downscale;
        int builds;          // expected build count afterwards
        bool cached;         // context held afterwards
    };
    const Step steps[] = {
        {"same preview again", -1, false, &uhd, true, 1, true},
        {"full size needs no scaler", -1, false, &hd, false, 1, true},
        {"same profile set again", Standard, false, nullptr, false, 1, true},
        {"preview after the repeated profile", -1, false, &uhd, true, 1, true},
        {"profile change drops the context", ChannelIsolation, false, nullptr, false, 1, false},
        {"isolation at full size builds nothing", -1, false, &uhd, false, 1, false},
        {"preview under another profile builds", -1, false, &uhd, true, 2, true},
        {"other source format rebuilds", -1, false, &uhdH264, true, 3, true},
        {"preview again reuses", -1, false, &uhdH264, true, 3, true},
        {"file close drops the context", -1, true, nullptr, false, 3, false},
    };
    for (const Step &step : steps) {
        if (step.setProfile >= 0)
            converter.setConversionProfile(ConversionProfile(step.setProfile));
        if (step.reset)
            converter.reset();
        if (step.frame)
            QVERIFY2(converter.toVideoFrame(step.frame->frame.get(), step.frame->source, step.downscale).isValid(), step.what);
        QVERIFY2(converter.contextBuildCount() == step.builds, step.what);
        QVERIFY2(converter.hasCachedContext() == step.cached, step.what);
        if (!step.cached)
            QVERIFY2(converter.cacheKey() == empty, step.what);
    }
    QCOMPARE(converter.conversionProfile(), ChannelIsolation); // kept across file close

    // The range is read from each frame, never kept in the cached scaler: the same frame
    // read with another range comes out as a fresh converter makes it.
    ConversionSource forcedFull = uhdH264.source;
    forcedFull.rangeOverride = AVCOL_RANGE_JPEG;
    const QImage asVideo = bgraFrameToImage(converter.toVideoFrame(uhdH264.frame.get(), uhdH264.source, true));
    const QImage asFull = bgraFrameToImage(converter.toVideoFrame(uhdH264.frame.get(), forcedFull, true));
    PixelConverter fresh;
    QVERIFY(asVideo != asFull);
    QCOMPARE(asFull, bgraFrameToImage(fresh.toVideoFrame(uhdH264.frame.get(), forcedFull, true)));
}

void TestPixelConverter::previewSize_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QSize>("preview");
    QTest::newRow("uhd") << QSize(3840, 2160) << QSize(1280, 720);
    QTest::newRow("dci 4k") << QSize(4096, 2160) << QSize(1280, 674);
    QTest::newRow("portrait uhd") << QSize(2160, 3840) << QSize(404, 720);
    QTest::newRow("8k") << QSize(7680, 4320) << QSize(1280, 720);
    QTest::newRow("odd") << QSize(3841, 2161) << QSize(1278, 720); // 720*3841/2161 = 1279.7
    QTest::newRow("hd") << QSize(1920, 1080) << QSize(1280, 720);
    QTest::newRow("fits already") << QSize(1280, 720) << QSize(1280, 720);
    QTest::newRow("small is not enlarged") << QSize(640, 360) << QSize(640, 360);
    QTest::newRow("sliver") << QSize(1, 5000) << QSize(2, 720);
}

void TestPixelConverter::previewSize()
{
    QFETCH(QSize, frame);
    QTEST(PixelConverter::previewSize(frame), "preview");
}

void TestPixelConverter::previewDownscaleOfUhd_data()
{
    QTest::addColumn<QString>("clip");
    QTest::newRow("h264") << "uhd_h264.mp4";
    QTest::newRow("prores") << "uhd_prores.mov";
    QTest::newRow("hevc") << "uhd_hevc.mp4";
}

void TestPixelConverter::previewDownscaleOfUhd()
{
    QFETCH(QString, clip);
    const Decoded decoded = decodeFirstFrame(testsupport::mediaPath(clip));
    QVERIFY2(decoded.frame, qPrintable(decoded.error));
    QCOMPARE(QSize(decoded.frame->width, decoded.frame->height), QSize(3840, 2160));
    PixelConverter converter;
    const QVideoFrame preview = converter.toVideoFrame(decoded.frame.get(), decoded.source, true);
    QVERIFY(preview.isValid());
    QCOMPARE(preview.size(), QSize(1280, 720));
    QCOMPARE(preview.pixelFormat(), QVideoFrameFormat::Format_BGRA8888);

    // Same picture, only smaller: compare against the full-size conversion scaled by Qt.
    const QImage small = bgraFrameToImage(preview);
    const QImage big = bgraFrameToImage(converter.toVideoFrame(decoded.frame.get(), decoded.source, false))
                           .scaled(1280, 720, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    double total = 0;
    int samples = 0;
    for (int y = 8; y < 720; y += 16) {
        for (int x = 8; x < 1280; x += 16) {
            total += maxChannelDiff(small.pixelColor(x, y), big.pixelColor(x, y));
            ++samples;
        }
    }
    QVERIFY2(total / samples < 6.0, qPrintable(QString("mean difference %1").arg(total / samples)));
}

void TestPixelConverter::unusableInputGivesNoPicture()
{
    PixelConverter converter;
    const ConversionSource source;
    QVERIFY(!converter.toVideoFrame(nullptr, source, false).isValid());
    QVERIFY(converter.toRgbImage(nullptr, source).isNull());

    av::FramePtr empty = av::makeFrame();
    empty->format = AV_PIX_FMT_YUV420P;
    QVERIFY(!converter.toVideoFrame(empty.get(), source, false).isValid());
    QVERIFY(converter.toRgbImage(empty.get(), source).isNull());

    av::FramePtr unknown = av::makeFrame();
    unknown->format = AV_PIX_FMT_NONE;
    unknown->width = 16;
    unknown->height = 16;
    converter.setConversionProfile(ChannelIsolation);
    QVERIFY(!converter.toVideoFrame(unknown.get(), source, false).isValid());
    QVERIFY(converter.toRgbImage(unknown.get(), source).isNull());
    QVERIFY(!converter.hasCachedContext());

    // The luma-guided converter refuses what it cannot fill exactly.
    av::FramePtr flat = makeFlat422(AV_PIX_FMT_YUV422P10LE, 16, 4, 500, 512, 512, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709);
    QVERIFY(flat);
    std::vector<uint8_t> buffer(16 * 4 * 4);
    Planar422Converter planar;
    QVERIFY(!planar.convert(flat.get(), buffer.data(), 64, 8, 4, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709));
    QVERIFY(!planar.convert(flat.get(), nullptr, 64, 16, 4, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709));
    av::FramePtr notPlanar = av::makeFrame();
    notPlanar->format = AV_PIX_FMT_YUV420P;
    notPlanar->width = 16;
    notPlanar->height = 4;
    QVERIFY(av_frame_get_buffer(notPlanar.get(), 0) >= 0);
    QVERIFY(!planar.convert(notPlanar.get(), buffer.data(), 64, 16, 4, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709));
    QVERIFY(planar.convert(flat.get(), buffer.data(), 64, 16, 4, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709));
}

QTEST_MAIN(TestPixelConverter)
#include "tst_pixelconverter.moc"
