#include "clitestsupport.h"
#include "testsupport.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <sched.h>

using namespace clitest;

// orvel-cli's PNG exports stay what they were, byte for byte: frames of several codecs and
// bit depths (8-bit 4:2:0, 10-bit 4:2:2, 12-bit 4:4:4 with alpha, 10-bit and 16-bit RGB,
// full-range 4:2:2) and two scopes, against MD5 sums of the files and of their pixels.
//
// The sums were made with orvel-cli at commit caef935 on Debian 12 (FFmpeg 5.1, Qt 6.4):
//   taskset -c 0 orvel-cli frame FILE N OUT.png        file bytes, the PNG deflated in one piece
//   orvel-cli frame FILE N OUT.png (two cores)          file bytes, deflated in two pieces
//   ffmpeg -i OUT.png -f rawvideo -pix_fmt rgba - | md5sum   the pixels, read by another decoder
// and the clips' video streams were those of
//   ffmpeg -i FILE -map 0:v:0 -c copy -f streamhash -hash md5 -
// Another encoder build makes other clips; then there is nothing to compare with.
class TestCliExports : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unchanged_data();
    void unchanged();

private:
    QTemporaryDir m_dir;
};

namespace {

QByteArray md5(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

// The video stream's packets, whatever the muxer wrote around them.
QByteArray streamHash(const QString &path)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-v", "error", "-i", path, "-map", "0:v:0", "-c", "copy", "-f",
                                            "streamhash", "-hash", "md5", "-"});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        return {};
    const QByteArray line = ffmpeg.readAllStandardOutput().trimmed();
    return line.mid(line.indexOf('=') + 1);
}

// R,G,B,A rows without padding, as decoded by Qt's PNG reader.
QByteArray pixelHash(const QString &path)
{
    const QImage image = QImage(path).convertToFormat(QImage::Format_RGBA8888);
    if (image.isNull())
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    for (int y = 0; y < image.height(); ++y)
        hash.addData(QByteArrayView(reinterpret_cast<const char *>(image.constScanLine(y)), image.width() * 4));
    return hash.result().toHex();
}

// The CPUs this process may run on, in order.
QList<int> allowedCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    QList<int> cpus;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            cpus.append(cpu);
    }
    return cpus;
}

// Runs orvel-cli on the first 'cpuCount' allowed CPUs: the PNG writer deflates in as many
// pieces as it sees cores, and the pieces show in the file's bytes.
bool runOnCpus(const QStringList &arguments, int cpuCount, QString *problem)
{
    const QList<int> cpus = allowedCpus().mid(0, cpuCount);
    QProcess process;
    process.setChildProcessModifier([cpus] {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int cpu : cpus)
            CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof set, &set);
    });
    process.start(cliBinary(), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *problem = QStringLiteral("orvel-cli %1 failed: %2")
                       .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    return true;
}

} // namespace

void TestCliExports::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(QFileInfo(cliBinary()).isExecutable(), qPrintable(cliBinary()));
}

void TestCliExports::unchanged_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<QByteArray>("clipStream");
    QTest::addColumn<QStringList>("arguments"); // OUT.png is appended as the third positional
    QTest::addColumn<QByteArray>("onePiece");
    QTest::addColumn<QByteArray>("twoPieces");
    QTest::addColumn<QByteArray>("pixels");

    QTest::newRow("h264 8-bit 4:2:0") << "h264.mkv" << QByteArray("d55a1d1047d271a7cb79d96ee3afd650")
                                      << QStringList{"frame", "7"} << QByteArray("8e6250589ed7e45f6ef6de28bf178632")
                                      << QByteArray("d3fa872cd80d822cd74266427a08480d")
                                      << QByteArray("786c6357cd17b9d14a8de718750bee98");
    QTest::newRow("prores 10-bit 4:2:2") << "yuv422p10_pattern.mov" << QByteArray("c67ac43e10026c05f9ac73f2a8b52806")
                                         << QStringList{"frame", "5"} << QByteArray("04a357ad646a440460b131674f2ac5d5")
                                         << QByteArray("99b2b584953c12c92c058f047b12c5e9")
                                         << QByteArray("66ff7d689f4365df124c9522f64623b7");
    QTest::newRow("prores 4444 12-bit alpha")
        << "prores4444_alpha.mov" << QByteArray("e456755b9fd5f4a67667ef60b9cc9fcf") << QStringList{"frame", "3"}
        << QByteArray("012eae74dfbc963477f164f7cd8f44e3") << QByteArray("14b1dab444b38fe71c354c2c6dd71905")
        << QByteArray("3a78c1bf983ed4f585e2dba24f235d48");
    QTest::newRow("ffv1 10-bit RGB") << "colour_gbrp10.mkv" << QByteArray("0781be47832d76f6c8935c5231bfe84a")
                                     << QStringList{"frame", "0"} << QByteArray("f2796736980fcc3b2e249b805fbd749f")
                                     << QByteArray("82ee39ee802830d1da1ab0eec40157ce")
                                     << QByteArray("80f71b90c813d283d29a8cb8263265a6");
    // 180 rows: one piece on any machine.
    QTest::newRow("png 16-bit RGB") << "rgb48be_png.mov" << QByteArray("360ebe07dd0db09954b7e5dfb11ec7bc")
                                    << QStringList{"frame", "4"} << QByteArray("2d7efed935f0843f03e88b5d8a4f28e6")
                                    << QByteArray("2d7efed935f0843f03e88b5d8a4f28e6")
                                    << QByteArray("f4b937407f956b6b1c2c1ebda610e11b");
    QTest::newRow("ffv1 8-bit 4:2:2 full range")
        << "colour_bt601_full422.mkv" << QByteArray("a9869baeaa0b74c5e6a7ce5b5264f248") << QStringList{"frame", "2"}
        << QByteArray("de73198938715c62fa4ebbcb01c68db5") << QByteArray("2bd14c28d30e77fd559a685b098b7b44")
        << QByteArray("891ee7da9e6d5b680921014ac9e4ce6f");
    // The graticule's labels are drawn with the machine's fonts: these sums hold where the
    // fonts are those scripts/deps.sh installs.
    QTest::newRow("scope h264") << "h264.mkv" << QByteArray("d55a1d1047d271a7cb79d96ee3afd650")
                                << QStringList{"scope", "7"} << QByteArray("8b9e96f7016f3694b4ee519ebabbc291")
                                << QByteArray("3c13d39e78d6686c1d0e54fd2abed288")
                                << QByteArray("ad1a346fd9ec9b6d27271fa801c8cebb");
    QTest::newRow("scope 10-bit luma code values")
        << "yuv422p10_pattern.mov" << QByteArray("c67ac43e10026c05f9ac73f2a8b52806")
        << QStringList{"scope", "5", "--range", "code", "--channel", "luma"}
        << QByteArray("6bbcbcb08fe1f4efc047f755c8a13bc7") << QByteArray("02931f573b7204c9e269f659bd5ebc5c")
        << QByteArray("a88c6bbc5edb92709a5ccf19433fa250");
}

void TestCliExports::unchanged()
{
    QFETCH(QString, clip);
    QFETCH(QByteArray, clipStream);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, onePiece);
    QFETCH(QByteArray, twoPieces);
    QFETCH(QByteArray, pixels);

    const QString path = testsupport::mediaPath(clip);
    QVERIFY2(QFileInfo::exists(path), qPrintable(path));
    if (streamHash(path) != clipStream)
        QSKIP("the clip's video differs from the one the sums were made from (another encoder build)");

    const QList<int> cpus = allowedCpus();
    QVERIFY(!cpus.isEmpty());
    const QString out = m_dir.filePath(QStringLiteral("%1.png").arg(QTest::currentDataTag()).replace(' ', '_'));
    // Positional: command, FILE, N, OUT.png, then the options.
    QStringList command = {arguments.at(0), path, arguments.at(1), out};
    command += arguments.mid(2);

    QString problem;
    QVERIFY2(runOnCpus(command, 1, &problem), qPrintable(problem));
    QFile written(out);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(md5(written.readAll()), onePiece);
    written.close();
    QCOMPARE(pixelHash(out), pixels);

    if (cpus.size() < 2)
        return;
    QVERIFY(QFile::remove(out));
    QVERIFY2(runOnCpus(command, 2, &problem), qPrintable(problem));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(md5(written.readAll()), twoPieces);
    written.close();
    QCOMPARE(pixelHash(out), pixels);
}

QTEST_MAIN(TestCliExports)
#include "tst_cli_exports.moc"
