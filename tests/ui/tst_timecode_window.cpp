// The window's timecode entry, copy, reveal and pixel inspector, driven by real key and
// mouse events on a window with a generated clip open.

#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <QStackedWidget>
#include <QVideoSink>
#include <QVideoWidget>
#include <QtTest>

#include <memory>

namespace {

constexpr int kWaitMs = 20000;

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    PlaybackController *controller() const { return window->findChild<PlaybackController *>(); }
    QStackedWidget *stack() const { return window->findChild<QStackedWidget *>(); }
    QVideoWidget *video() const { return qobject_cast<QVideoWidget *>(stack()->widget(1)); }
    QVideoSink *sink() const { return video()->videoSink(); }
    QSlider *seekBar() const { return window->findChild<QSlider *>(); }
    QLabel *pathLabel() const { return window->findChild<QLabel *>(QStringLiteral("PathLabel")); }
    // The large timecode display: the label in the font of 30 points.
    QLabel *timecodeLabel() const
    {
        for (QLabel *label : window->findChildren<QLabel *>())
            if (label->font().pointSize() == 30)
                return label;
        return nullptr;
    }
    // The inspector's label: the one placed by hand beside the help button.
    QLabel *inspectorLabel() const
    {
        for (QLabel *label : window->findChildren<QLabel *>())
            if (label->text().startsWith(QLatin1String("Source:")))
                return label;
        return nullptr;
    }
    int64_t frame() const { return state()->currentFrameNumber(); }

    bool open(const QString &path) const
    {
        QSignalSpy pictures(sink(), &QVideoSink::videoFrameChanged);
        window->openMediaFile(path);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kWaitMs) {
            if (!state()->property("mediaProperties").toMap().isEmpty() && pictures.count() > 0
                && !controller()->isAwaitingFrame() && frame() == 0)
                return true;
            QTest::qWait(20);
        }
        return false;
    }
    bool settleAt(int64_t target) const
    {
        return QTest::qWaitFor([&] { return frame() == target && !controller()->isAwaitingFrame(); }, kWaitMs);
    }
    void type(const QString &keys) const
    {
        for (const QChar c : keys)
            QTest::keyClick(window.get(), c.toLatin1());
    }
};

} // namespace

class TestTimecodeWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }
    void typedTimecodeLandsOnItsFrame();
    void escapeAndEmptyEntriesDoNotSeek();
    void seekBarPressAndLoudnessChordLeave();
    void mediaWithoutFramesRefuse_data();
    void mediaWithoutFramesRefuse();
    void fullScreenShowsThePanelWhileTyping();
    void doubleClicksCopyAndReveal();
    void heldZShowsThePixel();
};

void TestTimecodeWindow::typedTimecodeLandsOnItsFrame()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("h264_2997df.mov")))); // 01:00:00;00, 60 frames
    QTRY_COMPARE(w.timecodeLabel()->text(), QStringLiteral("01:00:00;00"));

    QTest::keyClick(w.window.get(), Qt::Key_Return);
    QVERIFY(w.state()->isGotoMode());
    QCOMPARE(w.timecodeLabel()->text(), QString());
    w.type(QStringLiteral("1x15"));
    QCOMPARE(w.timecodeLabel()->text(), QStringLiteral("115"));
    QTest::keyClick(w.window.get(), Qt::Key_Enter);
    QVERIFY(!w.state()->isGotoMode());
    QVERIFY(w.settleAt(45));
    QTRY_COMPARE(w.timecodeLabel()->text(), QStringLiteral("01:00:01;15"));

    // A signed entry moves from the frame shown; past the end it stops at the last frame.
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    w.type(QStringLiteral("-10"));
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    QVERIFY(w.settleAt(35));
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    w.type(QStringLiteral("+1."));
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    QVERIFY(w.settleAt(59));
}

void TestTimecodeWindow::escapeAndEmptyEntriesDoNotSeek()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("h264_2997df.mov"))));
    QSignalSpy seeks(w.state(), &ApplicationState::currentFrameNumberChanged);

    QTest::keyClick(w.window.get(), Qt::Key_Return);
    w.type(QStringLiteral("01000120"));
    QCOMPARE(w.timecodeLabel()->text(), QStringLiteral("01000120"));
    QTest::keyClick(w.window.get(), Qt::Key_Escape);
    QVERIFY(!w.state()->isGotoMode());
    QCOMPARE(w.timecodeLabel()->text(), QStringLiteral("01:00:00;00"));

    QTest::keyClick(w.window.get(), Qt::Key_Return);
    w.type(QStringLiteral("-"));
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    QVERIFY(!w.state()->isGotoMode());
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    w.type(QStringLiteral("12"));
    QTest::keyClick(w.window.get(), Qt::Key_Delete);
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    QTest::qWait(300);
    QCOMPARE(w.frame(), 0);
    QCOMPARE(seeks.count(), 0);
    QCOMPARE(w.timecodeLabel()->text(), QStringLiteral("01:00:00;00"));
}

void TestTimecodeWindow::seekBarPressAndLoudnessChordLeave()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("h264_2997df.mov"))));
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    w.type(QStringLiteral("1"));
    QTest::mousePress(w.seekBar(), Qt::LeftButton, Qt::NoModifier, QPoint(2, w.seekBar()->height() / 2));
    QVERIFY(!w.state()->isGotoMode());
    QTest::mouseRelease(w.seekBar(), Qt::LeftButton, Qt::NoModifier, QPoint(2, w.seekBar()->height() / 2));
    QVERIFY(w.settleAt(0));

    QTest::keyClick(w.window.get(), Qt::Key_Return);
    QVERIFY(w.state()->isGotoMode());
    w.type(QStringLiteral("115"));
    QTest::keyClick(w.window.get(), Qt::Key_U, Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    QVERIFY(!w.state()->isGotoMode());
    QTest::qWait(200);
    QCOMPARE(w.frame(), 0);

    // While playing the entry does not open.
    QTest::keyClick(w.window.get(), Qt::Key_Space);
    QTRY_VERIFY(w.state()->playState() != Stopped);
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    QVERIFY(!w.state()->isGotoMode());
}

void TestTimecodeWindow::mediaWithoutFramesRefuse_data()
{
    QTest::addColumn<QString>("clip");
    QTest::newRow("audio-only") << "audio.flac";
    QTest::newRow("one frame") << "still.png";
}

void TestTimecodeWindow::mediaWithoutFramesRefuse()
{
    QFETCH(QString, clip);
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(clip)));
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    QVERIFY(!w.state()->isGotoMode());
}

void TestTimecodeWindow::fullScreenShowsThePanelWhileTyping()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("h264_2997df.mov"))));
    w.window->show();
    QWidget *panel = w.timecodeLabel()->parentWidget();
    QTest::keyClick(w.window.get(), Qt::Key_F);
    QVERIFY(w.state()->isFullScreen());
    QVERIFY(panel->isHidden());
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    QVERIFY(w.state()->isGotoMode());
    QVERIFY(!panel->isHidden());
    QTest::keyClick(w.window.get(), Qt::Key_Escape);
    QVERIFY(!w.state()->isGotoMode());
    QVERIFY(w.state()->isFullScreen());
    QVERIFY(panel->isHidden());
}

void TestTimecodeWindow::doubleClicksCopyAndReveal()
{
    Window w;
    QStringList revealed;
    w.window->setFileRevealer([&](const QString &path) { revealed.append(path); });
    const QString path = testsupport::mediaPath(QStringLiteral("h264_2997df.mov"));

    QTest::mouseDClick(w.pathLabel(), Qt::LeftButton);
    QVERIFY(revealed.isEmpty()); // nothing open yet

    QVERIFY(w.open(path));
    QTRY_COMPARE(w.timecodeLabel()->text(), QStringLiteral("01:00:00;00"));
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    QTest::mouseDClick(w.timecodeLabel(), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("01:00:00;00"));
    // A half-typed entry is copied as shown.
    QTest::keyClick(w.window.get(), Qt::Key_Return);
    w.type(QStringLiteral("12"));
    QTest::mouseDClick(w.timecodeLabel(), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("12"));
    QTest::keyClick(w.window.get(), Qt::Key_Escape);

    QTest::mouseDClick(w.pathLabel(), Qt::LeftButton);
    QCOMPARE(revealed, QStringList{path});
}

void TestTimecodeWindow::heldZShowsThePixel()
{
    Window w;
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("bgra.avi"))));
    QCursor::setPos(w.video()->mapToGlobal(w.video()->rect().center()));
    if (w.video()->mapFromGlobal(QCursor::pos()) != w.video()->rect().center())
        QSKIP("this platform cannot place the cursor");

    QTest::keyPress(w.window.get(), Qt::Key_Z);
    QTRY_VERIFY(w.inspectorLabel() && w.inspectorLabel()->isVisible());
    const QStringList lines = w.inspectorLabel()->text().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).contains(QRegularExpression(QStringLiteral("^Source:  \\d+,\\d+,\\d+ \\(RGB8\\)$"))),
             qPrintable(lines.at(0)));
    QVERIFY(lines.at(1).startsWith(QLatin1String("Convert: ")));
    QVERIFY(lines.at(2).startsWith(QLatin1String("Display: ")));
    // A BGRA source is shown as it is stored: all three agree.
    const QString stored = lines.at(0).mid(9).section(QLatin1Char(' '), 0, 0);
    QCOMPARE(lines.at(1).mid(9), stored);
    QCOMPARE(lines.at(2).mid(9), stored);

    // Playing hides it; releasing Z switches it off.
    QTest::keyClick(w.window.get(), Qt::Key_Space);
    QTRY_VERIFY(!w.inspectorLabel());
    QTest::keyClick(w.window.get(), Qt::Key_K);
    QTest::keyRelease(w.window.get(), Qt::Key_Z);
    QTest::qWait(200);
    QVERIFY(!w.inspectorLabel());
}

QTEST_MAIN(TestTimecodeWindow)
#include "tst_timecode_window.moc"
