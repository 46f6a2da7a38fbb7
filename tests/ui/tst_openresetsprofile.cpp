// Opening another file after isolating a channel: the channel goes back to colour and so
// does the engine's conversion, so the new file's pictures reach the viewer as the
// decoder's own planes instead of through a full BGRA conversion.

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

    // Pixel format of the next picture the viewer shows after 'action'; Format_Invalid
    // when none arrives in time.
    QVideoFrameFormat::PixelFormat nextPicture(const std::function<void()> &action) const
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
        return shown.isValid() ? shown.pixelFormat() : QVideoFrameFormat::Format_Invalid;
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
        const QString second = testsupport::mediaPath(QStringLiteral("untagged.mp4"));

        QCOMPARE(w.nextPicture([&] { w.open(first); }), QVideoFrameFormat::Format_YUV420P);
        QTRY_COMPARE_WITH_TIMEOUT(w.state()->currentFrameNumber(), int64_t(0), 20000);

        // Isolation converts to BGRA in the engine; the viewer shows the isolated picture.
        QVERIFY(w.nextPicture([&] { QTest::keyClick(w.window.get(), Qt::Key(isolateKey)); })
                != QVideoFrameFormat::Format_Invalid);
        QVERIFY(w.state()->displayChannel() != Color);

        const QVideoFrameFormat::PixelFormat shown = w.nextPicture([&] { w.open(second); });
        QCOMPARE(w.state()->displayChannel(), Color);
        QCOMPARE(shown, QVideoFrameFormat::Format_YUV420P);
    }
};

QTEST_MAIN(TestOpenResetsProfile)
#include "tst_openresetsprofile.moc"
