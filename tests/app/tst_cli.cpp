#include "app/cli.h"
#include "engine/enginestop.h"
#include "state/openmedia.h"
#include "clitestsupport.h"
#include "testsupport.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

using namespace clitest;

namespace {

QJsonObject parseObject(const QString &text, QString *problem)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        *problem = error.errorString();
    else if (!doc.isObject())
        *problem = QStringLiteral("not an object");
    return doc.object();
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void engineThreadStopsWithinBound();
    void dispatch_data();
    void dispatch();
    void probeJson_data();
    void probeJson();
    void realProcess_data();
    void realProcess();
};

void TestCli::initTestCase()
{
    testsupport::registerMetaTypes();
}

void TestCli::dispatch_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outContains");
    QTest::addColumn<QString>("errContains");

    QTest::newRow("version") << QStringList{"--version"} << 0 << "orvel-cli 3.4.4\n" << "";
    QTest::newRow("help lists probe") << QStringList{"--help"} << 0 << "probe FILE" << "";
    QTest::newRow("no command") << QStringList{} << 1 << "" << "Usage:";
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << 1 << "" << "Unknown command: frobnicate";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 1 << "" << "bogus";
    QTest::newRow("probe without file") << QStringList{"probe"} << 1 << "" << "Usage: orvel-cli probe FILE";
    QTest::newRow("probe with two files") << QStringList{"probe", "a.mov", "b.mov"} << 1 << ""
                                          << "Usage: orvel-cli probe FILE";
    QTest::newRow("probe missing file") << QStringList{"probe", "/nonexistent/clip.mov"} << 1 << ""
                                        << "avformat_open_input failed.\n";
    // Options after the command belong to the command, so this is a file name.
    QTest::newRow("option after command") << QStringList{"probe", "--version"} << 1 << ""
                                          << "avformat_open_input failed.";
}

void TestCli::dispatch()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, outContains);
    QFETCH(QString, errContains);
    const CliRun run = runInProcess(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.out.contains(outContains), qPrintable(run.out));
    QVERIFY2(run.err.contains(errContains), qPrintable(run.err));
    if (exitCode != 0)
        QVERIFY2(run.out.isEmpty(), qPrintable(run.out));
    else
        QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
}

void TestCli::probeJson_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QVariantMap>("spot");

    const QStringList everyClip = {
        "demo_bars_25p.mov", "h264_1080p25.mov", "prores_hq_pcm24.mov", "prores4444_alpha.mov", "prores.mxf",
        "dnxhr_hq.mov", "dnxhr_444.mov", "uhd_h264.mp4", "uhd_prores.mov", "uhd_hevc.mp4", "h264.mkv",
        "bgra.avi", "still.png", "raw.h264", "vp9.webm", "av1.mkv", "bwf_tc.wav", "audio.flac", "audio.m4a",
        "audio.opus", "mono.mov", "five_stereo.mov", "video_6ch.mov", "twelve_ch.mov", "bt709.mp4",
        "untagged.mp4", "interlaced.mov", "h264_2997df.mov", "tone_1k_-18dbfs.wav", "mpeg2_2997df_gop_tc.ts"};
    const QHash<QString, QVariantMap> spots = {
        {"h264_1080p25.mov", {{"totalFrames", 100}, {"fps", 25}, {"startTimecode", "01:00:00:00"},
                              {"audioChannelCount", 4}, {"isAudioOnly", false}}},
        {"prores_hq_pcm24.mov", {{"codecDisplayName", "ProRes422HQ"}, {"audioInfo", "PCM,24bit,48kHz"}}},
        {"prores4444_alpha.mov", {{"hasAlpha", true}}},
        {"uhd_prores.mov", {{"playbackPrimingEnabled", true}, {"playbackStabilized", true}}},
        {"uhd_h264.mp4", {{"playbackStabilized", false}}},
        {"bwf_tc.wav", {{"isAudioOnly", true}, {"totalFrames", 301}, {"fps", 30},
                        {"hasAudioTimeReference", true}, {"audioTimeReferenceSec", 3600}}},
        {"bt709.mp4", {{"colorSpaceInfo", "CICP 1-1-1"}}},
        {"interlaced.mov", {{"scanType", "i"}}},
        {"raw.h264", {{"totalFrames", 1}}},
        {"mpeg2_2997df_gop_tc.ts", {{"totalFrames", 240}, {"startTimecode", "00:59:59;20"}}},
    };
    for (const QString &clip : everyClip)
        QTest::newRow(qPrintable(clip)) << clip << spots.value(clip);
}

void TestCli::probeJson()
{
    QFETCH(QString, file);
    QFETCH(QVariantMap, spot);
    const QString path = testsupport::mediaPath(file);
    const CliRun run = runInProcess({"probe", path});
    QCOMPARE(run.exitCode, 0);
    QString problem;
    const QJsonObject json = parseObject(run.out, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem + "\n" + run.out));

    // JSON types follow the map's value types.
    const QStringList booleans = {"isAudioOnly", "hasAlpha", "playbackStabilized", "playbackPrimingEnabled",
                                  "hasAudioTimeReference"};
    const QStringList integers = {"width", "height", "totalFrames", "audioChannelCount", "audioSampleRate"};
    const QStringList numbers = {"fps", "videoStartSec", "videoDurationSec", "avStartDiffFrames",
                                 "avDurationDiffFrames", "audioTimeReferenceSec"};
    const QStringList strings = {"filePath", "startTimecode", "scanType", "codecDisplayName", "colorSpaceInfo",
                                 "videoRangeInfo", "audioInfo"};
    for (auto it = json.constBegin(); it != json.constEnd(); ++it) {
        const QString &key = it.key();
        if (booleans.contains(key)) {
            QVERIFY2(it.value().isBool(), qPrintable(key));
        } else if (integers.contains(key)) {
            QVERIFY2(it.value().isDouble(), qPrintable(key));
            QCOMPARE(double(it.value().toInteger()), it.value().toDouble());
        } else if (numbers.contains(key)) {
            QVERIFY2(it.value().isDouble(), qPrintable(key));
        } else {
            QVERIFY2(strings.contains(key), qPrintable("unexpected key " + key));
            QVERIFY2(it.value().isString(), qPrintable(key));
        }
    }
    for (const QString &key : QStringList{"filePath", "isAudioOnly", "width", "height", "fps", "totalFrames",
                                          "codecDisplayName", "audioChannelCount", "audioInfo", "audioSampleRate"})
        QVERIFY2(json.contains(key), qPrintable("missing " + key));

    QCOMPARE(json.value("filePath").toString(), path);
    QVERIFY(json.value("totalFrames").toInteger() >= 1);
    QVERIFY(json.value("fps").toDouble() > 0);
    for (auto it = spot.cbegin(); it != spot.cend(); ++it)
        QCOMPARE(json.value(it.key()).toVariant(), it.value());
}

void TestCli::realProcess_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("verbose");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("errContains"); // "" with verbose off: stderr must be empty or exactly the error

    QTest::newRow("video") << "h264_1080p25.mov" << false << 0 << "";
    QTest::newRow("video, verbose") << "h264_1080p25.mov" << true << 0 << "Media opened:";
    QTest::newRow("audio only") << "bwf_tc.wav" << false << 0 << "";
    QTest::newRow("audio only, verbose") << "bwf_tc.wav" << true << 0 << "Audio-only media opened:";
    QTest::newRow("missing") << "no_such_clip.mov" << false << 1 << "";
    QTest::newRow("missing, verbose") << "no_such_clip.mov" << true << 1 << "avformat_open_input failed.";
}

void TestCli::realProcess()
{
    QFETCH(QString, file);
    QFETCH(bool, verbose);
    QFETCH(int, exitCode);
    QFETCH(QString, errContains);
    QVERIFY2(QFileInfo(cliBinary()).isExecutable(), qPrintable(cliBinary()));

    const QString path = QDir(testsupport::mediaDir()).filePath(file);
    QProcess process;
    // Without a runtime dir Qt warns at start-up; a script must not see that.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    process.setProcessEnvironment(environment);
    process.start(cliBinary(), verbose ? QStringList{"--verbose", "probe", path} : QStringList{"probe", path});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    const QString err = QString::fromUtf8(process.readAllStandardError());
    if (verbose)
        QVERIFY2(err.contains(errContains), qPrintable(err));
    else if (exitCode == 0)
        QCOMPARE(err, QString());
    else
        QCOMPARE(err, QStringLiteral("avformat_open_input failed.\nNo such file or directory: %1\n").arg(path));
    if (exitCode == 0) {
        // The engine's log lines must not leak into the JSON.
        QString problem;
        const QJsonObject json = parseObject(out, &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem + "\n" + out));
        QCOMPARE(json.value("filePath").toString(), path);
    } else {
        QVERIFY2(out.isEmpty(), qPrintable(out));
    }
}

void TestCli::engineThreadStopsWithinBound()
{
    // The engine is inside a read that never returns data when the command ends.
    testsupport::SilentServer server(8000);
    QVERIFY(server.port() > 0);
    // The engine on its thread as every command opens a file.
    auto *media = new OpenMedia(QStringLiteral("tcp://127.0.0.1:%1").arg(server.port()));
    QTRY_VERIFY_WITH_TIMEOUT(server.connected(), 5000);
    QTest::qWait(200); // the open is now waiting for bytes
    QElapsedTimer clock;
    clock.start();
    delete media;
    const qint64 stopMs = clock.elapsed();
    QVERIFY2(stopMs < enginestop::DefaultLimit.count() + 500,
             qPrintable(QStringLiteral("the engine thread took %1 ms to stop").arg(stopMs)));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
