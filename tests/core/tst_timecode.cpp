#include "core/timecode.h"

#include <QtTest>

#include <limits>

namespace {

Timecode make(const char *rate, bool dropFrame)
{
    const std::optional<Timecode> tc = Timecode::create(rate, dropFrame);
    if (!tc)
        qFatal("test setup: rate %s%s refused", rate, dropFrame ? " DF" : "");
    return *tc;
}

QString text(const Timecode &tc)
{
    return QString::fromStdString(tc.toString());
}

} // namespace

class TestTimecode : public QObject
{
    Q_OBJECT

private slots:
    void creation_data();
    void creation();
    void createWithText_data();
    void createWithText();
    void formatting_data();
    void formatting();
    void parsing_data();
    void parsing();
    void arithmetic_data();
    void arithmetic();
    void failedTextLeavesPosition();
    void extremeCountsStayInsideTheDay();
    void roundTripOverWholeDay_data();
    void roundTripOverWholeDay();
    void nominalRateText_data();
    void forVideo_data();
    void forVideo();
    void nominalRateText();
};

void TestTimecode::creation_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<bool>("dropFrame");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qulonglong>("framesPerDay");

    const char *valid[] = {"16", "18", "24", "25", "30", "48", "50", "60", "72", "96", "100", "120"};
    for (const char *rate : valid) {
        const qulonglong fps = QByteArray(rate).toULongLong();
        QTest::addRow("%s", rate) << rate << false << true << 86400 * fps;
    }
    QTest::newRow("30 DF") << "30" << true << true << qulonglong(2589408);
    QTest::newRow("60 DF") << "60" << true << true << qulonglong(86400 * 60 - 1296 * 4);
    QTest::newRow("120 DF") << "120" << true << true << qulonglong(86400 * 120 - 1296 * 8);
    const char *refusedDrop[] = {"16", "18", "24", "25", "48", "50", "72", "96", "100"};
    for (const char *rate : refusedDrop)
        QTest::addRow("%s DF refused", rate) << rate << true << false << qulonglong(0);
    QTest::newRow("29 not a rate") << "29" << false << false << qulonglong(0);
    QTest::newRow("15 not a rate") << "15" << false << false << qulonglong(0);
    QTest::newRow("29.97 text") << "29.97" << true << false << qulonglong(0);
    QTest::newRow("leading zero") << "025" << false << false << qulonglong(0);
    QTest::newRow("trailing space") << "25 " << false << false << qulonglong(0);
    QTest::newRow("empty") << "" << false << false << qulonglong(0);
}

void TestTimecode::creation()
{
    QFETCH(QString, rate);
    QFETCH(bool, dropFrame);
    QFETCH(bool, valid);
    QFETCH(qulonglong, framesPerDay);

    const std::optional<Timecode> tc = Timecode::create(rate.toStdString(), dropFrame);
    QCOMPARE(tc.has_value(), valid);
    if (!valid)
        return;
    QCOMPARE(tc->frames(), uint64_t(0));
    QCOMPARE(tc->isDropFrame(), dropFrame);
    QCOMPARE(QString::fromStdString(tc->rateText()), rate);
    QCOMPARE(tc->nominalFps(), uint64_t(rate.toULongLong()));
    QCOMPARE(tc->framesPerDay(), uint64_t(framesPerDay));
    QCOMPARE(text(*tc), QStringLiteral("00:00:00") + (dropFrame ? ";" : ":")
                            + (rate == "120" ? "000" : "00"));
}

void TestTimecode::createWithText_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<bool>("dropFrame");
    QTest::addColumn<QString>("timecodeText");
    QTest::addColumn<qlonglong>("frames"); // -1: creation fails

    QTest::newRow("25 one hour") << "25" << false << "01:00:00:00" << qlonglong(90000);
    QTest::newRow("30 DF one hour") << "30" << true << "01:00:00;00" << qlonglong(107892);
    QTest::newRow("60 DF one hour") << "60" << true << "01:00:00;00" << qlonglong(215784);
    QTest::newRow("24 zero") << "24" << false << "00:00:00:00" << qlonglong(0);
    QTest::newRow("bad text") << "25" << false << "01:00:00:xx" << qlonglong(-1);
    QTest::newRow("out of range frame") << "25" << false << "00:00:00:25" << qlonglong(-1);
    QTest::newRow("15 fps has no timecode") << "15" << false << "00:00:00:00" << qlonglong(-1);
    QTest::newRow("DF refused at 25") << "25" << true << "00:00:00;00" << qlonglong(-1);
}

void TestTimecode::createWithText()
{
    QFETCH(QString, rate);
    QFETCH(bool, dropFrame);
    QFETCH(QString, timecodeText);
    QFETCH(qlonglong, frames);

    const std::optional<Timecode> tc =
        Timecode::create(rate.toStdString(), dropFrame, timecodeText.toStdString());
    QCOMPARE(tc.has_value(), frames >= 0);
    if (tc) {
        QCOMPARE(tc->frames(), uint64_t(frames));
        QCOMPARE(text(*tc), timecodeText);
    }
}

void TestTimecode::formatting_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<bool>("dropFrame");
    QTest::addColumn<qlonglong>("position");
    QTest::addColumn<QString>("expected");

    QTest::newRow("25 zero") << "25" << false << 0LL << "00:00:00:00";
    QTest::newRow("25 last of second") << "25" << false << 24LL << "00:00:00:24";
    QTest::newRow("25 one second") << "25" << false << 25LL << "00:00:01:00";
    QTest::newRow("25 one hour") << "25" << false << 90000LL << "01:00:00:00";
    QTest::newRow("25 minus one") << "25" << false << -1LL << "23:59:59:24";
    QTest::newRow("25 one day wraps") << "25" << false << 2160000LL << "00:00:00:00";
    QTest::newRow("30 DF zero") << "30" << true << 0LL << "00:00:00;00";
    QTest::newRow("30 DF last of minute 0") << "30" << true << 1799LL << "00:00:59;29";
    QTest::newRow("30 DF minute 1 skips 00 and 01") << "30" << true << 1800LL << "00:01:00;02";
    QTest::newRow("30 DF minute 2") << "30" << true << 3598LL << "00:02:00;02";
    QTest::newRow("30 DF last of minute 9") << "30" << true << 17981LL << "00:09:59;29";
    QTest::newRow("30 DF tenth minute keeps 00") << "30" << true << 17982LL << "00:10:00;00";
    QTest::newRow("30 DF minute 11") << "30" << true << 19782LL << "00:11:00;02";
    QTest::newRow("30 DF one hour") << "30" << true << 107892LL << "01:00:00;00";
    QTest::newRow("30 DF last of day") << "30" << true << 2589407LL << "23:59:59;29";
    QTest::newRow("30 DF minus one") << "30" << true << -1LL << "23:59:59;29";
    QTest::newRow("60 DF minute 1 skips four") << "60" << true << 3600LL << "00:01:00;04";
    QTest::newRow("120 three frame digits") << "120" << false << 220LL << "00:00:01:100";
    QTest::newRow("120 DF minute 1 skips eight") << "120" << true << 7200LL << "00:01:00;008";
    QTest::newRow("24 one hour minus one") << "24" << false << 86399LL << "00:59:59:23";
}

void TestTimecode::formatting()
{
    QFETCH(QString, rate);
    QFETCH(bool, dropFrame);
    QFETCH(qlonglong, position);
    QFETCH(QString, expected);

    Timecode tc = make(rate.toLatin1().constData(), dropFrame);
    tc.setFrames(position);
    QCOMPARE(text(tc), expected);
}

void TestTimecode::parsing_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<bool>("dropFrame");
    QTest::addColumn<QString>("input");
    QTest::addColumn<qlonglong>("position"); // -1: rejected

    QTest::newRow("25 full text") << "25" << false << "00:00:12:24" << 324LL;
    QTest::newRow("25 typed digits right-aligned") << "25" << false << "1224" << 324LL;
    QTest::newRow("25 frames 34 too high") << "25" << false << "1234" << -1LL;
    QTest::newRow("separators do not delimit fields") << "25" << false << "1:2:2;4" << 324LL;
    QTest::newRow("single digit") << "25" << false << "7" << 7LL;
    QTest::newRow("zero") << "25" << false << "0" << 0LL;
    QTest::newRow("last of day") << "25" << false << "23:59:59:24" << 2159999LL;
    QTest::newRow("hours 24") << "25" << false << "24:00:00:00" << -1LL;
    QTest::newRow("minutes 60") << "25" << false << "00:60:00:00" << -1LL;
    QTest::newRow("seconds 60") << "25" << false << "00:00:60:00" << -1LL;
    QTest::newRow("frames equal to rate") << "25" << false << "00:00:00:25" << -1LL;
    QTest::newRow("digits beyond frames ignored") << "25" << false << "100000000" << 900000LL;
    QTest::newRow("empty") << "25" << false << "" << -1LL;
    QTest::newRow("separators only") << "25" << false << "::;" << -1LL;
    QTest::newRow("letter") << "25" << false << "00:00:0a:00" << -1LL;
    QTest::newRow("space") << "25" << false << "00 00 01 00" << -1LL;
    QTest::newRow("sign") << "25" << false << "-100" << -1LL;
    QTest::newRow("overflow") << "25" << false << "99999999999999999999" << -1LL;
    QTest::newRow("int64 max has too large fields") << "25" << false << "9223372036854775807" << -1LL;
    QTest::newRow("many leading zeros") << "25" << false << "000000000000000000000000100" << 25LL;
    QTest::newRow("30 non-drop hour") << "30" << false << "01:00:00:00" << 108000LL;
    QTest::newRow("30 DF hour") << "30" << true << "01:00:00;00" << 107892LL;
    QTest::newRow("30 DF skipped 00 reads as 02") << "30" << true << "00:01:00;00" << 1800LL;
    QTest::newRow("30 DF skipped 01 reads as 02") << "30" << true << "00:01:00;01" << 1800LL;
    QTest::newRow("30 DF first real label") << "30" << true << "00:01:00;02" << 1800LL;
    QTest::newRow("30 DF label 00 kept at second 1") << "30" << true << "00:01:01;00" << 1828LL;
    QTest::newRow("30 DF tenth minute") << "30" << true << "00:10:00;00" << 17982LL;
    QTest::newRow("30 DF colon separator") << "30" << true << "00:10:00:00" << 17982LL;
    QTest::newRow("30 DF last of day") << "30" << true << "23:59:59;29" << 2589407LL;
    QTest::newRow("60 DF skipped 03 reads as 04") << "60" << true << "00:02:00;03" << 7196LL;
    QTest::newRow("120 nine digits right-aligned") << "120" << false << "1100" << 220LL;
    QTest::newRow("120 frame 120 too high") << "120" << false << "1120" << -1LL;
    QTest::newRow("120 DF skipped 007 reads as 008") << "120" << true << "00:01:00;007" << 7200LL;
}

void TestTimecode::parsing()
{
    QFETCH(QString, rate);
    QFETCH(bool, dropFrame);
    QFETCH(QString, input);
    QFETCH(qlonglong, position);

    const Timecode tc = make(rate.toLatin1().constData(), dropFrame);
    const std::optional<uint64_t> parsed = tc.parse(input.toStdString());
    QCOMPARE(parsed.has_value(), position >= 0);
    if (parsed)
        QCOMPARE(*parsed, uint64_t(position));

    Timecode target = tc;
    target.setFrames(5);
    QCOMPARE(target.setText(input.toStdString()), position >= 0);
    QCOMPARE(target.frames(), position >= 0 ? uint64_t(position) : uint64_t(5));
}

enum class Op { Set, Add, Subtract, AddText, SubtractText };
Q_DECLARE_METATYPE(Op)

void TestTimecode::arithmetic_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<bool>("dropFrame");
    QTest::addColumn<QString>("start");
    QTest::addColumn<Op>("op");
    QTest::addColumn<qlonglong>("count");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("expected");

    const qlonglong day25 = 2160000;
    const qlonglong day30df = 2589408;
    QTest::newRow("set -1") << "25" << false << "00:00:00:00" << Op::Set << -1LL << "" << true << "23:59:59:24";
    QTest::newRow("set minus one day") << "25" << false << "00:00:00:00" << Op::Set << -day25 << "" << true << "00:00:00:00";
    QTest::newRow("set minus a day and a frame") << "25" << false << "00:00:00:00" << Op::Set << -day25 - 1 << "" << true << "23:59:59:24";
    QTest::newRow("set three days and a second") << "25" << false << "00:00:00:00" << Op::Set << 3 * day25 + 25 << "" << true << "00:00:01:00";
    QTest::newRow("add wraps past midnight") << "25" << false << "23:59:59:24" << Op::Add << 1LL << "" << true << "00:00:00:00";
    QTest::newRow("add negative wraps back") << "25" << false << "00:00:00:00" << Op::Add << -1LL << "" << true << "23:59:59:24";
    QTest::newRow("add many days") << "25" << false << "01:00:00:00" << Op::Add << 7 * day25 + 50 << "" << true << "01:00:02:00";
    QTest::newRow("add negative many days") << "25" << false << "01:00:00:00" << Op::Add << -(7 * day25 + 50) << "" << true << "00:59:58:00";
    QTest::newRow("subtract wraps back") << "25" << false << "00:00:00:00" << Op::Subtract << 1LL << "" << true << "23:59:59:24";
    QTest::newRow("subtract negative adds") << "25" << false << "00:00:00:00" << Op::Subtract << -25LL << "" << true << "00:00:01:00";
    QTest::newRow("subtract a whole day") << "25" << false << "12:00:00:00" << Op::Subtract << day25 << "" << true << "12:00:00:00";
    QTest::newRow("30 DF add across dropped labels") << "30" << true << "00:00:59;29" << Op::Add << 1LL << "" << true << "00:01:00;02";
    QTest::newRow("30 DF subtract across dropped labels") << "30" << true << "00:01:00;02" << Op::Subtract << 1LL << "" << true << "00:00:59;29";
    QTest::newRow("30 DF add a day") << "30" << true << "10:00:00;00" << Op::Add << day30df << "" << true << "10:00:00;00";
    QTest::newRow("add text") << "25" << false << "23:59:59:24" << Op::AddText << 0LL << "00:00:01:00" << true << "00:00:00:24";
    QTest::newRow("add typed digits") << "25" << false << "01:00:00:00" << Op::AddText << 0LL << "1000" << true << "01:00:10:00";
    QTest::newRow("subtract text wraps") << "25" << false << "00:00:00:00" << Op::SubtractText << 0LL << "100" << true << "23:59:59:00";
    QTest::newRow("30 DF add one minute label") << "30" << true << "00:00:00;00" << Op::AddText << 0LL << "00:01:00;00" << true << "00:01:00;02";
    QTest::newRow("30 DF subtract ten minutes from a raised label") << "30" << true << "00:15:00;00" << Op::SubtractText << 0LL << "00:10:00;00" << true << "00:05:00;02";
    QTest::newRow("add bad text") << "25" << false << "01:00:00:00" << Op::AddText << 0LL << "1:00x" << false << "01:00:00:00";
    QTest::newRow("subtract invalid frames") << "25" << false << "01:00:00:00" << Op::SubtractText << 0LL << "30" << false << "01:00:00:00";
}

void TestTimecode::arithmetic()
{
    QFETCH(QString, rate);
    QFETCH(bool, dropFrame);
    QFETCH(QString, start);
    QFETCH(Op, op);
    QFETCH(qlonglong, count);
    QFETCH(QString, argument);
    QFETCH(bool, accepted);
    QFETCH(QString, expected);

    std::optional<Timecode> tc = Timecode::create(rate.toStdString(), dropFrame, start.toStdString());
    QVERIFY(tc);
    bool ok = true;
    switch (op) {
    case Op::Set: tc->setFrames(count); break;
    case Op::Add: tc->addFrames(count); break;
    case Op::Subtract: tc->subtractFrames(count); break;
    case Op::AddText: ok = tc->addText(argument.toStdString()); break;
    case Op::SubtractText: ok = tc->subtractText(argument.toStdString()); break;
    }
    QCOMPARE(ok, accepted);
    QCOMPARE(text(*tc), expected);
    QVERIFY(tc->frames() < tc->framesPerDay());
}

void TestTimecode::failedTextLeavesPosition()
{
    Timecode tc = make("30", true);
    tc.setFrames(4321);
    const char *bad[] = {"", "abc", "24:00:00;00", "00:00:00;30", "99999999999999999999"};
    for (const char *input : bad) {
        QVERIFY2(!tc.setText(input), input);
        QVERIFY2(!tc.addText(input), input);
        QVERIFY2(!tc.subtractText(input), input);
        QCOMPARE(tc.frames(), uint64_t(4321));
    }
}

void TestTimecode::extremeCountsStayInsideTheDay()
{
    // The most negative count must not be negated on the way (undefined behaviour).
    const int64_t extremes[] = {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                                std::numeric_limits<int64_t>::min() + 1};
    for (const char *rate : {"25", "30"}) {
        for (int64_t n : extremes) {
            Timecode tc = make(rate, QByteArray(rate) == "30");
            tc.setFrames(1000);
            tc.addFrames(n);
            QVERIFY(tc.frames() < tc.framesPerDay());
            tc.subtractFrames(n);
            QCOMPARE(tc.frames(), uint64_t(1000));
            tc.subtractFrames(n);
            tc.addFrames(n);
            QCOMPARE(tc.frames(), uint64_t(1000));
            tc.setFrames(n);
            const int64_t perDay = int64_t(tc.framesPerDay());
            const int64_t expected = ((n % perDay) + perDay) % perDay;
            QCOMPARE(tc.frames(), uint64_t(expected));
        }
    }
}

void TestTimecode::roundTripOverWholeDay_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<bool>("dropFrame");
    QTest::newRow("25") << "25" << false;
    QTest::newRow("30 DF") << "30" << true;
    QTest::newRow("60 DF") << "60" << true;
    QTest::newRow("120 DF") << "120" << true;
}

// Every position of a day prints a label that parses back to it; labels only grow,
// and drop-frame never prints a skipped label.
void TestTimecode::roundTripOverWholeDay()
{
    QFETCH(QString, rate);
    QFETCH(bool, dropFrame);

    Timecode tc = make(rate.toLatin1().constData(), dropFrame);
    const uint64_t perDay = tc.framesPerDay();
    const uint64_t drop = dropFrame ? tc.nominalFps() / 15 : 0;
    const size_t frameDigits = tc.nominalFps() == 120 ? 3 : 2;
    std::string previous;
    for (uint64_t p = 0; p < perDay; ++p) {
        tc.setFrames(int64_t(p));
        const std::string label = tc.toString();
        const std::optional<uint64_t> back = tc.parse(label);
        if (!back || *back != p)
            QFAIL(qPrintable(QStringLiteral("position %1 printed as %2 parsed as %3")
                                 .arg(p).arg(QString::fromStdString(label))
                                 .arg(back ? qlonglong(*back) : -1)));
        if (label <= previous)
            QFAIL(qPrintable(QStringLiteral("label %1 after %2").arg(QString::fromStdString(label),
                                                                     QString::fromStdString(previous))));
        if (drop) {
            const int minutes = std::stoi(label.substr(3, 2));
            const bool secondZero = label.compare(6, 2, "00") == 0;
            const uint64_t frame = std::stoull(label.substr(9, frameDigits));
            if (minutes % 10 != 0 && secondZero && frame < drop)
                QFAIL(qPrintable(QStringLiteral("skipped label printed: %1").arg(QString::fromStdString(label))));
        }
        previous = label;
    }
    QCOMPARE(QString::fromStdString(previous),
             QStringLiteral("23:59:59") + (dropFrame ? ";" : ":")
                 + QString::number(tc.nominalFps() - 1).rightJustified(int(frameDigits), '0'));
}

void TestTimecode::nominalRateText_data()
{
    QTest::addColumn<double>("fps");
    QTest::addColumn<QString>("expected");
    QTest::newRow("29.97") << 30000.0 / 1001 << "30";
    QTest::newRow("59.94") << 60000.0 / 1001 << "60";
    QTest::newRow("23.976") << 24000.0 / 1001 << "24";
    QTest::newRow("25") << 25.0 << "25";
    QTest::newRow("15") << 15.0 << "15";
    QTest::newRow("119.88") << 120000.0 / 1001 << "120";
    QTest::newRow("24.4 rounds down") << 24.4 << "24";
    QTest::newRow("NaN") << std::nan("") << "0";
}

void TestTimecode::nominalRateText()
{
    QFETCH(double, fps);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(Timecode::nominalRateText(fps)), expected);
}

void TestTimecode::forVideo_data()
{
    QTest::addColumn<double>("fps");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("frame100"); // empty: no timecode
    QTest::newRow("no start tag") << 25.0 << "" << "00:00:04:00";
    QTest::newRow("start tag") << 25.0 << "10:00:00:00" << "10:00:04:00";
    QTest::newRow("29.97 drop-frame") << 30000.0 / 1001 << "00:00:59;00" << "00:01:02;12";
    QTest::newRow("29.97 without ';' counts every label") << 30000.0 / 1001 << "00:00:59:00" << "00:01:02:10";
    QTest::newRow("15 fps has none") << 15.0 << "" << "";
    QTest::newRow("start does not parse") << 25.0 << "ten o'clock" << "";
}

void TestTimecode::forVideo()
{
    QFETCH(double, fps);
    QFETCH(QString, start);
    QFETCH(QString, frame100);
    std::optional<Timecode> timecode = Timecode::forVideo(fps, start.toStdString());
    QCOMPARE(timecode.has_value(), !frame100.isEmpty());
    if (!timecode)
        return;
    timecode->addFrames(100);
    QCOMPARE(QString::fromStdString(timecode->toString()), frame100);
}

QTEST_APPLESS_MAIN(TestTimecode)
#include "tst_timecode.moc"
