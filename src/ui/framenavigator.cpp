#include "ui/framenavigator.h"

#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "ui/scopewidget.h"

#include <QTimer>

#include <algorithm>
#include <cmath>

FrameNavigator::FrameNavigator(ApplicationState *state, PlaybackController *controller, ScopeWidget *scope,
                               QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_controller(controller)
    , m_scope(scope)
    , m_stepTimer(new QTimer(this))
    , m_scopeDeferTimer(new QTimer(this))
{
    m_scopeDeferTimer->setObjectName(QStringLiteral("ScopeDeferTimer"));
    m_scopeDeferTimer->setInterval(kScopeDeferMs);
    m_scopeDeferTimer->setSingleShot(true);
    m_stepTimer->setObjectName(QStringLiteral("StepRepeatTimer"));
    m_stepTimer->setInterval(kRepeatMs);
    m_stepTimer->setTimerType(Qt::PreciseTimer);
    connect(m_scopeDeferTimer, &QTimer::timeout, this, &FrameNavigator::onScopeDeferTimer);
    connect(m_stepTimer, &QTimer::timeout, this, [this] { stepOnce(true); });
}

bool FrameNavigator::isAudioOnly() const
{
    return m_state->mediaInfo().isAudioOnly;
}

void FrameNavigator::seekTo(int64_t frame, bool step)
{
    if (step)
        m_controller->requestStep(frame);
    else
        m_controller->requestSeek(frame);
    if (m_state->currentMode() == Scope) {
        // The picture comes at once, the costlier scope once the frame settles.
        m_scopePendingFrame = frame;
        m_scopeDeferTimer->start();
    }
}

void FrameNavigator::onScopeDeferTimer()
{
    if (m_state->currentMode() != Scope || m_scopePendingFrame < 0)
        return;
    m_scope->updateScope(m_scopePendingFrame);
    m_scopePendingFrame = -1;
}

void FrameNavigator::notePress(int key, ModifierClass modifiers)
{
    if (key == Qt::Key_K && modifiers == ModifierClass::None)
        m_kHeld = true;
    const bool kChordStep =
        m_kHeld && modifiers == ModifierClass::None && (key == Qt::Key_J || key == Qt::Key_L);
    if (key != Qt::Key_Left && key != Qt::Key_Right && !kChordStep)
        stopStepping();
}

void FrameNavigator::releaseK()
{
    m_kHeld = false;
    if (m_stepKey == Qt::Key_J || m_stepKey == Qt::Key_L)
        stopStepping();
}

bool FrameNavigator::releaseStepKey(int key)
{
    if (key == 0 || key != m_stepKey)
        return false;
    stopStepping();
    return true;
}

void FrameNavigator::startStepping(int direction, bool bySecond, int key)
{
    const bool wasRunning = m_stepTimer->isActive();
    const bool changed = direction != m_stepDirection || bySecond != m_stepBySecond || key != m_stepKey;
    if (changed) {
        m_stepInFlight = false;
        m_stepTarget = -1;
    }
    m_stepDirection = direction;
    m_stepKey = key;
    m_stepBySecond = bySecond;
    // A new key while one repeats switches at the running pace, without a second delay.
    const bool quick = wasRunning && changed;
    m_stepInitialDelay = !quick;
    const int interval = quick ? kRepeatMs : kFirstRepeatMs;
    if (m_stepTimer->interval() != interval)
        m_stepTimer->setInterval(interval);
    if (!m_stepTimer->isActive())
        m_stepTimer->start();
    stepOnce(false);
}

void FrameNavigator::stepOnce(bool fromTimer)
{
    if (fromTimer && m_stepInitialDelay) {
        m_stepInitialDelay = false;
        m_stepTimer->setInterval(kRepeatMs);
    }
    // One step at a time: a held key never runs ahead of the pictures.
    if (m_stepDirection == 0 || m_stepInFlight)
        return;
    if (m_state->isHelpVisible() || m_state->isGotoMode() || m_state->totalFrames() <= 0) {
        stopStepping();
        return;
    }
    if (isAudioOnly() && !m_stepBySecond) {
        stopStepping();
        return;
    }
    const long roundedFps = std::lround(m_state->fps());
    int64_t size = m_stepBySecond && roundedFps > 1 ? int64_t(roundedFps) : 1;
    if (m_stepDirection <= 0)
        size = -size;
    const int64_t current = m_state->currentFrameNumber();
    const int64_t last = std::max<int64_t>(m_state->totalFrames() - 1, 0);
    const int64_t target = std::clamp<int64_t>(current + size, 0, last);
    if (target == current)
        return;
    m_stepInFlight = true;
    m_stepTarget = target;
    seekTo(target, true);
}

void FrameNavigator::stopStepping()
{
    m_stepTimer->stop();
    m_stepDirection = 0;
    m_stepKey = 0;
    m_stepBySecond = false;
    m_stepInitialDelay = false;
    m_stepInFlight = false;
    m_stepTarget = -1;
}

bool FrameNavigator::turnWheel(int delta)
{
    // Behind the help page or while a timecode is typed the frame must not move unseen.
    if (m_state->totalFrames() == 0 || isAudioOnly() || m_state->playState() != Stopped || delta == 0
        || m_state->isHelpVisible() || m_state->isGotoMode())
        return false;
    // High-resolution wheels send fractions of a notch; a frame moves per whole notch.
    m_wheelAccumulator += delta;
    const int steps = m_wheelAccumulator / kWheelNotch;
    if (steps == 0)
        return true;
    m_wheelAccumulator -= steps * kWheelNotch;
    const int64_t current = m_state->currentFrameNumber();
    const int64_t target = std::clamp<int64_t>(current + steps, 0, m_state->totalFrames() - 1);
    if (target != current)
        seekTo(target, true);
    return true;
}

void FrameNavigator::onFrameShown(int64_t frameNumber)
{
    // In scope mode a step completes when its scope image arrives.
    if (m_state->currentMode() == Scope)
        return;
    if (m_stepInFlight && frameNumber == m_stepTarget) {
        m_stepInFlight = false;
        m_stepTarget = -1;
    }
}

void FrameNavigator::onScopeImageArrived(int64_t frameNumber)
{
    if (m_state->currentMode() == Scope && m_stepInFlight && frameNumber == m_stepTarget) {
        m_stepInFlight = false;
        m_stepTarget = -1;
    }
}
