// One open file as one object: two of them side by side, each with its own state and
// controller, step through different files without touching each other; a file is
// closed by dropping its object, and the next one takes its place; a whole file can be
// read in order with the player's own frame numbers.

#include "engine/decodetestsupport.h"
#include "state/applicationstate.h"
#include "state/openmedia.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

using namespace decodetest;

namespace {

// What the window puts around an open file, minus widgets and sound.
struct FileView {
    ApplicationState state;
    std::unique_ptr<OpenMedia> media;
    std::unique_ptr<PlaybackController> controller =
        std::make_unique<PlaybackController>(&state, nullptr, nullptr);
    QList<QVideoFrame> pictures;

    FileView()
    {
        QObject::connect(controller.get(), &PlaybackController::pictureReady, controller.get(),
                         [this](const QVideoFrame &frame) { pictures.append(frame); });
    }
    ~FileView() { controller.reset(); }

    // Drops whatever is open and opens 'path' in its place, as the window does.
    bool open(const QString &path)
    {
        controller->setFrameSource(nullptr);
        media = std::make_unique<OpenMedia>(path);
        controller->setFrameSource(media.get());
        if (!media->waitUntilOpened(30000))
            return false;
        state.setMediaInfo(media->info());
        return true;
    }

    // A frame step to n; true once its picture is on screen.
    bool stepTo(int64_t n)
    {
        const qsizetype before = pictures.size();
        controller->requestStep(n);
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 30000) {
            if (pictures.size() > before && state.currentFrameNumber() == n)
                return true;
            QTest::qWait(5);
        }
        return false;
    }
};

} // namespace

class TestOpenMedia : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void twoFilesStepIndependently();
    void theNextFileReplacesTheOpenOne();
    void failedOpen();
    void wholeFileInDecodingOrder_data();
    void wholeFileInDecodingOrder();
};

void TestOpenMedia::twoFilesStepIndependently()
{
    const QString pathA = testsupport::mediaPath(QStringLiteral("h264_1080p25.mov"));
    const QString pathB = testsupport::mediaPath(QStringLiteral("mpeg2_opengop.mpg"));
    FileView a;
    FileView b;
    QVERIFY(a.open(pathA));
    QVERIFY(b.open(pathB));
    QCOMPARE(a.media->info().width, 1920);
    QCOMPARE(b.media->info().width, 720);
    QVERIFY(a.media->engineThread() != b.media->engineThread());

    // Interleaved steps, forwards, backwards and across key frames, each on one file only.
    const struct {
        char viewer;
        int64_t frame;
    } steps[] = {{'A', 10}, {'B', 37}, {'A', 11}, {'B', 36}, {'A', 62}, {'B', 0}, {'A', 61}, {'B', 52}};
    for (const auto &step : steps) {
        FileView &moved = step.viewer == 'A' ? a : b;
        FileView &still = step.viewer == 'A' ? b : a;
        const QString &path = step.viewer == 'A' ? pathA : pathB;
        const int64_t stillFrame = still.state.currentFrameNumber();
        const qsizetype stillPictures = still.pictures.size();
        const QString row = QStringLiteral("%1 to %2").arg(step.viewer).arg(step.frame);

        QVERIFY2(moved.stepTo(step.frame), qPrintable(row));
        // The viewer's picture is ffmpeg's decode of that frame (within the chroma filter and
        // conversion), and nearer to it than to the frame beside it.
        const QImage shown = bgraPicture(moved.pictures.last());
        QVERIFY2(!shown.isNull(), qPrintable(row));
        const double same = meanAbsoluteDifference(shown, referenceImage(path, step.frame, shown.width(), shown.height()));
        const int64_t beside = step.frame > 0 ? step.frame - 1 : step.frame + 1;
        const double neighbour =
            meanAbsoluteDifference(shown, referenceImage(path, beside, shown.width(), shown.height()));
        QVERIFY2(same >= 0 && same < 3.0 && same < neighbour,
                 qPrintable(row + QStringLiteral(": not the file's frame (%1 vs %2 beside)").arg(same).arg(neighbour)));
        QCOMPARE(moved.media->currentFrame(), step.frame);
        QCoreApplication::processEvents();
        QCOMPARE(still.state.currentFrameNumber(), stillFrame);
        QCOMPARE(still.pictures.size(), stillPictures);
    }
}

// The window's way of closing: drop the object, open the next. Work still queued for the
// dropped file goes with it; the state only ever shows the new file's pictures after that.
void TestOpenMedia::theNextFileReplacesTheOpenOne()
{
    FileView viewer;
    QVERIFY(viewer.open(testsupport::mediaPath(QStringLiteral("h264_1080p25.mov"))));
    QVERIFY(viewer.stepTo(5));
    // Far requests the old engine may still be working on when it is dropped.
    viewer.controller->requestSeek(90);
    viewer.controller->requestSeek(97);
    QElapsedTimer closing;
    closing.start();
    QVERIFY(viewer.open(testsupport::mediaPath(QStringLiteral("mpeg2_opengop.mpg"))));
    QVERIFY2(closing.elapsed() < 20000, qPrintable(QString::number(closing.elapsed())));
    const qsizetype before = viewer.pictures.size();
    QVERIFY(viewer.stepTo(12));
    QTest::qWait(200);
    for (qsizetype i = before; i < viewer.pictures.size(); ++i)
        QCOMPARE(viewer.pictures.at(i).size(), QSize(720, 576));
    QCOMPARE(viewer.state.currentFrameNumber(), 12);
}

void TestOpenMedia::failedOpen()
{
    QTemporaryDir dir;
    OpenMedia media(dir.filePath(QStringLiteral("missing.mov")));
    QSignalSpy opened(&media, &OpenMedia::fileOpened);
    QSignalSpy frames(&media, &OpenMedia::frameReady);
    QVERIFY(!media.waitUntilOpened(30000));
    QCOMPARE(media.status(), OpenMedia::Status::Failed);
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened.first().at(0).toBool(), false);
    QCOMPARE(media.error().section(QLatin1Char('\n'), 0, 0), QStringLiteral("avformat_open_input failed."));
    QVERIFY(!media.info().isOpen());
    // A closed engine still answers every request, with no picture.
    media.requestFrame(0, 3);
    QTRY_COMPARE_WITH_TIMEOUT(frames.size(), 1, 10000);
    QVERIFY(!frames.first().at(0).value<QVideoFrame>().isValid());
    QCOMPARE(frames.first().at(5).toInt(), 3);
    QVERIFY(media.frameAsImage(0).isNull());
}

// An analysis reads every frame once, in order, numbered as the player numbers them:
// frame n of the walk is the picture a seek to n shows.
void TestOpenMedia::wholeFileInDecodingOrder_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<qint64>("sample");
    QTest::newRow("h264 with B-frames") << QStringLiteral("h264_1080p25.mov") << qint64(37);
    QTest::newRow("intra-only with sound") << QStringLiteral("prores_hq_pcm24.mov") << qint64(21);
}

void TestOpenMedia::wholeFileInDecodingOrder()
{
    QFETCH(QString, clip);
    QFETCH(qint64, sample);
    const QString path = testsupport::mediaPath(clip);
    OpenMediaOptions options;
    options.frameCacheBytes = 0;
    OpenMedia media(path, options);
    QVERIFY(media.waitUntilOpened(30000));

    QList<int64_t> numbers;
    QByteArray sampled;
    QString sampledFormat;
    bool cacheStayedEmpty = true;
    QVERIFY(media.runOnEngine([&](VideoEngine &engine) {
        for (;;) {
            const VideoEngine::SequentialPicture next = engine.readNextPicture();
            if (!next.frame)
                break;
            numbers.append(next.frameNumber);
            if (next.frameNumber == sample) {
                sampled = packFrame(next.frame.get());
                sampledFormat = pixelFormatName(next.frame.get());
            }
            cacheStayedEmpty = cacheStayedEmpty && engine.decodedFrameCache().isEmpty();
        }
    }));
    const int64_t expected = decodedFrameCount(path);
    QCOMPARE(int64_t(numbers.size()), expected);
    for (qsizetype i = 0; i < numbers.size(); ++i)
        QCOMPARE(numbers.at(i), int64_t(i));
    QVERIFY(!sampled.isEmpty());
    QVERIFY(sampled == referenceFrame(path, sample, sampledFormat));
    QVERIFY(cacheStayedEmpty);
}

QTEST_MAIN(TestOpenMedia)
#include "tst_openmedia.moc"
