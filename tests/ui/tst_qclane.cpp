// The QC analysis in the player, through the real window: events of the faults clip reach
// the lane, the list and the report; ] and [ land on each event's first frame; a new file
// aborts the last one's analysis; a failed report write leaves no file. Also the pieces
// without a window: the jump order, the report's text forms, the settings dialog.

#include "analysis/qcreport.h"
#include "app/cli.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/mainwindow.h"
#include "ui/qceventlane.h"
#include "ui/qcgraphstrip.h"
#include "ui/qceventlist.h"
#include "ui/qceventnavigator.h"
#include "ui/qcreportexport.h"
#include "ui/qcsession.h"
#include "ui/qcsettingsdialog.h"
#include "ui/seekbar.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextStream>
#include <QToolTip>
#include <QtTest>

#include <memory>

namespace {

constexpr int kWaitMs = 60000;

struct Window
{
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    ApplicationState *state() const { return window->findChild<ApplicationState *>(); }
    PlaybackController *controller() const { return window->findChild<PlaybackController *>(); }
    QcSession *session() const { return window->findChild<QcSession *>(); }
    SeekBar *seekBar() const { return window->findChild<SeekBar *>(); }
    QcEventList *list() const { return window->findChild<QcEventList *>(); }
    QcGraphStrip *graphs() const { return window->findChild<QcGraphStrip *>(); }
    QcEventLane *lane() const { return window->findChild<QcEventLane *>(); }
    QLabel *infoLabel() const
    {
        // The label the playback rate shows in: the information area.
        for (QLabel *label : window->findChildren<QLabel *>())
            if (label->objectName() == QLatin1String("PlaybackInfoLabel"))
                return label;
        return nullptr;
    }
    int64_t frame() const { return state()->currentFrameNumber(); }

    bool open(const QString &path) const
    {
        window->openMediaFile(path);
        return waitFor([&] {
            return state()->mediaInfo().filePath == path && !controller()->isAwaitingFrame() && frame() == 0;
        });
    }
    bool seekTo0() const
    {
        controller()->requestSeek(0);
        return settleAt(0);
    }
    bool analysed() const
    {
        return waitFor([&] { return session()->state() == QcSession::State::Analysed; });
    }
    bool settleAt(int64_t target) const
    {
        return waitFor([&] { return frame() == target && !controller()->isAwaitingFrame(); });
    }
    template <typename Predicate>
    static bool waitFor(Predicate done)
    {
        return QTest::qWaitFor(done, kWaitMs);
    }
};

qc::Event makeEvent(qc::Check check, int64_t first, int64_t last, double fps = 25.0)
{
    qc::Event e;
    e.check = check;
    e.startFrame = first;
    e.endFrame = last;
    e.startSec = double(first) / fps;
    e.endSec = double(last + 1) / fps;
    e.message = QStringLiteral("a \"quoted\", message");
    return e;
}

// RFC 4180 cells of one CSV text: rows of cells (quotes and CRLF undone).
QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> rows;
    QStringList row;
    QString cell;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < text.size() && text[i + 1] == QLatin1Char('"')) {
                cell += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            row.append(cell);
            cell.clear();
        } else if (c == QLatin1Char('\r')) {
            continue;
        } else if (c == QLatin1Char('\n')) {
            row.append(cell);
            rows.append(row);
            row.clear();
            cell.clear();
        } else {
            cell += c;
        }
    }
    return rows;
}

// orvel-cli qc on one file: its JSON lines, parsed.
QList<QJsonObject> cliQc(const QString &path)
{
    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    cli::Io io{outStream, errStream};
    const int code = cli::run({QStringLiteral("orvel-cli"), QStringLiteral("qc"), path}, io);
    outStream.flush();
    if (code != 0)
        return {};
    QList<QJsonObject> lines;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines.append(QJsonDocument::fromJson(line.toUtf8()).object());
    return lines;
}

// orvel-cli loudness of one pair: its integrated loudness.
double cliLoudness(const QString &path, int left, int right)
{
    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    cli::Io io{outStream, errStream};
    const int code = cli::run({QStringLiteral("orvel-cli"), QStringLiteral("loudness"), path, QStringLiteral("--left"),
                               QString::number(left), QStringLiteral("--right"), QString::number(right)},
                              io);
    outStream.flush();
    if (code != 0)
        return std::numeric_limits<double>::quiet_NaN();
    return QJsonDocument::fromJson(out.trimmed().toUtf8()).object().value(QStringLiteral("integratedLufs")).toDouble();
}

QString describe(const QList<qc::Event> &events)
{
    QStringList parts;
    for (const qc::Event &e : events)
        parts.append(QStringLiteral("%1 %2-%3").arg(qc::checkName(e.check)).arg(e.startFrame).arg(e.endFrame));
    return parts.join(QStringLiteral("; "));
}

// Once the export's save dialog shows: notes what it proposed, and accepts it with
// 'fileName' in 'folder'.
void answerSaveDialog(const QString &folder, const QString &fileName, QString *proposed)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, folder, fileName, proposed] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *dialog = qobject_cast<QFileDialog *>(widget);
            if (dialog && dialog->isVisible()) {
                *proposed = dialog->selectedFiles().value(0);
                dialog->setDirectory(folder);
                // selectFile keeps a name already typed; the name field is what accept reads.
                if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                    name->setText(fileName);
                static_cast<QDialog *>(dialog)->accept(); // QFileDialog::accept is protected
                poll->deleteLater();
                return;
            }
        }
    });
    poll->start(50);
}

} // namespace

class TestQcLane : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        testsupport::registerMetaTypes();
        QStandardPaths::setTestModeEnabled(true);
        QSettings().clear();
    }
    void jumpOrder_data();
    void jumpOrder();
    void reportTextForms();
    void failedWriteLeavesNoFile_data();
    void failedWriteLeavesNoFile();
    void settingsDialog();
    void faultsClipThroughTheWindow();
    void anotherFileAbortsTheAnalysis();
    void settingsChangeRerunsAndIsRemembered();
    void playbackGoesOnDuringTheAnalysis();
    void graphsThroughTheWindow();
};

void TestQcLane::jumpOrder_data()
{
    QTest::addColumn<int64_t>("frame");
    QTest::addColumn<int>("landed");
    QTest::addColumn<int>("next");
    QTest::addColumn<int>("previous");
    // Events start at 0, 50, 50 (two channels), 100.
    QTest::newRow("from the start") << int64_t(0) << -1 << 1 << -1;
    QTest::newRow("between") << int64_t(70) << -1 << 3 << 2;
    QTest::newRow("on a shared start, not landed") << int64_t(50) << -1 << 3 << 0;
    QTest::newRow("landed on the first of two") << int64_t(50) << 1 << 2 << 0;
    QTest::newRow("landed on the second of two") << int64_t(50) << 2 << 3 << 1;
    QTest::newRow("landed on the last") << int64_t(100) << 3 << -1 << 2;
    QTest::newRow("past the last") << int64_t(200) << -1 << -1 << 3;
}

void TestQcLane::jumpOrder()
{
    QFETCH(int64_t, frame);
    QFETCH(int, landed);
    QFETCH(int, next);
    QFETCH(int, previous);
    const QList<qc::Event> events = {makeEvent(qc::Check::Loudness, 0, 299), makeEvent(qc::Check::Silence, 50, 112),
                                     makeEvent(qc::Check::Silence, 50, 60), makeEvent(qc::Check::Black, 100, 124)};
    QCOMPARE(QcEventNavigator::nextIndex(events, frame, landed), next);
    QCOMPARE(QcEventNavigator::previousIndex(events, frame, landed), previous);
}

void TestQcLane::reportTextForms()
{
    MediaInfo info;
    info.fps = 25.0;
    info.startTimecode = QStringLiteral("10:00:00:00");
    qc::Event black = makeEvent(qc::Check::Black, 100, 124);
    qc::Event silence = makeEvent(qc::Check::Silence, 50, 112);
    silence.channel = 1;
    silence.value = -std::numeric_limits<double>::infinity();
    qc::Report report{QStringLiteral("/media/a,b.mov"), info, {}, {silence, black}};
    report.summary.frames = 300;
    report.summary.eventCounts[size_t(qc::Check::Black)] = 1;
    report.summary.eventCounts[size_t(qc::Check::Silence)] = 1;
    report.summary.failed = true;

    QCOMPARE(qc::eventHeadline(black, info), QStringLiteral("black 10:00:04:00–10:00:04:24 (25 frames)"));
    MediaInfo audioOnly;
    audioOnly.isAudioOnly = true;
    QCOMPARE(qc::eventHeadline(silence, audioOnly), QStringLiteral("silence 2.000–4.520 s (63 frames) channel 1"));

    // JSON: an array of the command's objects, the summary last.
    const QJsonArray array = QJsonDocument::fromJson(qc::reportJson(report)).array();
    QCOMPARE(array.size(), 3);
    QCOMPARE(array[0].toObject(), QJsonDocument::fromJson(qc::eventJson(report.file, silence, info).toUtf8()).object());
    QCOMPARE(array[1].toObject().value(QStringLiteral("startTimecode")).toString(), QStringLiteral("10:00:04:00"));
    QVERIFY(array[0].toObject().value(QStringLiteral("value")).isNull());
    QCOMPARE(array[2].toObject().value(QStringLiteral("result")).toString(), QStringLiteral("fail"));
    QCOMPARE(array[2].toObject().value(QStringLiteral("events")).toObject().value(QStringLiteral("black")).toInt(), 1);

    // CSV: quoted cells survive, null is empty, the summary table follows an empty line.
    const QList<QStringList> rows = parseCsv(QString::fromUtf8(qc::reportCsv(report)));
    QCOMPARE(rows.size(), 6);
    const QStringList header = rows[0];
    QCOMPARE(header.first(), QStringLiteral("file"));
    QCOMPARE(rows[1].size(), header.size());
    QCOMPARE(rows[1][header.indexOf(QStringLiteral("file"))], report.file);
    QCOMPARE(rows[1][header.indexOf(QStringLiteral("message"))], silence.message);
    QCOMPARE(rows[1][header.indexOf(QStringLiteral("value"))], QString());
    QCOMPARE(rows[1][header.indexOf(QStringLiteral("channel"))], QStringLiteral("1"));
    QCOMPARE(rows[2][header.indexOf(QStringLiteral("endTimecode"))], QStringLiteral("10:00:04:24"));
    QCOMPARE(rows[3], QStringList{QString()});
    QCOMPARE(rows[4].size(), rows[5].size());
    QCOMPARE(rows[5][rows[4].indexOf(QStringLiteral("result"))], QStringLiteral("fail"));
    QCOMPARE(rows[5][rows[4].indexOf(QStringLiteral("blackEvents"))], QStringLiteral("1"));
    QCOMPARE(rows[5][rows[4].indexOf(QStringLiteral("freezeEvents"))], QStringLiteral("0"));
}

void TestQcLane::failedWriteLeavesNoFile_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("missing folder") << "missing/clip_qc.csv";
    QTest::newRow("a folder in the way") << "taken_qc.json";
}

void TestQcLane::failedWriteLeavesNoFile()
{
    QFETCH(QString, relative);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("taken_qc.json")));
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    qc::Report report;
    report.events = {makeEvent(qc::Check::Black, 0, 9)};
    const QString reason = QcReportExport::write(dir.filePath(relative), report);
    QVERIFY(!reason.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), before);
    // A good path next to it works, and the extension picks the form.
    QVERIFY(QcReportExport::write(dir.filePath(QStringLiteral("ok.json")), report).isEmpty());
    QFile written(dir.filePath(QStringLiteral("ok.json")));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(QJsonDocument::fromJson(written.readAll()).isArray());
    QCOMPARE(QcReportExport::proposedPath(QStringLiteral("/m/take.2.mov")), QStringLiteral("/m/take.2_qc.csv"));
}

void TestQcLane::settingsDialog()
{
    qc::Settings settings;
    settings.loudnessLeft = 2;
    QcSettingsDialog dialog(qc::Preset::Ebu, settings, true);
    QDoubleSpinBox *target = dialog.editor(QStringLiteral("Loudness: target (LUFS)"));
    QVERIFY(target);
    QCOMPARE(target->value(), -23.0);
    // A preset fills in its own thresholds; a threshold then changed by hand is kept.
    dialog.presetBox()->setCurrentIndex(1);
    QCOMPARE(dialog.preset(), qc::Preset::Atsc);
    QCOMPARE(target->value(), qc::presetThresholds(qc::Preset::Atsc).loudnessTarget);
    dialog.editor(QStringLiteral("Black: at least frames"))->setValue(7);
    const qc::Settings chosen = dialog.settings();
    QCOMPARE(chosen.thresholds.blackMinFrames, 7);
    QCOMPARE(chosen.thresholds.loudnessTarget, qc::presetThresholds(qc::Preset::Atsc).loudnessTarget);
    QCOMPARE(chosen.loudnessLeft, std::optional<int>(2));
    QVERIFY(chosen.isEnabled(qc::Check::Freeze));
}

void TestQcLane::faultsClipThroughTheWindow()
{
    const QString clip = testsupport::mediaPath(QStringLiteral("qc_faults.mkv"));
    Window w;
    QVERIFY(w.open(clip));
    QVERIFY(w.analysed());
    const QList<qc::Event> events = w.session()->events();
    QCOMPARE(describe(events), QStringLiteral("loudness 0-299; silence 50-112; black 100-124; freeze 150-199; "
                                              "truePeak 175-177; levels 220-229; timestampGap 260-260"));

    // The lane: one range per event in its check's row, errors marked; the list: one row each.
    const QList<SeekBarRange> ranges = w.seekBar()->laneRanges();
    QCOMPARE(ranges.size(), events.size());
    for (qsizetype i = 0; i < events.size(); ++i) {
        QCOMPARE(ranges[i].firstFrame, events[i].startFrame);
        QCOMPARE(ranges[i].lastFrame, events[i].endFrame);
        QCOMPARE(ranges[i].row, QcEventLane::rowOf(events[i].check));
        QCOMPARE(ranges[i].colour, QcEventLane::colourOf(events[i].check));
        QCOMPARE(ranges[i].mark.isValid(), events[i].severity == qc::Severity::Error);
        QVERIFY(ranges[i].toolTip.startsWith(qc::eventHeadline(events[i], w.session()->info())));
    }
    QCOMPARE(w.seekBar()->laneRangeAt(w.seekBar()->laneRect(ranges[2]).center()), 2);
    QCOMPARE(w.list()->table()->rowCount(), int(events.size()));
    QCOMPARE(w.list()->table()->item(2, 1)->text(), QStringLiteral("10:00:04:00"));
    QCOMPARE(w.list()->table()->item(2, 2)->text(), QStringLiteral("10:00:04:24"));

    // ] from frame 0 visits every later event's first frame (the missing picture 260 shows as
    // 261), with its text in the information area; [ walks back to the first.
    QVERIFY(!w.list()->isVisible());
    QTest::keyClick(w.window.get(), Qt::Key_Q);
    QVERIFY(w.list()->isVisible());
    for (qsizetype i = 1; i < events.size(); ++i) {
        QTest::keyClick(w.window.get(), Qt::Key_BracketRight);
        const int64_t shown = events[i].check == qc::Check::TimestampGap ? events[i].startFrame + 1 : events[i].startFrame;
        QVERIFY2(w.settleAt(shown), qPrintable(QString::number(i)));
        QCOMPARE(w.state()->playState(), Stopped);
        QCOMPARE(w.infoLabel()->text(), qc::eventHeadline(events[i], w.session()->info()));
        QCOMPARE(w.list()->table()->currentRow(), int(i));
    }
    QCOMPARE(w.infoLabel()->text(), QStringLiteral("timestampGap 10:00:10:10–10:00:10:10 (1 frame)"));
    QTest::keyClick(w.window.get(), Qt::Key_BracketRight); // nothing after the last
    QTest::qWait(200);
    QCOMPARE(w.frame(), events.last().startFrame + 1);
    for (qsizetype i = events.size() - 2; i >= 0; --i) {
        QTest::keyClick(w.window.get(), Qt::Key_BracketLeft);
        QVERIFY2(w.settleAt(events[i].startFrame), qPrintable(QString::number(i)));
    }
    QCOMPARE(w.infoLabel()->text(), qc::eventHeadline(events[0], w.session()->info()));
    // A step off the event takes its text away.
    QTest::keyClick(w.window.get(), Qt::Key_Right);
    QVERIFY(w.settleAt(1));
    QCOMPARE(w.infoLabel()->text(), QString());
    // A click on a row jumps there.
    QTest::mouseClick(w.list()->table()->viewport(), Qt::LeftButton, {},
                      w.list()->table()->visualItemRect(w.list()->table()->item(3, 0)).center());
    QVERIFY(w.settleAt(150));

    // Ctrl+Shift+E: the CSV's rows are the command's events, field by field.
    QTemporaryDir dir;
    const QString csvPath = dir.filePath(QStringLiteral("faults_qc.csv"));
    QString proposed;
    answerSaveDialog(dir.path(), QStringLiteral("faults_qc.csv"), &proposed);
    QTest::keyClick(w.window.get(), Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(proposed, QDir(testsupport::mediaDir()).filePath(QStringLiteral("qc_faults_qc.csv")));
    QFile csv(csvPath);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QStringList> rows = parseCsv(QString::fromUtf8(csv.readAll()));
    const QList<QJsonObject> cli = cliQc(clip);
    QCOMPARE(cli.size(), events.size() + 1);
    const QStringList header = rows.value(0);
    for (qsizetype i = 0; i < events.size(); ++i) {
        const QJsonObject &line = cli[i];
        QCOMPARE(rows[i + 1].size(), header.size());
        QCOMPARE(QStringList(line.keys()).size(), header.size());
        for (qsizetype c = 0; c < header.size(); ++c) {
            const QJsonValue value = line.value(header[c]);
            const QString cell = rows[i + 1][c];
            if (value.isNull())
                QCOMPARE(cell, QString());
            else if (value.isString())
                QCOMPARE(cell, value.toString());
            else
                QVERIFY2(std::abs(cell.toDouble() - value.toDouble()) < 1e-9, qPrintable(header[c] + QLatin1Char(' ') + cell));
        }
    }
    QCOMPARE(rows[events.size() + 3][rows[events.size() + 2].indexOf(QStringLiteral("result"))],
             cli.last().value(QStringLiteral("result")).toString());

    // JSON through the same keys: the command's objects (less the run's own time).
    const QString jsonPath = dir.filePath(QStringLiteral("faults_qc.json"));
    answerSaveDialog(dir.path(), QStringLiteral("faults_qc.json"), &proposed);
    QTest::keyClick(w.window.get(), Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);
    QFile json(jsonPath);
    QVERIFY(json.open(QIODevice::ReadOnly));
    const QJsonArray array = QJsonDocument::fromJson(json.readAll()).array();
    QCOMPARE(array.size(), cli.size());
    for (qsizetype i = 0; i < cli.size(); ++i) {
        QJsonObject fromFile = array[i].toObject();
        QJsonObject fromCli = cli[i];
        fromFile.remove(QStringLiteral("elapsedSec"));
        fromCli.remove(QStringLiteral("elapsedSec"));
        QCOMPARE(fromFile, fromCli);
    }
}

void TestQcLane::anotherFileAbortsTheAnalysis()
{
    Window w;
    QSignalSpy added(w.session(), &QcSession::eventAdded);
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("qc_faults.mkv"))));
    // Mid-analysis: the first event is in, the summary is not.
    QVERIFY(Window::waitFor([&] { return w.session()->events().size() >= 1; }));
    QCOMPARE(w.session()->state(), QcSession::State::Running);
    QVERIFY(!w.seekBar()->laneRanges().isEmpty());
    QVERIFY(w.seekBar()->laneProgress() >= 0.0);

    const QString clean = testsupport::mediaPath(QStringLiteral("qc_clean.mov"));
    w.window->openMediaFile(clean);
    // At once: nothing of the last file is left.
    QVERIFY(w.session()->events().isEmpty());
    QVERIFY(w.seekBar()->laneRanges().isEmpty());
    QCOMPARE(w.list()->table()->rowCount(), 0);
    added.clear();
    QVERIFY(w.open(clean));
    QVERIFY(w.analysed());
    QCOMPARE(w.session()->path(), clean);
    QCOMPARE(describe(w.session()->events()), QString());
    QCOMPARE(added.size(), 0); // no late answer of the aborted run
    QVERIFY(w.seekBar()->laneRanges().isEmpty());
    QCOMPARE(w.seekBar()->laneProgress(), -1.0);
}

void TestQcLane::settingsChangeRerunsAndIsRemembered()
{
    {
        Window w;
            QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("qc_faults.mkv"))));
        QVERIFY(w.analysed());
        qc::Settings settings = w.session()->settings();
        settings.enabled.fill(false);
        settings.enabled[size_t(qc::Check::Black)] = true;
        settings.thresholds.blackMinFrames = 30; // longer than the 25 black frames
        w.session()->setSettings(qc::Preset::Streaming, settings);
        QCOMPARE(w.session()->state(), QcSession::State::Running);
        QVERIFY(w.analysed());
        QCOMPARE(describe(w.session()->events()), QString());
        settings.thresholds.blackMinFrames = 3;
        w.session()->setSettings(qc::Preset::Streaming, settings);
        QVERIFY(w.analysed());
        QCOMPARE(describe(w.session()->events()), QStringLiteral("black 100-124"));
        w.session()->setAnalyseOnOpen(false);
    }
    // The next window starts from the preset last chosen, and the switch is kept.
    Window w;
    QCOMPARE(w.session()->preset(), qc::Preset::Streaming);
    QCOMPARE(w.session()->settings().thresholds.loudnessTarget,
             qc::presetThresholds(qc::Preset::Streaming).loudnessTarget);
    QVERIFY(!w.session()->analyseOnOpen());
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("qc_edges.mkv"))));
    QTest::qWait(300);
    QCOMPARE(w.session()->state(), QcSession::State::Idle);
    QVERIFY(w.seekBar()->laneRanges().isEmpty());
    w.session()->setAnalyseOnOpen(true);
    QSettings().clear();
}

void TestQcLane::playbackGoesOnDuringTheAnalysis()
{
    Window w;
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("qc_faults.mkv"))));
    QCOMPARE(w.session()->state(), QcSession::State::Running);
    QTest::keyClick(w.window.get(), Qt::Key_Space);
    QVERIFY(w.session()->isPaused());
    // Pictures keep coming; the analysis holds (after the picture it was on) until playback stops.
    QVERIFY(Window::waitFor([&] { return w.frame() >= 10; }));
    const int held = w.session()->progress();
    QVERIFY(Window::waitFor([&] { return w.frame() >= 40; }));
    QCOMPARE(w.state()->playState(), Forward);
    QCOMPARE(w.session()->progress(), held);
    QCOMPARE(w.session()->state(), QcSession::State::Running);
    QTest::keyClick(w.window.get(), Qt::Key_K);
    QVERIFY(!w.session()->isPaused());
    QVERIFY(w.analysed());

    // Without the pause it reads on beside playback.
    w.session()->setPauseDuringPlayback(false);
    QVERIFY(w.seekTo0());
    w.session()->rerun();
    QTest::keyClick(w.window.get(), Qt::Key_Space);
    QVERIFY(Window::waitFor([&] { return w.frame() >= 10; }));
    const int before = w.session()->progress();
    QVERIFY(Window::waitFor([&] { return w.frame() >= 40; }));
    QVERIFY(w.session()->progress() > before || w.session()->state() == QcSession::State::Analysed);
    QTest::keyClick(w.window.get(), Qt::Key_K);
    QVERIFY(w.analysed());
}

void TestQcLane::graphsThroughTheWindow()
{
    // Black frames 0-49, white 50-99, half and half 100-199; channels 0 and 1 at -23 dBFS,
    // 2 and 3 at -33.
    const QString clip = testsupport::mediaPath(QStringLiteral("qc_graphs.mkv"));
    Window w;
    QcGraphStrip *strip = w.graphs();
    QVERIFY(strip);
    QVERIFY(strip->isHidden());
    bool drawnWhileRunning = false;
    connect(w.session(), &QcSession::seriesAdded, this, [&] {
        drawnWhileRunning = drawnWhileRunning || w.session()->state() == QcSession::State::Running;
    });
    QVERIFY(w.open(clip));
    // It comes with the lane, above the seek bar and as wide, so hovering reads the bar's frames.
    QVERIFY(w.lane()->isShown());
    QVERIFY(!strip->isHidden());
    QVERIFY(w.analysed());
    QVERIFY(drawnWhileRunning);
    w.lane()->setVisible(false);
    QVERIFY(strip->isHidden());
    w.lane()->setVisible(true);
    QVERIFY(!strip->isHidden());
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    QCOMPARE(strip->width(), w.seekBar()->width());
    QCOMPARE(strip->x(), w.seekBar()->x());
    QVERIFY(strip->geometry().bottom() < w.seekBar()->geometry().top());

    // Luma, as fractions of the nominal range.
    QCOMPARE(w.session()->luma().size(), qsizetype(200));
    const auto lumaIs = [&](int64_t frame, double min, double average, double max) {
        const std::optional<qc::LumaPoint> luma = strip->lumaAt(frame);
        return luma && std::abs(luma->min - min) < 1e-6 && std::abs(luma->average - average) < 1e-6
            && std::abs(luma->max - max) < 1e-6;
    };
    for (int64_t frame : {0, 49})
        QVERIFY2(lumaIs(frame, 0.0, 0.0, 0.0), qPrintable(QString::number(frame)));
    for (int64_t frame : {50, 99})
        QVERIFY2(lumaIs(frame, 1.0, 1.0, 1.0), qPrintable(QString::number(frame)));
    for (int64_t frame : {100, 199})
        QVERIFY2(lumaIs(frame, 0.0, 0.5, 1.0), qPrintable(QString::number(frame)));
    QVERIFY(!strip->lumaAt(200));

    // Short-term loudness of the routed pair: once the 3 s window is full (frame 74 ends at
    // 3 s), the tone's level and the loudness command's reading of the same pair.
    QCOMPARE(strip->routing(), (ChannelRouting{0, 1}));
    const double front = cliLoudness(clip, 0, 1);
    QVERIFY2(std::abs(front - -23.0) < 0.1, qPrintable(QString::number(front)));
    const auto readsAll = [&](double lufs) {
        for (int64_t frame = 74; frame < 200; ++frame) {
            const std::optional<double> value = strip->shortTermAt(frame);
            if (!value || std::abs(*value - lufs) >= 0.1) {
                qWarning() << "frame" << frame << "reads" << value.value_or(0.0) << "not" << lufs;
                return false;
            }
        }
        return true;
    };
    QVERIFY(readsAll(front));
    QVERIFY(*strip->shortTermAt(10) < -30.0); // the window still filling
    // Routing ch3 and ch4 to the output redraws from the same analysis.
    const QList<QComboBox *> combos = w.window->findChildren<QComboBox *>();
    combos[0]->setCurrentIndex(3);
    combos[1]->setCurrentIndex(4);
    QCOMPARE(strip->routing(), (ChannelRouting{2, 3}));
    QCOMPARE(w.session()->state(), QcSession::State::Analysed);
    const double back = cliLoudness(clip, 2, 3);
    QVERIFY2(std::abs(back - -33.0) < 0.1, qPrintable(QString::number(back)));
    QVERIFY(readsAll(back));

    // The target line at the preset's target, the pair's line at its level, the luma average
    // of the half-white pictures; hovering tells.
    QCOMPARE(strip->targetLufs(), qc::presetThresholds(w.session()->preset()).loudnessTarget);
    const QColor targetColour(0xDD, 0xDD, 0xDD);
    const QColor loudnessColour = QcEventLane::colourOf(qc::Check::Loudness);
    const int x = strip->width() * 3 / 4;
    const auto columnAt = [&](int x) {
        const QImage picture = strip->grab().toImage();
        QList<QColor> column;
        for (int y = 0; y < picture.height(); ++y)
            column.append(picture.pixelColor(x, y));
        return column;
    };
    QList<QColor> column = columnAt(x);
    QCOMPARE(column.count(targetColour), 1);
    QCOMPARE(column.count(loudnessColour), 1);
    const int ebuTarget = int(column.indexOf(targetColour));
    const int quietPair = int(column.indexOf(loudnessColour));
    QVERIFY(ebuTarget < quietPair); // louder is higher
    QCOMPARE(column.value(strip->yOfLuma(0.5)), QColor(0xF0, 0xF0, 0xF0));
    QVERIFY(column.value(strip->yOfLuma(0.0) + 1) != QColor(0x77, 0x77, 0x77));
    const QPoint over(x, 5);
    QHelpEvent help(QEvent::ToolTip, over, strip->mapToGlobal(over));
    QApplication::sendEvent(strip, &help);
    const int64_t hovered = w.seekBar()->frameAt(over.x());
    QVERIFY(hovered >= 100);
    QCOMPARE(QToolTip::text(), strip->textAt(hovered));
    QVERIFY2(QToolTip::text().contains(QStringLiteral("short-term -33.0 LUFS (target -23.0)")), qPrintable(QToolTip::text()));
    QVERIFY2(QToolTip::text().contains(QStringLiteral("luma min 0.0 %, avg 50.0 %, max 100.0 %")), qPrintable(QToolTip::text()));
    QToolTip::hideText();
    // The -23 LUFS pair draws over the EBU target.
    combos[0]->setCurrentIndex(1);
    combos[1]->setCurrentIndex(2);
    column = columnAt(x);
    QCOMPARE(column.count(targetColour), 0);
    QCOMPARE(column.indexOf(loudnessColour), ebuTarget);

    // Another preset, or a target set by hand, moves the line; the analysis runs again.
    qc::Settings settings = w.session()->settings();
    settings.thresholds = qc::presetThresholds(qc::Preset::Atsc);
    w.session()->setSettings(qc::Preset::Atsc, settings);
    QVERIFY(w.analysed());
    QCOMPARE(strip->targetLufs(), -24.0);
    settings.thresholds.loudnessTarget = -14.0;
    w.session()->setSettings(qc::Preset::Atsc, settings);
    QVERIFY(w.analysed());
    column = columnAt(x);
    QCOMPARE(column.count(targetColour), 1);
    QVERIFY(column.indexOf(targetColour) < column.indexOf(loudnessColour));
    QCOMPARE(column.indexOf(loudnessColour), ebuTarget);
    w.session()->setSettings(qc::Preset::Ebu, qc::Settings());

    // Without an analysis the lane and the strip go together.
    w.session()->setAnalyseOnOpen(false);
    QVERIFY(w.open(testsupport::mediaPath(QStringLiteral("qc_clean.mov"))));
    QVERIFY(!w.lane()->isShown());
    QVERIFY(strip->isHidden());
    QVERIFY(w.session()->luma().isEmpty());
    w.session()->rerun();
    QVERIFY(w.lane()->isShown());
    QVERIFY(!strip->isHidden());
    w.session()->setAnalyseOnOpen(true);
    QSettings().clear();
}

QTEST_MAIN(TestQcLane)
#include "tst_qclane.moc"
