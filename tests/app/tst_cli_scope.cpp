// orvel-cli scope: the engine's own scope image of a frame, exact rows on flat bands.

#include "app/cli.h"
#include "clitestsupport.h"
#include "scopes/histogramrenderer.h"
#include "scopes/vectorscoperenderer.h"
#include "scopes/waveformrenderer.h"
#include "testsupport.h"

#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include <set>

using namespace clitest;

namespace {

// Rows where the trace lifts the blue component above the bare graticule (the graticule
// is orange, so any trace adds blue).
std::set<int> traceRows(const QImage &scope, const QImage &graticule, int column)
{
    std::set<int> rows;
    for (int y = 0; y < scope.height(); ++y) {
        if (qBlue(scope.pixel(column, y)) > qBlue(graticule.pixel(column, y)))
            rows.insert(y);
    }
    return rows;
}

QString rowsText(const std::set<int> &rows)
{
    QStringList text;
    for (int r : rows)
        text << QString::number(r);
    return text.join(QLatin1Char(','));
}

} // namespace

class TestCliScope : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exactRows_data();
    void exactRows();
    void fullRangeMatchesLimited();
    void audioOnlyGivesGraticule();
    void kinds();
    void badArguments_data();
    void badArguments();
    void consoleExecutable();

private:
    QImage runScope(const QStringList &arguments, QString *printed = nullptr);
    QTemporaryDir m_dir;
};

void TestCliScope::initTestCase()
{
    testsupport::registerMetaTypes();
    QVERIFY(m_dir.isValid());
}

QImage TestCliScope::runScope(const QStringList &arguments, QString *printed)
{
    static int counter = 0;
    const QString out = m_dir.filePath(QStringLiteral("scope%1.png").arg(++counter));
    QStringList all = {QStringLiteral("scope")};
    all << arguments.first() << arguments.at(1) << out << arguments.mid(2);
    const CliRun run = runInProcess(all);
    if (run.exitCode != 0) {
        qWarning("orvel-cli failed (%d): %s", run.exitCode, qPrintable(run.err));
        return {};
    }
    if (printed)
        *printed = run.out.trimmed();
    return QImage(out);
}

// Bands of black, grey and white across the picture, thirds of the width.
void TestCliScope::exactRows_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<ScopeRange>("range");
    QTest::addColumn<QList<int>>("blackGreyWhite");

    QTest::newRow("defaults") << QStringList{} << Percent << QList<int>{938, 510, 85};
    QTest::newRow("code values, luma") << QStringList{"--range", "code", "--channel", "luma"} << CodeValue
                                       << QList<int>{1023, 509, 0};
    QTest::newRow("percent red") << QStringList{"--channel=red"} << Percent << QList<int>{938, 510, 85};
    QTest::newRow("rotation 180 mirrors") << QStringList{"--rotation", "180"} << Percent << QList<int>{85, 510, 938};
    QTest::newRow("alpha of a source without alpha") << QStringList{"--channel", "alpha", "--range", "code"}
                                                     << CodeValue << QList<int>{0, 0, 0};
}

void TestCliScope::exactRows()
{
    QFETCH(QStringList, options);
    QFETCH(ScopeRange, range);
    QFETCH(QList<int>, blackGreyWhite);

    QString printed;
    const QImage scope = runScope(QStringList{testsupport::mediaPath("scope_bands_limited.mp4"), "2"} + options, &printed);
    QCOMPARE(scope.size(), QSize(1920, 1024));
    QCOMPARE(printed, QStringLiteral("2"));
    const QImage graticule = waveform::buildScopeGraticule(range).convertToFormat(scope.format());
    // Columns well inside each third.
    const int firstColumn[3] = {120, 700, 1340};
    for (int band = 0; band < 3; ++band) {
        for (int c = firstColumn[band]; c < firstColumn[band] + 460; c += 23) {
            const std::set<int> rows = traceRows(scope, graticule, c);
            QVERIFY2(rows == std::set<int>{blackGreyWhite[band]},
                     qPrintable(QStringLiteral("column %1: rows {%2}").arg(c).arg(rowsText(rows))));
        }
    }
}

void TestCliScope::fullRangeMatchesLimited()
{
    for (const QStringList &options : {QStringList{}, QStringList{"--range", "code", "--channel", "luma"},
                                       QStringList{"--rotation", "90"}}) {
        const QImage limited = runScope(QStringList{testsupport::mediaPath("scope_bands_limited.mp4"), "1"} + options);
        const QImage full = runScope(QStringList{testsupport::mediaPath("scope_bands_full.mkv"), "1"} + options);
        QVERIFY(!limited.isNull());
        QVERIFY2(limited == full, qPrintable(options.join(' ')));
    }
    // A quarter turn of a landscape frame: pillar boxes count as black; the middle column
    // crosses all three bands.
    const QImage turned = runScope(QStringList{testsupport::mediaPath("scope_bands_limited.mp4"), "0", "--rotation", "90"});
    const QImage graticule = waveform::buildScopeGraticule(Percent).convertToFormat(turned.format());
    QCOMPARE(traceRows(turned, graticule, 200), (std::set<int>{938}));
    QCOMPARE(traceRows(turned, graticule, 960), (std::set<int>{85, 510, 938}));
}

void TestCliScope::audioOnlyGivesGraticule()
{
    QString printed;
    const QImage scope = runScope({testsupport::mediaPath("audio.flac"), "10", "--range", "code"}, &printed);
    QCOMPARE(scope.size(), QSize(1920, 1024));
    QCOMPARE(scope, waveform::buildScopeGraticule(CodeValue).convertToFormat(scope.format()));
}

// The other kinds on the same bands (black, grey, white thirds) and on colour bars.
void TestCliScope::kinds()
{
    const QString bands = testsupport::mediaPath("scope_bands_limited.mp4");
    const QImage waveformImage = runScope({bands, "1"});
    QCOMPARE(runScope({bands, "1", "--kind", "waveform"}), waveformImage);

    // Parade: each third holds the three bands in its own colour only.
    const QImage parade = runScope({bands, "1", "--kind=parade"});
    QCOMPARE(parade.size(), QSize(1920, 1024));
    const QImage paradeGraticule = waveform::buildParadeGraticule(Percent).convertToFormat(parade.format());
    const int bandRows[3] = {938, 510, 85};
    for (int third = 0; third < 3; ++third) {
        for (int band = 0; band < 3; ++band) {
            const int column = third * 640 + band * 213 + 60;
            std::set<int> lit;
            for (int y = 0; y < 1024; ++y) {
                const QRgb p = parade.pixel(column, y), g = paradeGraticule.pixel(column, y);
                const int up[3] = {qRed(p) - qRed(g), qGreen(p) - qGreen(g), qBlue(p) - qBlue(g)};
                if (up[third] > 0)
                    lit.insert(y);
                QCOMPARE(up[(third + 1) % 3], 0);
            }
            QVERIFY2(lit == std::set<int>{bandRows[band]}, qPrintable(rowsText(lit)));
        }
    }

    // Histogram of the bands: Y' bars only at black, mid grey and white.
    const QImage histogramImage = runScope({bands, "1", "--kind", "histogram", "--channel", "luma"});
    QCOMPARE(histogramImage.size(), QSize(1920, 1024));
    const QImage single = histogram::render(nullptr, [] {
        ScopeRequest request;
        request.channel = Luma;
        return request;
    }());
    const int bottom = 1024 - 40;
    QList<int> litColumns;
    for (int x = 0; x < 1920; ++x) {
        if (qRed(histogramImage.pixel(x, bottom)) > qRed(single.pixel(x, bottom)))
            litColumns << x;
    }
    QVERIFY(!litColumns.isEmpty());
    for (double level : {0.0, 255.0 * 110.0 / 219.0, 255.0}) {
        const int at = int(std::lround(histogram::scalePosition(level, Percent) * 1919.0));
        QVERIFY2(std::any_of(litColumns.begin(), litColumns.end(), [&](int x) { return std::abs(x - at) <= 8; }),
                 qPrintable(QString::number(level)));
    }
    for (int x : litColumns) {
        bool near = false;
        for (double level : {0.0, 255.0 * 110.0 / 219.0, 255.0})
            near = near || std::abs(x - histogram::scalePosition(level, Percent) * 1919.0) <= 12.0;
        QVERIFY2(near, qPrintable(QString::number(x)));
    }

    // Vectorscope of the BT.709 bars: the 75 % red target lit, the page's own graticule.
    const QImage vectors = runScope({testsupport::mediaPath("colour_bt709_hd420.mp4"), "0", "--kind", "vectorscope"});
    QCOMPARE(vectors.size(), QSize(1920, 1024));
    const QImage vectorGraticule = vectorscope::buildGraticule(colour::Matrix::BT709).convertToFormat(vectors.format());
    const auto red = vectorscope::targets(colour::Matrix::BT709)[0];
    const QPoint at = vectorscope::position(red.cb, red.cr).toPoint();
    int brightest = 0;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx)
            brightest = std::max(brightest, qGreen(vectors.pixel(at + QPoint(dx, dy)))
                                                - qGreen(vectorGraticule.pixel(at + QPoint(dx, dy))));
    QVERIFY(brightest > 40);
    QCOMPARE(vectors.pixel(60, 900), vectorGraticule.pixel(60, 900));
}

void TestCliScope::badArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QString file = testsupport::mediaPath("scope_bands_limited.mp4");
    const QString out = QDir::temp().filePath(QStringLiteral("orvel_scope_never_written.png"));
    QTest::newRow("range") << QStringList{file, "0", out, "--range", "ire"} << 2 << "Unknown range: ire";
    QTest::newRow("channel") << QStringList{file, "0", out, "--channel=cyan"} << 2 << "Unknown channel: cyan";
    QTest::newRow("rotation") << QStringList{file, "0", out, "--rotation", "45"} << 2 << "Unknown rotation: 45";
    QTest::newRow("kind") << QStringList{file, "0", out, "--kind", "grid"} << 2 << "Unknown kind: grid";
    QTest::newRow("value missing") << QStringList{file, "0", out, "--range"} << 2 << "--range needs a value";
    QTest::newRow("option") << QStringList{file, "0", out, "--scale", "x"} << 2 << "Unknown option: --scale";
    QTest::newRow("frame number") << QStringList{file, "-3", out} << 2 << "Invalid frame number: -3";
    QTest::newRow("too few") << QStringList{file, "0"} << 2 << "Usage: orvel-cli scope";
    QTest::newRow("missing file") << QStringList{m_dir.filePath("none.mov"), "0", out} << 1 << "";
}

void TestCliScope::badArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const CliRun run = runInProcess(QStringList{"scope"} + arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!QFile::exists(QDir::temp().filePath(QStringLiteral("orvel_scope_never_written.png"))));
}

void TestCliScope::consoleExecutable()
{
    const QString out = m_dir.filePath(QStringLiteral("exe.png"));
    QProcess process;
    process.start(cliBinary(), {"scope", testsupport::mediaPath("scope_bands_limited.mp4"), "99", out, "--channel",
                                "luma"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput().trimmed(), QByteArray("4")); // past the end: the last frame
    QCOMPARE(QImage(out).size(), QSize(1920, 1024));

    process.start(cliBinary(), {"scope", testsupport::mediaPath("scope_bands_limited.mp4"), "0", out, "--range", "x"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardError().contains("Unknown range"));
}

QTEST_MAIN(TestCliScope)
#include "tst_cli_scope.moc"
