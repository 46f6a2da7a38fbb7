// Image sequences in the window: the timecode counted from the file numbers shows amber,
// the information area names the file of the frame on screen (the gap's number too), and
// the rate set in the window's dialog opens the sequence again at that rate.

#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/mainwindow.h"
#include "ui/sequenceratedialog.h"
#include "ui/uicontroller.h"

#include <QDoubleSpinBox>
#include <QLabel>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

constexpr int kWaitMs = 30000;

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    PlaybackController *controller() const { return window->findChild<PlaybackController *>(); }
    // The large timecode: the label in the font of 30 points; the media facts: the label
    // whose text starts with the picture size.
    QLabel *timecode() const
    {
        for (QLabel *label : window->findChildren<QLabel *>())
            if (label->font().pointSize() == 30)
                return label;
        return nullptr;
    }
    QLabel *facts() const
    {
        for (QLabel *label : window->findChildren<QLabel *>())
            if (label->alignment() == (Qt::AlignRight | Qt::AlignBottom) && label->font().pointSize() == 12)
                return label;
        return nullptr;
    }
    QString factsLastLine() const { return facts()->text().section(QLatin1Char('\n'), -1); }
    int64_t frame() const { return state()->currentFrameNumber(); }

    template <typename Predicate>
    static bool waitFor(Predicate done)
    {
        return QTest::qWaitFor(done, kWaitMs);
    }
    bool settled(int64_t target, double fps) const
    {
        return waitFor([&] {
            return state()->mediaInfo().isOpen() && state()->mediaInfo().fps == fps && frame() == target
                && !controller()->isAwaitingFrame();
        });
    }
    bool open(const QString &path, double fps) const
    {
        window->openMediaFile(path);
        return settled(0, fps);
    }
    bool step(Qt::Key key, int64_t target) const
    {
        QTest::keyClick(window.get(), key);
        return settled(target, state()->mediaInfo().fps);
    }
};

// Once the rate dialog shows: types 'fps' and accepts (or cancels); 'seen' gets what it showed.
void answerRateDialog(double fps, bool accept, double *seen)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, fps, accept, seen] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *dialog = qobject_cast<SequenceRateDialog *>(widget);
            if (dialog && dialog->isVisible()) {
                *seen = dialog->fps();
                dialog->rateBox()->setValue(fps);
                accept ? dialog->accept() : dialog->reject();
                poll->deleteLater();
                return;
            }
        }
    });
    poll->start(50);
}

} // namespace

class TestSequencesWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        testsupport::registerMetaTypes();
        QVERIFY(m_settings.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings.path());
    }
    void amberTimecodeAndFileNumbers();
    void rateFromTheWindow();

private:
    QTemporaryDir m_settings;
};

void TestSequencesWindow::amberTimecodeAndFileNumbers()
{
    Window w;
    // DPX from 86400 without a header timecode, 86405 missing: 24 fps, the number counted.
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("seq_dpx10")), 24.0));
    QCOMPARE(w.timecode()->text(), QStringLiteral("01:00:00:00"));
    QCOMPARE(w.timecode()->styleSheet(), QLatin1String(UiController::amberStyle));
    QVERIFY(w.facts()->text().startsWith(QStringLiteral("320x180@24.00p")));
    QCOMPARE(w.factsLastLine(), QStringLiteral("file 86400"));
    const QList<std::pair<Qt::Key, int64_t>> steps = {
        {Qt::Key_Right, 1}, {Qt::Key_Right, 2}, {Qt::Key_Right, 3}, {Qt::Key_Right, 4}, {Qt::Key_Right, 5},
        {Qt::Key_Right, 6}, {Qt::Key_Left, 5},  {Qt::Key_Left, 4},
    };
    for (const auto &[key, frame] : steps) {
        QVERIFY2(w.step(key, frame), qPrintable(QString::number(frame)));
        // The gap keeps its number.
        QCOMPARE(w.factsLastLine(), QStringLiteral("file %1").arg(86400 + frame));
    }
    QCOMPARE(w.timecode()->text(), QStringLiteral("01:00:00:04"));
    QCOMPARE(w.timecode()->styleSheet(), QLatin1String(UiController::amberStyle));

    // A movie with its own timecode is white and has its sound on that line.
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("h264_1080p25.mov")), 25.0));
    QCOMPARE(w.timecode()->styleSheet(), QLatin1String(UiController::whiteStyle));
    QVERIFY(!w.factsLastLine().startsWith(QStringLiteral("file")));

    // Unpadded PNG numbers from 1.
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("seq_png")), 24.0));
    QCOMPARE(w.timecode()->text(), QStringLiteral("00:00:00:01"));
    QCOMPARE(w.timecode()->styleSheet(), QLatin1String(UiController::amberStyle));
    QCOMPARE(w.factsLastLine(), QStringLiteral("file 1"));
    QVERIFY(w.step(Qt::Key_End, 11));
    QCOMPARE(w.factsLastLine(), QStringLiteral("file 12"));
}

void TestSequencesWindow::rateFromTheWindow()
{
    Window w;
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    const QString folder = testsupport::mediaPath(QStringLiteral("seq_dpx10"));
    QVERIFY(w.open(folder, 24.0));

    // A double-click on the media facts; 25 fps opens the sequence again at 25.
    double seen = -1.0;
    answerRateDialog(25.0, true, &seen);
    QTest::mouseDClick(w.facts(), Qt::LeftButton);
    QCOMPARE(seen, 0.0); // nothing set yet: the headers' rate
    QVERIFY(w.settled(0, 25.0));
    QCOMPARE(SequenceRateDialog::stored(), 25.0);
    // 86400 at 25 fps, still counted from the number.
    QCOMPARE(w.timecode()->text(), QStringLiteral("00:57:36:00"));
    QCOMPARE(w.timecode()->styleSheet(), QLatin1String(UiController::amberStyle));
    QCOMPARE(w.state()->totalFrames(), int64_t(12));
    QCOMPARE(w.factsLastLine(), QStringLiteral("file 86400"));

    // Cancel changes nothing; the next window reads the stored rate at its open.
    answerRateDialog(30.0, false, &seen);
    QTest::mouseDClick(w.facts(), Qt::LeftButton);
    QCOMPARE(seen, 25.0);
    QCOMPARE(SequenceRateDialog::stored(), 25.0);
    QCOMPARE(w.state()->mediaInfo().fps, 25.0);
    {
        Window other;
        QVERIFY(other.open(folder, 25.0));
    }

    // Back to the headers' rate: the key goes, the sequence opens at 24 again.
    answerRateDialog(0.0, true, &seen);
    QTest::mouseDClick(w.facts(), Qt::LeftButton);
    QVERIFY(w.settled(0, 24.0));
    QCOMPARE(w.timecode()->text(), QStringLiteral("01:00:00:00"));
    QSettings stored(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orvel"), QStringLiteral("Orvel"));
    QVERIFY(!stored.contains(QStringLiteral("sequences/fps")));
    // The special value reads as what it means.
    SequenceRateDialog dialog(0.0);
    QCOMPARE(dialog.rateBox()->text(), QStringLiteral("From the files (else 24 fps)"));
}

QTEST_MAIN(TestSequencesWindow)
#include "tst_sequences_window.moc"
