#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QMap>
#include <QRegularExpression>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QtTest>

#include <algorithm>
#include <cmath>

// The compiled-in resource bundle: the style sheet and the pictures the player shows.
class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void picturesLoadAtTheirSizes_data();
    void picturesLoadAtTheirSizes();
    void iconCarriesSmallAndLargeSizes();
    void styleSheetHoldsExactlyTheRules();
    void styleSheetStylesPathLabelAndSeekBar();
    void audioOnlyPictureIsDarkWithACalmCentre();
    void helpPictureIsDarkWithLegibleText();
};

namespace {

QString readStyleSheet()
{
    QFile file(QStringLiteral(":/Style.qss"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll());
}

using Properties = QMap<QString, QString>;

// Selector -> properties, whitespace normalised; a selector seen twice is reported by
// returning an empty map so the caller fails.
QMap<QString, Properties> parseStyleSheet(const QString &text)
{
    QMap<QString, Properties> rules;
    static const QRegularExpression rule(QStringLiteral(R"(([^{}]+)\{([^{}]*)\})"));
    auto it = rule.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        const QString selector = m.captured(1).simplified();
        if (rules.contains(selector))
            return {};
        Properties props;
        for (const QString &declaration : m.captured(2).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const qsizetype colon = declaration.indexOf(QLatin1Char(':'));
            if (colon < 0)
                continue;
            props.insert(declaration.left(colon).simplified(), declaration.mid(colon + 1).simplified());
        }
        rules.insert(selector, props);
    }
    return rules;
}

double luminance(QRgb c)
{
    return 0.2126 * qRed(c) + 0.7152 * qGreen(c) + 0.0722 * qBlue(c);
}

} // namespace

void TestResources::picturesLoadAtTheirSizes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("drop hint logo") << QStringLiteral(":/Orvel.png") << QSize(256, 256);
    QTest::newRow("help page") << QStringLiteral(":/Help_Win.png") << QSize(1280, 720);
    QTest::newRow("audio-only picture") << QStringLiteral(":/AudioOnly.png") << QSize(1280, 720);
    QTest::newRow("window icon") << QStringLiteral(":/Orvel.ico") << QSize(256, 256);
}

void TestResources::picturesLoadAtTheirSizes()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QImageReader reader(path);
    // For the icon, pick its largest entry.
    QSize largest;
    for (int i = 0; i < std::max(reader.imageCount(), 1); ++i) {
        if (reader.imageCount() > 1)
            QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(path + QStringLiteral(": ") + reader.errorString()));
        if (image.width() > largest.width())
            largest = image.size();
    }
    QCOMPARE(largest, size);
}

void TestResources::iconCarriesSmallAndLargeSizes()
{
    const QIcon icon(QStringLiteral(":/Orvel.ico"));
    QVERIFY(!icon.isNull());
    // Title bars and task bars ask for small sizes; a 256 px scale-down alone looks mushy.
    const QList<QSize> sizes = icon.availableSizes();
    for (const QSize &wanted : {QSize(16, 16), QSize(32, 32), QSize(48, 48), QSize(256, 256)})
        QVERIFY2(sizes.contains(wanted), qPrintable(QStringLiteral("missing %1 px entry").arg(wanted.width())));
    const QImage small = icon.pixmap(QSize(16, 16)).toImage();
    QCOMPARE(small.size(), QSize(16, 16));
    QVERIFY(small.hasAlphaChannel());
}

void TestResources::styleSheetHoldsExactlyTheRules()
{
    const QString text = readStyleSheet();
    QVERIFY2(!text.isEmpty(), "cannot read :/Style.qss");

    const QMap<QString, Properties> expected = {
        {"QSlider#SeekBar::groove:horizontal",
         {{"border", "none"}, {"height", "6px"}, {"background", "#3c3f41"}, {"border-radius", "3px"}}},
        {"QSlider#SeekBar::sub-page:horizontal", {{"background", "#777777"}, {"border-radius", "3px"}}},
        {"QSlider#SeekBar::handle:horizontal",
         {{"background", "#dddddd"},
          {"width", "14px"},
          {"height", "14px"},
          {"margin", "-4px 0"},
          {"border-radius", "7px"}}},
        {"QSlider#SeekBar::handle:horizontal:hover", {{"background", "#ffffff"}}},
        {"QSlider#SeekBar::handle:horizontal:pressed", {{"background", "#4CAF50"}}},
        {"QLabel#PathLabel",
         {{"background-color", "transparent"}, {"border", "none"}, {"padding", "0px"}, {"color", "#666"}}},
        {"QLabel#PathLabel[hasPath=\"true\"]", {{"color", "#aaaaaa"}, {"border", "none"}}},
    };
    const QMap<QString, Properties> actual = parseStyleSheet(text);
    QVERIFY2(!actual.isEmpty(), "no rules parsed, or a selector appears twice");
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QVERIFY2(actual.contains(it.key()), qPrintable(QStringLiteral("missing rule ") + it.key()));
        QCOMPARE(actual.value(it.key()), it.value());
    }
    QCOMPARE(actual.keys(), expected.keys());
}

void TestResources::styleSheetStylesPathLabelAndSeekBar()
{
    // Qt reports an unparsable style sheet only as a warning; fail on any.
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type >= QtWarningMsg)
            warnings.append(msg);
    });
    qApp->setStyleSheet(readStyleSheet());

    QLabel label;
    label.setObjectName(QStringLiteral("PathLabel"));
    label.ensurePolished();
    const QColor withoutPath = label.palette().color(QPalette::WindowText);

    label.setProperty("hasPath", true);
    label.style()->unpolish(&label);
    label.style()->polish(&label);
    const QColor withPath = label.palette().color(QPalette::WindowText);

    QSlider seekBar(Qt::Horizontal);
    seekBar.setObjectName(QStringLiteral("SeekBar"));
    seekBar.resize(400, 30);
    seekBar.ensurePolished();
    QStyleOptionSlider option;
    option.initFrom(&seekBar);
    option.orientation = Qt::Horizontal;
    option.state |= QStyle::State_Horizontal;
    option.minimum = 0;
    option.maximum = 100;
    option.sliderPosition = option.sliderValue = 50;
    option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    const QRect handle =
        seekBar.style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, &seekBar);

    qApp->setStyleSheet(QString());
    qInstallMessageHandler(previous);

    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    QCOMPARE(withoutPath.name(), QStringLiteral("#666666"));
    QCOMPARE(withPath.name(), QStringLiteral("#aaaaaa"));
    QCOMPARE(handle.size(), QSize(14, 14));
}

void TestResources::audioOnlyPictureIsDarkWithACalmCentre()
{
    const QImage image = QImage(QStringLiteral(":/AudioOnly.png")).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!image.isNull());

    // A white trace of radius 0.47 x height is drawn around the centre: nothing in that
    // disc may come close to white, or the trace gets lost.
    const double cx = image.width() / 2.0;
    const double cy = image.height() / 2.0;
    const double radius = 0.47 * std::min(image.width(), image.height());
    double brightestInside = 0;
    double sum = 0;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const double l = luminance(line[x]);
            sum += l;
            if (std::hypot(x - cx, y - cy) <= radius - 2)
                brightestInside = std::max(brightestInside, l);
        }
    }
    const double mean = sum / (double(image.width()) * image.height());
    QVERIFY2(mean < 40, qPrintable(QStringLiteral("mean luminance %1 is not dark").arg(mean)));
    QVERIFY2(brightestInside < 96,
             qPrintable(QStringLiteral("brightest pixel inside the trace disc: %1").arg(brightestInside)));
}

void TestResources::helpPictureIsDarkWithLegibleText()
{
    const QImage image = QImage(QStringLiteral(":/Help_Win.png")).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!image.isNull());
    int dark = 0;
    int light = 0;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const double l = luminance(line[x]);
            dark += l < 48;
            light += l > 160;
        }
    }
    const double total = double(image.width()) * image.height();
    // A dark page, with a real amount of bright text and key caps on it.
    QVERIFY2(dark / total > 0.6, qPrintable(QStringLiteral("dark share %1").arg(dark / total)));
    QVERIFY2(light / total > 0.02, qPrintable(QStringLiteral("bright share %1").arg(light / total)));
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
