// The QApplication here is an OrvelApplication started with a command-line path, so the
// start-up choice between file-open events and the command line runs as in the player.

#include "app/orvelapplication.h"
#include "state/applicationstate.h"
#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QFileOpenEvent>
#include <QLabel>
#include <QtTest>

#include <memory>

namespace {

// Records every media-properties change of a window: an empty map marks the start of an
// open (openMediaFile), a map with "filePath" its successful end.
struct OpenRecorder
{
    QStringList opened;
    int starts = 0;

    void attach(MainWindow *window, QObject *context)
    {
        auto *state = window->findChild<ApplicationState *>();
        QVERIFY(state);
        QObject::connect(state, &ApplicationState::mediaPropertiesChanged, context, [this, state] {
            const QVariantMap map = state->property("mediaProperties").toMap();
            if (map.isEmpty())
                ++starts;
            else
                opened << map.value(QStringLiteral("filePath")).toString();
        });
    }
};

bool sendFileOpen(const QString &path)
{
    QFileOpenEvent event(path);
    return QCoreApplication::sendEvent(qApp, &event);
}

} // namespace

class TestOrvelApplication : public QObject
{
    Q_OBJECT

    OrvelApplication *app() { return static_cast<OrvelApplication *>(qApp); }

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void eventsBeforeTheWindowAreKept()
    {
        QCOMPARE(app()->mainWindow, nullptr);
        QVERIFY(sendFileOpen(testsupport::mediaPath(QStringLiteral("h264.mkv"))));
        QVERIFY(sendFileOpen(QString())); // accepted, but names nothing
        QVERIFY(sendFileOpen(testsupport::mediaPath(QStringLiteral("vp9.webm"))));
        QCOMPARE(app()->pendingFilePaths,
                 QList<QString>({testsupport::mediaPath(QStringLiteral("h264.mkv")),
                                 testsupport::mediaPath(QStringLiteral("vp9.webm"))}));
    }

    void firstPendingPathWinsOverTheCommandLine()
    {
        // Depends on the events of the previous case: h264.mkv, vp9.webm pending, and the
        // command line naming bgra.avi.
        QCOMPARE(app()->pendingFilePaths.size(), 2);
        auto window = std::make_unique<MainWindow>();
        OpenRecorder recorder;
        recorder.attach(window.get(), this);
        app()->mainWindow = window.get();
        app()->openInitialFile();
        QVERIFY(app()->pendingFilePaths.isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(recorder.opened.size(), 1, 20000);
        QCOMPARE(recorder.opened.first(), testsupport::mediaPath(QStringLiteral("h264.mkv")));
        QCOMPARE(window->findChild<QLabel *>(QStringLiteral("PathLabel"))->text(),
                 testsupport::mediaPath(QStringLiteral("h264.mkv")));
        // Neither the second event's path nor the command line is opened later.
        QTest::qWait(500);
        QCOMPARE(recorder.starts, 1);
        QCOMPARE(recorder.opened.size(), 1);

        // With the window there, events open at once; an empty one is still ignored.
        const int startsBefore = recorder.starts;
        QVERIFY(sendFileOpen(QString()));
        QCOMPARE(recorder.starts, startsBefore);
        QVERIFY(sendFileOpen(testsupport::mediaPath(QStringLiteral("vp9.webm"))));
        QCOMPARE(recorder.starts, startsBefore + 1); // synchronously, not queued for later
        QVERIFY(app()->pendingFilePaths.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(recorder.opened.size(), 2, 20000);
        QCOMPARE(recorder.opened.last(), testsupport::mediaPath(QStringLiteral("vp9.webm")));

        app()->mainWindow = nullptr;
    }

    void commandLinePathWithoutEvents()
    {
        QVERIFY(app()->pendingFilePaths.isEmpty());
        auto window = std::make_unique<MainWindow>();
        OpenRecorder recorder;
        recorder.attach(window.get(), this);
        app()->mainWindow = window.get();
        app()->openInitialFile();
        QTRY_COMPARE_WITH_TIMEOUT(recorder.opened.size(), 1, 20000);
        QCOMPARE(recorder.opened.first(), testsupport::mediaPath(QStringLiteral("bgra.avi")));
        QCOMPARE(recorder.starts, 1);
        app()->mainWindow = nullptr;
    }
};

int main(int argc, char **argv)
{
    // The application sees "<program> <clip>" (plus a stray second path that must never
    // be used); QTest gets the real arguments.
    QByteArray program = argv[0];
    QByteArray commandLinePath = testsupport::mediaPath(QStringLiteral("bgra.avi")).toLocal8Bit();
    QByteArray extraPath = testsupport::mediaPath(QStringLiteral("still.png")).toLocal8Bit();
    char *appArgv[] = {program.data(), commandLinePath.data(), extraPath.data(), nullptr};
    int appArgc = 3;
    OrvelApplication app(appArgc, appArgv);
    TestOrvelApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_orvelapplication.moc"
