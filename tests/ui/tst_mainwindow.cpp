#include "av/ffmpegversion.h"
#include "ui/audiometerwidget.h"
#include "state/applicationstate.h"
#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStackedWidget>
#include <QThread>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

namespace {

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    template<typename T>
    T *find(const QString &name = QString()) const
    {
        return window->findChild<T *>(name);
    }
    ApplicationState *state() const { return find<ApplicationState>(); }
    QStackedWidget *stack() const { return find<QStackedWidget>(); }
    QLabel *pathLabel() const { return find<QLabel>(QStringLiteral("PathLabel")); }
    QSlider *seekBar() const { return find<QSlider>(QStringLiteral("SeekBar")); }
    QLabel *dropHint() const { return qobject_cast<QLabel *>(stack()->widget(0)); }
    QLabel *timecodeLabel() const
    {
        for (QLabel *label : window->findChildren<QLabel *>())
            if (label->font().pointSize() == 30)
                return label;
        return nullptr;
    }
    QList<QComboBox *> combos() const { return window->findChildren<QComboBox *>(); }

    // Opens and waits for the engine's answer to be installed.
    bool open(const QString &path, int timeoutMs = 20000) const
    {
        QSignalSpy changed(state(), &ApplicationState::mediaPropertiesChanged);
        window->openMediaFile(path);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            if (!state()->property("mediaProperties").toMap().isEmpty())
                return true;
            QTest::qWait(20);
        }
        return false;
    }
};

QStringList itemTexts(const QComboBox *combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

// Runs 'inspect' on the next modal dialog and closes it; the dialog blocks the caller.
void handleNextModalDialog(const std::function<void(QDialog *)> &inspect, bool *seen)
{
    auto *poll = new QTimer;
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, inspect, seen] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->stop();
        poll->deleteLater();
        *seen = true;
        inspect(dialog);
        dialog->accept();
    });
    poll->start();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void widgetTree_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QSize>("fixedSize");
        QTest::newRow("viewer stack") << "stack" << QSize(1280, 720);
        QTest::newRow("help button") << "HelpButton" << QSize(30, 30);
        QTest::newRow("audio meter") << "meter" << QSize(280, 44);
        QTest::newRow("left combo") << "combo0" << QSize(50, 24);
        QTest::newRow("right combo") << "combo1" << QSize(50, 24);
    }

    void widgetTree()
    {
        QFETCH(QString, what);
        QFETCH(QSize, fixedSize);
        Window w;
        QWidget *widget = nullptr;
        if (what == QLatin1String("stack"))
            widget = w.stack();
        else if (what == QLatin1String("meter"))
            widget = w.find<AudioMeterWidget>();
        else if (what.startsWith(QLatin1String("combo")))
            widget = w.combos().value(what.back().digitValue());
        else
            widget = w.find<QWidget>(what);
        QVERIFY(widget);
        QCOMPARE(widget->minimumSize(), fixedSize);
        QCOMPARE(widget->maximumSize(), fixedSize);
        QCOMPARE(w.combos().size(), 2);
    }

    void initialState()
    {
        Window w;
        QCOMPARE(w.window->windowTitle(), QStringLiteral("Orvel"));
        QCOMPARE(w.window->minimumSize(), QSize(1380, 920));
        QCOMPARE(w.window->maximumSize(), QSize(1380, 920));
        QVERIFY(w.window->acceptDrops());

        QCOMPARE(w.stack()->count(), 4);
        QCOMPARE(w.stack()->currentIndex(), 0);
        QVERIFY(w.dropHint()->text().contains(QLatin1String("Drag and drop media here.<br>To display help, press Ctrl+/.")));
        QVERIFY(qobject_cast<QVideoWidget *>(w.stack()->widget(1)));

        QVERIFY(!w.pathLabel()->text().size());
        QCOMPARE(w.pathLabel()->property("hasPath"), QVariant(false));
        QCOMPARE(w.pathLabel()->font().family(), QStringLiteral("Courier New"));
        QCOMPARE(w.pathLabel()->font().pointSize(), 12);

        QVERIFY(!w.seekBar()->isEnabled());
        QCOMPARE(w.seekBar()->focusPolicy(), Qt::NoFocus);
        QCOMPARE(w.seekBar()->maximum(), 1000);
        auto *opacity = qobject_cast<QGraphicsOpacityEffect *>(w.seekBar()->graphicsEffect());
        QVERIFY(opacity);
        QCOMPARE(opacity->opacity(), 0.3);

        for (QComboBox *combo : w.combos()) {
            QVERIFY(combo->isHidden());
            QCOMPARE(combo->focusPolicy(), Qt::NoFocus);
        }
        QVERIFY(w.timecodeLabel());
        QCOMPARE(w.timecodeLabel()->text(), QString());
        QCOMPARE(w.find<QPushButton>(QStringLiteral("HelpButton"))->focusPolicy(), Qt::NoFocus);
    }

    void helpPageFollowsTheResource()
    {
        Window w;
        auto *help = qobject_cast<QLabel *>(w.stack()->widget(2));
        QVERIFY(help);
        const QPixmap source(QStringLiteral(":/Help_Win.png"));
        if (source.isNull()) {
            QVERIFY(help->pixmap().isNull());
        } else {
            const QSize expected = source.size().scaled(1280, 720, Qt::KeepAspectRatio);
            QCOMPARE(help->pixmap().size(), expected);
        }
    }

    void openShowsLoadingAtOnce()
    {
        Window w;
        w.window->openMediaFile(testsupport::mediaPath(QStringLiteral("h264.mkv")));
        QCOMPARE(w.dropHint()->text(), QStringLiteral("Loading..."));
        QCOMPARE(w.stack()->currentIndex(), 0);
        QVERIFY(w.state()->property("mediaProperties").toMap().isEmpty());
    }

    void openedFile_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("timecode");
        QTest::addColumn<int>("seekMaximum");
        QTest::addColumn<QStringList>("routingItems");
        QTest::addColumn<int>("leftIndex");
        QTest::addColumn<int>("rightIndex");
        const QStringList four = {"M", "ch1", "ch2", "ch3", "ch4"};
        QTest::newRow("25p, start 01:00:00:00, two stereo streams")
            << "h264_1080p25.mov" << "01:00:00:00" << 99 << four << 1 << 2;
        QTest::newRow("29.97 drop-frame start")
            << "h264_2997df.mov" << "01:00:00;00" << -1 << QStringList() << -1 << -1;
        QTest::newRow("mono routes channel 1 to both sides")
            << "mono.mov" << "" << -1 << QStringList{"M", "ch1"} << 1 << 1;
        QTest::newRow("twelve channels offer eight")
            << "twelve_ch.mov" << "" << -1
            << QStringList{"M", "ch1", "ch2", "ch3", "ch4", "ch5", "ch6", "ch7", "ch8"} << 1 << 2;
        QTest::newRow("no start timecode counts from zero")
            << "h264.mkv" << "00:00:00:00" << -1 << QStringList() << -1 << -1;
        QTest::newRow("stereo webm")
            << "vp9.webm" << "00:00:00:00" << -1 << QStringList{"M", "ch1", "ch2"} << 1 << 2;
    }

    void openedFile()
    {
        QFETCH(QString, clip);
        QFETCH(QString, timecode);
        QFETCH(int, seekMaximum);
        QFETCH(QStringList, routingItems);
        QFETCH(int, leftIndex);
        QFETCH(int, rightIndex);
        Window w;
        const QString path = testsupport::mediaPath(clip);
        QVERIFY(w.open(path));
        QCOMPARE(w.pathLabel()->text(), path);
        QCOMPARE(w.pathLabel()->property("hasPath"), QVariant(true));
        QCOMPARE(w.state()->currentMode(), Viewer);
        QCOMPARE(w.state()->displayChannel(), Color);

        const qint64 totalFrames = w.state()->totalFrames();
        QVERIFY(totalFrames > 1);
        QCOMPARE(w.seekBar()->minimum(), 0);
        QCOMPARE(qint64(w.seekBar()->maximum()), totalFrames - 1);
        if (seekMaximum >= 0)
            QCOMPARE(w.seekBar()->maximum(), seekMaximum);
        QVERIFY(w.seekBar()->isEnabled());

        if (!timecode.isEmpty())
            QCOMPARE(w.timecodeLabel()->text(), timecode);

        if (!routingItems.isEmpty()) {
            const QList<QComboBox *> combos = w.combos();
            for (QComboBox *combo : combos) {
                QVERIFY(!combo->isHidden());
                QCOMPARE(itemTexts(combo), routingItems);
            }
            QCOMPARE(combos[0]->currentIndex(), leftIndex);
            QCOMPARE(combos[1]->currentIndex(), rightIndex);
            QVERIFY(!w.find<AudioMeterWidget>()->isHidden());
        }
    }

    void firstPictureArrives()
    {
        Window w;
        QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("h264_1080p25.mov"))));
        auto *video = qobject_cast<QVideoWidget *>(w.stack()->widget(1));
        QVERIFY(video);
        QTRY_VERIFY_WITH_TIMEOUT(video->videoSink()->videoFrame().isValid(), 20000);
        QCOMPARE(w.stack()->currentIndex(), 1);
        QCOMPARE(w.state()->currentFrameNumber(), 0);
        QCOMPARE(w.timecodeLabel()->text(), QStringLiteral("01:00:00:00"));
    }

    void seekBarClick_data()
    {
        QTest::addColumn<double>("fraction");
        QTest::addColumn<qint64>("frame");
        QTest::addColumn<QString>("timecode");
        // h264_1080p25.mov: 100 frames from 01:00:00:00 at 25 fps.
        QTest::newRow("far right is the last frame") << 1.0 << qint64(99) << "01:00:03:24";
        QTest::newRow("middle") << 0.5 << qint64(50) << "01:00:02:00";
        QTest::newRow("far left is frame 0") << 0.0 << qint64(0) << "01:00:00:00";
    }

    void seekBarClick()
    {
        QFETCH(double, fraction);
        QFETCH(qint64, frame);
        QFETCH(QString, timecode);
        Window w;
        w.window->show(); // lays the seek bar out at its real width
        QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
        QVERIFY(w.seekBar()->width() > 1000);
        QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("h264_1080p25.mov"))));
        QTRY_VERIFY_WITH_TIMEOUT(w.seekBar()->isEnabled(), 20000);
        // Move away from the target first, so that arriving there is the click's doing.
        const qint64 start = frame == 0 ? 10 : 0;
        if (start != 0) {
            QTest::mouseClick(w.seekBar(), Qt::LeftButton, Qt::NoModifier,
                              QPoint(int(w.seekBar()->width() * 0.1), w.seekBar()->height() / 2));
            QTRY_COMPARE_WITH_TIMEOUT(w.state()->currentFrameNumber(), start, 20000);
        }
        const int x = std::min(int(w.seekBar()->width() * fraction), w.seekBar()->width() - 1);
        QTest::mouseClick(w.seekBar(), Qt::LeftButton, Qt::NoModifier, QPoint(x, w.seekBar()->height() / 2));
        QTRY_COMPARE_WITH_TIMEOUT(w.state()->currentFrameNumber(), frame, 20000);
        QCOMPARE(w.seekBar()->value(), int(frame));
        QTRY_COMPARE_WITH_TIMEOUT(w.timecodeLabel()->text(), timecode, 5000);
    }

    void seekBarIgnoresClicksWithoutMedia()
    {
        Window w;
        w.seekBar()->setEnabled(true); // even if it were enabled, the window keeps it inert
        QTest::mouseClick(w.seekBar(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(w.seekBar()->width() - 2, w.seekBar()->height() / 2));
        QCOMPARE(w.seekBar()->value(), 0);
        QCOMPARE(w.state()->currentFrameNumber(), 0);
    }

    void fileWithoutAudioHidesRouting()
    {
        Window w;
        QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("h264_1080p25.mov"))));
        QVERIFY(!w.combos()[0]->isHidden());
        // bgra.avi has no audio stream.
        QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("bgra.avi"))));
        QCOMPARE(w.state()->property("mediaProperties").toMap().value(QStringLiteral("audioChannelCount")).toInt(), 0);
        for (QComboBox *combo : w.combos())
            QVERIFY(combo->isHidden());
        QVERIFY(w.find<AudioMeterWidget>()->isHidden());
    }

    void failedOpenShowsTheErrorAndKeepsThePath()
    {
        Window w;
        const QString good = testsupport::mediaPath(QStringLiteral("h264.mkv"));
        QVERIFY(w.open(good));

        QTemporaryDir dir;
        const QString bad = dir.filePath(QStringLiteral("not a clip.mov"));
        QFile file(bad);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("this is not media");
        file.close();

        bool seen = false;
        QString title;
        QString text;
        QSize size;
        handleNextModalDialog(
            [&](QDialog *dialog) {
                title = dialog->windowTitle();
                size = dialog->size();
                for (QLabel *label : dialog->findChildren<QLabel *>())
                    text += label->text();
            },
            &seen);
        w.window->openMediaFile(bad);
        QTRY_COMPARE_WITH_TIMEOUT(w.dropHint()->text(), QStringLiteral("Failed to load file."), 20000);
        QVERIFY(seen);
        QCOMPARE(title, QStringLiteral("Error"));
        QCOMPARE(size, QSize(450, 180));
        QVERIFY2(text.contains(QLatin1String("<p style='margin: 0;'>Failed to open file.</p><p style='margin: 0; margin-top: 10px;'>")),
                 qPrintable(text));
        QVERIFY(w.state()->property("mediaProperties").toMap().isEmpty());
        QCOMPARE(w.stack()->currentIndex(), 0);
        // The path label is written only on success.
        QCOMPARE(w.pathLabel()->text(), good);
    }

    void dropOpensTheFirstUrl_data()
    {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("opened");
        const QString first = testsupport::mediaPath(QStringLiteral("vp9.webm"));
        const QString second = testsupport::mediaPath(QStringLiteral("h264.mkv"));
        QTest::newRow("two files") << QList<QUrl>{QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)} << true << first;
        QTest::newRow("no URLs") << QList<QUrl>{} << false << QString();
    }

    void dropOpensTheFirstUrl()
    {
        QFETCH(QList<QUrl>, urls);
        QFETCH(bool, accepted);
        QFETCH(QString, opened);
        Window w;
        QMimeData mime;
        if (urls.isEmpty())
            mime.setText(QStringLiteral("plain text"));
        else
            mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(600, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        QCoreApplication::sendEvent(w.window.get(), &enter);
        QCOMPARE(enter.isAccepted(), accepted);
        if (!accepted)
            return;
        QDropEvent drop(QPointF(600, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w.window.get(), &drop);
        QCOMPARE(w.dropHint()->text(), QStringLiteral("Loading..."));
        QTRY_COMPARE_WITH_TIMEOUT(w.pathLabel()->text(), opened, 20000);
    }

    void aboutDialog()
    {
        QCoreApplication::setApplicationVersion(QStringLiteral("3.4.4"));
        Window w;
        bool seen = false;
        QString text;
        bool hasOk = false;
        handleNextModalDialog(
            [&](QDialog *dialog) {
                for (QLabel *label : dialog->findChildren<QLabel *>())
                    text += label->text();
                for (QPushButton *button : dialog->findChildren<QPushButton *>())
                    hasOk = hasOk || (button->text() == QLatin1String("OK") && !button->isDefault());
                QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
            },
            &seen);
        w.find<QPushButton>(QStringLiteral("HelpButton"))->click();
        QVERIFY(seen);
        QVERIFY(hasOk);
        QVERIFY(text.contains(QStringLiteral("<h3 style='margin:0;'>Orvel - Media File Viewer</h3>")));
        QVERIFY(text.contains(QStringLiteral("<p style='margin-top:5px;'>バージョン 3.4.4</p>")));
        QVERIFY(text.contains(QStringLiteral("<b>Qt バージョン:</b> %1<br>").arg(QString::fromLatin1(qVersion()))));
        QVERIFY(text.contains(QStringLiteral("<b>FFmpeg バージョン:</b> %1<br>").arg(ffmpegVersion())));
    }

    // A read that waits for bytes that never come (a hung network share) must not keep
    // the window from closing: the interrupt ends it and the thread goes within 2 s.
    void closingWithAStuckReadEndsQuickly()
    {
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(server >= 0);
        QVERIFY(::bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(server, 4) == 0); // connections complete from the backlog; nothing is sent
        QVERIFY(::getsockname(server, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        const auto closeServer = qScopeGuard([server] { ::close(server); });

        auto w = std::make_unique<Window>();
        w->window->openMediaFile(QStringLiteral("tcp://127.0.0.1:%1").arg(ntohs(address.sin_port)));
        // The open file's engine thread.
        QPointer<QThread> engineThread = w->find<QThread>();
        QVERIFY(engineThread);
        QTest::qWait(500);
        QCOMPARE(w->dropHint()->text(), QStringLiteral("Loading..."));

        // Before the bound existed this never returned; fail instead of hanging the suite.
        std::atomic<bool> closed{false};
        std::thread watchdog([&closed] {
            for (int i = 0; i < 100 && !closed; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!closed) {
                std::fprintf(stderr, "FAIL: closing the window hung on the engine thread\n");
                std::_Exit(1);
            }
        });
        QElapsedTimer closing;
        closing.start();
        w.reset();
        closed = true;
        watchdog.join();
        QVERIFY2(closing.elapsed() < 2000, qPrintable(QString::number(closing.elapsed())));
        // Interrupted, not abandoned: the thread finished and went with the window.
        QVERIFY(engineThread.isNull());
    }

    // Work no interrupt reaches (a system call on a hung share) is left behind after the
    // bound instead of holding the window open; the thread cleans up once it ends.
    void closingLeavesAnUninterruptibleTaskBehind()
    {
        auto w = std::make_unique<Window>();
        QVERIFY(w->open(testsupport::mediaPath(QStringLiteral("h264.mkv"))));
        QPointer<QThread> engineThread = w->find<QThread>();
        QVERIFY(engineThread);
        QObject onEngineThread;
        onEngineThread.moveToThread(engineThread);
        std::atomic<bool> started{false};
        std::atomic<bool> done{false};
        QMetaObject::invokeMethod(&onEngineThread, [&] {
            started = true;
            QThread::msleep(3000);
            done = true;
        }, Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(started.load(), 20000);

        QElapsedTimer closing;
        closing.start();
        w.reset();
        QVERIFY2(closing.elapsed() < 2000, qPrintable(QString::number(closing.elapsed())));
        QVERIFY(!done.load());
        QVERIFY(engineThread);
        QVERIFY(!engineThread->parent());
        QTRY_VERIFY_WITH_TIMEOUT(engineThread.isNull(), 10000);
        QVERIFY(done.load());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
