// One picture, one set of colours. Generated clips of eight bars of known R'G'B' (see
// tests/media/generate_media.sh), through every matrix, range, depth and layout the player
// reads: the frame the viewer is handed, the pixel inspector's "Convert:" and "Display:"
// lines, the picture P saves, and orvel-cli frame under every profile must all read the
// bars within 2 code values at their centres.

#include "app/clitestsupport.h"
#include "colourbars.h"
#include "core/compat.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "testsupport.h"
#include "ui/imageexporter.h"
#include "ui/mainwindow.h"
#include "ui/pixelinspectoroverlay.h"

#include <QCursor>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {

constexpr int kWaitMs = 20000;

using namespace colourbars;

// Every bar centre of 'image'; "" when all are right.
QString checkBars(const QImage &image, const QString &what)
{
    if (image.isNull())
        return what + QStringLiteral(": no picture");
    QStringList faults;
    for (int bar = 0; bar < 8; ++bar) {
        const QColor c = image.pixelColor(barCentre(bar, image.size()));
        const QString fault = compareToBar(bar, c.red(), c.green(), c.blue());
        if (!fault.isEmpty())
            faults << fault;
    }
    return faults.isEmpty() ? QString() : what + QStringLiteral(": ") + faults.join(QStringLiteral("; "));
}

// The viewer's frame as its bytes say: B,G,R,A layouts are read as they are, anything else
// through the toolkit's own conversion (which is what the window would show).
QImage pictureOf(const QVideoFrame &frame)
{
    QVideoFrame mapped(frame);
    if (mapped.pixelFormat() != QVideoFrameFormat::Format_BGRA8888 || !mapped.map(compat::MapReadOnly))
        return mapped.toImage().convertToFormat(QImage::Format_ARGB32);
    QImage image(mapped.width(), mapped.height(), QImage::Format_ARGB32);
    for (int y = 0; y < mapped.height(); ++y)
        std::memcpy(image.scanLine(y), mapped.bits(0) + qsizetype(y) * mapped.bytesPerLine(0), size_t(mapped.width()) * 4);
    mapped.unmap();
    return image;
}

template <typename Condition>
bool waitFor(Condition condition)
{
    return QTest::qWaitFor(condition, kWaitMs);
}

} // namespace

class TestColourPipeline : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        testsupport::registerMetaTypes();
        QVERIFY(m_dir.isValid());
    }

    void viewerInspectorAndExport_data() { addClips(); }
    void viewerInspectorAndExport();
    void cliFrameEveryProfile_data() { addClips(); }
    void cliFrameEveryProfile();

private:
    static void addClips()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QSize>("size");
        for (const Clip &clip : colourbars::clips())
            QTest::newRow(clip.row) << QString::fromLatin1(clip.file) << clip.size;
    }

    QTemporaryDir m_dir;
    int m_exports = 0;
};

// The window as the user has it: the viewer's frame, the inspector held over each bar, P.
void TestColourPipeline::viewerInspectorAndExport()
{
    QFETCH(QString, clip);
    QFETCH(QSize, size);
    auto window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    auto *state = window->findChild<ApplicationState *>();
    auto *controller = window->findChild<PlaybackController *>();
    window->openMediaFile(testsupport::mediaPath(clip));
    QVERIFY(waitFor([&] {
        return !state->mediaProperties().isEmpty() && !controller->isAwaitingFrame() && state->currentFrameNumber() == 0;
    }));
    auto *videoWidget = window->findChild<QVideoWidget *>();
    QVERIFY(videoWidget);
    QVERIFY(waitFor([&] { return videoWidget->videoSink()->videoFrame().isValid(); }));

    const QImage shown = pictureOf(videoWidget->videoSink()->videoFrame());
    QCOMPARE(shown.size(), size);
    const QString viewerFault = checkBars(shown, QStringLiteral("viewer frame"));
    QVERIFY2(viewerFault.isEmpty(), qPrintable(viewerFault));

    // Z held with the mouse over each bar: "Source:", "Convert:", "Display:".
    auto *inspector = window->findChild<PixelInspectorOverlay *>();
    QVERIFY(inspector);
    inspector->press();
    static const QRegularExpression line(QStringLiteral("(Convert|Display): (\\d+),(\\d+),(\\d+)"));
    const QSize widget = videoWidget->size();
    const double scale = std::min(double(widget.width()) / size.width(), double(widget.height()) / size.height());
    const QPointF origin((widget.width() - scale * size.width()) / 2, (widget.height() - scale * size.height()) / 2);
    QStringList faults;
    for (int bar = 0; bar < 8; ++bar) {
        const QPoint centre = barCentre(bar, size);
        const QPoint cursor(int(origin.x() + (centre.x() + 0.5) * scale), int(origin.y() + (centre.y() + 0.5) * scale));
        QCursor::setPos(videoWidget->mapToGlobal(cursor));
        inspector->refresh();
        QString text;
        for (QLabel *label : window->findChildren<QLabel *>()) {
            if (label->isVisible() && label->text().startsWith(QLatin1String("Source:")))
                text = label->text();
        }
        int found = 0;
        for (auto match = line.globalMatch(text); match.hasNext(); ++found) {
            const QRegularExpressionMatch m = match.next();
            const QString fault = compareToBar(bar, m.captured(2).toInt(), m.captured(3).toInt(), m.captured(4).toInt());
            if (!fault.isEmpty())
                faults << m.captured(1) + QStringLiteral(": ") + fault;
        }
        if (found != 2)
            faults << QStringLiteral("inspector over the %1 bar shows '%2'").arg(QString::fromLatin1(kBars[bar].name), text);
    }
    inspector->release();
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));

    auto *exporter = window->findChild<ImageExporter *>();
    QVERIFY(exporter);
    const QString path = m_dir.filePath(QStringLiteral("P_%1.png").arg(++m_exports));
    exporter->setPathChooser([&](const QString &, const QString &) { return path; });
    exporter->exportViewerImage();
    const QImage saved(path);
    QCOMPARE(saved.size(), size);
    const QString exportFault = checkBars(saved, QStringLiteral("P"));
    QVERIFY2(exportFault.isEmpty(), qPrintable(exportFault));
}

// orvel-cli frame: the same picture whatever profile the export runs under.
void TestColourPipeline::cliFrameEveryProfile()
{
    QFETCH(QString, clip);
    QFETCH(QSize, size);
    QStringList faults;
    for (const char *profile : {"standard", "channel-isolation", "scope-percent", "scope-code-value"}) {
        const QString out = m_dir.filePath(QStringLiteral("cli_%1.png").arg(QLatin1String(profile)));
        QFile::remove(out);
        const clitest::CliRun run =
            clitest::runInProcess({"frame", testsupport::mediaPath(clip), "0", out, "--profile", profile});
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        const QImage written(out);
        QCOMPARE(written.size(), size);
        const QString fault = checkBars(written, QStringLiteral("orvel-cli frame --profile %1").arg(QLatin1String(profile)));
        if (!fault.isEmpty())
            faults << fault;
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

QTEST_MAIN(TestColourPipeline)
#include "tst_colour_pipeline.moc"
