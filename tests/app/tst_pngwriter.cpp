#include "app/pngwriter.h"

#include <QtTest>

#include <QTemporaryDir>

// The fast writer is lossless: what it writes reads back pixel for pixel, alpha included,
// also when the rows are deflated in several pieces that join into one stream.
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
    QTest::addColumn<QSize>("size");
    QTest::newRow("rgb32") << int(QImage::Format_RGB32) << false << QSize(67, 37);
    QTest::newRow("argb32 premultiplied") << int(QImage::Format_ARGB32_Premultiplied) << true << QSize(64, 37);
    QTest::newRow("argb32") << int(QImage::Format_ARGB32) << true << QSize(64, 37);
    QTest::newRow("rgb888 odd width") << int(QImage::Format_RGB888) << false << QSize(67, 37);
    // Tall enough for several pieces on a machine with more than one core; odd heights
    // split unevenly.
    QTest::newRow("rgb32 in pieces") << int(QImage::Format_RGB32) << false << QSize(301, 517);
    QTest::newRow("argb32 in pieces") << int(QImage::Format_ARGB32) << true << QSize(200, 1031);
    QTest::newRow("one row") << int(QImage::Format_RGB32) << false << QSize(90, 1);
}

void TestPngWriter::roundTrip()
{
    QFETCH(int, format);
    QFETCH(bool, alpha);
    QFETCH(QSize, size);
    QTemporaryDir dir;
    QImage image(size, QImage::Format_ARGB32);
    // Gradients with noise: long runs for the matcher and rows that differ.
    quint32 noise = 12345;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            noise = noise * 1103515245u + 12345u;
            const int grain = int(noise >> 28);
            image.setPixel(x, y, qRgba((x * 3 + grain) & 0xff, (y * 7) & 0xff, (x * y) & 0xff,
                                       alpha ? (x * 4 + grain) & 0xff : 255));
        }
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
