// Scope requests on the engine: one answer per request whatever the media, the decoder
// left alone for audio-only files, and the fallback and alpha paths on real files.

#include "decodetestsupport.h"
#include "scopes/waveformrenderer.h"
#include "testsupport.h"

#include <QtTest>

#include <future>
#include <set>
#include <thread>

using namespace decodetest;

namespace {

std::set<int> traceRows(const QImage &scope, const QImage &graticule, int column)
{
    std::set<int> rows;
    for (int y = 0; y < scope.height(); ++y) {
        if (qBlue(scope.pixel(column, y)) > qBlue(graticule.pixel(column, y)))
            rows.insert(y);
    }
    return rows;
}

struct ScopeAnswer {
    int count = 0;
    QImage image;
    qint64 frameNumber = -1;
};

ScopeAnswer requestScope(VideoEngine &engine, int64_t n, ScopeRange range, DisplayChannel channel, int rotation = 0)
{
    QSignalSpy spy(&engine, &VideoEngine::scopeImageReady);
    engine.requestScopeImage(n, range, channel, rotation);
    ScopeAnswer answer;
    answer.count = int(spy.size());
    if (!spy.isEmpty()) {
        answer.image = spy.first().at(0).value<QImage>();
        answer.frameNumber = spy.first().at(1).value<int64_t>();
    }
    return answer;
}

} // namespace

class TestVideoEngineScope : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }
    void oneAnswerPerRequest_data();
    void oneAnswerPerRequest();
    void audioOnlyLeavesTheDecoderAlone();
    void withoutRendererAnswersNull();
    void alphaRampOfProRes4444();
    void alphaOfRgbSourceTakesTheFallback();
    void fallbackLeavesTheViewerConversionAlone();
    void liveScopeIsDrawnBesideTheDecoder();
    void exactScopeWaitsForTheLiveOne();
};

void TestVideoEngineScope::oneAnswerPerRequest_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<qint64>("frame");
    QTest::addColumn<bool>("traces");
    QTest::newRow("h264") << "h264_1080p25.mov" << qint64(37) << true;
    QTest::newRow("past the end") << "h264_1080p25.mov" << qint64(5000) << true;
    QTest::newRow("rgb") << "bgra.avi" << qint64(3) << true;
    QTest::newRow("yuva") << "prores4444_alpha.mov" << qint64(0) << true;
    QTest::newRow("audio only") << "audio.flac" << qint64(12) << false;
}

void TestVideoEngineScope::oneAnswerPerRequest()
{
    QFETCH(QString, file);
    QFETCH(qint64, frame);
    QFETCH(bool, traces);
    LocalEngine local;
    local.engine.setScopeRenderer(&waveform::renderScope);
    QVERIFY(local.open(testsupport::mediaPath(file)));
    for (ScopeRange range : {Percent, CodeValue}) {
        for (DisplayChannel channel : {Color, Alpha, Luma, DisplayChannel(6)}) {
            const ScopeAnswer answer = requestScope(local.engine, frame, range, channel, 90);
            QCOMPARE(answer.count, 1);
            QCOMPARE(answer.frameNumber, frame); // the requested number, also past the end
            QCOMPARE(answer.image.size(), QSize(1920, 1024));
            const bool drawn = answer.image != waveform::buildScopeGraticule(range);
            QCOMPARE(drawn, traces && channel != DisplayChannel(6));
        }
    }
}

void TestVideoEngineScope::audioOnlyLeavesTheDecoderAlone()
{
    LocalEngine local;
    local.engine.setScopeRenderer(&waveform::renderScope);
    QVERIFY(local.open(testsupport::mediaPath("audio.flac")));
    const VideoEngine::DecodeCounters before = local.engine.decodeCounters();
    const qint64 position = local.engine.currentFrameNumber();
    const ScopeAnswer answer = requestScope(local.engine, 40, CodeValue, Color);
    QCOMPARE(answer.count, 1);
    QCOMPARE(answer.image, waveform::buildScopeGraticule(CodeValue));
    const VideoEngine::DecodeCounters after = local.engine.decodeCounters();
    QCOMPARE(after.framesDecoded, before.framesDecoded);
    QCOMPARE(after.seeks, before.seeks);
    QCOMPARE(local.engine.currentFrameNumber(), position);
}

void TestVideoEngineScope::withoutRendererAnswersNull()
{
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath("bgra.avi")));
    const ScopeAnswer answer = requestScope(local.engine, 2, Percent, Color);
    QCOMPARE(answer.count, 1);
    QVERIFY(answer.image.isNull());
}

// The clip's alpha rises from 0 at the left edge to 255 at the right: each scope column
// shows its own alpha level.
void TestVideoEngineScope::alphaRampOfProRes4444()
{
    LocalEngine local;
    local.engine.setScopeRenderer(&waveform::renderScope);
    QVERIFY(local.open(testsupport::mediaPath("prores4444_alpha.mov")));
    const ScopeAnswer answer = requestScope(local.engine, 0, CodeValue, Alpha);
    QCOMPARE(answer.count, 1);
    const QImage graticule = waveform::buildScopeGraticule(CodeValue);
    for (int c = 150; c < 1800; c += 150) {
        const std::set<int> rows = traceRows(answer.image, graticule, c);
        QVERIFY(!rows.empty());
        const double alpha = 255.0 * c / 1920.0;
        const int expected = 1023 - int(std::lround(1023.0 * alpha / 255.0));
        QVERIFY2(std::abs(*rows.begin() - expected) <= 12 && std::abs(*rows.rbegin() - expected) <= 12,
                 qPrintable(QStringLiteral("column %1: rows %2..%3, expected about %4")
                                .arg(c).arg(*rows.begin()).arg(*rows.rbegin()).arg(expected)));
    }
}

// GBR work copies carry no alpha, so alpha of an RGB file comes from the 8-bit picture;
// the test pattern is opaque: one line at full scale.
void TestVideoEngineScope::alphaOfRgbSourceTakesTheFallback()
{
    LocalEngine local;
    local.engine.setScopeRenderer(&waveform::renderScope);
    QVERIFY(local.open(testsupport::mediaPath("bgra.avi")));
    for (ScopeRange range : {Percent, CodeValue}) {
        const ScopeAnswer answer = requestScope(local.engine, 4, range, Alpha);
        QCOMPARE(answer.count, 1);
        const QImage graticule = waveform::buildScopeGraticule(range);
        for (int c = 200; c < 1800; c += 200)
            QCOMPARE(traceRows(answer.image, graticule, c), (std::set<int>{range == Percent ? 85 : 0}));
    }
}

// The scope's 8-bit picture is made under the scope's own profile; the viewer's pictures
// before and after keep the channel-isolation conversion and its context, with no word
// from the window in between.
void TestVideoEngineScope::fallbackLeavesTheViewerConversionAlone()
{
    LocalEngine local;
    QList<QImage> fallbacks;
    local.engine.setScopeRenderer([&fallbacks](const AVFrame *, const ScopeRequest &request) {
        if (request.fallbackPicture)
            fallbacks.append(request.fallbackPicture());
        return QImage();
    });
    QVERIFY(local.open(testsupport::mediaPath("h264_1080p25.mov")));
    local.engine.setConversionProfile(ChannelIsolation);
    const Answer before = local.request(3);
    QCOMPARE(before.frame.pixelFormat(), QVideoFrameFormat::Format_BGRA8888);
    const int builds = local.engine.conversionContextBuilds();

    for (ScopeRange range : {Percent, CodeValue})
        QCOMPARE(requestScope(local.engine, 3, range, Color).count, 1);
    QCOMPARE(fallbacks.size(), 2);
    for (const QImage &picture : fallbacks)
        QCOMPARE(picture.size(), QSize(1920, 1080));

    const Answer after = local.request(3);
    QCOMPARE(after.frame.pixelFormat(), QVideoFrameFormat::Format_BGRA8888);
    QCOMPARE(local.engine.conversionContextBuilds(), builds);
    QCOMPARE(after.frame.toImage(), before.frame.toImage());
}


// While playing, a scope dearer than a frame period must not hold the next picture back: the
// engine answers frame requests while the live scope is still being drawn, and the scope
// answers afterwards with the picture that was on screen when it was asked for.
void TestVideoEngineScope::liveScopeIsDrawnBesideTheDecoder()
{
    LocalEngine local;
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::atomic<bool> offEngineThread{false};
    const std::thread::id engineThread = std::this_thread::get_id();
    local.engine.setScopeRenderer([&](const AVFrame *frame, const ScopeRequest &request) {
        offEngineThread = std::this_thread::get_id() != engineThread;
        opened.wait_for(std::chrono::seconds(5)); // bounded: drawn in line, it would wait here
        return waveform::renderScope(frame, request);
    });
    QVERIFY(local.open(testsupport::mediaPath("h264_1080p25.mov")));
    QCOMPARE(local.request(10).frameNumber, 10);

    QSignalSpy scopes(&local.engine, &VideoEngine::scopeImageReady);
    local.engine.requestScopeImage(99, CodeValue, Color, 0, ScopeWaveform, true);
    QCOMPARE(local.request(11).frameNumber, 11);
    QCOMPARE(local.request(12).frameNumber, 12);
    QCOMPARE(scopes.size(), 0);

    gate.set_value();
    QTRY_COMPARE(scopes.size(), 1);
    QVERIFY(offEngineThread);
    QCOMPARE(scopes.first().at(1).value<int64_t>(), int64_t(10));
    const QImage live = scopes.first().at(0).value<QImage>();
    const ScopeAnswer exact = requestScope(local.engine, 10, CodeValue, Color);
    QCOMPARE(exact.count, 1);
    QCOMPARE(live, exact.image);
}

// A scope asked for exactly (a step after playing) answers after a live one still being
// drawn, never before it: the page keeps the last answer it gets.
void TestVideoEngineScope::exactScopeWaitsForTheLiveOne()
{
    LocalEngine local;
    std::atomic<int> calls{0};
    local.engine.setScopeRenderer([&](const AVFrame *frame, const ScopeRequest &request) {
        if (calls++ == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return waveform::renderScope(frame, request);
    });
    QVERIFY(local.open(testsupport::mediaPath("h264_1080p25.mov")));
    QCOMPARE(local.request(5).frameNumber, 5);

    QSignalSpy scopes(&local.engine, &VideoEngine::scopeImageReady);
    local.engine.requestScopeImage(5, Percent, Color, 0, ScopeWaveform, true);
    local.engine.requestScopeImage(30, Percent, Color);
    QCOMPARE(scopes.size(), 2);
    QCOMPARE(scopes.at(0).at(1).value<int64_t>(), int64_t(5));
    QCOMPARE(scopes.at(1).at(1).value<int64_t>(), int64_t(30));
    QVERIFY(scopes.at(0).at(0).value<QImage>() != scopes.at(1).at(0).value<QImage>());
}

QTEST_MAIN(TestVideoEngineScope)
#include "tst_videoengine_scope.moc"
