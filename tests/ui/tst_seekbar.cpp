// The seek bar on its own: the click arithmetic over the full width, the click gate, the
// drag's throttled requests, and the lane of time ranges under the track, which must be
// drawn over exactly the columns a click would turn into the range's frames.

#include "ui/seekbar.h"

#include <QHelpEvent>
#include <QSignalSpy>
#include <QStyle>
#include <QToolTip>
#include <QtTest>

namespace {

constexpr QRgb kMagenta = 0xffff00ff;
constexpr QRgb kCyan = 0xff00ffff;

QRgb pixelAt(SeekBar &bar, QPoint p)
{
    return bar.grab().toImage().convertToFormat(QImage::Format_ARGB32).pixel(p);
}

} // namespace

class TestSeekBar : public QObject
{
    Q_OBJECT

private slots:
    void clickJumpsToTheFrameUnderTheMouse_data();
    void clickJumpsToTheFrameUnderTheMouse();
    void closedGateSwallowsThePress();
    void dragScrubsThenJumpsOnRelease();
    void laneRangesCoverTheirFrames_data();
    void laneRangesCoverTheirFrames();
    void rowsStackUnderTheTrack();
    void hoverTellsTheRangeUnderTheMouse();
    void withoutRangesItIsAPlainSlider();
};

void TestSeekBar::clickJumpsToTheFrameUnderTheMouse_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("frame");
    // 1200 columns: ends map to the ends whatever the style's groove margins.
    QTest::newRow("first column") << 99 << 0 << 0;
    QTest::newRow("last column") << 99 << 1199 << 99;
    QTest::newRow("middle") << 99 << 600 << 50;
    QTest::newRow("more frames than columns, end") << 100000 << 1199 << 99917;
    QTest::newRow("one frame") << 0 << 700 << 0;
}

void TestSeekBar::clickJumpsToTheFrameUnderTheMouse()
{
    QFETCH(int, maximum);
    QFETCH(int, x);
    QFETCH(int, frame);
    SeekBar bar;
    bar.setRange(0, maximum);
    bar.resize(1200, 20);
    QCOMPARE(bar.frameAt(x), frame);
    QSignalSpy jumps(&bar, &SeekBar::jumpRequested);
    QTest::mouseClick(&bar, Qt::LeftButton, Qt::NoModifier, QPoint(x, 10));
    // The click, then (when it grabbed the handle now under the mouse) the release.
    QVERIFY(jumps.count() >= 1);
    QCOMPARE(jumps.first().first().toInt(), frame);
    // With a column per frame at least, the handle is under the mouse after the jump; the
    // press grabs it and the release asks for the same frame.
    if (maximum < bar.width()) {
        for (const QList<QVariant> &jump : jumps)
            QCOMPARE(jump.first().toInt(), frame);
        QCOMPARE(bar.value(), frame);
    }
    QVERIFY(!bar.isDragging());
}

void TestSeekBar::closedGateSwallowsThePress()
{
    SeekBar bar;
    bar.setRange(0, 99);
    bar.resize(1200, 20);
    bool open = false;
    bar.setClickGate([&open] { return open; });
    QSignalSpy jumps(&bar, &SeekBar::jumpRequested);
    QSignalSpy drags(&bar, &SeekBar::dragStarted);
    QTest::mouseClick(&bar, Qt::LeftButton, Qt::NoModifier, QPoint(900, 10));
    QCOMPARE(jumps.count(), 0);
    QCOMPARE(drags.count(), 0);
    QCOMPARE(bar.value(), 0);

    open = true;
    QTest::mouseClick(&bar, Qt::LeftButton, Qt::NoModifier, QPoint(900, 10));
    QCOMPARE(drags.count(), 1);
    QCOMPARE(bar.value(), bar.frameAt(900));
}

void TestSeekBar::dragScrubsThenJumpsOnRelease()
{
    SeekBar bar;
    bar.setRange(0, 99);
    bar.resize(1200, 20);
    QSignalSpy jumps(&bar, &SeekBar::jumpRequested);
    QSignalSpy scrubs(&bar, &SeekBar::scrubRequested);
    QSignalSpy drags(&bar, &SeekBar::dragStarted);
    QTest::mousePress(&bar, Qt::LeftButton, Qt::NoModifier, QPoint(300, 10));
    QCOMPARE(drags.count(), 1);
    QVERIFY(bar.isDragging());
    QCOMPARE(jumps.count(), 1);
    // Held still, the handle's frame is asked for again and again.
    QTRY_VERIFY_WITH_TIMEOUT(scrubs.count() >= 2, 2000);
    for (const QList<QVariant> &scrub : scrubs)
        QCOMPARE(scrub.first().toInt(), bar.frameAt(300));
    QTest::mouseRelease(&bar, Qt::LeftButton, Qt::NoModifier, QPoint(300, 10));
    QVERIFY(!bar.isDragging());
    QCOMPARE(jumps.count(), 2);
    QCOMPARE(jumps.last().first().toInt(), bar.frameAt(300));
    const int scrubsAtRelease = int(scrubs.count());
    QTest::qWait(250);
    QCOMPARE(int(scrubs.count()), scrubsAtRelease);
}

void TestSeekBar::laneRangesCoverTheirFrames_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::newRow("ten frames of 100") << 99 << qint64(20) << qint64(29);
    QTest::newRow("from the start") << 99 << qint64(0) << qint64(4);
    QTest::newRow("to the end") << 99 << qint64(90) << qint64(99);
    QTest::newRow("frames between columns") << 4999 << qint64(1000) << qint64(1999);
    QTest::newRow("overhanging the end") << 99 << qint64(95) << qint64(400);
}

void TestSeekBar::laneRangesCoverTheirFrames()
{
    QFETCH(int, maximum);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    SeekBar bar;
    bar.setRange(0, maximum);
    bar.setLaneRanges({{first, last, 0, QColor(kMagenta), QStringLiteral("range")}});
    bar.resize(1200, bar.sizeHint().height());
    const QRect rect = bar.laneRect(bar.laneRanges().first());
    QVERIFY(!rect.isEmpty());
    const int lastShown = int(std::min<qint64>(last, maximum));

    // The columns are exactly those a click turns into the range's frames.
    QVERIFY(bar.frameAt(rect.left()) >= first);
    QVERIFY(rect.left() == 0 || bar.frameAt(rect.left() - 1) < first);
    QVERIFY(bar.frameAt(rect.right()) <= lastShown);
    QVERIFY(rect.right() == bar.width() - 1 || bar.frameAt(rect.right() + 1) > lastShown);
    if (maximum < bar.width()) { // a column per frame at least: the ends are the range's own
        QCOMPARE(bar.frameAt(rect.left()), int(first));
        QCOMPARE(bar.frameAt(rect.right()), lastShown);
    }

    // And that is where it is painted.
    const QImage image = bar.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const int y = rect.center().y();
    QCOMPARE(image.pixel(rect.left(), y), kMagenta);
    QCOMPARE(image.pixel(rect.right(), y), kMagenta);
    if (rect.left() > 0)
        QVERIFY(image.pixel(rect.left() - 1, y) != kMagenta);
    if (rect.right() < bar.width() - 1)
        QVERIFY(image.pixel(rect.right() + 1, y) != kMagenta);
}

void TestSeekBar::rowsStackUnderTheTrack()
{
    SeekBar plain;
    const int trackHeight = plain.sizeHint().height();
    SeekBar bar;
    bar.setRange(0, 999);
    // A range of one frame among a thousand is still one column wide.
    bar.setLaneRanges({{500, 500, 0, QColor(kMagenta), {}}, {500, 500, 1, QColor(kCyan), {}}});
    bar.resize(400, bar.sizeHint().height());
    const QRect row0 = bar.laneRect(bar.laneRanges()[0]);
    const QRect row1 = bar.laneRect(bar.laneRanges()[1]);
    QCOMPARE(row0.width(), 1);
    QCOMPARE(row0.left(), row1.left());
    QVERIFY(row0.top() >= trackHeight);
    QVERIFY(row1.top() > row0.bottom());
    QVERIFY(row1.bottom() < bar.height());
    QCOMPARE(pixelAt(bar, row0.topLeft()), kMagenta);
    QCOMPARE(pixelAt(bar, row1.topLeft()), kCyan);
    QVERIFY(std::abs(bar.frameAt(row0.left()) - 500) <= 2);

    // A range off the bar's frames is not drawn.
    bar.setLaneRanges({{1200, 1300, 0, QColor(kMagenta), {}}});
    QVERIFY(bar.laneRect(bar.laneRanges().first()).isEmpty());
}

void TestSeekBar::hoverTellsTheRangeUnderTheMouse()
{
    SeekBar bar;
    bar.setRange(0, 99);
    bar.setLaneRanges({{10, 19, 0, QColor(kMagenta), QStringLiteral("black frames 10-19")},
                       {40, 59, 0, QColor(kCyan), QStringLiteral("silence 40-59")},
                       {50, 54, 1, QColor(kMagenta), QStringLiteral("freeze 50-54")},
                       {45, 47, 0, QColor(kMagenta), QStringLiteral("drawn last, on top")}});
    bar.resize(1000, bar.sizeHint().height());
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));

    const auto pointOn = [&bar](int frame, int rangeIndex) {
        const QRect rect = bar.laneRect(bar.laneRanges()[rangeIndex]);
        return QPoint(QStyle::sliderPositionFromValue(bar.minimum(), bar.maximum(), frame, bar.width()),
                      rect.center().y());
    };
    QCOMPARE(bar.laneRangeAt(pointOn(15, 0)), 0);
    QCOMPARE(bar.laneRangeAt(pointOn(42, 1)), 1);
    QCOMPARE(bar.laneRangeAt(pointOn(52, 2)), 2);
    QCOMPARE(bar.laneRangeAt(pointOn(46, 3)), 3);
    QCOMPARE(bar.laneRangeAt(pointOn(30, 0)), -1);                     // between ranges
    QCOMPARE(bar.laneRangeAt(QPoint(pointOn(15, 0).x(), 2)), -1);      // on the track

    const QPoint over = pointOn(52, 2);
    QHelpEvent help(QEvent::ToolTip, over, bar.mapToGlobal(over));
    QCoreApplication::sendEvent(&bar, &help);
    QVERIFY(help.isAccepted());
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QStringLiteral("freeze 50-54"));
    // Off the ranges no text is offered (the shown one goes when the mouse leaves its range).
    const QPoint between = pointOn(30, 0);
    QHelpEvent none(QEvent::ToolTip, between, bar.mapToGlobal(between));
    QCoreApplication::sendEvent(&bar, &none);
    QVERIFY(!none.isAccepted());
}

void TestSeekBar::withoutRangesItIsAPlainSlider()
{
    const QSlider slider(Qt::Horizontal);
    SeekBar bar;
    QCOMPARE(bar.sizeHint(), slider.sizeHint());
    QCOMPARE(bar.minimumSizeHint(), slider.minimumSizeHint());
    bar.setLaneRanges({{0, 1, 2, QColor(kMagenta), {}}});
    QVERIFY(bar.sizeHint().height() > slider.sizeHint().height());
    bar.setLaneRanges({});
    QCOMPARE(bar.sizeHint(), slider.sizeHint());
}

QTEST_MAIN(TestSeekBar)
#include "tst_seekbar.moc"
