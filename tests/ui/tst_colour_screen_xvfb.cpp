// What reaches the screen: generated clips of eight bars of known R'G'B' shown in the real
// window on an X display, the screen read back at the centre of every bar. Whatever the
// Qt release draws the picture with, the bars must arrive within 2 code values. Two
// copies of the BT.709 clip re-tagged with the PQ and HLG transfers check that a transfer
// tag never changes the colours either.

#include "colourbars.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QVideoSink>
#include <QVideoWidget>
#include <QtTest>

#include <memory>

namespace {

constexpr int kWaitMs = 20000;
using namespace colourbars;

template <typename Condition>
bool waitFor(Condition condition, int timeoutMs = kWaitMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (condition())
            return true;
        QTest::qWait(20);
    }
    return condition();
}

} // namespace

class TestColourOnScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        testsupport::registerMetaTypes();
        QVERIFY(m_dir.isValid());
        // The same pictures, only the transfer tag of the stream rewritten.
        const QString source = testsupport::mediaPath(QStringLiteral("colour_bt709_hd420.mp4"));
        for (const auto &[name, transfer] : {std::pair{"pq.mp4", 16}, std::pair{"hlg.mp4", 18}}) {
            QProcess ffmpeg;
            ffmpeg.start(QStringLiteral("ffmpeg"),
                         {"-nostdin", "-v", "error", "-y", "-i", source, "-c", "copy", "-bsf:v",
                          QStringLiteral("h264_metadata=transfer_characteristics=%1").arg(transfer),
                          m_dir.filePath(QString::fromLatin1(name))});
            QVERIFY(ffmpeg.waitForFinished(60000));
            QVERIFY2(ffmpeg.exitCode() == 0, ffmpeg.readAllStandardError().constData());
        }
    }

    void barsOnScreen_data()
    {
        QTest::addColumn<QString>("clip");
        for (const Clip &clip : colourbars::clips())
            QTest::newRow(clip.row) << testsupport::mediaPath(QString::fromLatin1(clip.file));
        QTest::newRow("BT.709 tagged PQ") << m_dir.filePath("pq.mp4");
        QTest::newRow("BT.709 tagged HLG") << m_dir.filePath("hlg.mp4");
    }

    void barsOnScreen()
    {
        QFETCH(QString, clip);
        auto window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        auto *state = window->findChild<ApplicationState *>();
        auto *controller = window->findChild<PlaybackController *>();
        window->openMediaFile(clip);
        QVERIFY(waitFor([&] {
            return !state->mediaProperties().isEmpty() && !controller->isAwaitingFrame()
                && state->currentFrameNumber() == 0;
        }));
        auto *videoWidget = window->findChild<QVideoWidget *>();
        QVERIFY(videoWidget);
        QVERIFY(waitFor([&] { return videoWidget->videoSink()->videoFrame().isValid(); }));
        const QSize picture = videoWidget->videoSink()->videoFrame().size();

        // Bar centres on the screen: the picture is fitted, centred, into the video widget.
        const QSize widget = videoWidget->size();
        const double scale = std::min(double(widget.width()) / picture.width(), double(widget.height()) / picture.height());
        const QPointF origin = QPointF(videoWidget->mapToGlobal(QPoint(0, 0)))
                               + QPointF((widget.width() - scale * picture.width()) / 2,
                                         (widget.height() - scale * picture.height()) / 2);
        const auto onScreen = [&](int bar) {
            return QPoint(int(origin.x() + scale * picture.width() * (2 * bar + 1) / 16.0),
                          int(origin.y() + scale * picture.height() / 2.0));
        };

        // The window draws on its own schedule: wait until the red bar is on screen.
        QImage shot;
        const bool drawn = waitFor([&] {
            shot = window->screen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
            return qRed(shot.pixel(onScreen(0))) > 100;
        });
        QTest::qWait(200);
        shot = window->screen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
        const QString saved = QDir(QStringLiteral(ORVEL_BINARY_DIR))
                                  .filePath(QStringLiteral("colour_screen_%1.png").arg(QFileInfo(clip).completeBaseName()));
        shot.save(saved);
        QVERIFY2(drawn, qPrintable(QStringLiteral("no picture on screen (capture: %1)").arg(saved)));

        QStringList faults;
        for (int bar = 0; bar < 8; ++bar) {
            const QRgb p = shot.pixel(onScreen(bar));
            const QString fault = compareToBar(bar, qRed(p), qGreen(p), qBlue(p));
            if (!fault.isEmpty())
                faults << QStringLiteral("on screen: ") + fault;
        }
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n')) + QStringLiteral("\ncapture: ") + saved));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestColourOnScreen)
#include "tst_colour_screen_xvfb.moc"
