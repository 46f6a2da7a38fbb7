#include "core/imagehelpers.h"

#include <QPainter>
#include <QtTest>

namespace {

QImage solid(QSize size, QImage::Format format, QRgb colour)
{
    QImage image(size, format);
    image.fill(QColor::fromRgba(colour));
    return image;
}

// A picture whose top-left pixel is marked red on a blue ground, so every quarter turn
// moves the mark to a different corner.
QImage marked(QSize size)
{
    QImage image = solid(size, QImage::Format_ARGB32, qRgb(0, 0, 255));
    image.setPixel(0, 0, qRgb(255, 0, 0));
    return image;
}

bool isBlack(QRgb p) { return qRed(p) == 0 && qGreen(p) == 0 && qBlue(p) == 0 && qAlpha(p) == 255; }

} // namespace

class TestImageHelpers : public QObject
{
    Q_OBJECT

private slots:
    void isolateSinglePixel_data();
    void isolateSinglePixel();
    void isolateCoversEveryPixel_data();
    void isolateCoversEveryPixel();
    void colorKeepsFormat_data();
    void colorKeepsFormat();
    void nullImages();
    void rotateImage_data();
    void rotateImage();
    void rotateAndFitCanvas_data();
    void rotateAndFitCanvas();
    void rotateAndFitPlacement();
};

void TestImageHelpers::isolateSinglePixel_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QRgb>("pixel");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("tolerance");

    const int argb = QImage::Format_ARGB32;
    const int rgb = QImage::Format_RGB32;
    QTest::newRow("luma of red") << argb << qRgb(255, 0, 0) << int(Luma) << 54 << 0;
    QTest::newRow("luma of green") << argb << qRgb(0, 255, 0) << int(Luma) << 182 << 0;
    QTest::newRow("luma of blue") << argb << qRgb(0, 0, 255) << int(Luma) << 18 << 0;
    QTest::newRow("luma of white") << rgb << qRgb(255, 255, 255) << int(Luma) << 255 << 0;
    QTest::newRow("luma truncates") << argb << qRgb(1, 1, 1) << int(Luma) << 1 << 0;
    QTest::newRow("luma of mid grey") << argb << qRgb(100, 150, 200) << int(Luma) << (3576 * 150 + 1063 * 100 + 361 * 200) / 5000 << 0;
    QTest::newRow("red") << argb << qRgba(10, 20, 30, 40) << int(Red) << 10 << 0;
    QTest::newRow("green") << argb << qRgba(10, 20, 30, 40) << int(Green) << 20 << 0;
    QTest::newRow("blue") << argb << qRgba(10, 20, 30, 40) << int(Blue) << 30 << 0;
    QTest::newRow("alpha") << argb << qRgba(10, 20, 30, 40) << int(Alpha) << 40 << 0;
    QTest::newRow("alpha of RGB32 is opaque") << rgb << qRgb(10, 20, 30) << int(Alpha) << 255 << 0;
    QTest::newRow("unknown channel is black") << argb << qRgb(200, 200, 200) << 9 << 0 << 0;
    QTest::newRow("negative channel is black") << argb << qRgb(200, 200, 200) << -1 << 0 << 0;
    QTest::newRow("greyscale input converted") << int(QImage::Format_Grayscale8) << qRgb(77, 77, 77) << int(Red) << 77 << 0;
    QTest::newRow("RGB888 input converted") << int(QImage::Format_RGB888) << qRgb(1, 2, 3) << int(Blue) << 3 << 0;
    QTest::newRow("alpha of RGB888 is opaque") << int(QImage::Format_RGB888) << qRgb(1, 2, 3) << int(Alpha) << 255 << 0;
    // Premultiplied pictures are un-premultiplied first, so red reads near its true value.
    QTest::newRow("premultiplied red") << int(QImage::Format_ARGB32_Premultiplied) << qRgba(200, 100, 50, 128)
                                       << int(Red) << 200 << 2;
}

void TestImageHelpers::isolateSinglePixel()
{
    QFETCH(int, format);
    QFETCH(QRgb, pixel);
    QFETCH(int, channel);
    QFETCH(int, expected);
    QFETCH(int, tolerance);

    const QImage image = solid(QSize(3, 2), QImage::Format(format), pixel);
    const QImage result = isolateChannel(image, DisplayChannel(channel));
    QCOMPARE(result.format(), QImage::Format_Grayscale8);
    QCOMPARE(result.size(), image.size());
    for (int y = 0; y < result.height(); ++y) {
        for (int x = 0; x < result.width(); ++x) {
            const int value = result.constScanLine(y)[x];
            QVERIFY2(qAbs(value - expected) <= tolerance,
                     qPrintable(QStringLiteral("(%1,%2) = %3").arg(x).arg(y).arg(value)));
        }
    }
}

void TestImageHelpers::isolateCoversEveryPixel_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::newRow("ARGB32 odd width") << int(QImage::Format_ARGB32) << 37;
    QTest::newRow("RGB32 odd width") << int(QImage::Format_RGB32) << 13;
    QTest::newRow("RGB888 odd width") << int(QImage::Format_RGB888) << 7;
}

// Odd widths give a greyscale stride larger than the width: row addressing must use
// each image's own scanlines.
void TestImageHelpers::isolateCoversEveryPixel()
{
    QFETCH(int, format);
    QFETCH(int, width);

    QImage image(width, 5, QImage::Format(format));
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 5, y * 40, (x * 7 + y) % 256));

    const QImage red = isolateChannel(image, Red);
    const QImage green = isolateChannel(image, Green);
    const QImage blue = isolateChannel(image, Blue);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < width; ++x) {
            QCOMPARE(int(red.constScanLine(y)[x]), x * 5);
            QCOMPARE(int(green.constScanLine(y)[x]), y * 40);
            QCOMPARE(int(blue.constScanLine(y)[x]), (x * 7 + y) % 256);
        }
    }
}

void TestImageHelpers::colorKeepsFormat_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("ARGB32") << int(QImage::Format_ARGB32);
    QTest::newRow("RGB32") << int(QImage::Format_RGB32);
    QTest::newRow("Grayscale8") << int(QImage::Format_Grayscale8);
    QTest::newRow("RGBA64") << int(QImage::Format_RGBA64);
}

void TestImageHelpers::colorKeepsFormat()
{
    QFETCH(int, format);
    const QImage image = solid(QSize(4, 4), QImage::Format(format), qRgb(12, 34, 56));
    const QImage result = isolateChannel(image, Color);
    QCOMPARE(result.format(), QImage::Format(format));
    QCOMPARE(result, image);
}

void TestImageHelpers::nullImages()
{
    QVERIFY(isolateChannel(QImage(), Luma).isNull());
    QVERIFY(isolateChannel(QImage(), Color).isNull());
    QVERIFY(::rotateImage(QImage(), 90).isNull());
    QVERIFY(rotateAndFit(QImage(), 90, QSize(100, 100)).isNull());
    QVERIFY(rotateAndFit(QImage(), 0, QSize()).isNull());
}

void TestImageHelpers::rotateImage_data()
{
    QTest::addColumn<int>("degrees");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("mark"); // where the top-left mark ends up

    // Source is 8 x 4; clockwise on screen.
    QTest::newRow("0") << 0 << QSize(8, 4) << QPoint(0, 0);
    QTest::newRow("90") << 90 << QSize(4, 8) << QPoint(3, 0);
    QTest::newRow("180") << 180 << QSize(8, 4) << QPoint(7, 3);
    QTest::newRow("270") << 270 << QSize(4, 8) << QPoint(0, 7);
    QTest::newRow("-90 is 270") << -90 << QSize(4, 8) << QPoint(0, 7);
    QTest::newRow("-270 is 90") << -270 << QSize(4, 8) << QPoint(3, 0);
    QTest::newRow("45 is 0") << 45 << QSize(8, 4) << QPoint(0, 0);
    QTest::newRow("135 is 90") << 135 << QSize(4, 8) << QPoint(3, 0);
    QTest::newRow("359 is 270") << 359 << QSize(4, 8) << QPoint(0, 7);
    QTest::newRow("360 is 0") << 360 << QSize(8, 4) << QPoint(0, 0);
    QTest::newRow("450 is 90") << 450 << QSize(4, 8) << QPoint(3, 0);
}

void TestImageHelpers::rotateImage()
{
    QFETCH(int, degrees);
    QFETCH(QSize, size);
    QFETCH(QPoint, mark);

    const QImage source = marked(QSize(8, 4));
    const QImage result = ::rotateImage(source, degrees);
    QCOMPARE(result.size(), size);
    for (int y = 0; y < result.height(); ++y) {
        for (int x = 0; x < result.width(); ++x) {
            const QRgb expected = QPoint(x, y) == mark ? qRgb(255, 0, 0) : qRgb(0, 0, 255);
            QCOMPARE(result.pixel(x, y), expected);
        }
    }
}

void TestImageHelpers::rotateAndFitCanvas_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<int>("degrees");
    QTest::addColumn<QSize>("target");
    QTest::addColumn<QSize>("canvas");
    QTest::addColumn<QSize>("picture"); // the non-black part, centred

    QTest::newRow("landscape 90") << QSize(1920, 1080) << 90 << QSize() << QSize(1920, 1080) << QSize(607, 1080);
    QTest::newRow("landscape -90") << QSize(1920, 1080) << -90 << QSize() << QSize(1920, 1080) << QSize(607, 1080);
    QTest::newRow("portrait 90 fills") << QSize(1080, 1920) << 90 << QSize() << QSize(1920, 1080) << QSize(1920, 1080);
    QTest::newRow("portrait 270 fills") << QSize(1080, 1920) << 270 << QSize() << QSize(1920, 1080) << QSize(1920, 1080);
    QTest::newRow("portrait 180 keeps size") << QSize(1080, 1920) << 180 << QSize() << QSize(1080, 1920) << QSize(1080, 1920);
    QTest::newRow("landscape 180") << QSize(640, 360) << 180 << QSize() << QSize(640, 360) << QSize(640, 360);
    QTest::newRow("landscape 90 into target") << QSize(640, 360) << 90 << QSize(320, 180) << QSize(320, 180) << QSize(101, 180);
    QTest::newRow("portrait 90 into square") << QSize(360, 640) << 90 << QSize(200, 200) << QSize(200, 200) << QSize(200, 112);
    QTest::newRow("0 ignores target") << QSize(640, 360) << 360 << QSize(100, 100) << QSize(640, 360) << QSize(640, 360);
    QTest::newRow("45 ignores target") << QSize(640, 360) << 45 << QSize(100, 100) << QSize(640, 360) << QSize(640, 360);
}

void TestImageHelpers::rotateAndFitCanvas()
{
    QFETCH(QSize, source);
    QFETCH(int, degrees);
    QFETCH(QSize, target);
    QFETCH(QSize, canvas);
    QFETCH(QSize, picture);

    // Opaque white source: anything not black on the result is picture.
    const QImage image = solid(source, QImage::Format_RGB32, qRgb(255, 255, 255));
    const QImage result = rotateAndFit(image, degrees, target);
    QCOMPARE(result.size(), canvas);

    // Measure the picture along the centre row and column; scaling may soften one edge
    // pixel, so allow one pixel either way.
    int left = -1, right = -1, top = -1, bottom = -1;
    const int cy = canvas.height() / 2, cx = canvas.width() / 2;
    for (int x = 0; x < canvas.width(); ++x) {
        if (!isBlack(result.pixel(x, cy))) {
            if (left < 0)
                left = x;
            right = x;
        }
    }
    for (int y = 0; y < canvas.height(); ++y) {
        if (!isBlack(result.pixel(cx, y))) {
            if (top < 0)
                top = y;
            bottom = y;
        }
    }
    QVERIFY(left >= 0 && top >= 0);
    QVERIFY2(qAbs((right - left + 1) - picture.width()) <= 1, qPrintable(QString::number(right - left + 1)));
    QVERIFY2(qAbs((bottom - top + 1) - picture.height()) <= 1, qPrintable(QString::number(bottom - top + 1)));
    // Centred: equal bars on both sides, give or take the odd pixel.
    QVERIFY(qAbs(left - (canvas.width() - 1 - right)) <= 1);
    QVERIFY(qAbs(top - (canvas.height() - 1 - bottom)) <= 1);
    if (picture != canvas)
        QVERIFY(isBlack(result.pixel(0, 0)));
}

void TestImageHelpers::rotateAndFitPlacement()
{
    // 180 without a target: same size, upside down, no black.
    const QImage image = marked(QSize(64, 36));
    const QImage turned = rotateAndFit(image, 180, QSize());
    QCOMPARE(turned.size(), image.size());
    QCOMPARE(turned.format(), QImage::Format_ARGB32);
    QCOMPARE(turned.pixel(63, 35), qRgb(255, 0, 0));
    QCOMPARE(turned.pixel(0, 0), qRgb(0, 0, 255));
    QCOMPARE(turned.pixel(63, 0), qRgb(0, 0, 255));

    // A transparent source lands on opaque black, not on transparency.
    const QImage clear = solid(QSize(40, 20), QImage::Format_ARGB32, qRgba(0, 0, 0, 0));
    const QImage fitted = rotateAndFit(clear, 90, QSize(30, 30));
    QCOMPARE(fitted.pixel(15, 15), qRgb(0, 0, 0));
    QCOMPARE(qAlpha(fitted.pixel(0, 0)), 255);

    // Zero rotation hands the input back untouched.
    const QImage same = rotateAndFit(image, 0, QSize(10, 10));
    QCOMPARE(same.format(), image.format());
    QCOMPARE(same, image);
}

QTEST_GUILESS_MAIN(TestImageHelpers)
#include "tst_imagehelpers.moc"
