// On a real X display: QVideoWidget draws in a native child window, so what the user sees
// is checked on a capture of the whole screen.

#include "core/compat.h"
#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QScreen>
#include <QStackedWidget>
#include <QTextStream>
#include <QWindow>
#include <QtTest>

class TestMainWindowOnScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        testsupport::registerMetaTypes();
        QApplication::setStyle(QStringLiteral("Fusion"));
        compat::applyDarkColorScheme();
        QFile styleSheet(QStringLiteral(":/Style.qss"));
        if (styleSheet.open(QIODevice::ReadOnly | QIODevice::Text))
            qApp->setStyleSheet(QTextStream(&styleSheet).readAll());
    }

    void windowShowsTheDropHint()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(500);

        QVERIFY(window.windowHandle());
        QCOMPARE(window.windowHandle()->title(), QStringLiteral("Orvel"));
        QCOMPARE(window.windowHandle()->size(), QSize(1380, 920));

        const QImage shot = window.screen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
        QVERIFY(!shot.isNull());
        const QString saved = QDir(QStringLiteral(ORVEL_BINARY_DIR)).filePath(QStringLiteral("mainwindow_xvfb.png"));
        QVERIFY(shot.save(saved));
        qInfo("screen capture: %s", qPrintable(saved));

        auto *stack = window.findChild<QStackedWidget *>();
        const QRect viewer(stack->mapToGlobal(QPoint(0, 0)), stack->size());
        QVERIFY(shot.rect().contains(viewer));

        // The picture area is black apart from its hint; the hint's text is half-transparent
        // white, so light grey pixels sit in a band around the centre and nowhere near the
        // corners.
        const auto grey = [&](int x, int y) { return qGray(shot.pixel(viewer.left() + x, viewer.top() + y)); };
        for (const QPoint corner : {QPoint(20, 20), QPoint(1259, 20), QPoint(20, 699), QPoint(1259, 699)})
            QVERIFY2(grey(corner.x(), corner.y()) < 24, qPrintable(QStringLiteral("corner %1,%2").arg(corner.x()).arg(corner.y())));
        int lightInBand = 0;
        int lightElsewhere = 0;
        for (int y = 0; y < viewer.height(); y += 2) {
            for (int x = 0; x < viewer.width(); x += 2) {
                if (grey(x, y) < 90)
                    continue;
                const bool inBand = y > 250 && y < 470 && x > 240 && x < 1040;
                (inBand ? lightInBand : lightElsewhere)++;
            }
        }
        QVERIFY2(lightInBand > 300, qPrintable(QString::number(lightInBand)));
        QVERIFY2(lightElsewhere < 20, qPrintable(QString::number(lightElsewhere)));

        // The logo above the text: its green play symbol.
        QVERIFY(QFile::exists(QStringLiteral(":/Orvel.png")));
        int green = 0;
        for (int y = 250; y < 400; ++y) {
            for (int x = 560; x < 720; ++x) {
                const QRgb p = shot.pixel(viewer.left() + x, viewer.top() + y);
                green += qGreen(p) > qRed(p) + 60 && qGreen(p) > qBlue(p) + 60;
            }
        }
        QVERIFY2(green > 100, qPrintable(QString::number(green)));
    }
};

QTEST_MAIN(TestMainWindowOnScreen)
#include "tst_mainwindow_xvfb.moc"
