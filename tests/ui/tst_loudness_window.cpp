// The loudness chord on a real window with a generated clip open: it measures the routed
// pair from the current frame to the end, agrees with ffmpeg's own meter, and an abort
// leaves the player where it was.

#include "loudness/loudnesstestsupport.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/loudnessmeasuredialog.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

constexpr int kWaitMs = 20000;

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    PlaybackController *controller() const { return window->findChild<PlaybackController *>(); }
    QComboBox *leftCombo() const { return window->findChildren<QComboBox *>().value(0); }
    QComboBox *rightCombo() const { return window->findChildren<QComboBox *>().value(1); }
    int64_t frame() const { return state()->currentFrameNumber(); }

    bool openAt(const QString &path, int64_t target) const
    {
        window->openMediaFile(path);
        if (!waitFor([this] { return state()->totalFrames() > 0 && !controller()->isAwaitingFrame() && frame() == 0; }))
            return false;
        controller()->requestSeek(int(target));
        return waitFor([this, target] { return frame() == target && !controller()->isAwaitingFrame(); });
    }

    static bool waitFor(const std::function<bool()> &condition)
    {
        return QTest::qWaitFor(condition, kWaitMs);
    }
};

// Calls step(dialog) every 10 ms while the loudness dialog is up, until step returns true.
void driveDialog(const std::function<bool(LoudnessMeasureDialog *)> &step)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, step] {
        auto *dialog = dynamic_cast<LoudnessMeasureDialog *>(QApplication::activeModalWidget());
        if (dialog && step(dialog))
            timer->deleteLater();
    });
    timer->start();
    // Never leave a test hanging on a dialog nobody closes.
    QTimer::singleShot(60000, timer, [timer] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
        timer->deleteLater();
    });
}

} // namespace

class TestLoudnessWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }
    void chordMeasuresRoutedPair_data();
    void chordMeasuresRoutedPair();
    void abortLeavesPlayerAlone();
};

void TestLoudnessWindow::chordMeasuresRoutedPair_data()
{
    QTest::addColumn<int>("modifier");
    QTest::newRow("Ctrl+Shift+Alt+U") << int(Qt::ControlModifier);
    QTest::newRow("Meta+Shift+Alt+U") << int(Qt::MetaModifier);
}

void TestLoudnessWindow::chordMeasuresRoutedPair()
{
    QFETCH(int, modifier);
    const QString clip = testsupport::mediaPath("loudness_stereo_51.mov");
    Window w;
    // Frame 125 of 250 at 25 fps: the second half; channels 3 and 6 are in the 5.1 stream.
    QVERIFY(w.openAt(clip, 125));
    QVERIFY(w.leftCombo()->count() >= 8);
    w.leftCombo()->setCurrentIndex(4);
    w.rightCombo()->setCurrentIndex(7);
    QVERIFY(Window::waitFor([&w] { return !w.controller()->isAwaitingFrame(); }));

    QString shown;
    driveDialog([&shown](LoudnessMeasureDialog *dialog) {
        if (dialog->button()->text() != QLatin1String("OK"))
            return false;
        shown = dialog->messageLabel()->text();
        dialog->button()->click();
        return true;
    });
    QTest::keyClick(w.window.get(), Qt::Key_U, Qt::KeyboardModifiers(modifier) | Qt::ShiftModifier | Qt::AltModifier);

    // ffmpeg's meter on the same channels (the 5.1 stream's second and fifth) from 5 s on.
    const loudnesstest::Reference reference =
        loudnesstest::ffmpegMeter(clip, QStringLiteral("0:a:1"), QStringLiteral("atrim=start=5,pan=stereo|c0=c1|c1=c4,"));
    QVERIFY2(reference.ok, qPrintable(reference.log.right(2000)));
    const QStringList parts = shown.split(QStringLiteral("   "));
    QCOMPARE(parts.size(), 2);
    QVERIFY2(parts.at(1).endsWith(" [LUFS]") && parts.at(0).endsWith(" [dBTP]"), qPrintable(shown));
    const double lufs = parts.at(1).section(QLatin1Char(' '), 0, 0).toDouble();
    const double peak = parts.at(0).section(QLatin1Char(' '), 0, 0).toDouble();
    QVERIFY2(std::abs(lufs - reference.integratedLufs) <= 0.1 + 0.05,
             qPrintable(QStringLiteral("%1, ffmpeg %2 LUFS").arg(shown).arg(reference.integratedLufs)));
    QVERIFY2(std::abs(peak - reference.truePeakDb) <= 0.1 + 0.05,
             qPrintable(QStringLiteral("%1, ffmpeg %2 dBTP").arg(shown).arg(reference.truePeakDb)));
    // Resumed: the same frame, stopped.
    QVERIFY(Window::waitFor([&w] { return !w.controller()->isAwaitingFrame(); }));
    QCOMPARE(w.frame(), int64_t(125));
    QCOMPARE(w.state()->playState(), Stopped);
}

void TestLoudnessWindow::abortLeavesPlayerAlone()
{
    Window w;
    // 100 s of audio: long enough for the abort to land while decoding.
    QVERIFY(w.openAt(testsupport::mediaPath("loudness_gate_72_36_23_36_72.wav"), 30));
    const int left = w.leftCombo()->currentIndex();
    const int right = w.rightCombo()->currentIndex();

    bool clicked = false;
    bool resultShown = false;
    driveDialog([&](LoudnessMeasureDialog *dialog) {
        if (dialog->button()->text() == QLatin1String("OK")) {
            resultShown = true;
            dialog->button()->click();
            return true;
        }
        if (!clicked) {
            clicked = true;
            dialog->button()->click();
        }
        return false;
    });
    QTest::keyClick(w.window.get(), Qt::Key_U, Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    QVERIFY(clicked);
    QVERIFY(!resultShown);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QVERIFY(Window::waitFor([&w] { return !w.controller()->isAwaitingFrame(); }));
    QCOMPARE(w.frame(), int64_t(30));
    QCOMPARE(w.state()->playState(), Stopped);
    QCOMPARE(w.state()->currentMode(), Viewer);
    QCOMPARE(w.leftCombo()->currentIndex(), left);
    QCOMPARE(w.rightCombo()->currentIndex(), right);
}

QTEST_MAIN(TestLoudnessWindow)
#include "tst_loudness_window.moc"
