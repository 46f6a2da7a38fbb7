#include "ui/audiometerwidget.h"

#include <QImage>
#include <QPainter>
#include <QtTest>

#include <cmath>

namespace {

constexpr QRgb kCanvas = 0xff000000; // opaque black under the widget

// Paints the widget over opaque black without its window background, so only what
// paintEvent draws shows up.
QImage paint(AudioMeterWidget &meter)
{
    QImage image(meter.size(), QImage::Format_ARGB32);
    image.fill(kCanvas);
    meter.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

QRgb opaque(const QColor &c) { return qRgb(c.red(), c.green(), c.blue()); }

// A translucent zone colour drawn over black.
QRgb overBlack(const QColor &c)
{
    const auto blend = [&](int v) { return (v * c.alpha() + 127) / 255; };
    return qRgb(blend(c.red()), blend(c.green()), blend(c.blue()));
}

bool near(QRgb a, QRgb b, int tolerance = 2)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance
        && qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

enum Expect { Low, Middle, High, LowZone, MiddleZone, HighZone };

QRgb expected(Expect e)
{
    switch (e) {
    case Low: return opaque(AudioMeterWidget::lowColor);
    case Middle: return opaque(AudioMeterWidget::middleColor);
    case High: return opaque(AudioMeterWidget::highColor);
    case LowZone: return overBlack(AudioMeterWidget::lowZoneColor);
    case MiddleZone: return overBlack(AudioMeterWidget::middleZoneColor);
    case HighZone: return overBlack(AudioMeterWidget::highZoneColor);
    }
    return 0;
}

// What each pixel of a bar row should be, derived from the zone boundaries alone.
Expect expectedAt(int x, int barEnd, int width)
{
    const int lowEnd = int(0.7 * width);
    const int middleEnd = int(width * 5 / 6);
    if (x < barEnd)
        return x < lowEnd ? Low : (x < middleEnd ? Middle : High);
    return x < lowEnd ? LowZone : (x < middleEnd ? MiddleZone : HighZone);
}

bool hasWhite(const QImage &image, QRect area)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qRed(image.pixel(x, y)) > 200 && qGreen(image.pixel(x, y)) > 200 && qBlue(image.pixel(x, y)) > 200)
                return true;
    return false;
}

} // namespace

class TestAudioMeterWidget : public QObject
{
    Q_OBJECT

private slots:
    void positionScale_data();
    void positionScale();
    void barColours_data();
    void barColours();
    void peakMarkers_data();
    void peakMarkers();
    void channelDots_data();
    void channelDots();
    void silentAfterSecondFloorUpdate();
    void emptyChannelListPaintsNothing();
};

void TestAudioMeterWidget::positionScale_data()
{
    QTest::addColumn<float>("db");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("expected");
    QTest::newRow("floor") << -60.0f << 600 << 0;
    QTest::newRow("below floor") << -90.0f << 600 << 0;
    QTest::newRow("NaN") << float(std::nan("")) << 600 << 0;
    QTest::newRow("minus infinity") << -INFINITY << 600 << 0;
    QTest::newRow("full scale") << 0.0f << 600 << 600;
    QTest::newRow("over") << 3.0f << 600 << 600;
    QTest::newRow("-30 halfway") << -30.0f << 600 << 300;
    QTest::newRow("-18 on the low zone end") << -18.0f << 600 << 420;
    QTest::newRow("-18 odd width") << -18.0f << 333 << int(0.7 * 333);
    QTest::newRow("-10 on the middle zone end") << -10.0f << 600 << 500;
    QTest::newRow("truncates") << -59.99f << 600 << 0;
}

void TestAudioMeterWidget::positionScale()
{
    QFETCH(float, db);
    QFETCH(int, width);
    QFETCH(int, expected);
    QCOMPARE(AudioMeterWidget::position(db, width), expected);
}

void TestAudioMeterWidget::barColours_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<float>("left");
    QTest::addColumn<float>("right");
    QTest::addColumn<int>("leftEnd");
    QTest::addColumn<int>("rightEnd");

    QTest::newRow("-18 all low") << 600 << -18.0f << -60.0f << 420 << 0;
    QTest::newRow("-17.9 reaches middle") << 600 << -17.9f << -18.0f << 421 << 420;
    QTest::newRow("-10 fills the middle zone") << 600 << -10.0f << -12.0f << 500 << 480;
    QTest::newRow("0 fills the width") << 600 << 0.0f << 6.0f << 600 << 600;
    QTest::newRow("right bar independent") << 600 << -60.0f << -3.0f << 0 << 570;
    QTest::newRow("narrow widget") << 200 << -18.0f << -5.0f << 140 << 183;
}

void TestAudioMeterWidget::barColours()
{
    QFETCH(int, width);
    QFETCH(float, left);
    QFETCH(float, right);
    QFETCH(int, leftEnd);
    QFETCH(int, rightEnd);

    AudioMeterWidget meter;
    meter.resize(width, 45);
    meter.setLevels(left, right, -60.0f, -60.0f, {-60.0f, -60.0f});
    const QImage image = paint(meter);

    const struct { int y; int end; const char *name; } rows[] = {
        {AudioMeterWidget::upperBarY + 4, leftEnd, "left"},
        {AudioMeterWidget::lowerBarY + 4, rightEnd, "right"},
    };
    for (const auto &row : rows) {
        for (int x = 0; x < width; ++x) {
            const QRgb want = expected(expectedAt(x, row.end, width));
            const QRgb got = image.pixel(x, row.y);
            if (!near(got, want))
                QFAIL(qPrintable(QStringLiteral("%1 bar x=%2: got #%3, want #%4")
                                     .arg(row.name).arg(x).arg(got, 8, 16).arg(want, 8, 16)));
        }
        // Bars are 8 pixels high and leave the rows around them alone.
        QCOMPARE(image.pixel(1, row.y - 5), kCanvas);
        QCOMPARE(image.pixel(1, row.y + 4), kCanvas);
    }
}

void TestAudioMeterWidget::peakMarkers_data()
{
    QTest::addColumn<float>("peak");
    QTest::addColumn<int>("markerX"); // -1: none

    QTest::newRow("0 dB at the right edge") << 0.0f << 599;
    QTest::newRow("above full scale") << 2.0f << 599;
    QTest::newRow("-30") << -30.0f << 299;
    QTest::newRow("at the floor no marker") << -60.0f << -1;
    QTest::newRow("below the floor no marker") << -70.0f << -1;
    QTest::newRow("rounds to position 0 no marker") << -59.95f << -1;
}

void TestAudioMeterWidget::peakMarkers()
{
    QFETCH(float, peak);
    QFETCH(int, markerX);

    AudioMeterWidget meter;
    meter.resize(600, 45);
    meter.setLevels(-60.0f, -60.0f, peak, -60.0f, {-60.0f});
    const QImage image = paint(meter);
    const int y = AudioMeterWidget::upperBarY + 4;

    QList<int> whiteColumns;
    for (int x = 0; x < 600; ++x)
        if (image.pixel(x, y) == qRgb(255, 255, 255))
            whiteColumns.append(x);
    if (markerX < 0) {
        QVERIFY(whiteColumns.isEmpty());
    } else {
        // Two pixels wide, starting one left of the position.
        QVERIFY2(whiteColumns.contains(markerX), qPrintable(QString::number(whiteColumns.value(0, -1))));
        QVERIFY(whiteColumns.size() <= 2);
        QVERIFY(whiteColumns.first() >= markerX - 1 && whiteColumns.last() <= markerX + 1);
    }
    // The lower bar has no peak.
    for (int x = 0; x < 600; ++x)
        QVERIFY(image.pixel(x, AudioMeterWidget::lowerBarY + 4) != qRgb(255, 255, 255));
}

void TestAudioMeterWidget::channelDots_data()
{
    QTest::addColumn<QList<float>>("levels");
    QTest::addColumn<QList<QRgb>>("dots"); // expected dot centres, left to right

    const QRgb grey = opaque(AudioMeterWidget::floorDotColor);
    const QRgb low = opaque(AudioMeterWidget::lowColor);
    const QRgb middle = opaque(AudioMeterWidget::middleColor);
    const QRgb high = opaque(AudioMeterWidget::highColor);
    QTest::newRow("zones") << QList<float>{-60.0f, -59.0f, -18.0f, -17.9f, -10.0f, -9.9f, 0.0f, -100.0f}
                           << QList<QRgb>{grey, low, low, middle, middle, high, high, grey};
    QList<float> ten;
    for (int i = 0; i < 10; ++i)
        ten.append(-20.0f);
    QTest::newRow("ten channels show eight dots") << ten << QList<QRgb>(8, low);
    QTest::newRow("one channel") << QList<float>{-5.0f} << QList<QRgb>{high};
}

void TestAudioMeterWidget::channelDots()
{
    QFETCH(QList<float>, levels);
    QFETCH(QList<QRgb>, dots);

    AudioMeterWidget meter;
    meter.resize(600, 45);
    meter.setLevels(-60.0f, -60.0f, -60.0f, -60.0f, levels);
    const QImage image = paint(meter);

    for (int i = 0; i < 12; ++i) {
        const QRgb centre = image.pixel(12 * i + 4, 10);
        if (i < dots.size()) {
            QVERIFY2(near(centre, dots.at(i)), qPrintable(QStringLiteral("dot %1: #%2").arg(i).arg(centre, 8, 16)));
            // A circle of radius 4: its bounding corners stay empty.
            QCOMPARE(image.pixel(12 * i, 6), kCanvas);
        } else {
            QVERIFY2(centre == kCanvas, qPrintable(QStringLiteral("unexpected dot %1").arg(i)));
        }
    }
}

void TestAudioMeterWidget::silentAfterSecondFloorUpdate()
{
    AudioMeterWidget meter;
    meter.resize(600, 45);
    const QRect textArea(300, 0, 300, 20);
    const QList<float> channels{-60.0f, -60.0f};

    struct Step { float left; float right; bool silent; };
    const Step steps[] = {
        {-60.0f, -60.0f, false}, // the first floor update is not yet silence
        {-60.0f, -70.0f, true},
        {-60.0f, -60.0f, true},
        {-60.0f, -59.0f, false}, // any level above the floor hides it at once
        {-60.0f, -60.0f, false},
        {float(std::nan("")), -60.0f, true}, // a NaN level counts as nothing heard
        {-20.0f, -60.0f, false},
    };
    int i = 0;
    for (const Step &step : steps) {
        meter.setLevels(step.left, step.right, -60.0f, -60.0f, channels);
        QVERIFY2(meter.isSilent() == step.silent, qPrintable(QString::number(i)));
        QVERIFY2(hasWhite(paint(meter), textArea) == step.silent, qPrintable(QString::number(i)));
        ++i;
    }
}

void TestAudioMeterWidget::emptyChannelListPaintsNothing()
{
    AudioMeterWidget meter;
    meter.resize(600, 45);
    meter.setLevels(-60.0f, -60.0f, -60.0f, -60.0f, {});
    meter.setLevels(-3.0f, -6.0f, 0.0f, 0.0f, {}); // loud bars, still no channels
    const QImage image = paint(meter);
    QImage blank(image.size(), image.format());
    blank.fill(kCanvas);
    QCOMPARE(image, blank);

    // The same levels with a channel do paint: the check above is not vacuous.
    meter.setLevels(-3.0f, -6.0f, 0.0f, 0.0f, {-3.0f});
    QVERIFY(paint(meter) != blank);
}

QTEST_MAIN(TestAudioMeterWidget)
#include "tst_audiometerwidget.moc"
