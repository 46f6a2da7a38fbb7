// The exposure of float pictures: half stops per key and per wheel notch (fractions carried),
// kept within the transform's range, reset by its key and by a new file, refused for media
// without float samples, the stopped picture shown again after a change, and the value in
// the information area.

#include "state/applicationstate.h"
#include "ui/exposurecontrol.h"
#include "ui/uicontroller.h"
#include "core/colour.h"

#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QSlider>
#include <QStackedWidget>
#include <QtTest>

#include <memory>
#include <optional>

namespace {

MediaInfo pictures(bool sceneLinear)
{
    MediaInfo info;
    info.filePath = QStringLiteral("/clips/ramp.0001.exr");
    info.width = 256;
    info.height = 16;
    info.fps = 24.0;
    info.totalFrames = 6;
    info.codecDisplayName = QStringLiteral("EXR");
    info.colorSpaceInfo = QStringLiteral("---");
    info.sceneLinear = sceneLinear;
    return info;
}

struct Fixture {
    ApplicationState state;
    int shownAgain = 0;
    ExposureControl control{{&state, [] { return nullptr; }, [this] { ++shownAgain; }}};
};

} // namespace

class TestExposureControl : public QObject
{
    Q_OBJECT

private slots:
    void onlyFloatPicturesTakeIt();
    void halfStopsByKeyAndWheel();
    void resetAndNewFile();
    void shownInTheInformationArea();
};

void TestExposureControl::onlyFloatPicturesTakeIt()
{
    Fixture f;
    f.state.setMediaInfo(pictures(false));
    QVERIFY(!f.control.step(1));
    QVERIFY(!f.control.turnWheel(240));
    QVERIFY(!f.control.reset());
    QCOMPARE(f.state.exposureStops(), 0.0);
    QCOMPARE(f.shownAgain, 0);
}

void TestExposureControl::halfStopsByKeyAndWheel()
{
    Fixture f;
    f.state.setMediaInfo(pictures(true));
    QSignalSpy changed(&f.state, &ApplicationState::exposureChanged);
    QVERIFY(f.control.step(1));
    QCOMPARE(f.state.exposureStops(), 0.5);
    QCOMPARE(f.shownAgain, 1);
    f.control.step(-1);
    f.control.step(-1);
    f.control.step(-1);
    QCOMPARE(f.state.exposureStops(), -1.0);
    // Half a notch does nothing yet; the second half makes one step.
    QVERIFY(f.control.turnWheel(60));
    QCOMPARE(f.state.exposureStops(), -1.0);
    f.control.turnWheel(60);
    QCOMPARE(f.state.exposureStops(), -0.5);
    f.control.turnWheel(-360);
    QCOMPARE(f.state.exposureStops(), -2.0);
    QCOMPARE(changed.size(), 6);
    QCOMPARE(changed.last().at(0).toDouble(), -2.0);
    // Kept within the transform's range; at the limit nothing changes or is shown again.
    for (int i = 0; i < 100; ++i)
        f.control.step(1);
    QCOMPARE(f.state.exposureStops(), colour::kMaxExposureStops);
    const int shown = f.shownAgain;
    f.control.step(1);
    QCOMPARE(f.shownAgain, shown);
    // While playing the next picture shows it: no extra request.
    f.state.setPlayState(Forward);
    f.control.step(-1);
    QCOMPARE(f.state.exposureStops(), colour::kMaxExposureStops - 0.5);
    QCOMPARE(f.shownAgain, shown);
}

void TestExposureControl::resetAndNewFile()
{
    Fixture f;
    f.state.setMediaInfo(pictures(true));
    f.control.step(3);
    QVERIFY(f.control.reset());
    QCOMPARE(f.state.exposureStops(), 0.0);
    QCOMPARE(f.shownAgain, 2);
    // Already at 0: nothing to show again.
    f.control.reset();
    QCOMPARE(f.shownAgain, 2);
    // A new file starts at 0, without the last file's half-turned notch.
    f.control.step(2);
    f.control.turnWheel(100);
    f.control.fileOpened();
    QCOMPARE(f.state.exposureStops(), 0.0);
    f.control.turnWheel(100);
    QCOMPARE(f.state.exposureStops(), 0.0);
}

void TestExposureControl::shownInTheInformationArea()
{
    ApplicationState state;
    QLabel metadata, timecodeLabel;
    QSlider seekBar;
    QStackedWidget stack;
    for (int i = 0; i < 4; ++i)
        stack.addWidget(new QWidget);
    auto *opacity = new QGraphicsOpacityEffect;
    seekBar.setGraphicsEffect(opacity);
    std::optional<Timecode> timecode;
    int64_t offset = 0;
    UiController ui(&state, &metadata, &timecodeLabel, &seekBar, &stack, opacity, &timecode, &offset);
    ExposureControl control({&state, [] { return nullptr; }, [] {}});
    QObject::connect(&state, &ApplicationState::exposureChanged, &ui, &UiController::updateMetadata);

    state.setMediaInfo(pictures(true));
    ui.updateMetadata();
    QVERIFY2(metadata.text().endsWith(QStringLiteral("\nexposure 0.0 stops")), qPrintable(metadata.text()));
    control.step(3);
    QVERIFY2(metadata.text().endsWith(QStringLiteral("\nexposure +1.5 stops")), qPrintable(metadata.text()));
    control.step(-5);
    QVERIFY2(metadata.text().endsWith(QStringLiteral("\nexposure -1.0 stops")), qPrintable(metadata.text()));
    // Other pictures have no exposure line.
    state.setMediaInfo(pictures(false));
    ui.updateMetadata();
    QVERIFY2(!metadata.text().contains(QStringLiteral("exposure")), qPrintable(metadata.text()));
}

QTEST_MAIN(TestExposureControl)
#include "tst_exposurecontrol.moc"
