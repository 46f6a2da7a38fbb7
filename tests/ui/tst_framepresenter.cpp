// The viewer's frame presenter: frames that need nothing pass untouched to the sink,
// channel isolation and rotation reach it, and the safety-area set-up is clamped.

#include "core/compat.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "state/viewerpath.h"
#include "ui/framepresenter.h"

#include <QImage>
#include <QVideoSink>
#include <QtTest>

#include <cmath>

namespace {

int redAt(const QImage &image, int x, int y)
{
    return qRed(image.pixel(x, y));
}

} // namespace

class TestFramePresenter : public QObject
{
    Q_OBJECT

private slots:
    void picturePath();
    void safetyParametersAreClamped();
};

void TestFramePresenter::picturePath()
{
    ApplicationState state;
    state.setMediaProperties({{"totalFrames", qlonglong(10)}, {"fps", 25.0}, {"isAudioOnly", false},
                              {"audioChannelCount", 0}});
    QVideoSink sink;
    PlaybackController controller(&state, nullptr, nullptr);
    FramePresenter presenter(&state, &sink, nullptr);
    QObject::connect(&controller, &PlaybackController::pictureReady, &presenter, &FramePresenter::present);

    QImage picture(320, 180, QImage::Format_ARGB32);
    picture.fill(QColor(10, 120, 230));
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
            picture.setPixelColor(x, y, QColor(250, 0, 0)); // red marker, top left
    const QVideoFrame frame = compat::videoFrameFromImage(picture);

    // Nothing to do: the very frame object goes on.
    controller.onFrameReady(frame, 3, {}, {}, {}, controller.requestId());
    QCOMPARE(sink.videoFrame(), frame);
    QCOMPARE(state.currentFrameNumber(), int64_t(3));

    // Green channel, turned a quarter clockwise: the marker moves to the top right.
    state.setDisplayChannel(Green);
    state.setViewerRotationDegrees(90);
    controller.onFrameReady(frame, 4, {}, {}, {}, controller.requestId());
    const QImage shown = sink.videoFrame().toImage();
    QCOMPARE(shown.size(), QSize(320, 180));
    // Content 101 x 180 centred (left 109); grey levels are the green byte.
    QVERIFY(std::abs(redAt(shown, 160, 90) - 120) <= 2);
    QVERIFY(redAt(shown, 109 + 100 - 5, 5) <= 2);   // marker: green 0
    QVERIFY(std::abs(redAt(shown, 109 + 5, 5) - 120) <= 2);
    QCOMPARE(redAt(shown, 50, 90), 0);               // black canvas beside the content
}

void TestFramePresenter::safetyParametersAreClamped()
{
    const struct { int in[3]; int out[3]; } rows[] = {
        {{0, 150, 120}, {2, 100, 100}}, {{3, 2, -5}, {3, 2, 0}}, {{95, 95, 75}, {95, 95, 75}}};
    ApplicationState state;
    FramePresenter presenter(&state, nullptr, nullptr);
    for (const auto &r : rows) {
        presenter.setSafetyArea(viewerpath::SafetyArea::clamped(r.in[0], r.in[1], r.in[2]));
        QCOMPARE(presenter.safetyArea().h, r.out[0]);
        QCOMPARE(presenter.safetyArea().v, r.out[1]);
        QCOMPARE(presenter.safetyArea().l, r.out[2]);
    }
}

QTEST_MAIN(TestFramePresenter)
#include "tst_framepresenter.moc"
