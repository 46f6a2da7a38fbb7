// Opening another file after isolating a channel: the channel goes back to colour and so
// does the engine's conversion. The second file is planar 4:2:2 with colour changing every
// few pixels, where the isolation profile's luma-guided converter and the colour profile's
// conversion give different pixels, so the picture shows which profile made it.

#include "core/imagehelpers.h"
#include "state/applicationstate.h"
#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QElapsedTimer>
#include <QStackedWidget>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>
#include <QtTest>

#include <memory>

namespace {

struct Window {
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    QVideoSink *sink() const
    {
        auto *video = qobject_cast<QVideoWidget *>(window->findChild<QStackedWidget *>()->widget(1));
        return video ? video->videoSink() : nullptr;
    }

    // The next picture the viewer shows after 'action'; null when none arrives in time.
    QImage nextPicture(const std::function<void()> &action) const
    {
        QVideoFrame shown;
        auto connection = QObject::connect(sink(), &QVideoSink::videoFrameChanged, sink(),
                                           [&](const QVideoFrame &frame) { shown = frame; });
        action();
        QElapsedTimer timer;
        timer.start();
        while (!shown.isValid() && timer.elapsed() < 20000)
            QTest::qWait(20);
        QObject::disconnect(connection);
        return imageFromVideoFrame(shown).convertToFormat(QImage::Format_ARGB32);
    }
    void open(const QString &path) const { window->openMediaFile(path); }
};

} // namespace

class TestOpenResetsProfile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void openingAnotherFileResetsTheConversion_data()
    {
        QTest::addColumn<int>("isolateKey");
        QTest::newRow("red") << int(Qt::Key_R);
        QTest::newRow("luma") << int(Qt::Key_Y);
    }

    void openingAnotherFileResetsTheConversion()
    {
        QFETCH(int, isolateKey);
        Window w;
        w.window->show();
        const QString first = testsupport::mediaPath(QStringLiteral("h264.mkv"));
        const QString second = testsupport::mediaPath(QStringLiteral("yuv422p10_pattern.mov"));

        QVERIFY(!w.nextPicture([&] { w.open(first); }).isNull());
        QTRY_COMPARE_WITH_TIMEOUT(w.state()->currentFrameNumber(), int64_t(0), 20000);
        // Isolation switches the engine to its isolation profile; the viewer shows grey.
        const QImage isolated = w.nextPicture([&] { QTest::keyClick(w.window.get(), Qt::Key(isolateKey)); });
        QVERIFY(!isolated.isNull());
        QVERIFY(w.state()->displayChannel() != Color);

        const QImage opened = w.nextPicture([&] { w.open(second); });
        QCOMPARE(w.state()->displayChannel(), Color);
        QVERIFY(!opened.isNull());
        QTRY_COMPARE_WITH_TIMEOUT(w.state()->currentFrameNumber(), int64_t(0), 20000);

        // Colour chosen again by hand: the colour profile's picture of the same frame.
        const QImage colour = w.nextPicture([&] { QTest::keyClick(w.window.get(), Qt::Key_C); });
        QCOMPARE(opened, colour);

        // The two profiles do differ on this file: its red channel under isolation is not the
        // red of the colour picture.
        const QImage red = w.nextPicture([&] { QTest::keyClick(w.window.get(), Qt::Key_R); });
        QCOMPARE(red.size(), colour.size());
        QVERIFY(red != isolateChannel(colour, Red).convertToFormat(QImage::Format_ARGB32));
    }
};

QTEST_MAIN(TestOpenResetsProfile)
#include "tst_openresetsprofile.moc"
