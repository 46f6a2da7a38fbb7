#include "app/cli.h"
#include "clitestsupport.h"
#include "loudness/loudnesstestsupport.h"
#include "testsupport.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cmath>

using namespace clitest;
using loudnesstest::sineLoudness;

namespace {

QString makeWithFfmpeg(const QString &path, const QString &source)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", source, "-c:a", "pcm_s24le", path});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        return QString::fromUtf8(ffmpeg.readAllStandardError()) + QStringLiteral(" (ffmpeg failed)");
    return {};
}

QString sine(double db, const QString &layout, double seconds)
{
    const double amplitude = std::pow(10.0, db / 20.0);
    const QString channel = QStringLiteral("%1*sin(2*PI*1000*t)").arg(amplitude, 0, 'f', 9);
    const QString channels = layout == QLatin1String("mono") ? channel : channel + QLatin1Char('|') + channel;
    return QStringLiteral("aevalsrc=%1:s=48000:c=%2:d=%3").arg(channels, layout).arg(seconds);
}

} // namespace

class TestCliLoudness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void measures_data();
    void measures();
    void failures_data();
    void failures();
    void realProcess();

private:
    QTemporaryDir m_dir;
    double m_unseenDb = 0.0;
};

void TestCliLoudness::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
    // A level this run has not seen before, so no figure can have been learnt.
    m_unseenDb = -40.0 + QRandomGenerator::global()->bounded(250) / 10.0;
    qInfo("unseen level: %.1f dBFS", m_unseenDb);
    QString problem = makeWithFfmpeg(m_dir.filePath("unseen.wav"), sine(m_unseenDb, "stereo", 12));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    problem = makeWithFfmpeg(m_dir.filePath("mono.wav"), sine(-20, "mono", 5));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestCliLoudness::measures_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<double>("lufs");
    QTest::addColumn<double>("startSec");
    QTest::addColumn<double>("endSec");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("right");

    const QString media = testsupport::mediaDir() + QLatin1Char('/');
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("-23 dBFS, defaults") << media + "loudness_1k_-23dbfs.wav" << QStringList{} << -23.0 << 0.0 << 20.0 << 0 << 1;
    QTest::newRow("-33 dBFS") << media + "loudness_1k_-33dbfs.wav" << QStringList{} << -33.0 << 0.0 << 20.0 << 0 << 1;
    QTest::newRow("gated, whole file") << media + "loudness_gate_36_23_36.wav" << QStringList{} << -23.0 << 0.0 << 80.0 << 0 << 1;
    QTest::newRow("gated, five steps") << media + "loudness_gate_72_36_23_36_72.wav" << QStringList{} << -23.0 << 0.0 << 100.0 << 0 << 1;
    QTest::newRow("from 70 s to the end") << media + "loudness_gate_36_23_36.wav" << QStringList{"--start", "70"} << -36.0
                                          << 70.0 << 80.0 << 0 << 1;
    QTest::newRow("start and end") << media + "loudness_gate_36_23_36.wav" << QStringList{"--start=12.5", "--end", "60"}
                                   << -23.0 << 12.5 << 60.0 << 0 << 1;
    // The end defaults to the picture's duration; channels 2..7 are the 5.1 stream's.
    QTest::newRow("5.1 stream pair") << media + "loudness_stereo_51.mov" << QStringList{"--left", "2", "--right=7"}
                                     << sineLoudness(-22, -27) << 0.0 << 10.0 << 2 << 7;
    QTest::newRow("mono file defaults to dual mono") << m_dir.filePath("mono.wav") << QStringList{} << -20.0 << 0.0 << 5.0 << 0 << 0;
    QTest::newRow("unseen level") << m_dir.filePath("unseen.wav") << QStringList{} << m_unseenDb << 0.0 << 12.0 << 0 << 1;
    // Silence: the true peak is minus infinity, which JSON carries as null.
    QTest::newRow("both sides muted") << media + "loudness_1k_-23dbfs.wav" << QStringList{"--left", "-1", "--right", "-3"}
                                      << nan << 0.0 << 20.0 << -1 << -1;
}

void TestCliLoudness::measures()
{
    QFETCH(QString, file);
    QFETCH(QStringList, options);
    QFETCH(double, lufs);
    QFETCH(double, startSec);
    QFETCH(double, endSec);
    QFETCH(int, left);
    QFETCH(int, right);

    const CliRun run = runInProcess(QStringList{"loudness", file} + options);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QJsonParseError error;
    const QJsonObject json = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(run.out));
    QCOMPARE(json.size(), 6);
    QCOMPARE(json.value("startSec").toDouble(), startSec);
    QVERIFY2(std::abs(json.value("endSec").toDouble() - endSec) < 0.01, qPrintable(run.out));
    QCOMPARE(json.value("left").toInt(), left);
    QCOMPARE(json.value("right").toInt(), right);
    if (std::isnan(lufs)) {
        QVERIFY(json.value("truePeakDbtp").isNull());
    } else {
        QVERIFY(json.value("truePeakDbtp").isDouble());
        QVERIFY2(std::abs(json.value("integratedLufs").toDouble() - lufs) <= 0.1,
                 qPrintable(QStringLiteral("%1 LUFS, expected %2").arg(json.value("integratedLufs").toDouble()).arg(lufs)));
    }
}

void TestCliLoudness::failures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    const QString tone = testsupport::mediaPath("loudness_1k_-23dbfs.wav");
    QTest::newRow("no file") << QStringList{"loudness"} << "Usage: orvel-cli loudness FILE";
    QTest::newRow("two files") << QStringList{"loudness", tone, tone} << "Usage: orvel-cli loudness FILE";
    QTest::newRow("unknown option") << QStringList{"loudness", tone, "--gain", "3"} << "Unknown option: --gain";
    QTest::newRow("value missing") << QStringList{"loudness", tone, "--start"} << "--start needs a value";
    QTest::newRow("not a number") << QStringList{"loudness", tone, "--end", "soon"} << "Invalid number of seconds: soon";
    QTest::newRow("not a channel") << QStringList{"loudness", tone, "--left", "x"} << "Invalid channel: x";
    // The worker's own messages.
    QTest::newRow("channel missing") << QStringList{"loudness", tone, "--right", "2"} << "Selected audio channel is not available.";
    QTest::newRow("empty range") << QStringList{"loudness", tone, "--start", "20"} << "Invalid loudness measurement range.";
    QTest::newRow("missing file, all given")
        << QStringList{"loudness", "/nonexistent.wav", "--end", "3", "--left", "0", "--right", "1"}
        << "Failed to open media for loudness measurement: No such file or directory";
}

void TestCliLoudness::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);

    const CliRun run = runInProcess(arguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(error), qPrintable(run.err));
    QVERIFY2(run.out.isEmpty(), qPrintable(run.out));
}

void TestCliLoudness::realProcess()
{
    QVERIFY2(QFileInfo(cliBinary()).isExecutable(), qPrintable(cliBinary()));
    QProcess process;
    process.start(cliBinary(), {"loudness", testsupport::mediaPath("loudness_stereo_51.mov"), "--left", "1", "--right", "4"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray out = process.readAllStandardOutput();
    const QByteArray err = process.readAllStandardError();
    // stdout is the JSON alone, and stderr is no terminal here, so no progress bar.
    QJsonParseError error;
    const QJsonObject json = QJsonDocument::fromJson(out, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, out.constData());
    QVERIFY(std::abs(json.value("integratedLufs").toDouble() - sineLoudness(-21, -24)) <= 0.1);
    QVERIFY2(!err.contains('\r') && !err.contains("%"), err.constData());
}

QTEST_GUILESS_MAIN(TestCliLoudness)
#include "tst_cli_loudness.moc"
