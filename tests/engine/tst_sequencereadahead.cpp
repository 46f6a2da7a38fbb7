// An image sequence read forward with its next files read and decoded ahead on worker
// threads: every frame is still its own file (or the slate of its gap or bad file), in
// order, and whatever was read ahead is never handed out after a seek or a step back.

#include "decodetestsupport.h"
#include "engine/sequencereader.h"
#include "engine/slate.h"
#include "testsupport.h"

#include <QtTest>

#include <QTemporaryDir>

using namespace decodetest;

namespace {

constexpr int64_t kFirst = 86400;
constexpr int kFrames = 12;
constexpr int64_t kMissing = 5;   // 86405 has no file
constexpr int64_t kBroken = 9;    // 86409 is cut short

QString fileOf(const QTemporaryDir &dir, int64_t frame)
{
    return dir.filePath(QStringLiteral("shot.%1.dpx").arg(kFirst + frame, 6, 10, QLatin1Char('0')));
}

// The DPX sequence with its gap, and one file that no longer decodes.
bool makeSequence(const QTemporaryDir &dir)
{
    const QDir source(testsupport::mediaPath(QStringLiteral("seq_dpx10")));
    for (const QString &name : source.entryList(QDir::Files)) {
        if (!QFile::copy(source.filePath(name), dir.filePath(name)))
            return false;
    }
    return QFile::resize(fileOf(dir, kBroken), 300) && !QFile::exists(fileOf(dir, kMissing));
}

// The player's picture of frame n against ffmpeg's decode of the file it must come from.
bool isPictureOf(const QImage &picture, const QTemporaryDir &dir, int64_t frame)
{
    const QImage reference = referenceImage(fileOf(dir, frame), 0, picture.width(), picture.height());
    const double difference = meanAbsoluteDifference(picture, reference);
    return difference >= 0 && difference <= 0.6;
}

// The damaged sequence opened with two read-ahead workers and no frame cache, so that every
// answer is decoded or taken from what was read ahead.
bool openWithReadAhead(LocalEngine &local, const QTemporaryDir &dir)
{
    if (!makeSequence(dir))
        return false;
    local.engine.setFrameCacheBound(0);
    local.engine.setSequenceReadAhead(2);
    return local.open(dir.path());
}

} // namespace

class TestSequenceReadAhead : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }
    void readsEveryFileInOrder();
    void seeksAndStepsBackNeverGetReadAheadPictures();
};

void TestSequenceReadAhead::readsEveryFileInOrder()
{
    QTemporaryDir dir;
    LocalEngine local;
    QVERIFY(openWithReadAhead(local, dir));
    QCOMPARE(local.totalFrames(), kFrames);
    for (int64_t i = 0; i < kFrames; ++i) {
        // Paced like playback, so that the workers get ahead of the reading.
        QThread::msleep(30);
        const VideoEngine::SequentialPicture picture = local.engine.readNextPicture();
        QVERIFY2(picture.frame, qPrintable(QString::number(i)));
        QCOMPARE(picture.frameNumber, i);
        const QString reason = slate::reasonOf(picture.frame.get());
        if (i == kMissing || i == kBroken) {
            QCOMPARE(reason, i == kMissing ? QStringLiteral("missing") : QStringLiteral("cannot decode"));
            continue;
        }
        QVERIFY2(reason.isEmpty(), qPrintable(reason));
        // The decoded planes are the file's, exactly.
        const QByteArray reference = referenceFrame(fileOf(dir, i), 0, pixelFormatName(picture.frame.get()));
        QVERIFY(!reference.isEmpty());
        QVERIFY2(packFrame(picture.frame.get()) == reference, qPrintable(QString::number(i)));
    }
    QVERIFY(!local.engine.readNextPicture().frame);
    // Pictures did come from the workers (else this proved nothing about them). How many
    // depends on how the machine schedules the threads.
    const SequenceReader *reader = local.engine.sequenceReader();
    QVERIFY(reader);
    QVERIFY2(reader->picturesReadAhead() > 0, "nothing was read ahead");
}

void TestSequenceReadAhead::seeksAndStepsBackNeverGetReadAheadPictures()
{
    QTemporaryDir dir;
    LocalEngine local;
    QVERIFY(openWithReadAhead(local, dir));
    const SequenceReader *reader = local.engine.sequenceReader();
    QVERIFY(reader);

    // Steps forward start the read-ahead; each jump below lands while files are ahead.
    const QList<int64_t> steps = {0, 1, 2, 3, 8, 2, 3, 4, 11, 6, 7, 0};
    for (const int64_t n : steps) {
        const Answer answer = local.silently(n);
        QCOMPARE(answer.frameNumber, n);
        const QImage picture = bgraPicture(answer.frame);
        QVERIFY(!picture.isNull());
        QVERIFY2(isPictureOf(picture, dir, n), qPrintable(QStringLiteral("frame %1").arg(n)));
        // A neighbour's picture would be measurably different (the number is burnt in).
        const int64_t neighbour = n + 1 == kMissing || n + 1 == kBroken || n + 1 >= kFrames ? n - 1 : n + 1;
        QVERIFY(!isPictureOf(picture, dir, neighbour));
    }
    QVERIFY2(reader->picturesReadAhead() > 0, "nothing was read ahead");
    QVERIFY2(reader->picturesDropped() > 0, "no jump met pictures read ahead");

    // Playback forward through the gap and the bad file after a jump back.
    QCOMPARE(local.silently(3).frameNumber, 3);
    for (int64_t n = 4; n < kFrames; ++n) {
        const Answer answer = local.next();
        QCOMPARE(answer.frameNumber, n);
        const QImage picture = bgraPicture(answer.frame);
        if (n == kMissing || n == kBroken)
            QCOMPARE(picture.pixel(1, 1), qRgb(slate::kBackground, slate::kBackground, slate::kBackground));
        else
            QVERIFY2(isPictureOf(picture, dir, n), qPrintable(QStringLiteral("frame %1").arg(n)));
    }
}

QTEST_GUILESS_MAIN(TestSequenceReadAhead)
#include "tst_sequencereadahead.moc"
