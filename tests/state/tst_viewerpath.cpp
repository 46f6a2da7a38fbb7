// The viewer's picture path: frames that need nothing pass untouched, channel isolation
// and rotation reach the sink, and the overlays land on the pixels a user would see.

#include "core/compat.h"
#include "state/applicationstate.h"
#include "state/viewerpath.h"
#include "testsupport.h"

#include <QImage>
#include <QVideoSink>
#include <QtEndian>
#include <QtTest>

#include <cmath>

namespace {

// Stereo s16 block: left and right as functions of the sample index.
template <typename Left, typename Right>
QByteArray stereo(int frames, Left left, Right right)
{
    QByteArray block(frames * 4, Qt::Uninitialized);
    for (int i = 0; i < frames; ++i) {
        qToLittleEndian<qint16>(qint16(left(i) * 32767), block.data() + i * 4);
        qToLittleEndian<qint16>(qint16(right(i) * 32767), block.data() + i * 4 + 2);
    }
    return block;
}

QByteArray sine(int frames, double amplitude)
{
    const auto wave = [amplitude](int i) { return amplitude * std::sin(2 * M_PI * 1000.0 * i / 48000.0); };
    return stereo(frames, wave, wave);
}

QImage grey(int w, int h, int level)
{
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(QColor(level, level, level));
    return image;
}

int redAt(const QImage &image, int x, int y)
{
    return qRed(image.pixel(x, y));
}

// Antialiased thin lines spread over neighbouring pixels.
int brightestAround(const QImage &image, int x, int y)
{
    int best = 0;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            best = std::max(best, redAt(image, x + dx, y + dy));
    return best;
}

} // namespace

class TestViewerPath : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }
    void chunkBytes_data();
    void chunkBytes();
    void overlayBacklog();
    void lissajousPanelAndFigure();
    void figureHoldsForFourFrames();
    void safetyArea_data();
    void safetyArea();
    void audioOnlyTraceIsCentred();
};

void TestViewerPath::chunkBytes_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<double>("fps");
    QTest::addColumn<int>("bytes");
    QTest::newRow("48k at 25 fps: one frame") << 48000 << 25.0 << 1920 * 4;
    QTest::newRow("48k at 120 fps: at least 1/90 s") << 48000 << 120.0 << 533 * 4;
    QTest::newRow("48k at 5 fps: at most 1/15 s") << 48000 << 5.0 << 3200 * 4;
    QTest::newRow("no rate: 8 bytes") << 0 << 25.0 << 8;
    QTest::newRow("no fps counts as 1") << 44100 << 0.0 << 2940 * 4;
}

void TestViewerPath::chunkBytes()
{
    QFETCH(int, rate);
    QFETCH(double, fps);
    QFETCH(int, bytes);
    QCOMPARE(viewerpath::chunkBytes(rate, fps), bytes);
}

void TestViewerPath::overlayBacklog()
{
    // The figure's backlog is cut to half a second (96000 bytes) before a chunk is taken
    // from its head, so a stalled picture never draws stale sound.
    QByteArray backlog = stereo(48000, [](int i) { return (i % 1000) / 1000.0; }, [](int) { return 0.0; });
    const QByteArray expectedHead = backlog.mid(backlog.size() - 96000, 7680);
    const QByteArray chunk = viewerpath::takeOverlayChunk(backlog, 48000, 25.0);
    QCOMPARE(chunk, expectedHead);
    QCOMPARE(backlog.size(), 96000 - 7680);

    QByteArray trace = QByteArray(10000, 'x') + QByteArray(7680, 'y');
    QCOMPARE(viewerpath::takeTraceChunk(trace, 48000, 25.0), QByteArray(7680, 'y'));
    QVERIFY(trace.isEmpty());
}

void TestViewerPath::lissajousPanelAndFigure()
{
    // 1920 x 1080: panel 480 x 480 at (30, 570), figure centre (270, 810), radius ~204.5.
    QImage image = grey(1920, 1080, 200);
    viewerpath::AudioTrace trace;
    viewerpath::drawLissajous(image, sine(1920, 0.5), trace);
    QVERIFY(trace.visible);
    QCOMPARE(trace.hold, 4);

    const struct { int x, y; bool dark; } probes[] = {
        {30, 810, true},  {29, 810, false}, {509, 810, true}, {510, 810, false},
        {270, 570, true}, {270, 569, false}, {270, 1049, true}, {270, 1050, false},
        {400, 650, true}, // inside, off the figure's line
    };
    for (const auto &p : probes) {
        const int value = redAt(image, p.x, p.y);
        QVERIFY2(p.dark ? value < 160 : value == 200, qPrintable(QStringLiteral("(%1,%2) = %3").arg(p.x).arg(p.y).arg(value)));
    }
    // A mono signal draws the 45 degree diagonal: bright on it, dark beside it.
    QVERIFY(brightestAround(image, 270 + 60, 810 - 60) > 230);
    QVERIFY(brightestAround(image, 270 + 60, 810 + 60) < 160);

    // Silence: the panel without a figure.
    QImage quiet = grey(1920, 1080, 200);
    viewerpath::AudioTrace silent;
    viewerpath::drawLissajous(quiet, QByteArray(7680, '\0'), silent);
    QVERIFY(!silent.visible);
    QVERIFY(brightestAround(quiet, 270 + 60, 810 - 60) < 160);
}

void TestViewerPath::figureHoldsForFourFrames()
{
    viewerpath::AudioTrace trace;
    QImage image = grey(1280, 720, 0);
    viewerpath::drawLissajous(image, sine(1920, 0.5), trace);
    for (int frame = 0; frame < 4; ++frame) {
        viewerpath::drawLissajous(image, QByteArray(), trace);
        QVERIFY(trace.visible);
    }
    viewerpath::drawLissajous(image, QByteArray(), trace);
    QVERIFY(!trace.visible);
    QVERIFY(trace.path.isEmpty());
}

void TestViewerPath::safetyArea_data()
{
    QTest::addColumn<int>("rotation");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("v");
    QTest::addColumn<QList<int>>("columns"); // x of the two vertical lines
    QTest::addColumn<QList<int>>("rows");    // y of the two horizontal lines
    QTest::addColumn<QList<int>>("span");    // x range of the horizontal lines

    QTest::newRow("defaults") << 0 << 95 << 95 << QList<int>{48, 1871} << QList<int>{27, 1052}
                              << QList<int>{0, 1919};
    // Content 607 x 1080 centred at x 656; H and V change places.
    QTest::newRow("rotated 90") << 90 << 90 << 80 << QList<int>{656 + 61, 656 + 606 - 61}
                                << QList<int>{54, 1079 - 54} << QList<int>{656, 1262};
}

void TestViewerPath::safetyArea()
{
    QFETCH(int, rotation);
    QFETCH(int, h);
    QFETCH(int, v);
    QFETCH(QList<int>, columns);
    QFETCH(QList<int>, rows);
    QFETCH(QList<int>, span);

    QImage image = grey(1920, 1080, 0);
    viewerpath::drawSafetyArea(image, QSize(1920, 1080), rotation, h, v, 75);
    const int line = 191; // 75 % grey
    for (int x : columns) {
        QCOMPARE(redAt(image, x, 500), line);
        QCOMPARE(redAt(image, x - 1, 500), 0);
        QCOMPARE(redAt(image, x + 1, 500), 0);
    }
    for (int y : rows) {
        QCOMPARE(redAt(image, 1000, y), line);
        QCOMPARE(redAt(image, 1000, y - 1), 0);
        QCOMPARE(redAt(image, span[0], y), line);
        QCOMPARE(redAt(image, span[1], y), line);
        if (span[0] > 0)
            QCOMPARE(redAt(image, span[0] - 1, y), 0);
    }
}

void TestViewerPath::audioOnlyTraceIsCentred()
{
    // 1280 x 720: a square of 720 centred at x 280; radius 0.47 * 720.
    QImage image = grey(1280, 720, 0);
    viewerpath::AudioTrace trace;
    // Left only: a vertical line through the centre.
    viewerpath::drawAudioOnlyTrace(image, stereo(1920, [](int i) { return std::sin(i / 10.0) * 0.9; },
                                                 [](int) { return 0.0; }),
                                   trace);
    QVERIFY(trace.visible);
    QCOMPARE(trace.hold, 6);
    QVERIFY(brightestAround(image, 640, 360 - 250) > 100);
    QCOMPARE(brightestAround(image, 640 + 50, 360 - 250), 0);
    QCOMPARE(brightestAround(image, 640, 360 - 320), 0); // beyond 0.9 * radius (~304)
}

QTEST_MAIN(TestViewerPath)
#include "tst_viewerpath.moc"
