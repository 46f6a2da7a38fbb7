#include "core/conversionprofile.h"
#include "state/applicationstate.h"
#include "core/metatypes.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QThread>
#include <QVideoFrame>
#include <QtTest>

#include <functional>
#include <memory>
#include <vector>

namespace {

using Action = std::function<void(ApplicationState &)>;

// One spy per change signal, so a test can assert that nothing at all was emitted.
struct AllSignals
{
    explicit AllSignals(ApplicationState *state)
    {
        for (const char *signal : {SIGNAL(playStateChanged(PlayState)), SIGNAL(currentModeChanged(AppMode)),
                                   SIGNAL(helpVisibleChanged(bool)), SIGNAL(gotoModeChanged(bool)),
                                   SIGNAL(scopeRangeChanged(ScopeRange)), SIGNAL(viewerRotationChanged(int)),
                                   SIGNAL(mediaPropertiesChanged()),
                                   SIGNAL(currentFrameNumberChanged(int64_t))}) {
            spies.push_back(std::make_unique<QSignalSpy>(state, signal));
        }
    }
    int total() const
    {
        int n = 0;
        for (const auto &spy : spies)
            n += int(spy->count());
        return n;
    }
    std::vector<std::unique_ptr<QSignalSpy>> spies;
};

} // namespace

Q_DECLARE_METATYPE(Action)

class TestApplicationState : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void defaults();
    void emittingSetters_data();
    void emittingSetters();
    void silentSetters_data();
    void silentSetters();
    void rotationNormalisation_data();
    void rotationNormalisation();
    void mediaProperties_data();
    void mediaProperties();
    void mediaPropertiesAlwaysEmit();
    void typedFacts_data();
    void typedFacts();
    void metaTypesRegisteredByName_data();
    void metaTypesRegisteredByName();
    void queuedCallsAcrossThreads();
};

void TestApplicationState::initTestCase()
{
    testsupport::registerMetaTypes();
    registerMetaTypes(); // a second call must be harmless
}

void TestApplicationState::defaults()
{
    const ApplicationState state;
    QCOMPARE(state.playState(), Stopped);
    QCOMPARE(state.speedIndex(), 0);
    QCOMPARE(state.currentMode(), Viewer);
    QCOMPARE(state.displayChannel(), Color);
    QCOMPARE(state.scopeRange(), Percent);
    QCOMPARE(state.isFullScreen(), false);
    QCOMPARE(state.isHelpVisible(), false);
    QCOMPARE(state.isGotoMode(), false);
    QCOMPARE(state.viewerRotationDegrees(), 0);
    QCOMPARE(state.currentFrameNumber(), int64_t(0));
    QCOMPARE(state.totalFrames(), int64_t(0));
    QCOMPARE(state.fps(), 0.0);
    QVERIFY(state.mediaProperties().isEmpty());
    QVERIFY(!state.mediaInfo().isOpen());
    QVERIFY(state.startTimecode().isEmpty());
}

void TestApplicationState::emittingSetters_data()
{
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<Action>("change");
    QTest::addColumn<Action>("repeat");
    QTest::addColumn<QVariant>("argument");
    QTest::addColumn<std::function<QVariant(const ApplicationState &)>>("getter");

    using Getter = std::function<QVariant(const ApplicationState &)>;
    QTest::newRow("play state") << QByteArray(SIGNAL(playStateChanged(PlayState)))
                                << Action([](ApplicationState &s) { s.setPlayState(Backward); })
                                << Action([](ApplicationState &s) { s.setPlayState(Backward); })
                                << QVariant::fromValue(Backward)
                                << Getter([](const ApplicationState &s) { return QVariant::fromValue(s.playState()); });
    QTest::newRow("mode") << QByteArray(SIGNAL(currentModeChanged(AppMode)))
                          << Action([](ApplicationState &s) { s.setCurrentMode(Scope); })
                          << Action([](ApplicationState &s) { s.setCurrentMode(Scope); })
                          << QVariant::fromValue(Scope)
                          << Getter([](const ApplicationState &s) { return QVariant::fromValue(s.currentMode()); });
    QTest::newRow("scope range") << QByteArray(SIGNAL(scopeRangeChanged(ScopeRange)))
                                 << Action([](ApplicationState &s) { s.setScopeRange(CodeValue); })
                                 << Action([](ApplicationState &s) { s.setScopeRange(CodeValue); })
                                 << QVariant::fromValue(CodeValue)
                                 << Getter([](const ApplicationState &s) { return QVariant::fromValue(s.scopeRange()); });
    QTest::newRow("help") << QByteArray(SIGNAL(helpVisibleChanged(bool)))
                          << Action([](ApplicationState &s) { s.setHelpVisible(true); })
                          << Action([](ApplicationState &s) { s.setHelpVisible(true); })
                          << QVariant(true)
                          << Getter([](const ApplicationState &s) { return QVariant(s.isHelpVisible()); });
    QTest::newRow("goto") << QByteArray(SIGNAL(gotoModeChanged(bool)))
                          << Action([](ApplicationState &s) { s.setGotoMode(true); })
                          << Action([](ApplicationState &s) { s.setGotoMode(true); })
                          << QVariant(true)
                          << Getter([](const ApplicationState &s) { return QVariant(s.isGotoMode()); });
    QTest::newRow("rotation, repeated as an equivalent angle")
        << QByteArray(SIGNAL(viewerRotationChanged(int)))
        << Action([](ApplicationState &s) { s.setViewerRotationDegrees(90); })
        << Action([](ApplicationState &s) { s.setViewerRotationDegrees(450); })
        << QVariant(90)
        << Getter([](const ApplicationState &s) { return QVariant(s.viewerRotationDegrees()); });
    QTest::newRow("frame number, beyond 32 bits")
        << QByteArray(SIGNAL(currentFrameNumberChanged(int64_t)))
        << Action([](ApplicationState &s) { s.setCurrentFrameNumber(int64_t(5) << 33); })
        << Action([](ApplicationState &s) { s.setCurrentFrameNumber(int64_t(5) << 33); })
        << QVariant::fromValue(int64_t(5) << 33)
        << Getter([](const ApplicationState &s) { return QVariant::fromValue(s.currentFrameNumber()); });
}

void TestApplicationState::emittingSetters()
{
    QFETCH(QByteArray, signal);
    QFETCH(Action, change);
    QFETCH(Action, repeat);
    QFETCH(QVariant, argument);
    QFETCH(std::function<QVariant(const ApplicationState &)>, getter);

    // Every row changes away from the zero default; a zero here would mean the value
    // did not survive the trip through QVariant and the comparisons below prove nothing.
    QVERIFY(argument.toLongLong() != 0);
    ApplicationState state;
    QSignalSpy spy(&state, signal.constData());
    AllSignals all(&state);
    QVERIFY(spy.isValid());

    change(state);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(all.total(), 1);
    QCOMPARE(spy.at(0).at(0).toLongLong(), argument.toLongLong());
    QCOMPARE(getter(state).toLongLong(), argument.toLongLong());

    repeat(state);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(all.total(), 1);
    QCOMPARE(getter(state).toLongLong(), argument.toLongLong());
}

void TestApplicationState::silentSetters_data()
{
    QTest::addColumn<Action>("change");
    QTest::addColumn<std::function<bool(const ApplicationState &)>>("changed");

    using Check = std::function<bool(const ApplicationState &)>;
    QTest::newRow("speed index") << Action([](ApplicationState &s) { s.setSpeedIndex(4); })
                                 << Check([](const ApplicationState &s) { return s.speedIndex() == 4; });
    QTest::newRow("display channel") << Action([](ApplicationState &s) { s.setDisplayChannel(Luma); })
                                     << Check([](const ApplicationState &s) { return s.displayChannel() == Luma; });
    QTest::newRow("full screen") << Action([](ApplicationState &s) { s.setFullScreen(true); })
                                 << Check([](const ApplicationState &s) { return s.isFullScreen(); });
}

void TestApplicationState::silentSetters()
{
    QFETCH(Action, change);
    QFETCH(std::function<bool(const ApplicationState &)>, changed);

    ApplicationState state;
    AllSignals all(&state);
    change(state);
    QVERIFY(changed(state));
    QCOMPARE(all.total(), 0);
}

void TestApplicationState::rotationNormalisation_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("input");
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("emits");

    QTest::newRow("-90") << 0 << -90 << 270 << true;
    QTest::newRow("45 rounds down to 0") << 0 << 45 << 0 << false;
    QTest::newRow("135") << 0 << 135 << 90 << true;
    QTest::newRow("359") << 0 << 359 << 270 << true;
    QTest::newRow("360 while 0") << 0 << 360 << 0 << false;
    QTest::newRow("450") << 0 << 450 << 90 << true;
    QTest::newRow("-270") << 0 << -270 << 90 << true;
    QTest::newRow("-45 is 315, rounds to 270") << 0 << -45 << 270 << true;
    QTest::newRow("rotate command wraps to 0") << 270 << 360 << 0 << true;
    QTest::newRow("180 again") << 180 << 180 << 180 << false;
    QTest::newRow("-180 equals 180") << 180 << -180 << 180 << false;
    QTest::newRow("large negative") << 0 << -3690 << 270 << true;
}

void TestApplicationState::rotationNormalisation()
{
    QFETCH(int, stored);
    QFETCH(int, input);
    QFETCH(int, expected);
    QFETCH(bool, emits);

    ApplicationState state;
    state.setViewerRotationDegrees(stored);
    QCOMPARE(state.viewerRotationDegrees(), stored);
    QSignalSpy spy(&state, &ApplicationState::viewerRotationChanged);
    state.setViewerRotationDegrees(input);
    QCOMPARE(state.viewerRotationDegrees(), expected);
    QCOMPARE(spy.count(), emits ? 1 : 0);
    if (emits)
        QCOMPARE(spy.at(0).at(0).toInt(), expected);
}

void TestApplicationState::mediaProperties_data()
{
    QTest::addColumn<QVariantMap>("properties");
    QTest::addColumn<qlonglong>("totalFrames");
    QTest::addColumn<double>("fps");
    QTest::addColumn<QString>("videoRangeInfo");
    QTest::addColumn<QVariant>("startTimecode");

    QTest::newRow("empty") << QVariantMap() << 0LL << 0.0 << "---" << QVariant();
    QTest::newRow("video") << QVariantMap{{"totalFrames", qlonglong(500)},
                                          {"fps", 25.0},
                                          {"videoRangeInfo", "Video Range"},
                                          {"startTimecode", "01:00:00:00"},
                                          {"isAudioOnly", false}}
                           << 500LL << 25.0 << "Video Range" << QVariant("01:00:00:00");
    QTest::newRow("numbers as text, beyond 32 bits")
        << QVariantMap{{"totalFrames", "8589934592"}, {"fps", "29.97"}, {"startTimecode", ""}}
        << 8589934592LL << 29.97 << "---" << QVariant("");
}

void TestApplicationState::mediaProperties()
{
    QFETCH(QVariantMap, properties);
    QFETCH(qlonglong, totalFrames);
    QFETCH(double, fps);
    QFETCH(QString, videoRangeInfo);
    QFETCH(QVariant, startTimecode);

    ApplicationState state;
    // A previous file's values must not survive.
    state.setMediaProperties({{"totalFrames", 99}, {"fps", 50.0}, {"videoRangeInfo", "Full Range"},
                              {"startTimecode", "10:00:00:00"}});
    state.setMediaProperties(properties);
    QCOMPARE(state.totalFrames(), int64_t(totalFrames));
    QCOMPARE(state.fps(), fps);
    QCOMPARE(state.videoRangeInfo(), videoRangeInfo);
    QCOMPARE(state.property("mediaProperties").toMap(), properties);
    QCOMPARE(state.mediaInfo().totalFrames, int64_t(totalFrames));
    QCOMPARE(state.startTimecode(), startTimecode.toString());
    // Readers by name tell "no timecode key" from "an empty one" by validity.
    const QVariant byName = state.property("startTimecode");
    QCOMPARE(byName.isValid(), startTimecode.isValid());
    if (startTimecode.isValid())
        QCOMPARE(byName.toString(), startTimecode.toString());
}

// The facts as the open found them: the state answers from them, and the properties map
// is their boundary form (empty while no file is open, so "loading" reads as empty).
void TestApplicationState::typedFacts_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<bool>("audioOnly");
    QTest::newRow("video") << true << false;
    QTest::newRow("audio only") << true << true;
    QTest::newRow("nothing open") << false << false;
}

void TestApplicationState::typedFacts()
{
    QFETCH(bool, open);
    QFETCH(bool, audioOnly);

    MediaInfo info;
    if (open) {
        info.filePath = QStringLiteral("/media/clip.mov");
        info.isAudioOnly = audioOnly;
        info.fps = audioOnly ? 30.0 : 23.976;
        info.totalFrames = int64_t(1) << 33;
        info.videoRangeInfo = audioOnly ? QStringLiteral("---") : QStringLiteral("Full Range");
        info.startTimecode = audioOnly ? QString() : QStringLiteral("00:59:59:00");
        if (!audioOnly)
            info.playbackStabilized = true;
    }
    ApplicationState state;
    state.setMediaProperties({{"totalFrames", 99}, {"fps", 50.0}, {"videoRangeInfo", "Video Range"}});
    QSignalSpy changed(&state, &ApplicationState::mediaPropertiesChanged);
    state.setMediaInfo(info);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(state.hasMedia(), open);
    QCOMPARE(state.totalFrames(), info.totalFrames);
    QCOMPARE(state.fps(), info.fps);
    QCOMPARE(state.videoRangeInfo(), open ? info.videoRangeInfo : QStringLiteral("---"));
    QCOMPARE(state.startTimecode(), info.startTimecode);
    QCOMPARE(state.mediaInfo().stabilized(), open && !audioOnly);
    const QVariantMap map = state.property("mediaProperties").toMap();
    QCOMPARE(map, open ? info.toMap() : QVariantMap());
    // The map and the facts say the same.
    QCOMPARE(MediaInfo::fromMap(map).totalFrames, info.totalFrames);
}

void TestApplicationState::mediaPropertiesAlwaysEmit()
{
    ApplicationState state;
    AllSignals all(&state);
    QSignalSpy spy(&state, &ApplicationState::mediaPropertiesChanged);
    const QVariantMap map{{"totalFrames", 10}};
    state.setMediaProperties(map);
    state.setMediaProperties(map);
    state.setMediaProperties({});
    state.setMediaProperties({});
    QCOMPARE(spy.count(), 4);
    QCOMPARE(all.total(), 4); // nothing else fires along with it
}

void TestApplicationState::metaTypesRegisteredByName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("expectedId");
    QTest::newRow("int64_t") << QByteArray("int64_t") << QMetaType::fromType<int64_t>().id();
    QTest::newRow("PlayState") << QByteArray("PlayState") << QMetaType::fromType<PlayState>().id();
    QTest::newRow("AppMode") << QByteArray("AppMode") << QMetaType::fromType<AppMode>().id();
    QTest::newRow("ScopeRange") << QByteArray("ScopeRange") << QMetaType::fromType<ScopeRange>().id();
    QTest::newRow("DisplayChannel") << QByteArray("DisplayChannel") << QMetaType::fromType<DisplayChannel>().id();
    QTest::newRow("ConversionProfile") << QByteArray("ConversionProfile")
                                       << QMetaType::fromType<ConversionProfile>().id();
    QTest::newRow("QList<float>") << QByteArray("QList<float>") << QMetaType::fromType<QList<float>>().id();
    QTest::newRow("QVariantMap") << QByteArray("QVariantMap") << QMetaType::fromType<QVariantMap>().id();
    QTest::newRow("QImage") << QByteArray("QImage") << QMetaType::fromType<QImage>().id();
    QTest::newRow("QVideoFrame") << QByteArray("QVideoFrame") << QMetaType::fromType<QVideoFrame>().id();
}

void TestApplicationState::metaTypesRegisteredByName()
{
    QFETCH(QByteArray, name);
    QFETCH(int, expectedId);
    const QMetaType type = QMetaType::fromName(name);
    QVERIFY2(type.isValid(), name.constData());
    QCOMPARE(type.id(), expectedId);
}

// Queued calls carry these types between threads: the state object stands in for a
// receiver on another thread, and its answers come back through queued connections.
void TestApplicationState::queuedCallsAcrossThreads()
{
    QThread thread;
    auto *state = new ApplicationState;
    state->moveToThread(&thread);
    connect(&thread, &QThread::finished, state, &QObject::deleteLater);
    thread.start();

    ApplicationState mirror;
    connect(state, &ApplicationState::currentFrameNumberChanged, &mirror,
            &ApplicationState::setCurrentFrameNumber, Qt::QueuedConnection);
    connect(state, &ApplicationState::scopeRangeChanged, &mirror, &ApplicationState::setScopeRange,
            Qt::QueuedConnection);

    const int64_t frame = (int64_t(1) << 40) + 7;
    QVERIFY(QMetaObject::invokeMethod(state, [state, frame] { state->setCurrentFrameNumber(frame); },
                                      Qt::QueuedConnection));
    QVERIFY(QMetaObject::invokeMethod(state, [state] { state->setScopeRange(CodeValue); }, Qt::QueuedConnection));
    QTRY_COMPARE(mirror.currentFrameNumber(), frame);
    QTRY_COMPARE(mirror.scopeRange(), CodeValue);

    thread.quit();
    QVERIFY(thread.wait(5000));
}

QTEST_GUILESS_MAIN(TestApplicationState)
#include "tst_applicationstate.moc"
