// The two-file views on synthetic pictures: the cycle of X and Shift+X, the difference black
// where identical and scaled by the gain, the wipe's divider, side by side, B of another size.

#include "state/compareview.h"

#include <QtTest>

using compareview::View;

namespace {

// A ramp picture; 'box' paints a 4x3 block at (10, 5) in another colour.
QImage picture(int w, int h, bool box)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x * 4 % 256, y * 8 % 256, 100));
    if (box)
        for (int y = 5; y < 8; ++y)
            for (int x = 10; x < 14; ++x)
                image.setPixel(x, y, qRgb(x * 4 % 256 + 3, y * 8 % 256, 90));
    return image;
}

} // namespace

class TestCompareView : public QObject
{
    Q_OBJECT

private slots:
    void cycles();
    void difference_data();
    void difference();
    void wipe_data();
    void wipe();
    void sideBySideAndSizes();
};

void TestCompareView::cycles()
{
    QList<View> seen;
    View view = View::A;
    for (int i = 0; i < 6; ++i) {
        seen.append(view);
        view = compareview::next(view);
    }
    QCOMPARE(seen, (QList<View>{View::A, View::B, View::Wipe, View::SideBySide, View::Difference, View::A}));
    QCOMPARE(compareview::nextGain(1), 4);
    QCOMPARE(compareview::nextGain(4), 16);
    QCOMPARE(compareview::nextGain(16), 1);
}

void TestCompareView::difference_data()
{
    QTest::addColumn<int>("gain");
    QTest::addColumn<int>("red");  // inside the box
    QTest::addColumn<int>("blue");
    QTest::newRow("1x") << 1 << 3 << 10;
    QTest::newRow("4x") << 4 << 12 << 40;
    QTest::newRow("16x") << 16 << 48 << 160;
}

void TestCompareView::difference()
{
    QFETCH(int, gain);
    const QImage out = compareview::compose(picture(40, 20, false), picture(40, 20, true), View::Difference, 0.5, gain);
    QCOMPARE(out.size(), QSize(40, 20));
    int coloured = 0;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x) {
            const QRgb p = out.pixel(x, y);
            const bool inBox = x >= 10 && x < 14 && y >= 5 && y < 8;
            if (!inBox) {
                QCOMPARE(p & 0xffffff, 0u);
                continue;
            }
            ++coloured;
            QTEST(qRed(p), "red");
            QCOMPARE(qGreen(p), 0);
            QTEST(qBlue(p), "blue");
        }
    QCOMPARE(coloured, 12);
}

void TestCompareView::wipe_data()
{
    QTest::addColumn<double>("share");
    QTest::addColumn<int>("divider"); // first column from B
    QTest::newRow("left edge") << 0.0 << 0;
    QTest::newRow("a quarter") << 0.25 << 10;
    QTest::newRow("past the right") << 1.5 << 40;
}

void TestCompareView::wipe()
{
    QFETCH(double, share);
    QFETCH(int, divider);
    QImage a(40, 4, QImage::Format_RGB32), b(40, 4, QImage::Format_RGB32);
    a.fill(qRgb(200, 0, 0));
    b.fill(qRgb(0, 0, 200));
    const QImage out = compareview::compose(a, b, View::Wipe, share, 1);
    for (int x = 0; x < 40; ++x)
        QCOMPARE(out.pixel(x, 3), x < divider ? a.pixel(0, 0) : b.pixel(0, 0));
}

void TestCompareView::sideBySideAndSizes()
{
    const QImage a = picture(40, 20, false);
    const QImage b = picture(40, 20, true);
    const QImage both = compareview::compose(a, b, View::SideBySide, 0.5, 1);
    QCOMPARE(both.size(), QSize(80, 20));
    QCOMPARE(both.copy(0, 0, 40, 20), a);
    QCOMPARE(both.copy(40, 0, 40, 20), b);
    QCOMPARE(compareview::compose(a, b, View::A, 0.5, 1), a);
    QCOMPARE(compareview::compose(a, b, View::B, 0.5, 1), b);
    // B of half the size is shown at A's size.
    const QImage small = picture(20, 10, false);
    QCOMPARE(compareview::compose(a, small, View::B, 0.5, 1).size(), a.size());
    QCOMPARE(compareview::compose(a, small, View::Difference, 0.5, 1).size(), a.size());
    QVERIFY(compareview::compose(QImage(), b, View::B, 0.5, 1).isNull());
}

QTEST_GUILESS_MAIN(TestCompareView)
#include "tst_compareview.moc"
