// The readers of colour that are not pictures: the waveform scope's R, G and B traces and
// the QC levels check, on the generated clips of known bars, read through the engine as the
// scope page and orvel-cli qc read them. A wrong matrix, range or depth moves whole bars.

#include "analysis/picturemeter.h"
#include "colourbars.h"
#include "engine/decodetestsupport.h"
#include "scopes/waveformrenderer.h"
#include "testsupport.h"

#include <QtTest>

#include <cmath>

using namespace colourbars;
using namespace decodetest;

namespace {

// Scope row of an 8-bit level on the code-value scale (0 at the bottom row, 255 at the top).
int codeValueRow(double level)
{
    return int(std::clamp(1023.0 - std::round(1023.0 * level / 255.0), 0.0, 1023.0));
}

int channelOf(QRgb p, int channel)
{
    return channel == 0 ? qRed(p) : channel == 1 ? qGreen(p) : qBlue(p);
}

// Picture share of the bars with any of R, G, B above 'high' or below 'low' (8-bit levels).
double barsOutside(double low, double high)
{
    int outside = 0;
    for (const Bar &bar : kBars) {
        const int least = std::min({bar.r, bar.g, bar.b});
        const int most = std::max({bar.r, bar.g, bar.b});
        outside += least < low || most > high;
    }
    return outside / 8.0;
}

} // namespace

class TestColourScopesLevels : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::registerMetaTypes(); }
    void waveformTracesAtTheBars_data() { addClips(); }
    void waveformTracesAtTheBars();
    void levelsCheckSeesTheBars_data() { addClips(); }
    void levelsCheckSeesTheBars();

private:
    static void addClips()
    {
        QTest::addColumn<QString>("clip");
        for (const Clip &clip : colourbars::clips())
            QTest::newRow(clip.row) << QString::fromLatin1(clip.file);
    }
};

// The colour waveform on the code-value scale: at each bar's centre column every channel's
// trace lies within the tolerance of the bar's level.
void TestColourScopesLevels::waveformTracesAtTheBars()
{
    QFETCH(QString, clip);
    LocalEngine local;
    local.engine.setScopeRenderer(&waveform::renderScope);
    QVERIFY(local.open(testsupport::mediaPath(clip)));
    QSignalSpy answers(&local.engine, &VideoEngine::scopeImageReady);
    local.engine.requestScopeImage(0, CodeValue, Color, 0);
    QCOMPARE(answers.size(), 1);
    const QImage scope = answers.first().at(0).value<QImage>();
    const QImage graticule = waveform::buildScopeGraticule(CodeValue);
    QCOMPARE(scope.size(), graticule.size());

    QStringList faults;
    for (int bar = 0; bar < 8; ++bar) {
        const int column = barCentre(bar, scope.size()).x();
        const int levels[3] = {kBars[bar].r, kBars[bar].g, kBars[bar].b};
        for (int channel = 0; channel < 3; ++channel) {
            // Rows from level + tolerance (higher up) to level - tolerance.
            const int top = codeValueRow(levels[channel] + kTolerance);
            const int bottom = codeValueRow(levels[channel] - kTolerance);
            int inside = 0;
            QStringList stray;
            for (int y = 0; y < scope.height(); ++y) {
                if (channelOf(scope.pixel(column, y), channel) <= channelOf(graticule.pixel(column, y), channel))
                    continue;
                if (y >= top && y <= bottom)
                    ++inside;
                else
                    stray << QString::number(y);
            }
            // A trace on the bottom row may hide in the graticule's edge line.
            const bool found = inside > 0 || levels[channel] <= kTolerance;
            if (!found || !stray.isEmpty())
                faults << QStringLiteral("%1 bar, %2 trace: rows %3..%4 expected, %5 there, stray rows %6")
                              .arg(QString::fromLatin1(kBars[bar].name), QStringList{"R", "G", "B"}.at(channel))
                              .arg(top).arg(bottom).arg(inside).arg(stray.mid(0, 8).join(QLatin1Char(',')));
        }
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

// The levels check with its limits put just inside and just outside the bars' levels: the
// share of the picture it calls out of range is that of the bars beyond the limits.
void TestColourScopesLevels::levelsCheckSeesTheBars()
{
    QFETCH(QString, clip);
    LocalEngine local;
    QVERIFY(local.open(testsupport::mediaPath(clip)));
    const VideoEngine::SequentialPicture picture = local.engine.readNextPicture();
    QVERIFY(picture.frame);

    // Limits 3 code values beyond the tolerance on either side of a bar level: a picture
    // read within the tolerance is counted exactly as its bars.
    const double margin = kTolerance + 3;
    const struct {
        double low, high;
    } limits[] = {
        {-12, 191 + margin}, // orange only
        {-12, 191 - margin}, // all but grey
        {40 - margin, 267},  // the bars with a 0 channel
        {40 + margin, 267},  // all but grey
        {128 - margin, 128 + margin}, // all but grey
    };
    QStringList faults;
    for (const auto &[low, high] : limits) {
        qc::Settings settings;
        settings.thresholds.levelsLow = low / 255.0;
        settings.thresholds.levelsHigh = high / 255.0;
        qc::PictureMeter meter(settings);
        const double measured =
            meter.measure(picture.frame.get(), local.engine.pictureRangeOverride()).outOfRangeFraction;
        const double expected = barsOutside(low, high);
        // Chroma filtered across the edges of the bars leaves a few columns either way.
        if (std::abs(measured - expected) > 0.02)
            faults << QStringLiteral("limits %1..%2: %3 of the picture out of range, expected %4")
                          .arg(low).arg(high).arg(measured, 0, 'f', 4).arg(expected, 0, 'f', 4);
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

QTEST_MAIN(TestColourScopesLevels)
#include "tst_colour_scopes_levels.moc"
