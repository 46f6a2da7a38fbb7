// The routing selectors as a typed routing: what a new file's channels give, what the
// routing keys (0, 1..8, M) make of it, and how often and how a change is reported.

#include "ui/audioroutingselector.h"

#include <QComboBox>
#include <QSignalSpy>
#include <QtTest>

namespace {

struct Selectors {
    QComboBox left;
    QComboBox right;
    AudioRoutingSelector selector{&left, &right};
};

QString describe(const ChannelRouting &r)
{
    return QStringLiteral("%1,%2").arg(r.left).arg(r.right);
}

} // namespace

class TestAudioRoutingSelector : public QObject
{
    Q_OBJECT

private slots:
    void keys_data();
    void keys();
    void fillListsAtMostEightChannels();
    void onePairChangeIsOneReport();
};

void TestAudioRoutingSelector::keys_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<QString>("keys"); // d: default, 1..8: gang, m: mute, f<n>: refill with n
    QTest::addColumn<QString>("routing");

    QTest::newRow("mono file") << 1 << "" << "0,0";
    QTest::newRow("stereo file") << 2 << "" << "0,1";
    QTest::newRow("six channels") << 6 << "" << "0,1";
    QTest::newRow("gang 3") << 6 << "3" << "2,2";
    QTest::newRow("gang past the channels") << 2 << "3" << "0,1";
    QTest::newRow("gang then default") << 6 << "5d" << "0,1";
    QTest::newRow("default on mono") << 1 << "d" << "0,0";
    QTest::newRow("mute") << 6 << "4m" << "-1,-1";
    QTest::newRow("mute and back") << 6 << "4mm" << "3,3";
    QTest::newRow("a choice after mute drops the saved pair") << 6 << "4m2mm" << "1,1";
    QTest::newRow("a new file drops the saved pair") << 6 << "4mf6mm" << "0,1";
}

void TestAudioRoutingSelector::keys()
{
    QFETCH(int, channels);
    QFETCH(QString, keys);
    QFETCH(QString, routing);
    Selectors s;
    s.selector.fill(channels);
    for (int i = 0; i < keys.size(); ++i) {
        const QChar k = keys.at(i);
        if (k == QLatin1Char('d')) {
            s.selector.applyDefault();
        } else if (k == QLatin1Char('m')) {
            s.selector.toggleMute();
        } else if (k == QLatin1Char('f')) {
            s.selector.fill(keys.at(++i).digitValue());
        } else {
            s.selector.gang(k.digitValue());
        }
    }
    QCOMPARE(describe(s.selector.routing()), routing);
}

void TestAudioRoutingSelector::fillListsAtMostEightChannels()
{
    Selectors s;
    s.selector.fill(12);
    QCOMPARE(s.left.count(), 9);
    QCOMPARE(s.right.count(), 9);
    QCOMPARE(s.left.itemText(0), QStringLiteral("M"));
    QCOMPARE(s.right.itemText(8), QStringLiteral("ch8"));
    QVERIFY(s.selector.hasChannels());
    s.selector.gang(8);
    QCOMPARE(describe(s.selector.routing()), QStringLiteral("7,7"));
    QComboBox none;
    QComboBox noneEither;
    AudioRoutingSelector empty(&none, &noneEither);
    QVERIFY(!empty.hasChannels());
    QCOMPARE(describe(empty.routing()), QStringLiteral("-1,-1")); // nothing chosen is silence
    empty.applyDefault();
    empty.toggleMute();
    QCOMPARE(none.count(), 0);
}

void TestAudioRoutingSelector::onePairChangeIsOneReport()
{
    Selectors s;
    s.selector.fill(4);
    QSignalSpy reports(&s.selector, &AudioRoutingSelector::changed);
    ChannelRouting seen;
    connect(&s.selector, &AudioRoutingSelector::changed, this, [&] { seen = s.selector.routing(); });
    s.selector.gang(2);
    QCOMPARE(reports.count(), 1);
    QCOMPARE(describe(seen), QStringLiteral("1,1")); // both sides set before the report
    s.selector.toggleMute();
    QCOMPARE(reports.count(), 2);
    QCOMPARE(describe(seen), QStringLiteral("-1,-1"));
    s.selector.toggleMute();
    QCOMPARE(reports.count(), 3);
    QCOMPARE(describe(seen), QStringLiteral("1,1"));
    // A user's choice in one selector is one report.
    s.right.setCurrentIndex(3);
    QCOMPARE(reports.count(), 4);
    QCOMPARE(describe(seen), QStringLiteral("1,2"));
}

QTEST_MAIN(TestAudioRoutingSelector)
#include "tst_audioroutingselector.moc"
