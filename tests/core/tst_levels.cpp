// Linear amplitude -> dBFS with each caller's floor: the engine's level lists (-60, with
// quieter peaks kept apart from silence), the played sides (-80) and the loudness true
// peak (-infinity for silence).

#include "core/levels.h"

#include <QtTest>

#include <limits>

class TestLevels : public QObject
{
    Q_OBJECT

private slots:
    void toDbfs_data();
    void toDbfs();
};

void TestLevels::toDbfs_data()
{
    QTest::addColumn<double>("linear");
    QTest::addColumn<double>("floorDb");
    QTest::addColumn<double>("silentAtOrBelow"); // NaN: the floor's own amplitude
    QTest::addColumn<double>("expected");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double minusInf = -std::numeric_limits<double>::infinity();
    QTest::newRow("full scale") << 1.0 << -60.0 << nan << 0.0;
    QTest::newRow("half scale") << 0.5 << -60.0 << nan << -6.020599913;
    QTest::newRow("a tenth") << 0.1 << -60.0 << nan << -20.0;
    QTest::newRow("over full scale") << 2.0 << -60.0 << nan << 6.020599913;
    QTest::newRow("just above the -60 floor") << 0.0011 << -60.0 << nan << -59.172146;
    QTest::newRow("at the -60 floor") << 0.001 << -60.0 << nan << -60.0;
    QTest::newRow("below the -60 floor") << 0.00001 << -60.0 << nan << -60.0;
    QTest::newRow("silence, -60") << 0.0 << -60.0 << nan << -60.0;
    QTest::newRow("negative reads as silence") << -0.5 << -60.0 << nan << -60.0;
    QTest::newRow("played side above its floor") << 0.0002 << -80.0 << nan << -73.979400087;
    QTest::newRow("played side at its floor") << 0.0001 << -80.0 << nan << -80.0;
    QTest::newRow("played side below its floor") << 0.00001 << -80.0 << nan << -80.0;
    // The engine's lists keep a quiet peak below the floor apart from silence.
    QTest::newRow("list: quiet peak kept") << 0.00001 << -60.0 << 0.000001 << -100.0;
    QTest::newRow("list: at the threshold") << 0.000001 << -60.0 << 0.000001 << -60.0;
    QTest::newRow("list: silence") << 0.0 << -60.0 << 0.000001 << -60.0;
    QTest::newRow("true peak, silence") << 0.0 << minusInf << nan << minusInf;
    QTest::newRow("true peak, tiny") << 1e-12 << minusInf << nan << -240.0;
    QTest::newRow("true peak, full scale") << 1.0 << minusInf << nan << 0.0;
}

void TestLevels::toDbfs()
{
    QFETCH(double, linear);
    QFETCH(double, floorDb);
    QFETCH(double, silentAtOrBelow);
    QFETCH(double, expected);

    const double got = std::isnan(silentAtOrBelow) ? levels::linearToDbfs(linear, floorDb)
                                                   : levels::linearToDbfs(linear, floorDb, silentAtOrBelow);
    if (std::isinf(expected))
        QCOMPARE(got, expected);
    else
        QVERIFY2(std::abs(got - expected) < 1e-5, qPrintable(QString::number(got, 'g', 12)));

    // The engine and the played sides work in float: same answer.
    const float gotFloat = std::isnan(silentAtOrBelow)
        ? levels::linearToDbfs(float(linear), float(floorDb))
        : levels::linearToDbfs(float(linear), float(floorDb), float(silentAtOrBelow));
    if (std::isinf(expected))
        QCOMPARE(gotFloat, float(expected));
    else
        QVERIFY2(std::abs(gotFloat - float(expected)) < 1e-3f, qPrintable(QString::number(gotFloat, 'g', 9)));
}

QTEST_GUILESS_MAIN(TestLevels)
#include "tst_levels.moc"
