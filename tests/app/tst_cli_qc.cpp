// orvel-cli qc on generated clips with planted faults: every fault found with its bounds and
// nothing else, the boundary cases, the report's exact form, folders, damaged input, exit
// codes, and the farm recipe with GNU Parallel on this machine.

#include "app/qccommand.h"
#include "clitestsupport.h"
#include "testsupport.h"

#include <QtTest>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <cmath>

using namespace clitest;
using testsupport::mediaPath;

namespace {

// The report's lines as JSON objects.
QList<QJsonObject> parseLines(const QString &text)
{
    QList<QJsonObject> lines;
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            qWarning() << "not a JSON object:" << line;
            return {};
        }
        lines.append(document.object());
    }
    return lines;
}

QList<QJsonObject> eventsOf(const QList<QJsonObject> &lines)
{
    QList<QJsonObject> events;
    for (const QJsonObject &line : lines) {
        if (line.contains(QStringLiteral("check")))
            events.append(line);
    }
    return events;
}

// "check first-last [chN]" of each event, in report order.
QStringList describe(const QList<QJsonObject> &events)
{
    QStringList text;
    for (const QJsonObject &event : events) {
        QString line = QStringLiteral("%1 %2-%3")
                           .arg(event.value(QStringLiteral("check")).toString())
                           .arg(event.value(QStringLiteral("startFrame")).toInteger())
                           .arg(event.value(QStringLiteral("endFrame")).toInteger());
        if (!event.value(QStringLiteral("channel")).isNull())
            line += QStringLiteral(" ch%1").arg(event.value(QStringLiteral("channel")).toInt());
        text.append(line);
    }
    return text;
}

CliRun runProcess(const QStringList &arguments, int timeoutMs = 120000)
{
    CliRun run;
    QProcess process;
    process.start(cliBinary(), arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        run.exitCode = -2; // hung
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -3;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace

class TestCliQc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void plantedFaults();
    void cleanClip();
    void numbersAreTheFrameCommands();
    void boundaries_data();
    void boundaries();
    void reportForm();
    void presetsAndOverrides_data();
    void presetsAndOverrides();
    void exitCodes_data();
    void exitCodes();
    void folders();
    void damagedInputEnds();
    void parallelRecipe();
    void slurmArrayTask();

private:
    QTemporaryDir m_dir;
};

void TestCliQc::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
}

void TestCliQc::plantedFaults()
{
    const CliRun run = runInProcess({QStringLiteral("qc"), mediaPath(QStringLiteral("qc_faults.mkv"))});
    QCOMPARE(run.exitCode, 0);
    const QList<QJsonObject> lines = parseLines(run.out);
    const QList<QJsonObject> events = eventsOf(lines);
    // In time order; video bounds exact, audio bounds within 10 ms.
    const struct {
        const char *check;
        int64_t startFrame, endFrame;
        double startSec, endSec;
        int channel; // -1: none
        const char *severity;
    } expected[] = {
        {"loudness", 0, 299, 0.0, 12.0, -1, "error"},
        {"silence", 50, 112, 2.0, 4.5, 0, "error"},
        {"black", 100, 124, 4.0, 5.0, -1, "error"},
        {"freeze", 150, 199, 6.0, 8.0, -1, "error"},
        {"truePeak", 175, 177, 7.0, 7.1, 1, "error"},
        {"levels", 220, 229, 8.8, 9.2, -1, "error"},
        {"timestampGap", 260, 260, 10.4, 10.44, -1, "error"},
    };
    QCOMPARE(describe(events).join(QStringLiteral("; ")),
             QStringLiteral("loudness 0-299; silence 50-112 ch0; black 100-124; freeze 150-199; truePeak 175-177 ch1; "
                            "levels 220-229; timestampGap 260-260"));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const QJsonObject &event = events.at(qsizetype(i));
        const bool audio = expected[i].channel >= 0;
        const double tolerance = audio ? 0.010 : 1e-9;
        QVERIFY2(std::abs(event.value(QStringLiteral("startSec")).toDouble() - expected[i].startSec) <= tolerance,
                 expected[i].check);
        QVERIFY2(std::abs(event.value(QStringLiteral("endSec")).toDouble() - expected[i].endSec) <= tolerance,
                 expected[i].check);
        QCOMPARE(event.value(QStringLiteral("severity")).toString(), QString::fromLatin1(expected[i].severity));
    }
    // The overshoot is +0.5 dBTP; the tone is a -23 dBFS sine; a missing picture is a jump of
    // two frame durations.
    QVERIFY(std::abs(events.at(4).value(QStringLiteral("value")).toDouble() - 0.5) < 0.1);
    QCOMPARE(events.at(6).value(QStringLiteral("value")).toDouble(), 2.0);
    QCOMPARE(events.at(2).value(QStringLiteral("startTimecode")).toString(), QStringLiteral("10:00:04:00"));
    QCOMPARE(events.at(2).value(QStringLiteral("endTimecode")).toString(), QStringLiteral("10:00:04:24"));

    const QJsonObject summary = lines.last();
    QVERIFY(summary.value(QStringLiteral("summary")).toBool());
    QCOMPARE(summary.value(QStringLiteral("frames")).toInteger(), 299);
    QCOMPARE(summary.value(QStringLiteral("result")).toString(), QStringLiteral("fail"));
    QVERIFY(std::abs(summary.value(QStringLiteral("truePeakDbtp")).toDouble() - 0.5) < 0.1);
    const QJsonObject counts = summary.value(QStringLiteral("events")).toObject();
    QCOMPARE(counts.value(QStringLiteral("black")).toInt(), 1);
    QCOMPARE(counts.value(QStringLiteral("timestampGap")).toInt(), 1);
    QCOMPARE(counts.size(), 7);
}

void TestCliQc::cleanClip()
{
    const CliRun run = runInProcess({QStringLiteral("qc"), mediaPath(QStringLiteral("qc_clean.mov"))});
    QCOMPARE(run.exitCode, 0);
    const QList<QJsonObject> lines = parseLines(run.out);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.first().value(QStringLiteral("result")).toString(), QStringLiteral("pass"));
    QCOMPARE(lines.first().value(QStringLiteral("events")).toObject().size(), 0);
    QVERIFY(std::abs(lines.first().value(QStringLiteral("integratedLufs")).toDouble() + 23.0) < 0.2);
    QCOMPARE(lines.first().value(QStringLiteral("frames")).toInteger(), 300);
}

void TestCliQc::numbersAreTheFrameCommands()
{
    // The event's frames are the ones orvel-cli frame exports under those numbers: 99 moves,
    // 100 and 124 are black, 125 is not; 260 is missing, so asking for it gives 261.
    const QString clip = mediaPath(QStringLiteral("qc_faults.mkv"));
    const auto meanLuma = [](const QImage &image) {
        double sum = 0.0;
        for (int y = 0; y < image.height(); y += 4) {
            for (int x = 0; x < image.width(); x += 4)
                sum += qGray(image.pixel(x, y));
        }
        return sum / ((image.height() / 4) * (image.width() / 4));
    };
    const struct {
        qint64 asked;
        qint64 delivered;
        bool black;
    } cases[] = {{99, 99, false}, {100, 100, true}, {124, 124, true}, {125, 125, false}, {260, 261, false}};
    for (const auto &c : cases) {
        const cli::FrameExport exported = cli::exportFrame(clip, c.asked, Standard);
        QVERIFY(exported.opened);
        QCOMPARE(exported.frameNumber, c.delivered);
        QVERIFY2((meanLuma(exported.image) < 5.0) == c.black, qPrintable(QString::number(c.asked)));
    }
}

void TestCliQc::boundaries_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("expected");

    QTest::newRow("black at the start and end") << "qc_edges.mkv" << QStringList{} << "black 0-9; black 90-99";
    QTest::newRow("a one-frame flash") << "qc_edges.mkv" << QStringList{"--black-min-frames", "1"}
                                       << "black 0-9; black 50-50; black 90-99";
    QTest::newRow("a freeze to the last frame") << "qc_freeze_end.mkv" << QStringList{} << "freeze 40-99";
    QTest::newRow("full-range black") << "qc_full_range.mkv" << QStringList{} << "black 50-99";
    QTest::newRow("10-bit black") << "qc_10bit.mkv" << QStringList{} << "black 50-99";
    // The audio-only grid is 30 frames a second; the silence is 1.0 to 3.5 s. The silent
    // channel also pulls the pair's loudness below the window.
    QTest::newRow("audio only") << "qc_audio_only.wav" << QStringList{} << "loudness 0-180; silence 30-104 ch1";
    QTest::newRow("channels counted across streams") << "qc_streams.mov" << QStringList{} << "silence 0-74 ch3";
    QTest::newRow("a timecode break") << "qc_tc_break.mkv" << QStringList{"--checks", "timecodeBreak,timestampGap"}
                                      << "timecodeBreak 25-25";
    QTest::newRow("only some checks") << "qc_faults.mkv" << QStringList{"--checks", "black,freeze"}
                                      << "black 100-124; freeze 150-199";
}

void TestCliQc::boundaries()
{
    QFETCH(QString, clip);
    QFETCH(QStringList, options);
    QFETCH(QString, expected);
    const CliRun run = runInProcess(QStringList{QStringLiteral("qc"), mediaPath(clip)} + options);
    QCOMPARE(run.exitCode, 0);
    const QList<QJsonObject> lines = parseLines(run.out);
    QVERIFY(!lines.isEmpty());
    QCOMPARE(describe(eventsOf(lines)).join(QStringLiteral("; ")), expected);
    QVERIFY(lines.last().value(QStringLiteral("summary")).toBool());
    if (clip == QLatin1String("qc_edges.mkv")) {
        // No sound: no loudness figures.
        QVERIFY(lines.last().value(QStringLiteral("integratedLufs")).isNull());
        QVERIFY(lines.last().value(QStringLiteral("truePeakDbtp")).isNull());
    }
    if (clip == QLatin1String("qc_audio_only.wav")) {
        const QJsonObject silence = eventsOf(lines).last();
        QVERIFY(std::abs(silence.value(QStringLiteral("startSec")).toDouble() - 1.0) < 0.010);
        QVERIFY(std::abs(silence.value(QStringLiteral("endSec")).toDouble() - 3.5) < 0.010);
        QVERIFY(silence.value(QStringLiteral("startTimecode")).isNull());
    }
}

void TestCliQc::reportForm()
{
    // Keys in the documented order; numbers with a decimal point; the frame numbers plain.
    const CliRun run = runInProcess({QStringLiteral("qc"), QStringLiteral("--checks"), QStringLiteral("black"),
                                     mediaPath(QStringLiteral("qc_faults.mkv"))});
    const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    const QString file = mediaPath(QStringLiteral("qc_faults.mkv"));
    QCOMPARE(lines.at(0), QStringLiteral("{\"file\":\"%1\",\"check\":\"black\",\"startFrame\":100,\"endFrame\":124,"
                                         "\"startSec\":4.0,\"endSec\":5.0,\"startTimecode\":\"10:00:04:00\","
                                         "\"endTimecode\":\"10:00:04:24\",\"severity\":\"error\",\"value\":1.0,"
                                         "\"limit\":0.98,\"channel\":null,\"message\":\"black for 25 frames\"}")
                              .arg(file));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\{\"file\":\"[^\"]+\",\"summary\":true,\"frames\":299,\"durationSec\":12.0,"
                                               "\"integratedLufs\":null,\"truePeakDbtp\":null,\"events\":\\{\"black\":1\\},"
                                               "\"result\":\"fail\",\"elapsedSec\":[0-9]+\\.[0-9]+\\}$"))
                 .match(lines.at(1))
                 .hasMatch(),
             qPrintable(lines.at(1)));
}

void TestCliQc::presetsAndOverrides_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<double>("truePeakLimit");
    QTest::addColumn<double>("loudnessLimit");

    QTest::newRow("ebu") << QStringList{} << -1.0 << -22.0;
    QTest::newRow("atsc") << QStringList{"--preset", "atsc"} << -2.0 << -22.0;
    QTest::newRow("streaming, target moved") << QStringList{"--preset=streaming", "--loudness-target", "-16"} << -2.0 << -18.0;
    QTest::newRow("override before the preset") << QStringList{"--true-peak", "-3", "--preset", "atsc"} << -3.0 << -22.0;
}

void TestCliQc::presetsAndOverrides()
{
    QFETCH(QStringList, options);
    QFETCH(double, truePeakLimit);
    QFETCH(double, loudnessLimit);
    const CliRun run = runInProcess(QStringList{QStringLiteral("qc"), QStringLiteral("--checks"),
                                                QStringLiteral("truePeak,loudness"),
                                                mediaPath(QStringLiteral("qc_faults.mkv"))}
                                    + options);
    QCOMPARE(run.exitCode, 0);
    const QList<QJsonObject> events = eventsOf(parseLines(run.out));
    QVERIFY(!events.isEmpty());
    for (const QJsonObject &event : events) {
        const double limit = event.value(QStringLiteral("limit")).toDouble();
        if (event.value(QStringLiteral("check")).toString() == QLatin1String("truePeak"))
            QCOMPARE(limit, truePeakLimit);
        else
            QCOMPARE(limit, loudnessLimit);
    }
}

void TestCliQc::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");

    const QString faults = mediaPath(QStringLiteral("qc_faults.mkv"));
    const QString clean = mediaPath(QStringLiteral("qc_clean.mov"));
    QTest::newRow("faults found") << QStringList{faults} << 0;
    QTest::newRow("strict, errors") << QStringList{"--strict", faults} << 3;
    QTest::newRow("strict, clean") << QStringList{"--strict", clean} << 0;
    QTest::newRow("missing file") << QStringList{clean, QStringLiteral("/nonexistent/clip.mov")} << 1;
    QTest::newRow("no file") << QStringList{} << 2;
    QTest::newRow("unknown preset") << QStringList{"--preset", "loud", clean} << 2;
    QTest::newRow("unknown check") << QStringList{"--checks", "black,hum", clean} << 2;
    QTest::newRow("unknown option") << QStringList{"--blackness", "3", clean} << 2;
    QTest::newRow("value out of range") << QStringList{"--black-min-frames", "0", clean} << 2;
    QTest::newRow("not a number") << QStringList{"--true-peak", "loud", clean} << 2;
    QTest::newRow("value missing") << QStringList{clean, "--true-peak"} << 2;
}

void TestCliQc::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    const CliRun run = runInProcess(QStringList{QStringLiteral("qc"), QStringLiteral("--checks"), QStringLiteral("black,loudness")}
                                    + arguments);
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode == 2)
        QVERIFY(run.out.isEmpty());
    if (exitCode == 1) {
        const QList<QJsonObject> lines = parseLines(run.out);
        QCOMPARE(lines.size(), 2); // the clean clip's summary, then the missing file's error
        QVERIFY(lines.at(1).value(QStringLiteral("error")).toString().startsWith(QStringLiteral("avformat_open_input failed.")));
    }
}

void TestCliQc::folders()
{
    // top/a_edges.mkv, top/b_broken.mov (not media), top/notes.txt (ignored),
    // top/sub/c_freeze.mkv.
    const QString top = m_dir.filePath(QStringLiteral("folder"));
    QVERIFY(QDir().mkpath(top + QStringLiteral("/sub")));
    QVERIFY(QFile::copy(mediaPath(QStringLiteral("qc_edges.mkv")), top + QStringLiteral("/a_edges.mkv")));
    QVERIFY(QFile::copy(mediaPath(QStringLiteral("qc_freeze_end.mkv")), top + QStringLiteral("/sub/c_freeze.mkv")));
    for (const char *name : {"/b_broken.mov", "/notes.txt"}) {
        QFile file(top + QLatin1String(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("this is not a movie\n");
    }
    const struct {
        QStringList options;
        QStringList files; // file names of the summary or error lines, in order
        int exitCode;
    } cases[] = {
        {{}, {"a_edges.mkv", "b_broken.mov"}, 1},
        {{"-r"}, {"a_edges.mkv", "b_broken.mov", "c_freeze.mkv"}, 1},
    };
    for (const auto &c : cases) {
        const CliRun run = runInProcess(QStringList{QStringLiteral("qc"), QStringLiteral("--checks"),
                                                    QStringLiteral("black,freeze"), top}
                                        + c.options);
        QCOMPARE(run.exitCode, c.exitCode);
        QStringList files;
        for (const QJsonObject &line : parseLines(run.out)) {
            if (line.contains(QStringLiteral("summary")) || line.contains(QStringLiteral("error")))
                files.append(QFileInfo(line.value(QStringLiteral("file")).toString()).fileName());
            if (line.contains(QStringLiteral("error")))
                QVERIFY(line.value(QStringLiteral("file")).toString().endsWith(QStringLiteral("b_broken.mov")));
        }
        QCOMPARE(files, c.files);
    }
}

void TestCliQc::damagedInputEnds()
{
    // Cut short, and a stretch of garbage in the middle: each run ends by itself with a
    // report (whatever it found) or an error line.
    QFile source(mediaPath(QStringLiteral("qc_faults.mkv")));
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray bytes = source.readAll();
    QByteArray garbage = bytes;
    for (qsizetype i = bytes.size() / 3; i < bytes.size() / 3 + 200000 && i < garbage.size(); ++i)
        garbage[i] = char((i * 7919) & 0xff);
    const QList<std::pair<QString, QByteArray>> damaged = {
        {QStringLiteral("cut.mkv"), bytes.left(bytes.size() / 2)},
        {QStringLiteral("garbage.mkv"), garbage},
        {QStringLiteral("header_only.mkv"), bytes.left(4096)},
    };
    for (const auto &[name, content] : damaged) {
        QFile file(m_dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        const CliRun run = runProcess({QStringLiteral("qc"), file.fileName()}, 120000);
        QVERIFY2(run.exitCode == 0 || run.exitCode == 1, qPrintable(name + QStringLiteral(": exit %1").arg(run.exitCode)));
        const QList<QJsonObject> lines = parseLines(run.out);
        QVERIFY2(!lines.isEmpty(), qPrintable(name));
        QVERIFY(lines.last().contains(QStringLiteral("summary")) || lines.last().contains(QStringLiteral("error")));
    }
}

void TestCliQc::parallelRecipe()
{
    // The README's recipe, on this machine only ("-S :"): three files, one merged report.
    const QString parallel = QStandardPaths::findExecutable(QStringLiteral("parallel"));
    QVERIFY2(!parallel.isEmpty(), "GNU Parallel is missing (scripts/deps.sh installs it)");
    const QString report = m_dir.filePath(QStringLiteral("report.jsonl"));
    const QStringList files = {mediaPath(QStringLiteral("qc_edges.mkv")), mediaPath(QStringLiteral("qc_freeze_end.mkv")),
                               mediaPath(QStringLiteral("qc_10bit.mkv"))};
    QProcess process;
    process.setStandardOutputFile(report);
    process.start(parallel, QStringList{QStringLiteral("--will-cite"), QStringLiteral("-S"), QStringLiteral(":"),
                                        QStringLiteral("--jobs"), QStringLiteral("2"), cliBinary(), QStringLiteral("qc"),
                                        QStringLiteral("{}"), QStringLiteral(":::")}
                            + files);
    QVERIFY(process.waitForFinished(300000));
    QCOMPARE(process.exitCode(), 0);
    QFile merged(report);
    QVERIFY(merged.open(QIODevice::ReadOnly));
    const QList<QJsonObject> lines = parseLines(QString::fromUtf8(merged.readAll()));
    QStringList summarised;
    int events = 0;
    for (const QJsonObject &line : lines) {
        if (line.value(QStringLiteral("summary")).toBool())
            summarised.append(line.value(QStringLiteral("file")).toString());
        else if (line.contains(QStringLiteral("check")))
            ++events;
    }
    summarised.sort();
    QStringList expected = files;
    expected.sort();
    QCOMPARE(summarised, expected);
    // Parallel keeps each job's output together: two black runs, one freeze, one black.
    QCOMPARE(events, 4);
    QCOMPARE(lines.size(), 7);
}

void TestCliQc::slurmArrayTask()
{
    // What one array task of the Slurm script does: line N of the list into REPORTS/N.jsonl.
    const QString list = m_dir.filePath(QStringLiteral("files.txt"));
    QFile file(list);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write((mediaPath(QStringLiteral("qc_clean.mov")) + QLatin1Char('\n') + mediaPath(QStringLiteral("qc_edges.mkv"))
                + QLatin1Char('\n'))
                   .toUtf8());
    file.close();
    const QString reports = m_dir.filePath(QStringLiteral("reports"));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SLURM_ARRAY_TASK_ID"), QStringLiteral("2"));
    environment.insert(QStringLiteral("ORVEL_CLI"), cliBinary());
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("bash"), {QStringLiteral(ORVEL_SOURCE_DIR "/scripts/qc_slurm.sh"), list, reports,
                                           QStringLiteral("--checks"), QStringLiteral("black")});
    QVERIFY(process.waitForFinished(120000));
    QCOMPARE(process.exitCode(), 0);
    QFile report(reports + QStringLiteral("/2.jsonl"));
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QList<QJsonObject> lines = parseLines(QString::fromUtf8(report.readAll()));
    QCOMPARE(describe(eventsOf(lines)).join(QStringLiteral("; ")), QStringLiteral("black 0-9; black 90-99"));
    QCOMPARE(lines.last().value(QStringLiteral("file")).toString(), mediaPath(QStringLiteral("qc_edges.mkv")));
}

QTEST_GUILESS_MAIN(TestCliQc)
#include "tst_cli_qc.moc"
