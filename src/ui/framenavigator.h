#pragma once

#include "ui/keycommands.h"

#include <QObject>

#include <cstdint>

class ApplicationState;
class PlaybackController;
class QTimer;
class ScopeWidget;

// Moving through the frames of a stopped file: a seek to a frame on the current page, held
// stepping keys with their repeat (a frame or a second at a time, never running ahead of
// the pictures), and the wheel. GUI thread only; owns its two timers.
class FrameNavigator : public QObject
{
    Q_OBJECT

public:
    static constexpr int kFirstRepeatMs = 260;
    static constexpr int kRepeatMs = 100;
    static constexpr int kScopeDeferMs = 100;
    static constexpr int kWheelNotch = 120;

    FrameNavigator(ApplicationState *state, PlaybackController *controller, ScopeWidget *scope,
                   QObject *parent = nullptr);

    // Shows frame f on the current page; on the scope page the scope follows 100 ms later.
    // A step lets the engine answer from frames it has decoded already.
    void seekTo(int64_t frame, bool step = false);

    // Every non-repeated key press, before it is dispatched: K held is noted, and any key
    // but the arrows and a K+J / K+L chord ends a running repeat.
    void notePress(int key, ModifierClass modifiers);
    bool isKHeld() const { return m_kHeld; }
    // Starts (or redirects) a repeat: one step now, the next after 260 ms, then every
    // 100 ms; a key pressed while another repeats switches at once at the running pace.
    void startStepping(int direction, bool bySecond, int key);
    void stopStepping();
    // K released: ends a K+J / K+L repeat.
    void releaseK();
    // True when key is the one repeating; the repeat then ends.
    bool releaseStepKey(int key);

    // A vertical wheel turn (eighths of a degree): a frame per whole notch, fractions carry
    // over. False when the wheel does not step now (nothing to step, playing, help shown,
    // timecode entry).
    bool turnWheel(int delta);

    // The step in flight completes when its frame is shown (picture page) or when its
    // scope image arrives (scope page).
    void onFrameShown(int64_t frameNumber);
    void onScopeImageArrived(int64_t frameNumber);

private:
    void stepOnce(bool fromTimer);
    void onScopeDeferTimer();
    bool isAudioOnly() const;

    ApplicationState *m_state;
    PlaybackController *m_controller;
    ScopeWidget *m_scope;
    QTimer *m_stepTimer;
    QTimer *m_scopeDeferTimer;
    int64_t m_scopePendingFrame = -1;
    int m_stepDirection = 0; // +1, -1, or 0 when no repeat is set up
    int m_stepKey = 0;
    bool m_stepBySecond = false;
    bool m_stepInitialDelay = false;
    bool m_stepInFlight = false;
    int64_t m_stepTarget = -1;
    bool m_kHeld = false;
    int m_wheelAccumulator = 0;
};
