#include "state/applicationstate.h"
#include "ui/uicontroller.h"
#include "testsupport.h"

#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <QStackedWidget>
#include <QtTest>

#include <cmath>
#include <limits>
#include <memory>

namespace {

// The widgets the main window would hand over, with a four-page stack.
struct Fixture
{
    Fixture()
    {
        for (int i = 0; i < 4; ++i)
            stack.addWidget(new QWidget);
        seekBar.setRange(0, 1000000);
        opacity = new QGraphicsOpacityEffect;
        seekBar.setGraphicsEffect(opacity); // the slider owns the effect
        controller = std::make_unique<UiController>(&state, &metadata, &timecodeLabel, &seekBar, &stack,
                                                    opacity, &timecode, &offset);
    }

    // What the main window does on a successful open, minus the engine.
    void open(const QVariantMap &properties)
    {
        state.setMediaProperties(properties);
        state.setCurrentMode(Viewer);
        controller->updateMetadata();
    }

    ApplicationState state;
    QLabel metadata;
    QLabel timecodeLabel;
    QSlider seekBar;
    QStackedWidget stack;
    QGraphicsOpacityEffect *opacity = nullptr;
    std::optional<Timecode> timecode;
    int64_t offset = 0;
    std::unique_ptr<UiController> controller;
};

QVariantMap videoMap(qlonglong totalFrames, const QString &startTimecode = QString())
{
    QVariantMap map{{"isAudioOnly", false},        {"totalFrames", totalFrames},
                    {"width", 1920},               {"height", 1080},
                    {"fps", 25.0},                 {"scanType", "p"},
                    {"codecDisplayName", "H.264"}, {"colorSpaceInfo", "BT.709"},
                    {"audioInfo", "AAC 48kHz 2ch"}};
    if (!startTimecode.isNull())
        map.insert("startTimecode", startTimecode);
    return map;
}

QVariantMap audioMap(double fps, double duration, bool hasReference, double referenceSec)
{
    return {{"isAudioOnly", true},
            {"totalFrames", qlonglong(300)},
            {"fps", fps},
            {"codecDisplayName", "FLAC"},
            {"audioInfo", "48kHz 2ch"},
            {"videoDurationSec", duration},
            {"hasAudioTimeReference", hasReference},
            {"audioTimeReferenceSec", referenceSec}};
}

} // namespace

class TestUiController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }
    void pagesAndSeekBar_data();
    void pagesAndSeekBar();
    void modeSwitchFollowsState();
    void informationText_data();
    void informationText();
    void formatTimeText_data();
    void formatTimeText();
    void audioOnlyClock_data();
    void audioOnlyClock();
    void videoTimecode_data();
    void videoTimecode();
    void seekBarMovesWithoutSeeking();
    void timecodeEntryOwnsTheLabel();
    void helpPage_data();
    void helpPage();
};

void TestUiController::pagesAndSeekBar_data()
{
    QTest::addColumn<QVariantMap>("properties");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("help");
    QTest::addColumn<int>("page");
    QTest::addColumn<double>("opacity");
    QTest::addColumn<bool>("seekEnabled");

    const double untouched = 0.55; // the starting opacity, kept when help is shown
    QTest::newRow("no media") << QVariantMap() << int(Viewer) << false << 0 << 0.3 << false;
    QTest::newRow("no media, help shown") << QVariantMap() << int(Viewer) << true << 0 << 0.3 << false;
    QTest::newRow("still image") << videoMap(1) << int(Viewer) << false << 1 << 0.3 << false;
    QTest::newRow("playable viewer") << videoMap(100) << int(Viewer) << false << 1 << 1.0 << true;
    QTest::newRow("playable scope") << videoMap(100) << int(Scope) << false << 3 << 0.8 << true;
    QTest::newRow("still image scope") << videoMap(1) << int(Scope) << false << 3 << 0.3 << false;
    QTest::newRow("help keeps opacity") << videoMap(100) << int(Scope) << true << 2 << untouched << true;
    QTest::newRow("audio only") << audioMap(30, 10, false, 0) << int(Viewer) << false << 1 << 1.0 << true;
}

void TestUiController::pagesAndSeekBar()
{
    QFETCH(QVariantMap, properties);
    QFETCH(int, mode);
    QFETCH(bool, help);
    QFETCH(int, page);
    QFETCH(double, opacity);
    QFETCH(bool, seekEnabled);

    Fixture f;
    f.stack.setCurrentIndex(2);
    f.seekBar.setEnabled(!seekEnabled);
    f.opacity->setOpacity(0.55);
    f.state.setMediaProperties(properties);
    {
        // Put the state where the row wants it without the controller reacting yet.
        const QSignalBlocker blocker(&f.state);
        f.state.setCurrentMode(AppMode(mode));
        f.state.setHelpVisible(help);
    }
    f.controller->updateMetadata();
    QCOMPARE(f.stack.currentIndex(), page);
    QCOMPARE(f.opacity->opacity(), opacity);
    QCOMPARE(f.seekBar.isEnabled(), seekEnabled);
}

void TestUiController::modeSwitchFollowsState()
{
    Fixture f;
    f.open(videoMap(250, "01:00:00:00"));
    QCOMPARE(f.stack.currentIndex(), 1);
    QCOMPARE(f.opacity->opacity(), 1.0);

    f.state.setCurrentMode(Scope);
    QCOMPARE(f.stack.currentIndex(), 3);
    QCOMPARE(f.opacity->opacity(), 0.8);

    f.state.setCurrentMode(Viewer);
    QCOMPARE(f.stack.currentIndex(), 1);
    QCOMPARE(f.opacity->opacity(), 1.0);
}

void TestUiController::informationText_data()
{
    QTest::addColumn<QVariantMap>("properties");
    QTest::addColumn<QString>("expected");

    QTest::newRow("video") << videoMap(100) << "1920x1080@25.00p\nH.264\nBT.709\nAAC 48kHz 2ch";
    QVariantMap ntsc = videoMap(100);
    ntsc["fps"] = 30000.0 / 1001;
    ntsc["scanType"] = "i";
    QTest::newRow("fps two decimals") << ntsc << "1920x1080@29.97i\nH.264\nBT.709\nAAC 48kHz 2ch";
    QTest::newRow("missing keys") << QVariantMap{{"totalFrames", 5}} << "0x0@0.00\n\n\n";
    QVariantMap percent = videoMap(100);
    percent["codecDisplayName"] = "odd %1 name";
    percent["colorSpaceInfo"] = "%2%3";
    QTest::newRow("percent signs stay literal") << percent << "1920x1080@25.00p\nodd %1 name\n%2%3\nAAC 48kHz 2ch";
    QTest::newRow("audio only") << audioMap(30, 10, false, 0) << "Audio Only\nFLAC\n---\n48kHz 2ch";
    QTest::newRow("empty clears") << QVariantMap() << "";
}

void TestUiController::informationText()
{
    QFETCH(QVariantMap, properties);
    QFETCH(QString, expected);

    Fixture f;
    f.metadata.setText("previous file");
    f.state.setMediaProperties(properties);
    f.controller->updateMetadata();
    QCOMPARE(f.metadata.text(), expected);
}

void TestUiController::formatTimeText_data()
{
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << 0.0 << "00:00:00.000";
    QTest::newRow("negative") << -5.0 << "00:00:00.000";
    QTest::newRow("NaN") << std::nan("") << "00:00:00.000";
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << "00:00:00.000";
    QTest::newRow("fields") << 3661.25 << "01:01:01.250";
    QTest::newRow("rounding carries into the minute") << 59.9996 << "00:01:00.000";
    QTest::newRow("hundred hours not wrapped") << 360000.0 << "100:00:00.000";
    QTest::newRow("just below a day") << 86399.999 << "23:59:59.999";
}

void TestUiController::formatTimeText()
{
    QFETCH(double, seconds);
    QFETCH(QString, expected);
    QCOMPARE(UiController::formatTimeText(seconds), expected);
}

void TestUiController::audioOnlyClock_data()
{
    QTest::addColumn<QVariantMap>("properties");
    QTest::addColumn<qlonglong>("frame");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("style");

    const QString white = UiController::whiteStyle;
    const QString amber = UiController::amberStyle;
    QTest::newRow("from zero in amber") << audioMap(30, 0, false, 0) << 90LL << "00:00:03.000" << amber;
    QTest::newRow("time reference in white") << audioMap(30, 0, true, 3600) << 90LL << "01:00:03.000" << white;
    QTest::newRow("no rate counts at 30") << audioMap(0, 0, false, 0) << 45LL << "00:00:01.500" << amber;
    QTest::newRow("held at the duration") << audioMap(30, 10.5, false, 0) << 900LL << "00:00:10.500" << amber;
    QTest::newRow("held, then offset") << audioMap(30, 10.5, true, 3600) << 900LL << "01:00:10.500" << white;
    QTest::newRow("reference flag off ignores seconds") << audioMap(30, 0, false, 3600) << 30LL << "00:00:01.000" << amber;
}

void TestUiController::audioOnlyClock()
{
    QFETCH(QVariantMap, properties);
    QFETCH(qlonglong, frame);
    QFETCH(QString, text);
    QFETCH(QString, style);

    Fixture f;
    f.open(properties);
    f.controller->updateTimecode(frame);
    QCOMPARE(f.timecodeLabel.text(), text);
    QCOMPARE(f.timecodeLabel.styleSheet(), style);
}

void TestUiController::videoTimecode_data()
{
    QTest::addColumn<QString>("startTimecode"); // null: the key is absent
    QTest::addColumn<QString>("rate");
    QTest::addColumn<bool>("dropFrame");
    QTest::addColumn<bool>("hasTimecode");
    QTest::addColumn<qlonglong>("frame");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("style");

    const QString white = UiController::whiteStyle;
    const QString amber = UiController::amberStyle;
    QTest::newRow("start timecode") << "01:00:00:00" << "25" << false << true << 26LL << "01:00:01:01" << white;
    QTest::newRow("drop-frame start") << "01:00:00;00" << "30" << true << true << 1800LL << "01:01:00;02" << white;
    QTest::newRow("no start timecode is amber") << QString() << "25" << false << true << 50LL << "00:00:02:00" << amber;
    QTest::newRow("empty start timecode is amber") << "" << "25" << false << true << 0LL << "00:00:00:00" << amber;
    QTest::newRow("wraps at midnight") << "23:59:59:00" << "25" << false << true << 50LL << "00:00:01:00" << white;
    QTest::newRow("no timecode keeps the label") << QString() << "15" << false << false << 10LL << "unchanged" << amber;
}

void TestUiController::videoTimecode()
{
    QFETCH(QString, startTimecode);
    QFETCH(QString, rate);
    QFETCH(bool, dropFrame);
    QFETCH(bool, hasTimecode);
    QFETCH(qlonglong, frame);
    QFETCH(QString, text);
    QFETCH(QString, style);

    Fixture f;
    const std::string start = startTimecode.isEmpty() ? "00:00:00:00" : startTimecode.toStdString();
    f.timecode = Timecode::create(rate.toStdString(), dropFrame, start);
    QCOMPARE(f.timecode.has_value(), hasTimecode);
    f.offset = f.timecode ? int64_t(f.timecode->frames()) : 0;
    f.timecodeLabel.setText("unchanged");
    f.open(videoMap(1000, startTimecode));
    f.controller->updateTimecode(frame);
    QCOMPARE(f.timecodeLabel.text(), text);
    QCOMPARE(f.timecodeLabel.styleSheet(), style);
}

void TestUiController::seekBarMovesWithoutSeeking()
{
    Fixture f;
    f.open(videoMap(1000));
    QSignalSpy moved(&f.seekBar, &QSlider::valueChanged);
    f.controller->updateTimecode(123);
    QCOMPARE(f.seekBar.value(), 123);
    QCOMPARE(moved.count(), 0);
    QVERIFY(!f.seekBar.signalsBlocked()); // the previous blocking state comes back

    f.seekBar.blockSignals(true);
    f.controller->updateTimecode(124);
    QCOMPARE(f.seekBar.value(), 124);
    QVERIFY(f.seekBar.signalsBlocked());
    f.seekBar.blockSignals(false);

    // A frame number beyond int range pins the bar at its end instead of wrapping.
    f.controller->updateTimecode(int64_t(1) << 32);
    QCOMPARE(f.seekBar.value(), f.seekBar.maximum());
}

void TestUiController::timecodeEntryOwnsTheLabel()
{
    Fixture f;
    f.timecode = Timecode::create("25", false, "00:00:00:00");
    f.open(videoMap(1000)); // no start timecode: amber
    f.state.setCurrentFrameNumber(75);
    f.controller->updateTimecode(75);
    QCOMPARE(f.timecodeLabel.text(), QStringLiteral("00:00:03:00"));
    QCOMPARE(f.timecodeLabel.styleSheet(), QString(UiController::amberStyle));

    f.state.setGotoMode(true);
    QCOMPARE(f.timecodeLabel.text(), QString());
    QCOMPARE(f.timecodeLabel.styleSheet(), QString(UiController::whiteStyle));

    f.timecodeLabel.setText("0012"); // typed digits
    f.state.setCurrentFrameNumber(100);
    f.controller->updateTimecode(100);
    QCOMPARE(f.seekBar.value(), 100);
    QCOMPARE(f.timecodeLabel.text(), QStringLiteral("0012"));
    // A page change during entry must not turn the typed digits amber.
    f.state.setCurrentMode(Scope);
    QCOMPARE(f.timecodeLabel.styleSheet(), QString(UiController::whiteStyle));
    QCOMPARE(f.timecodeLabel.text(), QStringLiteral("0012"));

    f.state.setGotoMode(false);
    QCOMPARE(f.timecodeLabel.text(), QStringLiteral("00:00:04:00"));
    QCOMPARE(f.timecodeLabel.styleSheet(), QString(UiController::amberStyle));
}

void TestUiController::helpPage_data()
{
    QTest::addColumn<QVariantMap>("properties");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("pageAfterClose");

    QTest::newRow("scope") << videoMap(100) << int(Scope) << 3;
    QTest::newRow("viewer") << videoMap(100) << int(Viewer) << 1;
    QTest::newRow("still image") << videoMap(1) << int(Viewer) << 1;
    QTest::newRow("no media") << QVariantMap() << int(Scope) << 0;
}

void TestUiController::helpPage()
{
    QFETCH(QVariantMap, properties);
    QFETCH(int, mode);
    QFETCH(int, pageAfterClose);

    Fixture f;
    f.open(properties);
    f.state.setCurrentMode(AppMode(mode));
    f.state.setHelpVisible(true);
    QCOMPARE(f.stack.currentIndex(), 2);
    f.state.setHelpVisible(false);
    QCOMPARE(f.stack.currentIndex(), pageAfterClose);
}

QTEST_MAIN(TestUiController)
#include "tst_uicontroller.moc"
