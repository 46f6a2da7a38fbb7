// Canvas point -> source pixel on the turned, fitted picture: the one mapping the viewer's
// inspector and the scope share. The edges matter most: a canvas pixel whose centre lies on
// the picture is inside, so the outer picture pixels reach the bars whether the picture is
// enlarged or reduced, in all four turns.

#include "core/canvasmapping.h"

#include <QtTest>

class TestCanvasMapping : public QObject
{
    Q_OBJECT

private slots:
    void mapping_data();
    void mapping();
    void everyInsidePixelIsOnTheFrame();
};

void TestCanvasMapping::mapping_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QSize>("canvas");
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<QPoint>("expected"); // (-1, -1): off the picture

    const QPoint off(-1, -1);
    const QSize hd(1920, 1080);
    // 4:3 in 16:9: the picture is 960 wide, starting at x = 160.
    QTest::newRow("pillar-box left") << QSize(320, 240) << QSize(1280, 720) << QPoint(10, 360) << 0 << off;
    QTest::newRow("pillar-box right") << QSize(320, 240) << QSize(1280, 720) << QPoint(1125, 100) << 0 << off;
    QTest::newRow("4:3 first pixel") << QSize(320, 240) << QSize(1280, 720) << QPoint(160, 0) << 0 << QPoint(0, 0);
    QTest::newRow("4:3 last pixel") << QSize(320, 240) << QSize(1280, 720) << QPoint(1119, 719) << 0 << QPoint(319, 239);
    QTest::newRow("4:3 centre") << QSize(320, 240) << QSize(1280, 720) << QPoint(640, 360) << 0 << QPoint(160, 120);
    // 16:9 in 4:3: letterbox bars above and below.
    QTest::newRow("letterbox top") << hd << QSize(1024, 768) << QPoint(500, 20) << 0 << off;
    QTest::newRow("letterbox inside") << hd << QSize(1024, 768) << QPoint(0, 96) << 0 << QPoint(0, 0);
    QTest::newRow("same size") << hd << hd << QPoint(1919, 0) << 0 << QPoint(1919, 0);
    QTest::newRow("half size, nearest") << hd << QSize(960, 540) << QPoint(3, 5) << 0 << QPoint(7, 11);
    QTest::newRow("double size") << hd << QSize(3840, 2160) << QPoint(3, 3) << 0 << QPoint(1, 1);
    // Enlarged three times, the edge pixels cover three canvas pixels up to the bar.
    QTest::newRow("4:3 bar edge left") << QSize(320, 240) << QSize(1280, 720) << QPoint(159, 0) << 0 << off;
    QTest::newRow("4:3 bar edge right") << QSize(320, 240) << QSize(1280, 720) << QPoint(1120, 0) << 0 << off;
    // Quarter turns: the canvas shows the turned picture.
    QTest::newRow("90 top-left") << hd << QSize(1080, 1920) << QPoint(0, 0) << 90 << QPoint(0, 1079);
    QTest::newRow("90 top-right") << hd << QSize(1080, 1920) << QPoint(1079, 0) << 90 << QPoint(0, 0);
    QTest::newRow("90 bottom-left") << hd << QSize(1080, 1920) << QPoint(0, 1919) << 90 << QPoint(1919, 1079);
    QTest::newRow("180 top-left") << hd << hd << QPoint(0, 0) << 180 << QPoint(1919, 1079);
    QTest::newRow("270 top-left") << hd << QSize(1080, 1920) << QPoint(0, 0) << 270 << QPoint(1919, 0);
    QTest::newRow("-90 is 270") << hd << QSize(1080, 1920) << QPoint(0, 0) << -90 << QPoint(1919, 0);
    QTest::newRow("45 is 0") << hd << hd << QPoint(10, 20) << 45 << QPoint(10, 20);
    QTest::newRow("450 is 90") << hd << QSize(1080, 1920) << QPoint(0, 0) << 450 << QPoint(0, 1079);
    QTest::newRow("90 in a landscape canvas, bar") << hd << QSize(1280, 720) << QPoint(100, 360) << 90 << off;
    QTest::newRow("empty canvas") << hd << QSize(0, 720) << QPoint(0, 0) << 0 << off;
    QTest::newRow("no frame") << QSize(0, 0) << QSize(1280, 720) << QPoint(0, 0) << 0 << off;
    QTest::newRow("left of the canvas") << hd << hd << QPoint(-1, 5) << 0 << off;
    QTest::newRow("below the canvas") << hd << hd << QPoint(5, 1080) << 0 << off;

    // A 4x2 frame enlarged twice in an 8x8 canvas. Unturned it covers rows 2..5; turned a
    // quarter it is 4 wide and 8 high and covers columns 2..5. Each corner of the shown
    // picture, and the canvas pixel just beyond it, for every turn.
    const QSize small(4, 2);
    const QSize square(8, 8);
    QTest::newRow("x2, 0: top-left") << small << square << QPoint(0, 2) << 0 << QPoint(0, 0);
    QTest::newRow("x2, 0: bottom-right") << small << square << QPoint(7, 5) << 0 << QPoint(3, 1);
    QTest::newRow("x2, 0: above") << small << square << QPoint(0, 1) << 0 << off;
    QTest::newRow("x2, 0: below") << small << square << QPoint(7, 6) << 0 << off;
    QTest::newRow("x2, 90: top-left") << small << square << QPoint(2, 0) << 90 << QPoint(0, 1);
    QTest::newRow("x2, 90: top-right") << small << square << QPoint(5, 0) << 90 << QPoint(0, 0);
    QTest::newRow("x2, 90: bottom-left") << small << square << QPoint(2, 7) << 90 << QPoint(3, 1);
    QTest::newRow("x2, 90: bottom-right") << small << square << QPoint(5, 7) << 90 << QPoint(3, 0);
    QTest::newRow("x2, 90: left of it") << small << square << QPoint(1, 0) << 90 << off;
    QTest::newRow("x2, 90: right of it") << small << square << QPoint(6, 7) << 90 << off;
    QTest::newRow("x2, 180: top-left") << small << square << QPoint(0, 2) << 180 << QPoint(3, 1);
    QTest::newRow("x2, 180: bottom-right") << small << square << QPoint(7, 5) << 180 << QPoint(0, 0);
    QTest::newRow("x2, 180: above") << small << square << QPoint(3, 1) << 180 << off;
    QTest::newRow("x2, 270: top-left") << small << square << QPoint(2, 0) << 270 << QPoint(3, 0);
    QTest::newRow("x2, 270: top-right") << small << square << QPoint(5, 0) << 270 << QPoint(3, 1);
    QTest::newRow("x2, 270: bottom-left") << small << square << QPoint(2, 7) << 270 << QPoint(0, 0);
    QTest::newRow("x2, 270: bottom-right") << small << square << QPoint(5, 7) << 270 << QPoint(0, 1);
    QTest::newRow("x2, 270: right of it") << small << square << QPoint(6, 3) << 270 << off;

    // Reduced: HD turned a quarter inside an HD canvas (the scope's case) is 607.5 canvas
    // pixels wide from x = 656.25. Columns 656 and 1263 have their centres on it.
    QTest::newRow("reduced, 90: first column") << hd << hd << QPoint(656, 0) << 90 << QPoint(0, 1079);
    QTest::newRow("reduced, 90: last column") << hd << hd << QPoint(1263, 0) << 90 << QPoint(0, 0);
    QTest::newRow("reduced, 90: last row") << hd << hd << QPoint(1263, 1079) << 90 << QPoint(1919, 0);
    QTest::newRow("reduced, 90: bar before") << hd << hd << QPoint(655, 0) << 90 << off;
    QTest::newRow("reduced, 90: bar after") << hd << hd << QPoint(1264, 0) << 90 << off;
    QTest::newRow("reduced, 270: first column") << hd << hd << QPoint(656, 0) << 270 << QPoint(1919, 0);
    QTest::newRow("reduced, 270: last column") << hd << hd << QPoint(1263, 1079) << 270 << QPoint(0, 1079);
}

void TestCanvasMapping::mapping()
{
    QFETCH(QSize, frame);
    QFETCH(QSize, canvas);
    QFETCH(QPoint, point);
    QFETCH(int, rotation);
    QFETCH(QPoint, expected);

    const std::optional<QPoint> source = canvasToSourcePixel(point, canvas, frame, rotation);
    QCOMPARE(source.value_or(QPoint(-1, -1)), expected);
}

// Over whole canvases: whatever is inside maps onto the frame, each turn reaches every
// source pixel when the picture is enlarged, and the inside area is as wide and high as
// the fitted picture rounded to pixel centres.
void TestCanvasMapping::everyInsidePixelIsOnTheFrame()
{
    const QSize frame(6, 4);
    for (int rotation : {0, 90, 180, 270}) {
        for (const QSize canvas : {QSize(24, 24), QSize(13, 7), QSize(30, 10)}) {
            QSet<QPair<int, int>> seen;
            QRect inside;
            for (int y = 0; y < canvas.height(); ++y)
                for (int x = 0; x < canvas.width(); ++x) {
                    const std::optional<QPoint> p = canvasToSourcePixel(QPoint(x, y), canvas, frame, rotation);
                    if (!p)
                        continue;
                    QVERIFY(QRect(QPoint(0, 0), frame).contains(*p));
                    seen.insert({p->x(), p->y()});
                    inside |= QRect(x, y, 1, 1);
                }
            const bool sideways = rotation % 180 != 0;
            const QSize shown = sideways ? frame.transposed() : frame;
            const double scale = std::min(double(canvas.width()) / shown.width(),
                                          double(canvas.height()) / shown.height());
            const double left = (canvas.width() - scale * shown.width()) / 2;
            const double top = (canvas.height() - scale * shown.height()) / 2;
            // Pixel centres x + 0.5 in [left, left + scale * width).
            const int firstX = int(std::ceil(left - 0.5));
            const int lastX = int(std::ceil(left + scale * shown.width() - 0.5)) - 1;
            const int firstY = int(std::ceil(top - 0.5));
            const int lastY = int(std::ceil(top + scale * shown.height() - 0.5)) - 1;
            const QString where = QStringLiteral("rotation %1, canvas %2x%3")
                                      .arg(rotation)
                                      .arg(canvas.width())
                                      .arg(canvas.height());
            QCOMPARE(inside, QRect(QPoint(firstX, firstY), QPoint(lastX, lastY)));
            if (scale >= 1.0)
                QVERIFY2(seen.size() == frame.width() * frame.height(), qPrintable(where));
        }
    }
}

QTEST_GUILESS_MAIN(TestCanvasMapping)
#include "tst_canvasmapping.moc"
