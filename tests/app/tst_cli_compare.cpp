// orvel-cli compare on generated pairs: a re-delivery with one changed frame that starts
// three frames later by timecode, misaligned and shifted runs, a lossy copy whose PSNR and
// SSIM are held against the ffmpeg CLI's psnr and ssim filters, and the exit codes.

#include "app/comparecommand.h"
#include "clitestsupport.h"
#include "testsupport.h"

#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <cmath>

using namespace clitest;
using testsupport::mediaPath;

namespace {

QString compact(const QJsonValue &value)
{
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    if (value.isNull())
        return QStringLiteral("null");
    return value.toVariant().toString();
}

// Per-frame values of an ffmpeg filter's stats file: "n:1 ... key:value ...", n from 1.
QMap<int, double> ffmpegStats(const QString &filter, const QString &a, const QString &b, const QString &key)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                                            QStringLiteral("-i"), a, QStringLiteral("-i"), b,
                                            QStringLiteral("-lavfi"),
                                            QStringLiteral("[0][1]%1=stats_file=-").arg(filter),
                                            QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    ffmpeg.waitForFinished(120000);
    QMap<int, double> values;
    const QRegularExpression pattern(QStringLiteral("^n:(\\d+) .*\\b%1:([0-9.]+|inf)").arg(key));
    for (const QString &line : QString::fromUtf8(ffmpeg.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch())
            values[match.captured(1).toInt() - 1] = match.captured(2) == QLatin1String("inf")
                ? INFINITY
                : match.captured(2).toDouble();
    }
    return values;
}

} // namespace

class TestCliCompare : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void redeliveryWithOneChangedFrame_data();
    void redeliveryWithOneChangedFrame();
    void lineForm();
    void psnrAndSsimMatchFfmpeg();
    void exitCodes_data();
    void exitCodes();
    void realExecutable();
    void audioStreams_data();
    void audioStreams();
};

void TestCliCompare::initTestCase()
{
    testsupport::registerMetaTypes();
}

void TestCliCompare::redeliveryWithOneChangedFrame_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("compared");
    QTest::addColumn<int>("identical");
    QTest::addColumn<QString>("onlyInA");
    QTest::addColumn<QString>("onlyInB");
    QTest::addColumn<QString>("differentRuns");
    QTest::addColumn<QString>("firstFrame");
    QTest::addColumn<QString>("firstTimecode");
    QTest::addColumn<QString>("alignment");

    QTest::newRow("identical copy") << "cmp_a.mkv" << "cmp_a.mkv" << QStringList() << 100 << 100 << "[]" << "[]"
                                    << "[]" << "null" << "null" << "timecode";
    QTest::newRow("by timecode") << "cmp_a.mkv" << "cmp_b_box.mkv" << QStringList() << 97 << 96 << "[[0,2]]" << "[]"
                                 << "[[37,37]]" << "37" << "10:00:01:12" << "timecode";
    QTest::newRow("B as A") << "cmp_b_box.mkv" << "cmp_a.mkv" << QStringList() << 97 << 96 << "[]" << "[[0,2]]"
                            << "[[34,34]]" << "34" << "10:00:01:12" << "timecode";
    QTest::newRow("offset 0 misaligns") << "cmp_a.mkv" << "cmp_b_box.mkv" << QStringList{"--align", "offset:0"} << 97
                                        << 0 << "[[97,99]]" << "[]" << "[[0,96]]" << "0" << "10:00:00:00" << "offset";
    QTest::newRow("offset 3 aligns") << "cmp_a.mkv" << "cmp_b_box.mkv" << QStringList{"--align=offset:3"} << 97 << 96
                                     << "[[0,2]]" << "[]" << "[[37,37]]" << "37" << "10:00:01:12" << "offset";
    QTest::newRow("offset -2") << "cmp_a.mkv" << "cmp_a.mkv" << QStringList{"--align", "offset:-2"} << 98 << 0
                               << "[[98,99]]" << "[[0,1]]" << "[[0,97]]" << "0" << "10:00:00:00" << "offset";
    QTest::newRow("start") << "cmp_a.mkv" << "cmp_b_box.mkv" << QStringList{"--align", "start"} << 97 << 0
                           << "[[97,99]]" << "[]" << "[[0,96]]" << "0" << "10:00:00:00" << "start";
}

void TestCliCompare::redeliveryWithOneChangedFrame()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(QStringList, options);
    const CliRun run = runInProcess(QStringList{QStringLiteral("compare"), mediaPath(a), mediaPath(b)} + options);
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    const QList<QJsonObject> lines = parseLines(run.out);
    QVERIFY(!lines.isEmpty());
    const QJsonObject summary = lines.last();
    QVERIFY(summary.value(QStringLiteral("summary")).toBool());
    QTEST(summary.value(QStringLiteral("framesCompared")).toInt(), "compared");
    QTEST(summary.value(QStringLiteral("identicalFrames")).toInt(), "identical");
    QTEST(compact(summary.value(QStringLiteral("onlyInA"))), "onlyInA");
    QTEST(compact(summary.value(QStringLiteral("onlyInB"))), "onlyInB");
    QTEST(compact(summary.value(QStringLiteral("differentRuns"))), "differentRuns");
    QTEST(compact(summary.value(QStringLiteral("firstDifferentFrameA"))), "firstFrame");
    QTEST(compact(summary.value(QStringLiteral("firstDifferentTimecodeA"))), "firstTimecode");
    QTEST(summary.value(QStringLiteral("alignment")).toString(), "alignment");

    // One line per pair, in A's order, agreeing with the summary.
    QFETCH(int, compared);
    QCOMPARE(lines.size(), compared + 1);
    int identical = 0;
    qint64 previous = -1;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QJsonObject &pair = lines.at(i);
        QVERIFY(pair.value(QStringLiteral("frameA")).toInteger() > previous);
        previous = pair.value(QStringLiteral("frameA")).toInteger();
        const bool same = pair.value(QStringLiteral("identical")).toBool();
        identical += same ? 1 : 0;
        QCOMPARE(pair.value(QStringLiteral("psnrY")).isNull() && pair.value(QStringLiteral("psnrU")).isNull()
                     && pair.value(QStringLiteral("psnrV")).isNull(),
                 same);
        QCOMPARE(pair.value(QStringLiteral("ssimY")).toDouble() == 1.0, same);
    }
    QTEST(identical, "identical");
}

void TestCliCompare::lineForm()
{
    const CliRun run = runInProcess({QStringLiteral("compare"), mediaPath(QStringLiteral("cmp_a.mkv")),
                                     mediaPath(QStringLiteral("cmp_b_box.mkv"))});
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // A's frame 37 is B's frame 34; the box is red on a 320x240 picture: Y, U and V all
    // differ in about 1 % of the picture.
    const QString changed = lines.at(34);
    QVERIFY2(changed.startsWith(QLatin1String(R"({"frameA":37,"frameB":34,"timecodeA":"10:00:01:12","psnrY":)")),
             qPrintable(changed));
    QVERIFY2(changed.endsWith(QLatin1String(R"(,"identical":false})")), qPrintable(changed));
    const QJsonObject pair = QJsonDocument::fromJson(changed.toUtf8()).object();
    for (const char *key : {"psnrY", "psnrU", "psnrV"}) {
        const double db = pair.value(QLatin1String(key)).toDouble();
        QVERIFY2(db > 10 && db < 45, key);
    }
    QVERIFY(pair.value(QStringLiteral("ssimY")).toDouble() < 0.999);
    QCOMPARE(lines.at(0),
             QStringLiteral(R"({"frameA":3,"frameB":0,"timecodeA":"10:00:00:03","psnrY":null,"psnrU":null,)"
                            R"("psnrV":null,"ssimY":1.0,"identical":true})"));
    QVERIFY2(lines.last().startsWith(QLatin1String(
                 R"({"summary":true,"framesCompared":97,"identicalFrames":96,"onlyInA":[[0,2]],"onlyInB":[],)"
                 R"("differentRuns":[[37,37]],"firstDifferentFrameA":37,"firstDifferentTimecodeA":"10:00:01:12",)"
                 R"("minPsnrY":)")),
             qPrintable(lines.last()));
    const QJsonObject summary = QJsonDocument::fromJson(lines.last().toUtf8()).object();
    QCOMPARE(summary.value(QStringLiteral("minPsnrY")).toDouble(), pair.value(QStringLiteral("psnrY")).toDouble());
    QCOMPARE(summary.value(QStringLiteral("minPsnrFrameA")).toInt(), 37);
    QCOMPARE(summary.value(QStringLiteral("offset")).toInt(), 3);

    // Only the metric asked for.
    const CliRun psnrOnly = runInProcess({QStringLiteral("compare"), mediaPath(QStringLiteral("cmp_a.mkv")),
                                          mediaPath(QStringLiteral("cmp_b_box.mkv")), QStringLiteral("--metric"),
                                          QStringLiteral("psnr")});
    QCOMPARE(psnrOnly.exitCode, 0);
    QVERIFY(!psnrOnly.out.contains(QLatin1String("ssimY")));
    QVERIFY(psnrOnly.out.contains(QLatin1String("psnrY")));
    const CliRun ssimOnly = runInProcess({QStringLiteral("compare"), mediaPath(QStringLiteral("cmp_a.mkv")),
                                          mediaPath(QStringLiteral("cmp_b_box.mkv")), QStringLiteral("--metric=ssim")});
    QCOMPARE(ssimOnly.exitCode, 0);
    QVERIFY(ssimOnly.out.contains(QLatin1String("ssimY")));
    QVERIFY(!ssimOnly.out.contains(QLatin1String("psnrU")));
    QVERIFY(ssimOnly.out.contains(QLatin1String(R"("differentRuns":[[37,37]])")));
}

void TestCliCompare::psnrAndSsimMatchFfmpeg()
{
    const QString a = mediaPath(QStringLiteral("cmp_a.mkv"));
    const QString b = mediaPath(QStringLiteral("cmp_lossy.mkv"));
    const CliRun run = runInProcess({QStringLiteral("compare"), a, b});
    QCOMPARE(run.exitCode, 0);
    QList<QJsonObject> lines = parseLines(run.out);
    QCOMPARE(lines.size(), 101);
    lines.removeLast();
    struct Metric {
        const char *filter;
        const char *ffmpegKey;
        const char *ourKey;
        double tolerance; // ffmpeg prints PSNR with two decimals, SSIM with six
    };
    for (const Metric &metric : {Metric{"psnr", "psnr_y", "psnrY", 0.01}, Metric{"psnr", "psnr_u", "psnrU", 0.01},
                                 Metric{"psnr", "psnr_v", "psnrV", 0.01}, Metric{"ssim", "Y", "ssimY", 2e-6}}) {
        const QMap<int, double> reference = ffmpegStats(QLatin1String(metric.filter), a, b, QLatin1String(metric.ffmpegKey));
        QCOMPARE(reference.size(), 100);
        for (const QJsonObject &pair : std::as_const(lines)) {
            const int frame = pair.value(QStringLiteral("frameA")).toInt();
            QCOMPARE(pair.value(QStringLiteral("frameB")).toInt(), frame);
            const double ours = pair.value(QLatin1String(metric.ourKey)).toDouble();
            QVERIFY2(std::abs(ours - reference.value(frame)) <= metric.tolerance,
                     qPrintable(QStringLiteral("%1 frame %2: %3 against %4")
                                    .arg(QLatin1String(metric.ourKey))
                                    .arg(frame)
                                    .arg(ours)
                                    .arg(reference.value(frame))));
        }
    }
}

void TestCliCompare::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // in stdout's error line or stderr

    const QString a = mediaPath(QStringLiteral("cmp_a.mkv"));
    const QString box = mediaPath(QStringLiteral("cmp_b_box.mkv"));
    const QString lossy = mediaPath(QStringLiteral("cmp_lossy.mkv"));
    QTest::newRow("other rate") << QStringList{a, mediaPath(QStringLiteral("cmp_30fps.mkv"))} << 1 << "A has 25 fps, B has 30 fps";
    QTest::newRow("other size") << QStringList{a, mediaPath(QStringLiteral("cmp_half.mkv"))} << 1 << "160x120";
    QTest::newRow("other size, scaled") << QStringList{a, mediaPath(QStringLiteral("cmp_half.mkv")), "--scale"} << 0
                                        << R"("framesCompared":100)";
    QTest::newRow("missing B") << QStringList{a, QStringLiteral("/nonexistent/b.mkv")} << 1 << "B (/nonexistent/b.mkv)";
    QTest::newRow("audio only") << QStringList{a, mediaPath(QStringLiteral("qc_audio_only.wav"))} << 1 << "no pictures";
    QTest::newRow("timecode asked, B has none")
        << QStringList{a, mediaPath(QStringLiteral("cmp_half.mkv")), "--scale", "--align", "timecode"} << 1 << "B has none";
    QTest::newRow("one file") << QStringList{a} << 2 << "Two files";
    QTest::newRow("three files") << QStringList{a, a, a} << 2 << "Only two";
    QTest::newRow("unknown option") << QStringList{a, box, "--fast"} << 2 << "Unknown option: --fast";
    QTest::newRow("bad alignment") << QStringList{a, box, "--align", "middle"} << 2 << "Unknown alignment";
    QTest::newRow("bad offset") << QStringList{a, box, "--align", "offset:x"} << 2 << "Invalid offset";
    QTest::newRow("bad metric") << QStringList{a, box, "--metric", "vmaf"} << 2 << "Unknown metric: vmaf";
    QTest::newRow("bad threshold") << QStringList{a, box, "--threshold", "-3"} << 2 << "--threshold";
    QTest::newRow("threshold without psnr") << QStringList{a, box, "--threshold", "40", "--metric", "ssim"} << 2
                                            << "needs --metric psnr";
    QTest::newRow("strict, identical") << QStringList{a, a, "--strict"} << 0 << R"("framesBeyondThreshold":0)";
    QTest::newRow("strict, one box") << QStringList{a, box, "--strict"} << 3 << R"("framesBeyondThreshold":1)";
    QTest::newRow("strict, box above 10 dB") << QStringList{a, box, "--strict", "--threshold", "10"} << 0
                                             << R"("framesBeyondThreshold":0)";
    QTest::newRow("strict, lossy below 60 dB") << QStringList{a, lossy, "--strict", "--threshold=60"} << 3
                                               << R"("framesBeyondThreshold":100)";
    QTest::newRow("not strict, lossy") << QStringList{a, lossy, "--threshold=60"} << 0 << R"("thresholdDb":60.0)";
}

void TestCliCompare::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const CliRun run = runInProcess(QStringList{QStringLiteral("compare")} + arguments);
    QTEST(run.exitCode, "exitCode");
    QVERIFY2(run.out.contains(message) || run.err.contains(message), qPrintable(run.out.right(400) + run.err));
    if (run.exitCode == 1) {
        const QList<QJsonObject> lines = parseLines(run.out);
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().contains(QStringLiteral("error")));
    }
    if (run.exitCode == 2)
        QVERIFY(run.out.isEmpty() && run.err.contains(QLatin1String("Usage: orvel-cli compare")));
}

void TestCliCompare::realExecutable()
{
    QProcess process;
    process.start(cliBinary(), {QStringLiteral("compare"), mediaPath(QStringLiteral("cmp_a.mkv")),
                                mediaPath(QStringLiteral("cmp_b_box.mkv")), QStringLiteral("--strict")});
    QVERIFY(process.waitForFinished(120000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 3);
    const QList<QJsonObject> lines = parseLines(QString::fromUtf8(process.readAllStandardOutput()));
    QCOMPARE(lines.size(), 98);
    QCOMPARE(compact(lines.last().value(QStringLiteral("differentRuns"))), QStringLiteral("[[37,37]]"));
    // Nothing but the report: no engine chatter on either stream.
    QVERIFY(process.readAllStandardError().isEmpty());
}

void TestCliCompare::audioStreams_data()
{
    QTest::addColumn<QString>("b");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("identical");
    QTest::addColumn<double>("firstSec"); // negative: null
    QTest::addColumn<double>("maxDb");    // 0: null
    QTest::addColumn<int>("samples");

    // B's sound starts 0.12 s into A's and is halved from A's 2.0 s on: a difference of a
    // quarter of full scale at most, -12.04 dB.
    QTest::newRow("by timecode") << "cmp_audio_b.mkv" << QStringList() << "false" << 2.0 << -12.04 << 186240;
    QTest::newRow("identical copy") << "cmp_audio_a.mkv" << QStringList() << "true" << -1.0 << 0.0 << 192000;
    // Misaligned by the pictures, the sound is too: different from the first sample.
    QTest::newRow("offset 0") << "cmp_audio_b.mkv" << QStringList{"--align", "offset:0"} << "false" << 0.0 << -0.87
                              << 186240;
}

void TestCliCompare::audioStreams()
{
    QFETCH(QString, b);
    QFETCH(QStringList, options);
    const CliRun run = runInProcess(QStringList{QStringLiteral("compare"), mediaPath(QStringLiteral("cmp_audio_a.mkv")),
                                                mediaPath(b), QStringLiteral("--audio")}
                                    + options);
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    const QJsonArray audio = parseLines(run.out).last().value(QStringLiteral("audio")).toArray();
    QCOMPARE(audio.size(), 1);
    const QJsonObject stream = audio.first().toObject();
    QCOMPARE(stream.value(QStringLiteral("stream")).toInt(), 0);
    QTEST(compact(stream.value(QStringLiteral("identical"))), "identical");
    QFETCH(double, firstSec);
    QFETCH(double, maxDb);
    if (firstSec < 0)
        QVERIFY(stream.value(QStringLiteral("firstDifferentSec")).isNull());
    else
        QCOMPARE(stream.value(QStringLiteral("firstDifferentSec")).toDouble(), firstSec);
    if (maxDb == 0.0)
        QVERIFY(stream.value(QStringLiteral("maxDifferenceDb")).isNull());
    else
        QVERIFY2(std::abs(stream.value(QStringLiteral("maxDifferenceDb")).toDouble() - maxDb) < 0.05,
                 qPrintable(compact(stream.value(QStringLiteral("maxDifferenceDb")))));
    QTEST(stream.value(QStringLiteral("samplesCompared")).toInt(), "samples");

    // Without --audio there is no sound in the summary; a B without sound says so.
    if (b == QLatin1String("cmp_audio_b.mkv") && options.isEmpty()) {
        const CliRun plain = runInProcess({QStringLiteral("compare"), mediaPath(QStringLiteral("cmp_audio_a.mkv")),
                                           mediaPath(b)});
        QVERIFY(!parseLines(plain.out).last().contains(QStringLiteral("audio")));
        const CliRun silent = runInProcess({QStringLiteral("compare"), mediaPath(QStringLiteral("cmp_audio_a.mkv")),
                                            mediaPath(QStringLiteral("cmp_b_box.mkv")), QStringLiteral("--audio")});
        QCOMPARE(silent.exitCode, 0);
        const QJsonObject only = parseLines(silent.out).last().value(QStringLiteral("audio")).toArray().first().toObject();
        QCOMPARE(only.value(QStringLiteral("compared")).toBool(true), false);
        QCOMPARE(only.value(QStringLiteral("problem")).toString(), QStringLiteral("only in A"));
    }
}

QTEST_GUILESS_MAIN(TestCliCompare)
#include "tst_cli_compare.moc"
