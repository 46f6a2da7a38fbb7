// The scope page and P from the keyboard of a real window: Tab, D, channel keys and
// stepping drive the engine's scope image; P saves the picture or the page through the
// save dialog, and a failed write warns and leaves nothing behind.

#include "core/playersettings.h"
#include "scopes/scoperenderer.h"
#include "scopes/waveformrenderer.h"
#include "state/applicationstate.h"
#include "state/openmedia.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/imageexporter.h"
#include "ui/mainwindow.h"
#include "ui/scopewidget.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

namespace {

// Points the player's settings at a file of its own in 'dir', with live scopes on if asked.
bool useSettingsIn(const QTemporaryDir &dir, bool liveScopes)
{
    if (!dir.isValid())
        return false;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    if (liveScopes)
        playerSettings().setValue(QStringLiteral("scopes/live"), true);
    return true;
}

constexpr int kWaitMs = 20000;

// Rows of 'column' where the trace lifts blue above the bare graticule.
std::set<int> traceRows(const QImage &scope, ScopeRange range, int column)
{
    const QImage graticule = waveform::buildScopeGraticule(range);
    std::set<int> rows;
    for (int y = 0; y < scope.height(); ++y) {
        if (qBlue(scope.pixel(column, y)) > qBlue(graticule.pixel(column, y)))
            rows.insert(y);
    }
    return rows;
}

// Answers the modal dialogs the window opens: a save dialog gets 'path' (and the name it
// proposed is kept), a message box is recorded and closed.
class DialogAnswerer : public QObject
{
public:
    QString path;
    QString proposed;
    QString boxTitle;
    QString boxText;

    DialogAnswerer()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
                proposed = dialog->selectedFiles().value(0);
                if (path.isEmpty()) {
                    dialog->reject();
                } else {
                    // Typed into the name field: selectFile() on a folder the dialog has
                    // not loaded yet may be overtaken by the accept.
                    if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                        name->setText(path);
                    else
                        dialog->selectFile(path);
                    // QFileDialog keeps accept() protected; QDialog's is the public way in.
                    static_cast<QDialog *>(dialog)->accept();
                }
            } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                boxTitle = box->windowTitle();
                boxText = box->text();
                box->accept();
            }
        });
        m_timer.start(20);
    }

private:
    QTimer m_timer;
};

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    PlaybackController *controller() const { return window->findChild<PlaybackController *>(); }
    ScopeWidget *scope() const { return window->findChild<ScopeWidget *>(); }
    QStackedWidget *stack() const { return window->findChild<QStackedWidget *>(); }
    QString timecodeText() const
    {
        static const QRegularExpression timecode(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d[:;]\\d\\d$"));
        for (QLabel *label : window->findChildren<QLabel *>()) {
            if (timecode.match(label->text()).hasMatch())
                return label->text();
        }
        return {};
    }

    bool open(const QString &path) const
    {
        window->openMediaFile(path);
        return waitFor([&] {
            return !state()->mediaProperties().isEmpty() && !controller()->isAwaitingFrame()
                && state()->currentFrameNumber() == 0;
        });
    }

    template <typename Condition>
    static bool waitFor(Condition condition)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kWaitMs) {
            if (condition())
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    // Presses 'key' and waits for the scope image it asks for.
    QImage scopeAfter(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) const
    {
        // A key may cause more than one request (D also changes the range the page
        // listens to): the answer is the image once no further one has come for a while.
        scope()->clearScope();
        QTest::keyClick(window.get(), key, modifiers);
        qint64 lastKey = 0;
        QElapsedTimer quiet;
        quiet.start();
        waitFor([&] {
            const QImage image = scope()->scopeImage();
            if (image.isNull() || image.cacheKey() != lastKey) {
                lastKey = image.cacheKey();
                quiet.restart();
                return false;
            }
            return quiet.elapsed() > 600;
        });
        return scope()->scopeImage();
    }
};

} // namespace

class TestScopePage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keysDriveTheScope();
    void steppingOnTheScopePage();
    void vCyclesKindsAndTheGrid();
    void liveScopeFollowsPlayback();
    void liveScopeKeepsEveryPicture();
    void dearLiveScopeFollowsAtItsOwnRate();
    void timecodeDigits_data();
    void timecodeDigits();
    void pictureExport();
    void scopeExport();
    void failedWriteWarnsAndLeavesNothing();

private:
    QTemporaryDir m_dir;
    // Made here: a slow moving pattern (5 fps, every scope fits between two pictures) and
    // a fast 1080p one (200 fps, no grid does).
    QString slowClip() const { return m_dir.filePath(QStringLiteral("slow_pattern.mov")); }
    QString fastClip() const { return m_dir.filePath(QStringLiteral("fast_1080p.mov")); }
};

void TestScopePage::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
    const QStringList clips[] = {
        {"-f", "lavfi", "-i", "testsrc2=s=640x360:r=5:d=16", "-f", "lavfi", "-i",
         "sine=f=1000:r=48000:d=16", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a",
         "pcm_s16le", "-shortest", slowClip()},
        {"-f", "lavfi", "-i", "testsrc2=s=1920x1080:r=200:d=5", "-c:v", "libx264", "-preset", "ultrafast",
         "-pix_fmt", "yuv420p", fastClip()},
    };
    for (const QStringList &args : clips) {
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"), QStringList{"-nostdin", "-v", "error", "-y"} + args);
        QVERIFY(ffmpeg.waitForFinished(120000));
        QCOMPARE(ffmpeg.exitCode(), 0);
    }
}

void TestScopePage::keysDriveTheScope()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath("scope_bands_limited.mp4")));

    // Tab: the scope page with the engine's image of the current frame.
    QImage image = w.scopeAfter(Qt::Key_Tab);
    QCOMPARE(w.state()->currentMode(), Scope);
    QCOMPARE(w.stack()->currentWidget(), static_cast<QWidget *>(w.scope()));
    QCOMPARE(image.size(), QSize(1920, 1024));
    QCOMPARE(traceRows(image, Percent, 300), (std::set<int>{938}));
    QCOMPARE(traceRows(image, Percent, 1600), (std::set<int>{85}));

    // D: code values.
    image = w.scopeAfter(Qt::Key_D);
    QCOMPARE(w.state()->scopeRange(), CodeValue);
    QCOMPARE(traceRows(image, CodeValue, 300), (std::set<int>{1023}));
    QCOMPARE(traceRows(image, CodeValue, 960), (std::set<int>{509}));

    // Channel keys apply on the scope page; the alpha of a clip without alpha is a single
    // line at full scale.
    image = w.scopeAfter(Qt::Key_A);
    QCOMPARE(w.state()->displayChannel(), Alpha);
    QCOMPARE(traceRows(image, CodeValue, 300), (std::set<int>{0}));
    image = w.scopeAfter(Qt::Key_Y);
    QCOMPARE(traceRows(image, CodeValue, 1600), (std::set<int>{0}));

    // D again: back to percent.
    image = w.scopeAfter(Qt::Key_D);
    QCOMPARE(w.state()->scopeRange(), Percent);
    QCOMPARE(traceRows(image, Percent, 960), (std::set<int>{510}));

    // Tab back: the picture page, the picture shown again.
    QTest::keyClick(w.window.get(), Qt::Key_Tab);
    QCOMPARE(w.state()->currentMode(), Viewer);
    QVERIFY(w.waitFor([&] { return !w.controller()->isAwaitingFrame(); }));
}

void TestScopePage::steppingOnTheScopePage()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath("scope_bands_limited.mp4")));
    w.scopeAfter(Qt::Key_Tab);
    QCOMPARE(w.state()->currentMode(), Scope);

    // Right steps one frame; the scope of the new frame follows.
    const QImage image = w.scopeAfter(Qt::Key_Right);
    QVERIFY(w.waitFor([&] { return w.state()->currentFrameNumber() == 1; }));
    QCOMPARE(image.size(), QSize(1920, 1024));
    // J and L (shuttles) do nothing here.
    QTest::keyClick(w.window.get(), Qt::Key_L);
    QTest::keyClick(w.window.get(), Qt::Key_J);
    QCOMPARE(w.state()->playState(), Stopped);
    // Rotation is a picture-page command.
    QTest::keyClick(w.window.get(), Qt::Key_L, Qt::ControlModifier);
    QCOMPARE(w.state()->viewerRotationDegrees(), 0);
}

void TestScopePage::vCyclesKindsAndTheGrid()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath("scope_bands_limited.mp4")));
    // V belongs to the scope page.
    QTest::keyClick(w.window.get(), Qt::Key_V);
    QCOMPARE(w.state()->scopeKind(), ScopeWaveform);

    const QImage waveformImage = w.scopeAfter(Qt::Key_Tab);
    const ScopeKind order[5] = {ScopeParade, ScopeVectorscope, ScopeHistogram, ScopeGrid, ScopeWaveform};
    QList<QImage> seen{waveformImage};
    for (ScopeKind kind : order) {
        const QImage image = w.scopeAfter(Qt::Key_V);
        QCOMPARE(w.state()->scopeKind(), kind);
        QCOMPARE(image.size(), QSize(1920, 1024));
        if (kind == ScopeGrid) {
            // The four kinds seen before, each at half size in its quarter.
            for (int i = 0; i < 4; ++i) {
                const QImage quarter = scopes::halfSize(seen.at(i)).copy(2, 2, 956, 508);
                QCOMPARE(image.copy((i % 2) * 960 + 2, (i / 2) * 512 + 2, 956, 508), quarter);
            }
        } else if (kind == ScopeWaveform) {
            QCOMPARE(image, waveformImage);
        } else {
            QVERIFY(!seen.contains(image));
        }
        seen << image;
    }
    // The kind stays when the page is left and shown again.
    w.scopeAfter(Qt::Key_V);
    QTest::keyClick(w.window.get(), Qt::Key_Tab);
    QCOMPARE(w.state()->currentMode(), Viewer);
    QCOMPARE(w.scopeAfter(Qt::Key_Tab), seen.at(1));
}

void TestScopePage::liveScopeFollowsPlayback()
{
    QTemporaryDir settingsDir;
    QVERIFY(useSettingsIn(settingsDir, false));
    const QString clip = testsupport::mediaPath("mono.mov");
    {
        // Off unless asked for: Tab stops playback and the scope page ignores Space.
        Window w;
        QVERIFY(w.open(clip));
        QTest::keyClick(w.window.get(), Qt::Key_Space);
        QCOMPARE(w.state()->playState(), Forward);
        w.scopeAfter(Qt::Key_Tab);
        QCOMPARE(w.state()->playState(), Stopped);
        QTest::keyClick(w.window.get(), Qt::Key_Space);
        QCOMPARE(w.state()->playState(), Stopped);
    }
    playerSettings().setValue(QStringLiteral("scopes/live"), true);

    Window w;
    QVERIFY(w.open(clip));
    w.scopeAfter(Qt::Key_Tab);
    QTest::keyClick(w.window.get(), Qt::Key_Space);
    QCOMPARE(w.state()->playState(), Forward);
    // Scopes come while it plays, never more than one asked for at a time.
    int most = 0;
    QVERIFY(w.waitFor([&] {
        most = std::max(most, w.scope()->requestsInFlight());
        return w.scope()->liveImagesReceived() >= 5 && w.state()->currentFrameNumber() > 10;
    }));
    QCOMPARE(most, 1);
    QTest::keyClick(w.window.get(), Qt::Key_K);
    QCOMPARE(w.state()->playState(), Stopped);
    QVERIFY(w.waitFor([&] { return w.scope()->requestsInFlight() == 0; }));

    // Tab during forward 1x keeps playing on the scope page; a shuttle stops there.
    QTest::keyClick(w.window.get(), Qt::Key_Tab);
    QTest::keyClick(w.window.get(), Qt::Key_Space);
    QTest::keyClick(w.window.get(), Qt::Key_Tab);
    QCOMPARE(w.state()->currentMode(), Scope);
    QCOMPARE(w.state()->playState(), Forward);
    QTest::keyClick(w.window.get(), Qt::Key_Space);
    QTest::keyClick(w.window.get(), Qt::Key_Tab);
    QTest::keyClick(w.window.get(), Qt::Key_L);
    QTest::keyClick(w.window.get(), Qt::Key_L);
    QTest::keyClick(w.window.get(), Qt::Key_Tab);
    QCOMPARE(w.state()->playState(), Stopped);
}

// Forward 1x from the first frame until 'lastFrame' is on screen, on the picture page or
// on the scope page (the grid, the dearest view), as the window records it.
struct LiveRun
{
    std::vector<int64_t> shown;  // pictures, in the order they went on screen
    std::vector<int64_t> scopes; // frames of the scopes that came while playing
    int mostInFlight = 0;        // scope requests out at once, at most
    bool stayedForward = true;
    int64_t notShownYet = -1;      // the first scope of a picture not yet on screen
    bool scopesInOrder = true;     // none older than the scope before it

    // Pictures on screen among frames 1..lastFrame.
    int64_t shownUpTo(int64_t lastFrame) const
    {
        return std::count_if(shown.begin(), shown.end(), [&](int64_t f) { return f >= 1 && f <= lastFrame; });
    }
};

LiveRun playLive(const QString &clip, bool scopePage, int64_t lastFrame)
{
    LiveRun run;
    Window w;
    if (!w.open(clip))
        return run;
    if (scopePage) {
        w.state()->setScopeKind(ScopeGrid);
        w.scopeAfter(Qt::Key_Tab);
        if (w.state()->currentMode() != Scope || w.scope()->scopeImage().isNull())
            return run;
    }
    OpenMedia *media = w.window->findChild<OpenMedia *>();
    bool playing = false;
    QObject::connect(w.state(), &ApplicationState::currentFrameNumberChanged, w.window.get(), [&](int64_t frame) {
        if (!playing)
            return;
        run.shown.push_back(frame);
        run.stayedForward = run.stayedForward && w.state()->playState() == Forward;
        run.mostInFlight = std::max(run.mostInFlight, w.scope()->requestsInFlight());
    });
    QObject::connect(media, &OpenMedia::scopeImageReady, w.window.get(), [&](const QImage &, int64_t frame) {
        if (!playing)
            return;
        if (run.notShownYet < 0 && std::find(run.shown.begin(), run.shown.end(), frame) == run.shown.end())
            run.notShownYet = frame;
        run.scopesInOrder = run.scopesInOrder && (run.scopes.empty() || frame >= run.scopes.back());
        run.scopes.push_back(frame);
    });
    // The picture on screen when play is pressed counts as shown.
    run.shown.push_back(w.state()->currentFrameNumber());
    playing = true;
    QTest::keyClick(w.window.get(), Qt::Key_Space);
    Window::waitFor([&] {
        run.mostInFlight = std::max(run.mostInFlight, w.scope()->requestsInFlight());
        return w.state()->currentFrameNumber() >= lastFrame || w.state()->playState() != Forward;
    });
    QTest::keyClick(w.window.get(), Qt::Key_K);
    playing = false;
    return run;
}

void TestScopePage::liveScopeKeepsEveryPicture()
{
    QTemporaryDir settingsDir;
    QVERIFY(useSettingsIn(settingsDir, true));
    // Eight seconds played each way.
    const QString clip = slowClip();
    constexpr int64_t kLastFrame = 40;

    // Picture page: no scope is asked for.
    const LiveRun hidden = playLive(clip, false, kLastFrame);
    QVERIFY(!hidden.shown.empty());
    QVERIFY(hidden.shown.back() >= kLastFrame);
    QVERIFY(hidden.scopes.empty());
    QCOMPARE(hidden.mostInFlight, 0);

    // Scope page: playback goes on to the same frame, the scope follows it (scopes from both
    // halves of the run, each of a picture already shown and none older than the one before)
    // with one request out at a time.
    const LiveRun live = playLive(clip, true, kLastFrame);
    QVERIFY(!live.shown.empty());
    QVERIFY(live.stayedForward);
    QVERIFY2(live.shown.back() >= kLastFrame, qPrintable(QStringLiteral("stopped at %1").arg(live.shown.back())));
    QVERIFY(std::set<int64_t>(live.scopes.begin(), live.scopes.end()).size() > 1);
    QVERIFY(live.scopes.front() < kLastFrame / 2);
    QVERIFY(live.scopes.back() >= kLastFrame / 2);
    QVERIFY2(live.notShownYet < 0,
             qPrintable(QStringLiteral("a scope of frame %1 before it was shown").arg(live.notShownYet)));
    QVERIFY(live.scopesInOrder);
    QCOMPARE(live.mostInFlight, 1);
    // And as many pictures as without the scope: a scope never costs a picture (within the
    // few a loaded machine skips in either run).
    const int64_t withoutScope = hidden.shownUpTo(kLastFrame);
    const int64_t withScope = live.shownUpTo(kLastFrame);
    qInfo("%lld pictures of %lld with the scope page (%zu scopes), %lld without", (long long)withScope,
          (long long)kLastFrame, live.scopes.size(), (long long)withoutScope);
    QVERIFY2(withScope >= withoutScope - 3,
             qPrintable(QStringLiteral("%1 pictures of %2 with the scope page, %3 without")
                            .arg(withScope)
                            .arg(kLastFrame)
                            .arg(withoutScope)));
}

void TestScopePage::dearLiveScopeFollowsAtItsOwnRate()
{
    QTemporaryDir settingsDir;
    QVERIFY(useSettingsIn(settingsDir, true));
    // A 1080p grid takes far longer than the 5 ms between two pictures at 200 fps: the page
    // still follows, at the rate the grid can be drawn, newest picture first, one request out.
    constexpr int64_t kLastFrame = 120;
    const LiveRun live = playLive(fastClip(), true, kLastFrame);
    QVERIFY(!live.shown.empty());
    QVERIFY(live.stayedForward);
    QVERIFY2(live.shown.back() >= kLastFrame, qPrintable(QStringLiteral("stopped at %1").arg(live.shown.back())));
    const std::set<int64_t> distinct(live.scopes.begin(), live.scopes.end());
    QVERIFY2(distinct.size() >= 4, qPrintable(QStringLiteral("%1 scopes of distinct pictures").arg(distinct.size())));
    QVERIFY(live.scopes.back() >= kLastFrame / 2);
    QVERIFY(live.notShownYet < 0);
    QVERIFY(live.scopesInOrder);
    QCOMPARE(live.mostInFlight, 1);
}

void TestScopePage::timecodeDigits_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("name");
    QTest::newRow("drop frame") << "00:59:59;29" << "PIC_" << "PIC_00595929.png";
    QTest::newRow("non-drop") << "01:00:10:12" << "SCOPE_" << "SCOPE_01001012.png";
    QTest::newRow("empty") << "" << "PIC_" << "PIC_.png";
}

void TestScopePage::timecodeDigits()
{
    QFETCH(QString, label);
    QFETCH(QString, prefix);
    QFETCH(QString, name);
    const QString path = ImageExporter::proposedPath(prefix, ImageExporter::timecodeDigits(label));
    QCOMPARE(QFileInfo(path).fileName(), name);
    QCOMPARE(QFileInfo(path).absolutePath(),
             QDir(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)).absolutePath());
}

// Full resolution, the isolated channel as 8-bit grey, the rotation applied without
// letterboxing, the name from the displayed timecode.
void TestScopePage::pictureExport()
{
    QTemporaryDir dir;
    Window w;
    QVERIFY(w.open(testsupport::mediaPath("scope_bands_limited.mp4")));
    DialogAnswerer answers;

    answers.path = dir.filePath("plain.png");
    QTest::keyClick(w.window.get(), Qt::Key_P);
    const QString digits = ImageExporter::timecodeDigits(w.timecodeText());
    QVERIFY(!digits.isEmpty());
    QCOMPARE(QFileInfo(answers.proposed).fileName(), QStringLiteral("PIC_%1.png").arg(digits));
    const QImage plain(answers.path);
    QCOMPARE(plain.size(), QSize(640, 360));
    QVERIFY(plain.format() != QImage::Format_Grayscale8); // an RGB file, even of grey bands
    // Left third black, right third white.
    QVERIFY(qGray(plain.pixel(50, 180)) < 8);
    QVERIFY(qGray(plain.pixel(600, 180)) > 247);

    QTest::keyClick(w.window.get(), Qt::Key_L, Qt::ControlModifier);
    QTest::keyClick(w.window.get(), Qt::Key_Y);
    QVERIFY(w.waitFor([&] { return !w.controller()->isAwaitingFrame(); }));
    answers.path = dir.filePath("turned.png");
    QTest::keyClick(w.window.get(), Qt::Key_P);
    const QImage turned(answers.path);
    QCOMPARE(turned.size(), QSize(360, 640));
    QCOMPARE(turned.format(), QImage::Format_Grayscale8);
    // A clockwise quarter turn: the source's left (black) is now at the top.
    QVERIFY(qGray(turned.pixel(180, 50)) < 8);
    QVERIFY(qGray(turned.pixel(180, 600)) > 247);

    // Cancelling writes nothing.
    answers.path.clear();
    QTest::keyClick(w.window.get(), Qt::Key_P);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

void TestScopePage::scopeExport()
{
    QTemporaryDir dir;
    Window w;
    QVERIFY(w.open(testsupport::mediaPath("scope_bands_limited.mp4")));
    w.scopeAfter(Qt::Key_Tab);
    DialogAnswerer answers;
    answers.path = dir.filePath("scope.png");
    QTest::keyClick(w.window.get(), Qt::Key_P);
    QVERIFY(QFileInfo(answers.proposed).fileName().startsWith(QLatin1String("SCOPE_")));
    const QImage saved(answers.path);
    QVERIFY(!saved.isNull());
    // The page as shown: the widget's size, not the engine's 1920 x 1024.
    QCOMPARE(saved.size(), w.scope()->size() * w.scope()->devicePixelRatioF());
}

void TestScopePage::failedWriteWarnsAndLeavesNothing()
{
    QTemporaryDir dir;
    Window w;
    QVERIFY(w.open(testsupport::mediaPath("scope_bands_limited.mp4")));
    DialogAnswerer answers;

    // Targets that cannot be written: a read-only folder (root writes anywhere, so there
    // /proc, where nobody creates files, stands in for it) and a missing folder. The path
    // comes straight from the exporter's chooser: the save dialog itself refuses both.
    ImageExporter *exporter = w.window->findChild<ImageExporter *>();
    QVERIFY(exporter);
    const QString readOnly = dir.filePath("read-only");
    QVERIFY(QDir().mkpath(readOnly));
    QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner);
    const QString lockedFolder = QFileInfo(readOnly).isWritable() ? QStringLiteral("/proc") : readOnly;
    for (const QString &target : {QDir(lockedFolder).filePath("PIC_orvel_test.png"), dir.filePath("missing/PIC.png")}) {
        exporter->setPathChooser([&](const QString &, const QString &) { return target; });
        answers.boxText.clear();
        QTest::keyClick(w.window.get(), Qt::Key_P);
        QVERIFY(w.waitFor([&] { return !answers.boxText.isEmpty(); }));
        QCOMPARE(answers.boxTitle, QStringLiteral("エラー"));
        QCOMPARE(answers.boxText, QStringLiteral("画像の保存に失敗しました。"));
        QVERIFY(!QFileInfo::exists(target));
        const QDir folder(QFileInfo(target).absolutePath());
        QCOMPARE(folder.entryList({QStringLiteral("*PIC*")}, QDir::Files | QDir::Hidden).size(), 0);
    }
    QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // writePng itself: a complete file or none.
    const QImage image(32, 16, QImage::Format_RGB32);
    QVERIFY(!ImageExporter::writePng(image, dir.filePath("missing/x.png")));
    QVERIFY(ImageExporter::writePng(image, dir.filePath("ok.png")));
    QCOMPARE(QImage(dir.filePath("ok.png")).size(), QSize(32, 16));
    QVERIFY(!ImageExporter::writePng(QImage(), dir.filePath("null.png")));
    QVERIFY(!QFileInfo::exists(dir.filePath("null.png")));
}

QTEST_MAIN(TestScopePage)
#include "tst_scopepage.moc"
