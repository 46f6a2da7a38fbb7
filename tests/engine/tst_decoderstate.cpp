// The decoder's modes: which transitions lead where, and what each mode lets a request do
// (decode on without a seek, decode at all) and obliges playback to do (seek first, drop
// the sound decoded so far). Sequences as the engine makes them.

#include "engine/decoderstate.h"

#include <QtTest>

namespace {

using Mode = DecoderState::Mode;
using ReadBack = DecoderState::ReadBack;

// One transition per letter: s seeked, w answeredWithoutSeek, f answeredFromCache with the
// decoder following, F from the cache with the decoder elsewhere, l lostTheWay, d
// drainedAfterTarget, b readBackScheduled, B readBackSeeked, e readBackDone.
DecoderState run(const QString &transitions)
{
    DecoderState state;
    for (const QChar c : transitions) {
        switch (c.toLatin1()) {
        case 's': state.seeked(); break;
        case 'w': state.answeredWithoutSeek(); break;
        case 'f': state.answeredFromCache(true); break;
        case 'F': state.answeredFromCache(false); break;
        case 'l': state.lostTheWay(); break;
        case 'd': state.drainedAfterTarget(); break;
        case 'b': state.readBackScheduled(); break;
        case 'B': state.readBackSeeked(); break;
        case 'e': state.readBackDone(); break;
        default: qFatal("unknown transition");
        }
    }
    return state;
}

} // namespace

class TestDecoderState : public QObject
{
    Q_OBJECT

private slots:
    void transitions_data()
    {
        QTest::addColumn<QString>("transitions");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("readBack");
        QTest::addColumn<bool>("mayContinue");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<bool>("seekWithSound");
        QTest::addColumn<bool>("seekSilent");
        QTest::addColumn<bool>("soundElsewhere");

        const auto row = [](const char *name, const char *t, Mode mode, ReadBack readBack, bool mayContinue,
                            bool decodes, bool seekWithSound, bool seekSilent, bool soundElsewhere) {
            QTest::newRow(name) << QString::fromLatin1(t) << int(mode) << int(readBack) << mayContinue << decodes
                                << seekWithSound << seekSilent << soundElsewhere;
        };
        row("fresh", "", Mode::InStep, ReadBack::Idle, true, true, false, false, false);
        row("step without a seek", "w", Mode::SoundGone, ReadBack::Idle, true, true, true, false, true);
        row("several steps", "www", Mode::SoundGone, ReadBack::Idle, true, true, true, false, true);
        row("cache, decoder follows", "f", Mode::SoundGone, ReadBack::Idle, true, true, true, false, true);
        row("cache, decoder elsewhere", "F", Mode::Detached, ReadBack::Idle, false, true, true, true, true);
        // Once elsewhere, a later cache hit whose frame happens to precede the decoder's
        // output does not bring it back: only a seek does.
        row("elsewhere stays elsewhere", "Ff", Mode::Detached, ReadBack::Idle, false, true, true, true, true);
        row("steps do not undo elsewhere", "Fw", Mode::Detached, ReadBack::Idle, false, true, true, true, true);
        row("continued run found the end", "wl", Mode::Detached, ReadBack::Idle, false, true, true, true, true);
        row("seek after elsewhere", "Fs", Mode::InStep, ReadBack::Idle, true, true, false, false, false);
        row("drained one-shot", "d", Mode::Drained, ReadBack::Idle, false, false, false, false, false);
        row("seek after draining", "ds", Mode::InStep, ReadBack::Idle, true, true, false, false, false);
        row("read-back scheduled", "Fb", Mode::Detached, ReadBack::Scheduled, false, true, true, true, true);
        row("read-back scheduled in step", "b", Mode::InStep, ReadBack::Scheduled, true, true, false, false, false);
        row("read-back running", "bB", Mode::Detached, ReadBack::Running, false, true, true, true, true);
        row("read-back done", "bBe", Mode::Detached, ReadBack::Idle, false, true, true, true, true);
        row("a seek ends the read-back", "bBs", Mode::InStep, ReadBack::Idle, true, true, false, false, false);
        row("a request's seek cancels a scheduled one", "bs", Mode::InStep, ReadBack::Idle, true, true, false, false,
            false);
    }
    void transitions()
    {
        QFETCH(QString, transitions);
        QFETCH(int, mode);
        QFETCH(int, readBack);
        QFETCH(bool, mayContinue);
        QFETCH(bool, decodes);
        QFETCH(bool, seekWithSound);
        QFETCH(bool, seekSilent);
        QFETCH(bool, soundElsewhere);

        const DecoderState state = run(transitions);
        QCOMPARE(int(state.mode()), mode);
        QCOMPARE(int(state.readBack()), readBack);
        QCOMPARE(state.mayContinue(), mayContinue);
        QCOMPARE(state.decodes(), decodes);
        QCOMPARE(state.playbackMustSeek(true), seekWithSound);
        QCOMPARE(state.playbackMustSeek(false), seekSilent);
        QCOMPARE(state.soundIsElsewhere(true), soundElsewhere);
        // Without sound there is never sound to drop.
        QVERIFY(!state.soundIsElsewhere(false));
    }
};

QTEST_GUILESS_MAIN(TestDecoderState)
#include "tst_decoderstate.moc"
