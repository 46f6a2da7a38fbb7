// The pictures of one source with the sound of another: what each source is asked for, and
// that exactly one answer per request comes back, with the right halves, once both are in.

#include "core/compat.h"
#include "state/pairedframesource.h"
#include "testsupport.h"

#include <QImage>
#include <QSignalSpy>
#include <QtTest>

namespace {

struct Call {
    QString what;
    int64_t frame;
    int id;
    bool operator==(const Call &) const = default;
};

class Recorder : public FrameSource
{
    Q_OBJECT

public:
    QList<Call> calls;
    QList<int> aborts;
    int clears = 0;

    void abortCurrentTask(int latestId) override { aborts << latestId; }
    void requestFrame(int64_t n, int id) override { calls << Call{QStringLiteral("frame"), n, id}; }
    void requestFrameSilently(int64_t n, int id) override { calls << Call{QStringLiteral("silent"), n, id}; }
    void requestNextFrameAtOrAfter(int64_t n, int id) override { calls << Call{QStringLiteral("next"), n, id}; }
    void requestPlaybackStart(int64_t n, double, int id) override { calls << Call{QStringLiteral("start"), n, id}; }
    bool primePlaybackQueue(int64_t n, int id) override
    {
        calls << Call{QStringLiteral("prime"), n, id};
        return true;
    }
    void clearAudioQueue() override { ++clears; }

    void answer(int64_t n, int id, const QByteArray &audio, float level)
    {
        QImage image(8, 8, QImage::Format_ARGB32);
        image.fill(Qt::white);
        emit frameReady(compat::videoFrameFromImage(image), n, {level}, {level}, audio, id);
    }
};

} // namespace

class TestPairedFrameSource : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }
    void requestsReachBothAtTheirFrames();
    void oneAnswerWithPictureAndSoundOnceBothAreIn();
    void staleAndSilentAnswers();
};

void TestPairedFrameSource::requestsReachBothAtTheirFrames()
{
    Recorder pictures, sound;
    PairedFrameSource paired(&pictures, &sound, 3, 97);
    paired.requestFrame(40, 1);
    paired.requestNextFrameAtOrAfter(41, 2);
    paired.requestPlaybackStart(50, 1.0, 3);
    paired.requestFrameSilently(60, 4);
    QVERIFY(paired.primePlaybackQueue(70, 5));
    // Outside the sound source: the picture only.
    paired.requestFrame(1, 6);
    paired.requestFrame(100, 7);
    paired.abortCurrentTask(7);
    paired.clearAudioQueue();

    const QList<Call> expectPictures = {{"frame", 40, 1}, {"next", 41, 2},  {"start", 50, 3}, {"silent", 60, 4},
                                        {"prime", 70, 5}, {"frame", 1, 6}, {"frame", 100, 7}};
    QCOMPARE(pictures.calls, expectPictures);
    const QList<Call> expectSound = {{"frame", 37, 1}, {"next", 38, 2}, {"start", 47, 3}, {"prime", 67, 5}};
    QCOMPARE(sound.calls, expectSound);
    QCOMPARE(pictures.aborts, QList<int>{7});
    QCOMPARE(sound.aborts, QList<int>{7});
    QCOMPARE(pictures.clears, 1);
    QCOMPARE(sound.clears, 1);
}

void TestPairedFrameSource::oneAnswerWithPictureAndSoundOnceBothAreIn()
{
    Recorder pictures, sound;
    PairedFrameSource paired(&pictures, &sound, 3, 97);
    QSignalSpy answers(&paired, &FrameSource::frameReady);

    // Picture first, then sound.
    paired.requestFrame(40, 1);
    pictures.answer(40, 1, "picture's sound", -10.0f);
    QCOMPARE(answers.count(), 0);
    sound.answer(37, 1, "sound's sound", -20.0f);
    QCOMPARE(answers.count(), 1);
    QList<QVariant> answer = answers.takeFirst();
    QCOMPARE(answer.at(1).value<int64_t>(), int64_t(40)); // the picture's frame number
    QCOMPARE(answer.at(2).value<QList<float>>(), QList<float>{-20.0f});
    QCOMPARE(answer.at(4).toByteArray(), QByteArray("sound's sound"));
    QCOMPARE(answer.at(5).toInt(), 1);
    QVERIFY(answer.at(0).value<QVideoFrame>().isValid());

    // Sound first, then the picture.
    paired.requestNextFrameAtOrAfter(41, 2);
    sound.answer(38, 2, "later sound", -21.0f);
    QCOMPARE(answers.count(), 0);
    pictures.answer(41, 2, "x", -11.0f);
    QCOMPARE(answers.count(), 1);
    QCOMPARE(answers.first().at(4).toByteArray(), QByteArray("later sound"));

    // Where the sound source has no frame, the picture comes silent at once.
    answers.clear();
    paired.requestFrame(1, 3);
    pictures.answer(1, 3, "A's sound", -12.0f);
    QCOMPARE(answers.count(), 1);
    QVERIFY(answers.first().at(4).toByteArray().isEmpty());
    QVERIFY(answers.first().at(2).value<QList<float>>().isEmpty());
}

void TestPairedFrameSource::staleAndSilentAnswers()
{
    Recorder pictures;
    auto *sound = new Recorder;
    PairedFrameSource paired(&pictures, sound, 0, 100);
    QSignalSpy answers(&paired, &FrameSource::frameReady);

    paired.requestFrame(10, 1);
    paired.requestFrame(11, 2); // 1 is abandoned
    sound->answer(10, 1, "old", -1.0f);
    pictures.answer(10, 1, "", -1.0f);
    // The old picture still gets its one answer (the controller drops it by id) ...
    QCOMPARE(answers.count(), 1);
    QCOMPARE(answers.first().at(5).toInt(), 1);
    // ... and the old sound is not taken for the new request.
    pictures.answer(11, 2, "", -1.0f);
    QCOMPARE(answers.count(), 1);
    sound->answer(11, 2, "new", -2.0f);
    QCOMPARE(answers.count(), 2);
    QCOMPARE(answers.last().at(4).toByteArray(), QByteArray("new"));

    // A silent request does not wait for sound.
    paired.requestFrameSilently(12, 3);
    pictures.answer(12, 3, "", -1.0f);
    QCOMPARE(answers.count(), 3);

    // The sound source gone while the picture waits for it: the picture goes on alone.
    paired.requestFrame(13, 4);
    pictures.answer(13, 4, "", -1.0f);
    QCOMPARE(answers.count(), 3);
    delete sound;
    QCOMPARE(answers.count(), 4);
    QVERIFY(answers.last().at(4).toByteArray().isEmpty());
    // ... and from then on no request waits for it.
    paired.requestFrame(14, 5);
    pictures.answer(14, 5, "", -1.0f);
    QCOMPARE(answers.count(), 5);
}

QTEST_MAIN(TestPairedFrameSource)
#include "tst_pairedframesource.moc"
