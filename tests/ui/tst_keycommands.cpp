// The key table on its own: rows are tried in the order they were added, a row that
// answers NotMine lets the later ones try, exact modifier rows ignore other chords, catch-all
// rows see every key, and releases have rows of their own. Plus the modifier classes.

#include "ui/keycommands.h"

#include <QtTest>

class TestKeyCommands : public QObject
{
    Q_OBJECT

private slots:
    void modifierClasses_data();
    void modifierClasses();
    void dispatch_data();
    void dispatch();
    void releasesAreSeparate();
};

void TestKeyCommands::modifierClasses_data()
{
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("expected");
    QTest::newRow("none") << int(Qt::NoModifier) << int(ModifierClass::None);
    QTest::newRow("keypad only") << int(Qt::KeypadModifier) << int(ModifierClass::None);
    QTest::newRow("shift") << int(Qt::ShiftModifier) << int(ModifierClass::Shift);
    QTest::newRow("control") << int(Qt::ControlModifier) << int(ModifierClass::Command);
    QTest::newRow("meta") << int(Qt::MetaModifier) << int(ModifierClass::Command);
    QTest::newRow("control on the keypad") << int(Qt::ControlModifier | Qt::KeypadModifier)
                                           << int(ModifierClass::Command);
    QTest::newRow("ctrl+shift+alt") << int(Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier)
                                    << int(ModifierClass::LoudnessChord);
    QTest::newRow("meta+shift+alt") << int(Qt::MetaModifier | Qt::ShiftModifier | Qt::AltModifier)
                                    << int(ModifierClass::LoudnessChord);
    QTest::newRow("ctrl+meta+shift+alt")
        << int(Qt::ControlModifier | Qt::MetaModifier | Qt::ShiftModifier | Qt::AltModifier)
        << int(ModifierClass::Other);
    QTest::newRow("alt") << int(Qt::AltModifier) << int(ModifierClass::Other);
    QTest::newRow("ctrl+shift") << int(Qt::ControlModifier | Qt::ShiftModifier) << int(ModifierClass::Other);
}

void TestKeyCommands::modifierClasses()
{
    QFETCH(int, modifiers);
    QFETCH(int, expected);
    QCOMPARE(int(modifierClass(Qt::KeyboardModifiers(modifiers))), expected);
}

void TestKeyCommands::dispatch_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("gateOpen");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("ran"); // the handlers that ran, in order

    const int none = int(ModifierClass::None);
    const int shift = int(ModifierClass::Shift);
    const int command = int(ModifierClass::Command);
    const int accepted = int(KeyOutcome::Accepted);
    const int ignored = int(KeyOutcome::Ignored);
    const int notMine = int(KeyOutcome::NotMine);
    QTest::newRow("a gate that takes every key") << int(Qt::Key_A) << none << true << accepted << "gate";
    QTest::newRow("closed gate passes on") << int(Qt::Key_A) << none << false << accepted << "gate a";
    QTest::newRow("exact row refuses another chord") << int(Qt::Key_A) << command << false << ignored
                                                     << "gate filter";
    QTest::newRow("the first matching row wins") << int(Qt::Key_B) << command << false << accepted
                                                 << "gate ctrl+b";
    QTest::newRow("declining rule lets the next row try") << int(Qt::Key_C) << none << false << accepted
                                                          << "gate declines c";
    QTest::newRow("any-modifier row") << int(Qt::Key_C) << shift << false << accepted << "gate declines c";
    QTest::newRow("unbound key") << int(Qt::Key_Q) << none << false << notMine << "gate";
}

void TestKeyCommands::dispatch()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, gateOpen);
    QFETCH(int, outcome);
    QFETCH(QString, ran);

    QStringList log;
    KeyCommandTable table;
    table.addCatchAll([&](const KeyStroke &) {
        log << QStringLiteral("gate");
        return gateOpen ? KeyOutcome::Accepted : KeyOutcome::NotMine;
    });
    table.add(Qt::Key_B, ModifierClass::Command, [&](int, ModifierClass) { log << QStringLiteral("ctrl+b"); });
    table.addCatchAll([&](const KeyStroke &stroke) {
        if (stroke.modifiers != ModifierClass::Command || stroke.key == Qt::Key_B)
            return KeyOutcome::NotMine;
        log << QStringLiteral("filter");
        return KeyOutcome::Ignored;
    });
    table.add(Qt::Key_A, ModifierClass::None, [&](int, ModifierClass) { log << QStringLiteral("a"); });
    table.addRule({Qt::Key_C}, [&](const KeyStroke &) {
        log << QStringLiteral("declines");
        return KeyOutcome::NotMine;
    });
    table.addAnyModifiers({Qt::Key_B, Qt::Key_C}, [&](int k, ModifierClass) {
        log << (k == Qt::Key_B ? QStringLiteral("b") : QStringLiteral("c"));
    });

    const KeyOutcome got = table.dispatch({key, ModifierClass(modifiers), QString()});
    QCOMPARE(int(got), outcome);
    QCOMPARE(log.join(QLatin1Char(' ')), ran);
}

void TestKeyCommands::releasesAreSeparate()
{
    int pressed = 0;
    int released = 0;
    KeyCommandTable table;
    table.addAnyModifiers({Qt::Key_K}, [&](int, ModifierClass) { ++pressed; });
    table.addRelease({Qt::Key_K, Qt::Key_Z}, [&](const KeyStroke &stroke) {
        ++released;
        return stroke.key == Qt::Key_K ? KeyOutcome::Accepted : KeyOutcome::NotMine;
    });
    QCOMPARE(table.dispatchRelease({Qt::Key_K, ModifierClass::Shift, {}}), KeyOutcome::Accepted);
    QCOMPARE(pressed, 0);
    QCOMPARE(released, 1);
    QCOMPARE(table.dispatchRelease({Qt::Key_Z, ModifierClass::None, {}}), KeyOutcome::NotMine);
    QCOMPARE(table.dispatchRelease({Qt::Key_J, ModifierClass::None, {}}), KeyOutcome::NotMine);
    QCOMPARE(released, 2);
    QCOMPARE(table.dispatch({Qt::Key_Z, ModifierClass::None, {}}), KeyOutcome::NotMine);
    QCOMPARE(table.dispatch({Qt::Key_K, ModifierClass::None, {}}), KeyOutcome::Accepted);
    QCOMPARE(pressed, 1);
    QCOMPARE(released, 2);
}

QTEST_GUILESS_MAIN(TestKeyCommands)
#include "tst_keycommands.moc"
