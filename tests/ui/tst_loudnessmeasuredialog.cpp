#include "ui/loudnessmeasuredialog.h"
#include "ui/loudnessmeasurementflow.h"
#include "testsupport.h"

#include <QtTest>

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cmath>
#include <functional>
#include <limits>

Q_DECLARE_METATYPE(LoudnessStartFacts)

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Calls step(dialog) every 10 ms while the flow's modal dialog is up, until step returns true.
void driveDialog(const std::function<bool(LoudnessMeasureDialog *)> &step)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, step] {
        auto *dialog = dynamic_cast<LoudnessMeasureDialog *>(QApplication::activeModalWidget());
        if (dialog && step(dialog))
            timer->deleteLater();
    });
    timer->start();
}

LoudnessStartFacts playableFacts()
{
    LoudnessStartFacts facts;
    facts.media.filePath = QStringLiteral("/media/clip.mov");
    facts.media.audioChannelCount = 2;
    facts.media.videoDurationSec = 10.0;
    facts.totalFrames = 250;
    facts.currentFrame = 50;
    facts.fps = 25.0;
    facts.stopped = true;
    facts.viewerMode = true;
    facts.leftChannel = 0;
    facts.rightChannel = 1;
    return facts;
}

} // namespace

class TestLoudnessMeasureDialog : public QObject
{
    Q_OBJECT

private slots:
    void resultText_data();
    void resultText();
    void request_data();
    void request();
    void measured();
    void failure();
    void abort();
};

void TestLoudnessMeasureDialog::resultText_data()
{
    QTest::addColumn<double>("peak");
    QTest::addColumn<double>("lufs");
    QTest::addColumn<QString>("text");

    QTest::newRow("figures") << -0.3 << -23.0 << "-0.3 [dBTP]   -23.0 [LUFS]";
    QTest::newRow("rounded") << -22.9748 << -23.04 << "-23.0 [dBTP]   -23.0 [LUFS]";
    QTest::newRow("digital silence") << -kInf << -70.0 << "-inf [dBTP]   -70.0 [LUFS]";
    QTest::newRow("never reported") << -1.0 << kNaN << "-1.0 [dBTP]   -inf [LUFS]";
}

void TestLoudnessMeasureDialog::resultText()
{
    QFETCH(double, peak);
    QFETCH(double, lufs);
    QFETCH(QString, text);
    QCOMPARE(LoudnessMeasureDialog::resultText(peak, lufs), text);
}

void TestLoudnessMeasureDialog::request_data()
{
    QTest::addColumn<LoudnessStartFacts>("facts");
    QTest::addColumn<bool>("measures");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("end");

    const LoudnessStartFacts base = playableFacts();
    QTest::newRow("from the current frame to the end") << base << true << 2.0 << 10.0;
    LoudnessStartFacts f = base;
    f.media.videoDurationSec = 0.0;
    QTest::newRow("duration from the frame count") << f << true << 2.0 << 10.0;
    f = base;
    f.currentFrame = 250;
    QTest::newRow("at the end") << f << false << 0.0 << 0.0;
    f = base;
    f.stopped = false;
    QTest::newRow("playing") << f << false << 0.0 << 0.0;
    f = base;
    f.viewerMode = false;
    QTest::newRow("scope page") << f << false << 0.0 << 0.0;
    f = base;
    f.fullScreen = true;
    QTest::newRow("full screen") << f << false << 0.0 << 0.0;
    f = base;
    f.helpVisible = true;
    QTest::newRow("help shown") << f << false << 0.0 << 0.0;
    f = base;
    f.seekBarDragging = true;
    QTest::newRow("seek bar held") << f << false << 0.0 << 0.0;
    f = base;
    f.media.audioChannelCount = 0;
    QTest::newRow("no audio") << f << false << 0.0 << 0.0;
    f = base;
    f.totalFrames = 0;
    QTest::newRow("nothing open") << f << false << 0.0 << 0.0;
    f = base;
    f.fps = 0.0;
    QTest::newRow("no rate") << f << false << 0.0 << 0.0;
}

void TestLoudnessMeasureDialog::request()
{
    QFETCH(LoudnessStartFacts, facts);
    QFETCH(bool, measures);
    QFETCH(double, start);
    QFETCH(double, end);

    const std::optional<LoudnessMeasureRequest> request = loudnessRequestFor(facts);
    QCOMPARE(request.has_value(), measures);
    if (measures) {
        QCOMPARE(request->filePath, facts.media.filePath);
        QCOMPARE(request->startSec, start);
        QCOMPARE(request->endSec, end);
        QCOMPARE(request->leftChannel, facts.leftChannel);
        QCOMPARE(request->rightChannel, facts.rightChannel);
    }
}

void TestLoudnessMeasureDialog::measured()
{
    QList<int> progress;
    bool triedClosing = false;
    bool survivedClosing = false;
    QString shown;
    bool barHidden = false;
    driveDialog([&](LoudnessMeasureDialog *dialog) {
        if (!triedClosing) {
            triedClosing = true;
            connect(dialog->progressBar(), &QProgressBar::valueChanged, dialog, [&progress](int v) { progress << v; });
            // While measuring, neither Escape nor the close button ends the dialog.
            QTest::keyClick(dialog, Qt::Key_Escape);
            dialog->reject();
            survivedClosing = dialog->isVisible() && dialog->result() == 0;
            return false;
        }
        if (dialog->button()->text() != QLatin1String("OK"))
            return false;
        shown = dialog->messageLabel()->text();
        barHidden = dialog->progressBar()->isHidden();
        QTest::keyClick(dialog, Qt::Key_Escape); // closes once the result is up
        return true;
    });
    const auto outcome = LoudnessMeasurementFlow::run(
        {testsupport::mediaPath("loudness_gate_36_23_36.wav"), 0.0, 80.0, 0, 1}, QIcon(), {});
    QCOMPARE(outcome, LoudnessMeasurementFlow::Outcome::Measured);
    QVERIFY(survivedClosing);
    QCOMPARE(shown, QStringLiteral("-23.0 [dBTP]   -23.0 [LUFS]"));
    QVERIFY(barHidden);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.constLast(), 100);
    for (qsizetype i = 0; i + 1 < progress.size(); ++i)
        QVERIFY2(progress.at(i) <= 90, "progress passed 90 before the meter was flushed");
}

void TestLoudnessMeasureDialog::failure()
{
    QString shown;
    driveDialog([&](LoudnessMeasureDialog *dialog) {
        if (dialog->button()->text() != QLatin1String("OK"))
            return false;
        shown = dialog->messageLabel()->text();
        dialog->button()->click();
        return true;
    });
    const auto outcome = LoudnessMeasurementFlow::run(
        {testsupport::mediaPath("loudness_1k_-23dbfs.wav"), 0.0, 20.0, 0, 5}, QIcon(), {});
    QCOMPARE(outcome, LoudnessMeasurementFlow::Outcome::Failed);
    QCOMPARE(shown, QStringLiteral("Selected audio channel is not available."));
}

void TestLoudnessMeasureDialog::abort()
{
    bool clicked = false;
    QString aborting;
    bool buttonDisabled = false;
    bool busyBar = false;
    bool resultShown = false;
    driveDialog([&](LoudnessMeasureDialog *dialog) {
        if (dialog->button()->text() == QLatin1String("OK")) {
            resultShown = true; // the measurement beat the click: end without hanging
            dialog->button()->click();
            return true;
        }
        if (clicked)
            return false;
        clicked = true;
        dialog->button()->click();
        aborting = dialog->messageLabel()->text();
        buttonDisabled = !dialog->button()->isEnabled();
        busyBar = dialog->progressBar()->maximum() == 0;
        return false;
    });
    const auto outcome = LoudnessMeasurementFlow::run(
        {testsupport::mediaPath("loudness_gate_72_36_23_36_72.wav"), 0.0, 100.0, 0, 1}, QIcon(), {});
    QVERIFY(!resultShown);
    QCOMPARE(outcome, LoudnessMeasurementFlow::Outcome::Aborted);
    QCOMPARE(aborting, QStringLiteral("測定を中止しています"));
    QVERIFY(buttonDisabled);
    QVERIFY(busyBar);
}

QTEST_MAIN(TestLoudnessMeasureDialog)
#include "tst_loudnessmeasuredialog.moc"
