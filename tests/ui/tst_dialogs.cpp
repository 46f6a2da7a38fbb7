// The window's small dialogs offscreen: the about text, the safety-area set-up with the
// overlay it moves, and the pause/resume every dialog shares.

#include "av/ffmpeg.h"
#include "dialogsupport.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/aboutdialog.h"
#include "ui/audiodevicedialog.h"
#include "ui/audiometerwidget.h"
#include "ui/framepresenter.h"
#include "ui/mainwindow.h"
#include "ui/messagedialog.h"
#include "ui/safetyareadialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>
#include <QtTest>

#include <memory>

using dialogsupport::handleNextModalDialog;

namespace {

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    PlaybackController *controller() const { return window->findChild<PlaybackController *>(); }
    FramePresenter *presenter() const { return window->findChild<FramePresenter *>(); }
    QVideoSink *sink() const { return window->findChild<QVideoWidget *>()->videoSink(); }
    // The playback timer: the precise one running at the clip's frame interval.
    QTimer *playbackTimer(int intervalMs) const
    {
        for (QTimer *timer : window->findChildren<QTimer *>())
            if (timer->timerType() == Qt::PreciseTimer && timer->interval() == intervalMs)
                return timer;
        return nullptr;
    }

    bool open(const QString &path) const
    {
        window->openMediaFile(path);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 30000) {
            if (!state()->property("mediaProperties").toMap().isEmpty() && !controller()->isAwaitingFrame()
                && timer.elapsed() > 300)
                return true;
            QTest::qWait(20);
        }
        return false;
    }
};

QString labelTexts(const QWidget *widget)
{
    QString text;
    for (const QLabel *label : widget->findChildren<QLabel *>())
        text += label->text();
    return text;
}

// The grey of the pixel the sink shows at (x, y), or -1 when it is not grey.
int greyAt(QVideoSink *sink, int x, int y)
{
    const QImage image = sink->videoFrame().toImage();
    if (image.isNull() || x >= image.width() || y >= image.height())
        return -1;
    const QColor c = image.pixelColor(x, y);
    return c.red() == c.green() && c.green() == c.blue() ? c.red() : -1;
}

int lineOffset(int length, int percent)
{
    return qRound((length - 1) * (100 - percent) / 200.0);
}

} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void aboutTextCarriesTheRuntimeVersions()
    {
        // Measured here independently of the dialog's own helper.
        const QString ffmpeg = QString::fromUtf8(av_version_info());
        const QString qt = QString::fromLatin1(qVersion());
        AboutDialog dialog(QIcon(), QStringLiteral("9.8.7"));
        const QString text = labelTexts(&dialog);
        QVERIFY(text.contains(QStringLiteral("<p style='margin-top:5px;'>バージョン 9.8.7</p>")));
        QVERIFY(text.contains(QStringLiteral("<b>Qt バージョン:</b> %1<br>").arg(qt)));
        QVERIFY(text.contains(QStringLiteral("<b>FFmpeg バージョン:</b> %1<br>").arg(ffmpeg)));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        const QList<QPushButton *> buttons = dialog.findChildren<QPushButton *>();
        QCOMPARE(buttons.size(), 1);
        QVERIFY(!buttons[0]->isDefault());
        QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    }

    void messageLinesBecomeParagraphs()
    {
        MessageDialog dialog(QIcon(), QStringLiteral("Error"), QStringLiteral("Failed to open file.\nNo video"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Error"));
        QCOMPARE(dialog.minimumSize(), QSize(450, 180));
        QCOMPARE(dialog.maximumSize(), QSize(450, 180));
        QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("MessageText"))->text(),
                 QStringLiteral("<p style='margin: 0;'>Failed to open file.</p>"
                                "<p style='margin: 0; margin-top: 10px;'>No video</p>"));
    }

    void safetySlidersLinkWithAlt_data()
    {
        QTest::addColumn<bool>("alt");
        QTest::addColumn<int>("moved"); // 0 = H, 1 = V
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("H alone") << false << 0 << QList<int>{40, 90, 60};
        QTest::newRow("V alone") << false << 1 << QList<int>{80, 40, 60};
        QTest::newRow("H with Alt") << true << 0 << QList<int>{40, 40, 60};
        QTest::newRow("V with Alt") << true << 1 << QList<int>{40, 40, 60};
    }

    void safetySlidersLinkWithAlt()
    {
        QFETCH(bool, alt);
        QFETCH(int, moved);
        QFETCH(QList<int>, expected);
        Qt::KeyboardModifiers held = alt ? Qt::AltModifier : Qt::NoModifier;
        SafetyAreaDialog dialog(viewerpath::SafetyArea{80, 90, 60}, nullptr, [&held] { return held; });
        QSignalSpy changed(&dialog, &SafetyAreaDialog::areaChanged);
        dialog.slider(moved)->setValue(40);
        QVERIFY(!changed.isEmpty());
        const QList<QVariant> last = changed.last();
        QCOMPARE((QList<int>{last[0].toInt(), last[1].toInt(), last[2].toInt()}), expected);
        // Alt let go: the other slider stays where it is.
        held = Qt::NoModifier;
        dialog.slider(moved)->setValue(50);
        QCOMPARE(dialog.slider(1 - moved)->value(), expected[1 - moved]);
    }

    void safetyDialogMovesTheOverlayAndClamps_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("shown");
        QTest::newRow("H below the range") << 0 << 1 << 2;
        QTest::newRow("H above the range") << 0 << 150 << 100;
        QTest::newRow("H inside") << 0 << 50 << 50;
        QTest::newRow("V below the range") << 1 << -4 << 2;
        QTest::newRow("V above the range") << 1 << 101 << 100;
        QTest::newRow("V inside") << 1 << 70 << 70;
        QTest::newRow("L below the range") << 2 << -1 << 0;
        QTest::newRow("L above the range") << 2 << 300 << 100;
    }

    void safetyDialogMovesTheOverlayAndClamps()
    {
        QFETCH(int, row);
        QFETCH(int, value);
        QFETCH(int, shown);
        Window w;
        QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("demo_bars_25p.mov"))));
        w.presenter()->setLissajousEnabled(true);
        bool seen = false;
        handleNextModalDialog(
            [&](QDialog *dialog) {
                auto *safety = qobject_cast<SafetyAreaDialog *>(dialog);
                QVERIFY(safety);
                // Shown at once, instead of the figure.
                QVERIFY(w.presenter()->safetyAreaShown());
                QVERIFY(!w.presenter()->lissajousEnabled());
                // A distinctive grey, then the slider under test.
                if (row != 2)
                    safety->slider(2)->setValue(37);
                safety->slider(row)->setValue(value);
                const viewerpath::SafetyArea area = w.presenter()->safetyArea();
                QCOMPARE(row == 0 ? area.h : row == 1 ? area.v : area.l, shown);
                const int grey = qRound(area.l * 255 / 100.0);
                const QSize size = w.sink()->videoFrame().size();
                // The re-rendered picture carries the lines where the values put them.
                const int x = lineOffset(size.width(), area.h);
                const int y = lineOffset(size.height(), area.v);
                QTRY_COMPARE_WITH_TIMEOUT(greyAt(w.sink(), x, size.height() / 2 + 1), grey, 5000);
                QTRY_COMPARE_WITH_TIMEOUT(greyAt(w.sink(), size.width() / 2 + 1, y), grey, 5000);
            },
            &seen);
        QTest::keyClick(w.window.get(), Qt::Key_E, Qt::ControlModifier);
        QVERIFY(seen);
        // The area stays on with the last values.
        QVERIFY(w.presenter()->safetyAreaEnabled());
    }

    void setSafetyAreaClamps_data()
    {
        QTest::addColumn<QList<int>>("in");
        QTest::addColumn<QList<int>>("out");
        QTest::newRow("lowest") << QList<int>{2, 2, 0} << QList<int>{2, 2, 0};
        QTest::newRow("under") << QList<int>{1, -5, -1} << QList<int>{2, 2, 0};
        QTest::newRow("three stays") << QList<int>{3, 3, 50} << QList<int>{3, 3, 50};
        QTest::newRow("over") << QList<int>{101, 500, 101} << QList<int>{100, 100, 100};
    }

    void setSafetyAreaClamps()
    {
        QFETCH(QList<int>, in);
        QFETCH(QList<int>, out);
        Window w;
        w.window->setSafetyArea(in[0], in[1], in[2]);
        const viewerpath::SafetyArea area = w.presenter()->safetyArea();
        QCOMPARE((QList<int>{area.h, area.v, area.l}), out);
    }

    // Every dialog stops playback and the timer; afterwards the timer runs again only if
    // it ran before, and playback stays stopped.
    void dialogsPauseAndResume_data()
    {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<bool>("playing");
        QTest::addColumn<bool>("timerRunning");
        for (const char *name : {"about", "safety", "device"}) {
            QTest::addRow("%s while playing", name) << QString::fromLatin1(name) << true << true;
            QTest::addRow("%s while stopped", name) << QString::fromLatin1(name) << false << true;
            QTest::addRow("%s without timer", name) << QString::fromLatin1(name) << false << false;
        }
    }

    void dialogsPauseAndResume()
    {
        QFETCH(QString, dialog);
        QFETCH(bool, playing);
        QFETCH(bool, timerRunning);
        Window w;
        QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("demo_bars_25p.mov"))));
        QTimer *timer = w.playbackTimer(40);
        QVERIFY(timer);
        QVERIFY(timer->isActive());
        if (!timerRunning)
            timer->stop();
        if (playing) {
            w.controller()->setPlaybackState(Forward);
            QTRY_VERIFY_WITH_TIMEOUT(w.state()->currentFrameNumber() > 5, 10000);
        }

        bool seen = false;
        bool pausedDuringDialog = false;
        handleNextModalDialog(
            [&](QDialog *) {
                pausedDuringDialog = !timer->isActive() && w.state()->playState() == Stopped;
            },
            &seen);
        if (dialog == QLatin1String("about"))
            w.window->findChild<QPushButton *>(QStringLiteral("HelpButton"))->click();
        else if (dialog == QLatin1String("safety"))
            QTest::keyClick(w.window.get(), Qt::Key_E, Qt::ControlModifier);
        else
            QTest::mouseDClick(w.window->findChild<AudioMeterWidget *>(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(seen, 20000);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QVERIFY(pausedDuringDialog);
        QCOMPARE(timer->isActive(), timerRunning);
        const int64_t frame = w.state()->currentFrameNumber();
        QTest::qWait(300);
        QCOMPARE(w.state()->playState(), Stopped);
        QCOMPARE(w.state()->currentFrameNumber(), frame);
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
