#include "ui/timecodeentry.h"

#include <QtTest>

namespace {

// Types every character of keys; "<" is Backspace, "!" is Delete.
QString typeAll(TimecodeEntry &entry, const QString &keys, double fps)
{
    for (const QChar c : keys) {
        if (c == QLatin1Char('<'))
            entry.key(Qt::Key_Backspace, QString(), fps);
        else if (c == QLatin1Char('!'))
            entry.key(Qt::Key_Delete, QString(), fps);
        else
            entry.key(0, QString(c), fps);
    }
    return entry.input();
}

} // namespace

class TestTimecodeEntry : public QObject
{
    Q_OBJECT

private slots:
    void typing_data();
    void typing();
    void keyActions();
    void enterNeedsFramesAndPicture_data();
    void enterNeedsFramesAndPicture();
    void target_data();
    void target();
};

void TestTimecodeEntry::typing_data()
{
    QTest::addColumn<double>("fps");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("expected");

    QTest::newRow("1 to 9 at 29.97 keeps 2 to 9") << 29.97 << "123456789" << "23456789";
    QTest::newRow("120 fps keeps nine") << 119.88 << "1234567890" << "234567890";
    QTest::newRow("100 fps keeps eight") << 100.0 << "1234567890" << "34567890";
    QTest::newRow("point types two zeros") << 25.0 << "12." << "1200";
    QTest::newRow("point at the limit shifts") << 25.0 << "1234567." << "23456700";
    QTest::newRow("second sign ignored") << 25.0 << "++5" << "+5";
    QTest::newRow("sign after a digit ignored") << 25.0 << "5-" << "5";
    QTest::newRow("signed input keeps its sign") << 25.0 << "-123456789" << "-23456789";
    QTest::newRow("letters and separators ignored") << 25.0 << "1a:2;b" << "12";
    QTest::newRow("backspace") << 25.0 << "123<" << "12";
    QTest::newRow("backspace on empty") << 25.0 << "<<1" << "1";
    QTest::newRow("backspace frees the sign") << 25.0 << "+<-3" << "-3";
    QTest::newRow("delete clears") << 25.0 << "+12!45" << "45";
}

void TestTimecodeEntry::typing()
{
    QFETCH(double, fps);
    QFETCH(QString, keys);
    QFETCH(QString, expected);
    TimecodeEntry entry;
    QCOMPARE(typeAll(entry, keys, fps), expected);
}

void TestTimecodeEntry::keyActions()
{
    TimecodeEntry entry;
    QCOMPARE(entry.key(Qt::Key_Escape, QStringLiteral("\x1b"), 25), TimecodeEntry::Action::Cancel);
    QCOMPARE(entry.key(Qt::Key_Return, QStringLiteral("\r"), 25), TimecodeEntry::Action::Apply);
    QCOMPARE(entry.key(Qt::Key_Enter, QStringLiteral("\r"), 25), TimecodeEntry::Action::Apply);
    QCOMPARE(entry.key(Qt::Key_Backspace, QString(), 25), TimecodeEntry::Action::None);
    QCOMPARE(entry.key(Qt::Key_Shift, QString(), 25), TimecodeEntry::Action::None);
    QCOMPARE(entry.key(Qt::Key_7, QStringLiteral("7"), 25), TimecodeEntry::Action::Show);
    // A refused character still refreshes the label, which shows the text unchanged.
    QCOMPARE(entry.key(Qt::Key_X, QStringLiteral("x"), 25), TimecodeEntry::Action::Show);
    QCOMPARE(entry.input(), QStringLiteral("7"));
    QCOMPARE(entry.key(Qt::Key_Escape, QStringLiteral("\x1b"), 25), TimecodeEntry::Action::Cancel);
    QCOMPARE(entry.input(), QStringLiteral("7")); // the window clears it when it leaves
    entry.clear();
    QVERIFY(entry.input().isEmpty());
}

void TestTimecodeEntry::enterNeedsFramesAndPicture_data()
{
    QTest::addColumn<qint64>("totalFrames");
    QTest::addColumn<bool>("audioOnly");
    QTest::addColumn<bool>("allowed");

    QTest::newRow("video") << qint64(50) << false << true;
    QTest::newRow("two frames") << qint64(2) << false << true;
    QTest::newRow("one frame") << qint64(1) << false << false;
    QTest::newRow("nothing open") << qint64(0) << false << false;
    QTest::newRow("audio-only") << qint64(250) << true << false;
}

void TestTimecodeEntry::enterNeedsFramesAndPicture()
{
    QFETCH(qint64, totalFrames);
    QFETCH(bool, audioOnly);
    QFETCH(bool, allowed);
    QCOMPARE(TimecodeEntry::canEnter(totalFrames, audioOnly), allowed);
}

void TestTimecodeEntry::target_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<bool>("dropFrame");
    QTest::addColumn<QString>("start");   // timecode of frame 0
    QTest::addColumn<QString>("current"); // timecode shown
    QTest::addColumn<qint64>("totalFrames");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<qint64>("expected"); // -1: no seek

    const qint64 none = -1;
    // 25 fps, frame 0 at 01:00:00:00, showing 01:00:10:05 (frame 255).
    QTest::newRow("digits replace the last digits") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000)
                                                     << "200" << qint64(300);
    QTest::newRow("point types 00") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000) << "12."
                                    << qint64(300);
    QTest::newRow("full timecode") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000) << "01000020"
                                   << qint64(20);
    QTest::newRow("plus one second") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000) << "+100"
                                     << qint64(280);
    QTest::newRow("minus ten frames") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000) << "-10"
                                      << qint64(245);
    QTest::newRow("plus frames past the rate does not parse") << "25" << false << "01:00:00:00" << "01:00:10:05"
                                                              << qint64(1000) << "+50" << none;
    QTest::newRow("frames past the rate") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000) << "30"
                                          << none;
    QTest::newRow("only a sign") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000) << "-" << none;
    QTest::newRow("nothing typed") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000) << "" << none;
    QTest::newRow("before the start") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000) << "00590000"
                                      << qint64(0);
    QTest::newRow("after the end") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000) << "02000000"
                                   << qint64(999);
    QTest::newRow("back past the start") << "25" << false << "01:00:00:00" << "01:00:10:05" << qint64(1000)
                                         << "-1100" << qint64(0);
    // 29.97 drop-frame: 01:01:00;00 is a label that is skipped, read as 01:01:00;02.
    QTest::newRow("29.97 DF skipped label") << "30" << true << "01:00:00;00" << "01:00:00;00" << qint64(3000)
                                            << "10000" << qint64(1800);
    QTest::newRow("29.97 DF tenth minute") << "30" << true << "00:00:00;00" << "00:00:05;00" << qint64(20000)
                                           << "100000" << qint64(17982);
    // A typed duration is read as a timecode: 00:01:00;00 counts as ;02, 1800 frames.
    QTest::newRow("29.97 DF plus a minute") << "30" << true << "00:00:00;00" << "00:00:30;00" << qint64(20000)
                                            << "+10000" << qint64(900 + 1800);
    // 59.94 drop-frame drops four labels a minute.
    QTest::newRow("59.94 DF skipped label") << "60" << true << "00:00:00;00" << "00:00:00;00" << qint64(10000)
                                            << "10001" << qint64(3600);
    QTest::newRow("120 fps three frame digits") << "120" << false << "00:00:00:000" << "00:00:00:000" << qint64(1000)
                                                << "1100" << qint64(220);
    // Across midnight: a file starting at 23:59:50:00 runs on into the next day.
    QTest::newRow("forward across midnight") << "25" << false << "23:59:50:00" << "23:59:59:00" << qint64(750)
                                             << "+100" << qint64(250);
    QTest::newRow("back across midnight") << "25" << false << "23:59:50:00" << "00:00:01:00" << qint64(750)
                                          << "-200" << qint64(225);
    QTest::newRow("typed time after midnight") << "25" << false << "23:59:50:00" << "23:59:55:00" << qint64(750)
                                               << "00000512" << qint64(387);
    QTest::newRow("back from the first second wraps to 23:59") << "25" << false << "00:00:00:00" << "00:00:01:00"
                                                               << qint64(1000) << "-200" << qint64(0);
    QTest::newRow("forward from 23:59 wraps to 00:00") << "25" << false << "23:00:00:00" << "23:59:59:00"
                                                       << qint64(100000) << "+200" << qint64(90025);
}

void TestTimecodeEntry::target()
{
    QFETCH(QString, rate);
    QFETCH(bool, dropFrame);
    QFETCH(QString, start);
    QFETCH(QString, current);
    QFETCH(qint64, totalFrames);
    QFETCH(QString, keys);
    QFETCH(qint64, expected);

    const std::optional<Timecode> startTc = Timecode::create(rate.toStdString(), dropFrame, start.toStdString());
    std::optional<Timecode> shown = Timecode::create(rate.toStdString(), dropFrame, current.toStdString());
    QVERIFY(startTc && shown);

    TimecodeEntry entry;
    const double fps = rate.toDouble();
    typeAll(entry, keys, fps);
    const std::optional<int64_t> target = entry.target(shown, int64_t(startTc->frames()), totalFrames);
    QCOMPARE(target.value_or(-1), expected);
    // The window's own timecode is left as it was.
    QCOMPARE(QString::fromStdString(shown->toString()).remove(QLatin1Char(';')).remove(QLatin1Char(':')),
             QString(current).remove(QLatin1Char(';')).remove(QLatin1Char(':')));

    // Without a display timecode nothing is applied.
    QVERIFY(!entry.target(std::nullopt, 0, totalFrames));
}

QTEST_MAIN(TestTimecodeEntry)
#include "tst_timecodeentry.moc"
