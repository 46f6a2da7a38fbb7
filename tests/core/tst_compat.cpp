// The compat layer must give the same results on every Qt it builds against (6.4 does by
// hand what 6.8 does itself), so these cases compare what a user would see: the pixels that
// come back out of a video frame, and the colours of the dark scheme.

#include "core/compat.h"

#include <QApplication>
#include <QPalette>
#include <QtTest>

namespace {

// A small picture with odd dimensions (row padding differs from width * 4) and every
// pixel different, so a swapped channel, a stride error or a lost alpha shows.
QImage makePicture(QImage::Format format)
{
    QImage picture(7, 5, QImage::Format_ARGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgba(30 * x + 10, 40 * y + 5, 200 - 20 * x, 255 - 30 * y));
    }
    return picture.convertToFormat(format);
}

int largestDifference(const QImage &a, const QImage &b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    }
    return largest;
}

} // namespace

class TestCompat : public QObject
{
    Q_OBJECT

private slots:
    void videoFrameFromImageKeepsThePixels_data()
    {
        QTest::addColumn<QImage::Format>("format");
        // Translucent pictures may be stored premultiplied, which rounds the colour of the
        // translucent rows by a step or two; opaque ones come back exact.
        QTest::addColumn<int>("tolerance");
        QTest::newRow("ARGB32") << QImage::Format_ARGB32 << 2;
        QTest::newRow("ARGB32 premultiplied") << QImage::Format_ARGB32_Premultiplied << 2;
        QTest::newRow("RGB32") << QImage::Format_RGB32 << 0;
        QTest::newRow("RGB888") << QImage::Format_RGB888 << 0;
        QTest::newRow("RGBA8888") << QImage::Format_RGBA8888 << 2;
        QTest::newRow("Grayscale8") << QImage::Format_Grayscale8 << 0;
    }

    void videoFrameFromImageKeepsThePixels()
    {
        QFETCH(QImage::Format, format);
        QFETCH(int, tolerance);
        const QImage picture = makePicture(format);

        const QVideoFrame frame = compat::videoFrameFromImage(picture);
        QVERIFY(frame.isValid());
        QCOMPARE(frame.size(), picture.size());

        const QImage back = frame.toImage().convertToFormat(QImage::Format_ARGB32);
        const QImage expected = picture.convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(back.size(), expected.size());
        const int difference = largestDifference(back, expected);
        QVERIFY2(difference <= tolerance, qPrintable(QStringLiteral("off by %1").arg(difference)));
    }

    void videoFrameFromNullImageIsInvalid()
    {
        QVERIFY(!compat::videoFrameFromImage(QImage()).isValid());
    }

    void mapModesMapTheFrame_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("read") << int(compat::MapReadOnly);
        QTest::newRow("write") << int(compat::MapWriteOnly);
        QTest::newRow("read-write") << int(compat::MapReadWrite);
    }

    void mapModesMapTheFrame()
    {
        QFETCH(int, mode);
        const auto mapMode = static_cast<compat::VideoMapMode>(mode);
        QVideoFrame frame = compat::videoFrameFromImage(makePicture(QImage::Format_ARGB32));
        QVERIFY(frame.map(mapMode));
        QCOMPARE(frame.mapMode(), mapMode);
        QVERIFY(frame.bits(0) != nullptr);
        QVERIFY(frame.bytesPerLine(0) >= 7 * 4);
        frame.unmap();
    }

    // The platform may ignore a colour-scheme request (no desktop theme on a bare X server or
    // offscreen); the palette must be dark all the same.
    void darkColorSchemeGivesADarkPalette()
    {
        QApplication::setStyle(QStringLiteral("Fusion"));
        compat::applyDarkColorScheme();
        const QPalette palette = QApplication::palette();
        for (const auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
            QVERIFY2(palette.color(role).lightness() < 96, qPrintable(palette.color(role).name()));
        for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            QVERIFY2(palette.color(role).lightness() > 192, qPrintable(palette.color(role).name()));
        QVERIFY(palette.color(QPalette::Disabled, QPalette::Text).lightness()
                < palette.color(QPalette::Active, QPalette::Text).lightness());
    }
};

QTEST_MAIN(TestCompat)
#include "tst_compat.moc"
