#include "state/applicationstate.h"
#include "testsupport.h"
#include "ui/mainwindow.h"
#include "ui/openfilecommand.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <memory>

namespace {

// Answers the next file dialog once it is up (the dialog blocks the caller): records where
// it started and its filters, then chooses 'file' or, with an empty 'file', cancels.
struct DialogAnswer
{
    bool seen = false;
    QString startedIn;
    QStringList filters;
};

void answerNextFileDialog(const QString &file, DialogAnswer *answer)
{
    auto *poll = new QTimer;
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, file, answer, tries = 0]() mutable {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        if (!answer->seen) {
            answer->seen = true;
            answer->startedIn = dialog->directory().absolutePath();
            answer->filters = dialog->nameFilters();
        }
        bool done = true;
        if (file.isEmpty()) {
            dialog->reject();
        } else {
            // Typed, as a user would: selectFile only selects what the listing has shown.
            if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                edit->setText(file);
            if (dialog->selectedFiles() == QStringList{file})
                static_cast<QDialog *>(dialog)->accept(); // QFileDialog::accept is protected
            else if (++tries > 250)
                dialog->reject(); // the test then fails on the missing path, not on a hang
            else
                done = false;
        }
        if (done) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start();
}

struct Host
{
    std::unique_ptr<QWidget> window = std::make_unique<QWidget>();
    QString currentFile;
    QStringList opened;
    OpenFileCommand *command = new OpenFileCommand(
        window.get(), [this] { return currentFile; }, [this](const QString &path) { opened << path; });

    bool showActive()
    {
        window->resize(400, 300);
        window->show();
        window->activateWindow();
        return QTest::qWaitForWindowActive(window.get());
    }
};

} // namespace

class TestOpenFileCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }

    void startFolder_data()
    {
        QTest::addColumn<QString>("currentFile");
        QTest::addColumn<QString>("expected");
        const QString media = testsupport::mediaDir();
        QTest::newRow("open file") << media + QStringLiteral("/h264.mkv") << QDir(media).absolutePath();
        QTest::newRow("no file") << QString() << QDir::homePath();
        QTest::newRow("folder gone") << QStringLiteral("/nonexistent-orvel-folder/clip.mov") << QDir::homePath();
        QTest::newRow("relative") << QStringLiteral("clip.mov") << QDir::currentPath();
    }

    void startFolder()
    {
        QFETCH(QString, currentFile);
        QFETCH(QString, expected);
        QCOMPARE(OpenFileCommand::startFolder(currentFile), expected);
    }

    // The media filter must not hide the formats the player is tested with.
    void mediaFilterShowsTheTestClips_data()
    {
        QTest::addColumn<QString>("clip");
        for (const char *clip : {"h264_1080p25.mov", "prores.mxf", "uhd_h264.mp4", "h264.mkv", "vp9.webm", "bgra.avi",
                                 "bwf_tc.wav", "audio.flac", "audio.m4a", "audio.opus", "container.ts",
                                 "container.mpg", "audio.mp3", "audio.aac", "audio.ogg"})
            QTest::newRow(clip) << QString::fromLatin1(clip);
    }

    void mediaFilterShowsTheTestClips()
    {
        QFETCH(QString, clip);
        const QStringList filters = OpenFileCommand::nameFilters();
        QCOMPARE(filters.size(), 2);
        QCOMPARE(filters.last(), QStringLiteral("All files (*)"));
        const QString media = filters.first();
        QVERIFY(media.startsWith(QLatin1String("Media files (")));
        const QStringList globs =
            media.mid(media.indexOf(QLatin1Char('(')) + 1).chopped(1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QVERIFY(QDir::match(globs, clip));
    }

    // Ctrl+O brings up the dialog in the open file's folder with both filters; accepting a
    // file hands exactly that path over once, cancelling hands over nothing.
    void ctrlOOpensTheChosenFile_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("accepted") << true;
        QTest::newRow("cancelled") << false;
    }

    void ctrlOOpensTheChosenFile()
    {
        QFETCH(bool, accept);
        Host host;
        host.currentFile = testsupport::mediaPath(QStringLiteral("h264.mkv"));
        const QString chosen = testsupport::mediaPath(QStringLiteral("vp9.webm"));
        QVERIFY(host.showActive());

        DialogAnswer answer;
        answerNextFileDialog(accept ? chosen : QString(), &answer);
        QTest::keyClick(host.window.get(), Qt::Key_O, Qt::ControlModifier);

        QVERIFY(answer.seen);
        QCOMPARE(answer.startedIn, QDir(testsupport::mediaDir()).absolutePath());
        QCOMPARE(answer.filters, OpenFileCommand::nameFilters());
        QCOMPARE(host.opened, accept ? QStringList{chosen} : QStringList{});
    }

    // Cameras and recorders write upper-case names (A001.MOV); the dialog lists them under the
    // media filter, and not the files that are no media.
    void dialogListsUpperCaseMediaNames()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        for (const char *name : {"A001C002.MOV", "clip.mxf", "notes.txt", "CLIP.WAV"}) {
            QFile file(folder.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        Host host;
        host.currentFile = folder.filePath(QStringLiteral("clip.mxf"));
        QVERIFY(host.showActive());

        QStringList listed;
        auto *poll = new QTimer;
        poll->setInterval(20);
        connect(poll, &QTimer::timeout, poll, [poll, &listed, tries = 0]() mutable {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible())
                return;
            auto *view = dialog->findChild<QListView *>(QStringLiteral("listView"));
            QStringList names;
            if (view) {
                const QModelIndex root = view->rootIndex();
                for (int row = 0; row < view->model()->rowCount(root); ++row)
                    names << view->model()->index(row, 0, root).data().toString();
            }
            if (names.size() < 3 && ++tries < 250)
                return; // still listing
            listed = names;
            poll->stop();
            poll->deleteLater();
            dialog->reject();
        });
        poll->start();
        host.command->trigger();
        listed.sort();
        QCOMPARE(listed, (QStringList{QStringLiteral("A001C002.MOV"), QStringLiteral("CLIP.WAV"),
                                      QStringLiteral("clip.mxf")}));
    }

    // In the player: Ctrl+O reaches the command past the window's own key handling, the
    // dialog starts beside the open file, and the chosen file is opened as a drop would be.
    void ctrlOInThePlayerOpensTheChosenFile()
    {
        MainWindow window;
        auto *state = window.findChild<ApplicationState *>();
        auto *pathLabel = window.findChild<QLabel *>(QStringLiteral("PathLabel"));
        QVERIFY(state && pathLabel);
        const QString first = testsupport::mediaPath(QStringLiteral("h264.mkv"));
        const QString second = testsupport::mediaPath(QStringLiteral("audio.flac"));
        window.openMediaFile(first);
        QTRY_COMPARE_WITH_TIMEOUT(pathLabel->text(), first, 20000);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        DialogAnswer answer;
        answerNextFileDialog(second, &answer);
        QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
        QVERIFY(answer.seen);
        QCOMPARE(answer.startedIn, QDir(testsupport::mediaDir()).absolutePath());
        QTRY_COMPARE_WITH_TIMEOUT(pathLabel->text(), second, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(state->mediaInfo().filePath, second, 20000);
    }

    void withoutAFileTheDialogStartsAtHome()
    {
        Host host;
        QVERIFY(host.showActive());
        DialogAnswer answer;
        answerNextFileDialog(QString(), &answer);
        host.command->action()->trigger();
        QVERIFY(answer.seen);
        QCOMPARE(answer.startedIn, QDir::homePath());
        QVERIFY(host.opened.isEmpty());
    }
};

QTEST_MAIN(TestOpenFileCommand)
#include "tst_openfilecommand.moc"
