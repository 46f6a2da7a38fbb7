#include "app/pngwriter.h"

#include <QtTest>

#include <QTemporaryDir>

// The fast writer is lossless: what it writes reads back pixel for pixel, alpha included.
class TestPngWriter : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void failures();
};

void TestPngWriter::roundTrip_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("alpha");
    QTest::newRow("rgb32") << int(QImage::Format_RGB32) << false;
    QTest::newRow("argb32 premultiplied") << int(QImage::Format_ARGB32_Premultiplied) << true;
    QTest::newRow("argb32") << int(QImage::Format_ARGB32) << true;
    QTest::newRow("rgb888 odd width") << int(QImage::Format_RGB888) << false;
}

void TestPngWriter::roundTrip()
{
    QFETCH(int, format);
    QFETCH(bool, alpha);
    QTemporaryDir dir;
    QImage image(QSize(alpha ? 64 : 67, 37), QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgba(x * 3, y * 7, (x * y) & 0xff, alpha ? (x * 4) & 0xff : 255));
    }
    image = image.convertToFormat(QImage::Format(format));
    const QString path = dir.filePath(QStringLiteral("out.png"));
    QVERIFY(pngwriter::writeFast(image, path));
    const QImage read(path);
    QCOMPARE(read.size(), image.size());
    QCOMPARE(read.hasAlphaChannel(), alpha);
    const QImage expected = image.convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(read.convertToFormat(QImage::Format_ARGB32), expected);
}

void TestPngWriter::failures()
{
    QTemporaryDir dir;
    QVERIFY(!pngwriter::writeFast(QImage(), dir.filePath(QStringLiteral("null.png"))));
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::red);
    QVERIFY(!pngwriter::writeFast(image, dir.filePath(QStringLiteral("missing/folder/x.png"))));
}

QTEST_MAIN(TestPngWriter)
#include "tst_pngwriter.moc"
