// The scope page and P from the keyboard of a real window: Tab, D, channel keys and
// stepping drive the engine's scope image; P saves the picture or the page through the
// save dialog, and a failed write warns and leaves nothing behind.

#include "scopes/scoperenderer.h"
#include "scopes/waveformrenderer.h"
#include "state/applicationstate.h"
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
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <set>

namespace {

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
    void initTestCase() { testsupport::registerMetaTypes(); }
    void keysDriveTheScope();
    void steppingOnTheScopePage();
    void vCyclesKindsAndTheGrid();
    void liveScopeFollowsPlayback();
    void timecodeDigits_data();
    void timecodeDigits();
    void pictureExport();
    void scopeExport();
    void failedWriteWarnsAndLeavesNothing();
};

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
    QVERIFY(settingsDir.isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
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
    QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orvel"), QStringLiteral("Orvel"))
        .setValue(QStringLiteral("scopes/live"), true);

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
