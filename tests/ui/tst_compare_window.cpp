// Comparing two files in the window: A = a clip with timecode, B = the same pictures with a
// box on A's frame 37, starting three frames later by timecode. Driven by real keys and
// mouse events; every view is checked on the pixels of the picture the viewer was given.

#include "core/imagehelpers.h"
#include "state/applicationstate.h"
#include "state/openmedia.h"
#include "state/pairedframesource.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/comparesession.h"
#include "ui/imageexporter.h"
#include "ui/mainwindow.h"
#include "ui/scopewidget.h"

#include "dialogsupport.h"

#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QSettings>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QVideoSink>
#include <QVideoWidget>
#include <QtTest>

#include <memory>

using compareview::View;

namespace {

constexpr int kWaitMs = 20000;
// Where the generated B has its box (A's frame 37 only).
const QRect kBox(40, 40, 32, 24);

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    PlaybackController *controller() const { return window->findChild<PlaybackController *>(); }
    CompareSession *compare() const { return window->findChild<CompareSession *>(); }
    OpenMedia *mediaA() const { return window->findChild<OpenMedia *>(QString(), Qt::FindDirectChildrenOnly); }
    QStackedWidget *stack() const { return window->findChild<QStackedWidget *>(); }
    QVideoWidget *video() const { return window->findChild<QVideoWidget *>(); }
    QVideoSink *sink() const { return video()->videoSink(); }
    QLabel *labelB() const { return window->findChild<QLabel *>(QStringLiteral("CompareTimecodeLabel")); }
    QImage shown() const { return imageFromVideoFrame(sink()->videoFrame()).convertToFormat(QImage::Format_RGB32); }
    int64_t frame() const { return state()->currentFrameNumber(); }

    bool open(const QString &path) const
    {
        window->openMediaFile(path);
        return waitFor([this] {
            return state()->totalFrames() > 0 && sink()->videoFrame().isValid() && !controller()->isAwaitingFrame()
                && frame() == 0;
        });
    }
    bool openB(const QString &path) const
    {
        compare()->openB(path);
        return waitFor([this] { return compare()->isActive(); });
    }
    bool waitFor(const std::function<bool()> &done) const
    {
        return QTest::qWaitFor(done, kWaitMs);
    }
    // The viewer shows a picture of 'size' at A's 'frame' that passes 'check'.
    bool showsAt(int64_t target, QSize size, const std::function<bool(const QImage &)> &check = {}) const
    {
        return waitFor([&] {
            if (frame() != target || controller()->isAwaitingFrame())
                return false;
            const QImage image = shown();
            return image.size() == size && (!check || check(image));
        });
    }
    void seek(int64_t target) const { controller()->requestSeek(target); }
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) const
    {
        QTest::keyClick(window.get(), Qt::Key(key), modifiers);
    }
    // The mouse over the viewer at a share of the fitted picture's width.
    void mouseAt(double share) const
    {
        const QSize area = video()->size();
        const QSize picture = QSize(320, 240).scaled(area, Qt::KeepAspectRatio);
        const QPoint inVideo(int((area.width() - picture.width()) / 2 + share * picture.width()), area.height() / 2);
        const QPointF at = video()->mapTo(stack(), inVideo);
        QMouseEvent move(QEvent::MouseMove, at, stack()->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(stack(), &move);
    }
};

// The player's settings file (under the test location).
QSettings settings()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orvel"), QStringLiteral("Orvel"));
}

bool isBlack(QRgb p)
{
    return qRed(p) == 0 && qGreen(p) == 0 && qBlue(p) == 0;
}

bool isRed(QRgb p)
{
    return qRed(p) > 180 && qGreen(p) < 80 && qBlue(p) < 80;
}

// Pixels of 'image' (offset by 'origin') outside the box that are not black, and inside it
// that are. The chroma of 4:2:0 is interpolated into RGB, so the box's colour reaches a
// pixel or two past its edge.
struct DifferenceCount {
    int outsideLit = 0;
    int insideBlack = 0;
};
DifferenceCount countDifference(const QImage &image, QPoint origin = QPoint())
{
    DifferenceCount count;
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            const bool black = isBlack(image.pixel(origin.x() + x, origin.y() + y));
            if (kBox.contains(x, y))
                count.insideBlack += black ? 1 : 0;
            else if (!kBox.adjusted(-2, -2, 2, 2).contains(x, y))
                count.outsideLit += black ? 0 : 1;
        }
    return count;
}

bool sameOutsideBox(const QImage &a, const QImage &b, QPoint originA = QPoint())
{
    for (int y = 0; y < 240; y += 3)
        for (int x = 0; x < 320; x += 3)
            if (!kBox.adjusted(-2, -2, 2, 2).contains(x, y) && a.pixel(originA.x() + x, originA.y() + y) != b.pixel(x, y))
                return false;
    return true;
}

} // namespace

class TestCompareWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        testsupport::registerMetaTypes();
        QStandardPaths::setTestModeEnabled(true);
        settings().remove(QLatin1String(CompareSession::kSoundFromBKey));
    }
    void cleanupTestCase() { settings().remove(QLatin1String(CompareSession::kSoundFromBKey)); }
    void xCyclesEveryView();
    void wipeDividerFollowsTheMouse();
    void steppingMovesBothInStep();
    void shownPictureIsWhatIsExportedInspectedAndTurned();
    void closingBRestoresTheSingleView();
    void otherRateIsRefusedAndALeftAsItWas();
    void soundFromBWhenChosen();
};

void TestCompareWindow::xCyclesEveryView()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("cmp_a.mkv"))));
    w.seek(37);
    QVERIFY(w.showsAt(37, QSize(320, 240)));
    const QImage a = w.shown();
    QVERIFY(!isRed(a.pixel(64, 50)));

    QVERIFY(w.openB(testsupport::mediaPath(QStringLiteral("cmp_b_box.mkv"))));
    QCOMPARE(w.compare()->offset(), int64_t(3));
    QCOMPARE(w.compare()->view(), View::SideBySide);
    // A on the left, B (its frame 34, with the box) on the right.
    QVERIFY(w.showsAt(37, QSize(640, 240), [](const QImage &p) { return isRed(p.pixel(320 + 64, 50)); }));
    QVERIFY(!isRed(w.shown().pixel(64, 50)));
    QVERIFY(sameOutsideBox(w.shown(), a, QPoint(320, 0)));

    w.key(Qt::Key_X);
    QCOMPARE(w.compare()->view(), View::Difference);
    QVERIFY(w.showsAt(37, QSize(320, 240)));
    DifferenceCount difference = countDifference(w.shown());
    QCOMPARE(difference.outsideLit, 0);
    QCOMPARE(difference.insideBlack, 0);
    const QRgb gainOne = w.shown().pixel(50, 50);

    // Shift+X: 4x, 16x, back to 1x; identical stays black at any gain.
    w.key(Qt::Key_X, Qt::ShiftModifier);
    QCOMPARE(w.compare()->gain(), 4);
    QVERIFY(w.showsAt(37, QSize(320, 240)));
    const QRgb gainFour = w.shown().pixel(50, 50);
    QCOMPARE(qRed(gainFour), std::min(255, 4 * qRed(gainOne)));
    QCOMPARE(qGreen(gainFour), std::min(255, 4 * qGreen(gainOne)));
    QCOMPARE(qBlue(gainFour), std::min(255, 4 * qBlue(gainOne)));
    QCOMPARE(countDifference(w.shown()).outsideLit, 0);
    w.key(Qt::Key_X, Qt::ShiftModifier);
    QCOMPARE(w.compare()->gain(), 16);
    w.key(Qt::Key_X, Qt::ShiftModifier);
    QCOMPARE(w.compare()->gain(), 1);

    // A frame without a change is black all over.
    w.seek(36);
    QVERIFY(w.showsAt(36, QSize(320, 240), [](const QImage &p) { return isBlack(p.pixel(50, 50)); }));
    difference = countDifference(w.shown());
    QCOMPARE(difference.outsideLit, 0);
    w.seek(37);
    QVERIFY(w.showsAt(37, QSize(320, 240), [](const QImage &p) { return !isBlack(p.pixel(50, 50)); }));

    w.key(Qt::Key_X);
    QCOMPARE(w.compare()->view(), View::A);
    QVERIFY(w.showsAt(37, QSize(320, 240), [&a](const QImage &p) { return p == a; }));

    w.key(Qt::Key_X);
    QCOMPARE(w.compare()->view(), View::B);
    QVERIFY(w.showsAt(37, QSize(320, 240), [](const QImage &p) { return isRed(p.pixel(64, 50)); }));
    QVERIFY(sameOutsideBox(w.shown(), a));

    w.key(Qt::Key_X);
    QCOMPARE(w.compare()->view(), View::Wipe);
    w.key(Qt::Key_X);
    QCOMPARE(w.compare()->view(), View::SideBySide);
    QVERIFY(w.showsAt(37, QSize(640, 240), [](const QImage &p) { return isRed(p.pixel(320 + 64, 50)); }));

    // Before B's first frame its side is black.
    w.seek(1);
    QVERIFY(w.showsAt(1, QSize(640, 240), [](const QImage &p) { return isBlack(p.pixel(480, 120)); }));
    QVERIFY(!isBlack(w.shown().pixel(160, 120)));
}

void TestCompareWindow::wipeDividerFollowsTheMouse()
{
    Window w;
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("cmp_a.mkv"))));
    w.seek(37);
    QVERIFY(w.showsAt(37, QSize(320, 240)));
    QVERIFY(w.openB(testsupport::mediaPath(QStringLiteral("cmp_b_box.mkv"))));
    w.key(Qt::Key_X);
    w.key(Qt::Key_X);
    w.key(Qt::Key_X);
    w.key(Qt::Key_X);
    QCOMPARE(w.compare()->view(), View::Wipe);
    // The divider halfway: the box (on B) lies in A's half.
    QVERIFY(w.showsAt(37, QSize(320, 240), [](const QImage &p) { return !isRed(p.pixel(64, 50)); }));

    // Left of the box: B shows from there on, the box with it.
    w.mouseAt(0.05);
    QVERIFY(std::abs(w.compare()->wipe() - 0.05) < 0.01);
    QVERIFY(w.showsAt(37, QSize(320, 240), [](const QImage &p) { return isRed(p.pixel(64, 50)); }));
    // Inside the box: its left part is A's, its right part B's.
    w.mouseAt(62.0 / 320.0);
    QVERIFY(w.showsAt(37, QSize(320, 240),
                      [](const QImage &p) { return !isRed(p.pixel(58, 50)) && isRed(p.pixel(66, 50)); }));
    // Past the right edge: A all over.
    w.mouseAt(1.2);
    QCOMPARE(w.compare()->wipe(), 1.0);
    QVERIFY(w.showsAt(37, QSize(320, 240), [](const QImage &p) { return !isRed(p.pixel(66, 50)); }));

    // Outside the wipe the mouse moves nothing.
    w.key(Qt::Key_X);
    w.mouseAt(0.3);
    QCOMPARE(w.compare()->wipe(), 1.0);
}

void TestCompareWindow::steppingMovesBothInStep()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("cmp_a.mkv"))));
    QVERIFY(w.openB(testsupport::mediaPath(QStringLiteral("cmp_b_box.mkv"))));
    w.key(Qt::Key_X); // difference
    QCOMPARE(w.compare()->view(), View::Difference);
    // A's frames 0..2 have no partner: B's side is black, so the difference is A itself.
    QVERIFY(w.showsAt(0, QSize(320, 240), [](const QImage &p) { return !isBlack(p.pixel(160, 120)); }));
    QCOMPARE(w.labelB()->text(), QStringLiteral("B --"));

    w.seek(34);
    QVERIFY(w.showsAt(34, QSize(320, 240)));
    for (int64_t target = 35; target <= 38; ++target) {
        w.key(Qt::Key_Right);
        QVERIFY2(w.showsAt(target, QSize(320, 240)), qPrintable(QString::number(w.frame())));
        QVERIFY(w.waitFor([&] { return w.compare()->mediaB()->currentFrame() == target - 3; }));
        // The partner of A's frame is B's frame with the same source timecode.
        QCOMPARE(w.labelB()->text(), QStringLiteral("B 10:00:01:%1").arg(target - 25, 2, 10, QLatin1Char('0')));
        const DifferenceCount difference = countDifference(w.shown());
        QCOMPARE(difference.outsideLit, 0);
        QCOMPARE(difference.insideBlack, target == 37 ? 0 : kBox.width() * kBox.height());
    }
    w.key(Qt::Key_Left);
    QVERIFY(w.showsAt(37, QSize(320, 240), [](const QImage &p) { return !isBlack(p.pixel(50, 50)); }));
    QCOMPARE(w.compare()->mediaB()->currentFrame(), int64_t(34));
}

void TestCompareWindow::shownPictureIsWhatIsExportedInspectedAndTurned()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("cmp_a.mkv"))));
    w.seek(37);
    QVERIFY(w.showsAt(37, QSize(320, 240)));
    QVERIFY(w.openB(testsupport::mediaPath(QStringLiteral("cmp_b_box.mkv"))));
    w.key(Qt::Key_X); // difference
    QVERIFY(w.showsAt(37, QSize(320, 240), [](const QImage &p) { return !isBlack(p.pixel(50, 50)); }));

    // P saves the difference at full resolution.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("difference.png"));
    ImageExporter *exporter = w.window->findChild<ImageExporter *>();
    QVERIFY(exporter);
    exporter->setPathChooser([&](const QString &, const QString &) { return path; });
    w.key(Qt::Key_P);
    const QImage saved = QImage(path).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(saved.size(), QSize(320, 240));
    const DifferenceCount difference = countDifference(saved);
    QCOMPARE(difference.outsideLit, 0);
    QCOMPARE(difference.insideBlack, 0);

    // The inspector reads both files at the same point: apart in the box, alike elsewhere.
    w.key(Qt::Key_X); // A
    w.key(Qt::Key_X); // B
    w.key(Qt::Key_X); // wipe
    w.key(Qt::Key_X); // side by side
    const auto values = [&](int x, int y) {
        const QStringList lines = w.compare()->inspectorText(37, x, y, 640, 240, 0).split(QLatin1Char('\n'));
        QStringList a, b;
        for (const QString &line : lines)
            (line.startsWith(QLatin1String("A ")) ? a : b) << line.mid(2);
        return std::make_pair(a, b);
    };
    const auto inBox = values(320 + 64, 50);
    QVERIFY(!inBox.first.isEmpty());
    QCOMPARE(inBox.first.size(), inBox.second.size());
    QVERIFY(inBox.first != inBox.second);
    QCOMPARE(values(64, 50), inBox); // the left half names the same point
    const auto outside = values(200, 200);
    QCOMPARE(outside.first, outside.second);

    // Rotation and channel isolation apply to the composed picture.
    QVERIFY(w.showsAt(37, QSize(640, 240)));
    QVERIFY(!isBlack(w.shown().pixel(10, 120)));
    // A quarter turn stands the pair on end, fitted into the landscape canvas.
    w.key(Qt::Key_L, Qt::ControlModifier);
    QVERIFY(w.showsAt(37, QSize(640, 240),
                      [](const QImage &p) { return isBlack(p.pixel(10, 120)) && !isBlack(p.pixel(320, 120)); }));
    w.key(Qt::Key_L, Qt::ControlModifier);
    w.key(Qt::Key_L, Qt::ControlModifier);
    w.key(Qt::Key_L, Qt::ControlModifier);
    QVERIFY(w.showsAt(37, QSize(640, 240), [](const QImage &p) { return !isBlack(p.pixel(10, 120)); }));
    w.key(Qt::Key_G);
    // Green alone: B's red box reads dark, A's pattern beside it does not.
    const auto grey = [](QRgb p) { return qRed(p) == qGreen(p) && qGreen(p) == qBlue(p); };
    QVERIFY(w.showsAt(37, QSize(640, 240), [&grey](const QImage &p) {
        return grey(p.pixel(320 + 64, 50)) && grey(p.pixel(64, 50));
    }));
    QVERIFY(qGreen(w.shown().pixel(320 + 64, 50)) < 80);
    QVERIFY(qGreen(w.shown().pixel(64, 50)) > 200);
    w.key(Qt::Key_C);

    // The scope page draws what is shown: the difference's scope is not A's.
    w.key(Qt::Key_Tab);
    ScopeWidget *scope = w.window->findChild<ScopeWidget *>();
    QVERIFY(w.waitFor([&] { return !scope->scopeImage().isNull(); }));
    QTest::qWait(100);
    const QImage sideBySide = scope->scopeImage();
    w.key(Qt::Key_X); // difference
    QVERIFY(w.waitFor([&] { return scope->scopeImage() != sideBySide && !scope->scopeImage().isNull(); }));
}

void TestCompareWindow::closingBRestoresTheSingleView()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("cmp_a.mkv"))));
    w.seek(37);
    QVERIFY(w.showsAt(37, QSize(320, 240)));
    const QImage a = w.shown();
    QVERIFY(w.openB(testsupport::mediaPath(QStringLiteral("cmp_b_box.mkv"))));
    QVERIFY(w.showsAt(37, QSize(640, 240)));
    QVERIFY(!w.labelB()->text().isEmpty());
    QPointer<OpenMedia> b = w.compare()->mediaB();

    w.key(Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(!w.compare()->isActive());
    QVERIFY(w.showsAt(37, QSize(320, 240), [&a](const QImage &p) { return p == a; }));
    QVERIFY(w.labelB()->text().isEmpty());
    QTRY_VERIFY(b.isNull());

    // A file dropped with Shift held opens as B; without Shift it would replace A.
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(testsupport::mediaPath(QStringLiteral("cmp_b_box.mkv")))});
    QDragEnterEvent enter(QPoint(600, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(w.window.get(), &enter);
    QDropEvent drop(QPointF(600, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(w.window.get(), &drop);
    QVERIFY(w.waitFor([&] { return w.compare()->isActive(); }));
    QCOMPARE(w.state()->mediaInfo().filePath, testsupport::mediaPath(QStringLiteral("cmp_a.mkv")));
    QVERIFY(w.showsAt(37, QSize(640, 240)));
    w.key(Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(w.showsAt(37, QSize(320, 240), [&a](const QImage &p) { return p == a; }));

    // X does nothing without B, and stepping shows A alone.
    w.key(Qt::Key_X);
    QCOMPARE(w.compare()->view(), View::SideBySide);
    w.key(Qt::Key_Right);
    QVERIFY(w.showsAt(38, QSize(320, 240)));
}

void TestCompareWindow::otherRateIsRefusedAndALeftAsItWas()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("cmp_a.mkv"))));
    w.seek(12);
    QVERIFY(w.showsAt(12, QSize(320, 240)));
    const QImage a = w.shown();

    bool seen = false;
    QString message;
    dialogsupport::handleNextModalDialog(
        [&message](QDialog *dialog) {
            for (QLabel *label : dialog->findChildren<QLabel *>())
                message += label->text() + QLatin1Char('\n');
        },
        &seen);
    w.compare()->openB(testsupport::mediaPath(QStringLiteral("cmp_30fps.mkv")));
    QVERIFY(w.waitFor([&] { return seen; }));
    QVERIFY2(message.contains(QLatin1String("A has 25 fps, B has 30 fps")), qPrintable(message));
    QVERIFY(!w.compare()->isActive());
    QVERIFY(!w.compare()->isOpening());
    QCOMPARE(w.frame(), int64_t(12));
    QVERIFY(w.showsAt(12, QSize(320, 240), [&a](const QImage &p) { return p == a; }));
    QVERIFY(w.labelB()->text().isEmpty());
    w.key(Qt::Key_X);
    QCOMPARE(w.compare()->view(), View::SideBySide);
    QVERIFY(w.showsAt(12, QSize(320, 240)));
}

void TestCompareWindow::soundFromBWhenChosen()
{
    settings().setValue(QLatin1String(CompareSession::kSoundFromBKey), true);
    Window w;
    // A B without sound leaves A's.
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("cmp_a.mkv"))));
    QVERIFY(w.openB(testsupport::mediaPath(QStringLiteral("cmp_b_box.mkv"))));
    QVERIFY(!w.compare()->playbackSource());

    // A file with sound as both A and B: the controller plays B's sound with A's pictures.
    const QString clip = testsupport::mediaPath(QStringLiteral("mono.mov"));
    QVERIFY(w.open(clip));
    QVERIFY(!w.compare()->isActive()); // a new A ends the comparison
    QVERIFY(w.openB(clip));
    auto *paired = qobject_cast<PairedFrameSource *>(w.compare()->playbackSource());
    QVERIFY(paired);
    QVERIFY(w.showsAt(0, QSize(1280, 360)));
    QSignalSpy answers(paired, &FrameSource::frameReady);
    w.key(Qt::Key_Right);
    QVERIFY(w.showsAt(1, QSize(1280, 360)));
    QVERIFY(answers.count() >= 1); // the step went through it
    w.seek(20);
    QVERIFY(w.showsAt(20, QSize(1280, 360)));
    QVERIFY(w.waitFor([&] { return w.compare()->mediaB()->currentFrame() == 20; }));

    // Closing B hands the controller back to A.
    w.key(Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(!w.compare()->playbackSource());
    QTRY_VERIFY(!w.window->findChild<PairedFrameSource *>());
    w.key(Qt::Key_Right);
    QVERIFY(w.showsAt(21, QSize(640, 360)));
    settings().remove(QLatin1String(CompareSession::kSoundFromBKey));
}

QTEST_MAIN(TestCompareWindow)
#include "tst_compare_window.moc"
