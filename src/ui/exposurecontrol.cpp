#include "ui/exposurecontrol.h"

#include "core/colour.h"
#include "state/applicationstate.h"
#include "state/openmedia.h"

#include <algorithm>

ExposureControl::ExposureControl(Parts parts, QObject *parent)
    : QObject(parent), m(std::move(parts))
{
}

bool ExposureControl::applies() const
{
    return m.state->mediaInfo().sceneLinear && !m.state->mediaInfo().isAudioOnly;
}

void ExposureControl::apply(double stops)
{
    stops = std::clamp(stops, -colour::kMaxExposureStops, colour::kMaxExposureStops);
    if (stops == m.state->exposureStops())
        return;
    m.state->setExposureStops(stops);
    if (OpenMedia *media = m.media ? m.media() : nullptr)
        media->setExposure(stops);
    if (m.showAgain && m.state->playState() == Stopped)
        m.showAgain();
}

bool ExposureControl::step(int halfStops)
{
    if (!applies())
        return false;
    apply(m.state->exposureStops() + halfStops * kStep);
    return true;
}

bool ExposureControl::turnWheel(int delta)
{
    if (!applies())
        return false;
    m_wheelAccumulator += delta;
    const int notches = m_wheelAccumulator / kWheelNotch;
    m_wheelAccumulator -= notches * kWheelNotch;
    if (notches != 0)
        step(notches);
    return true;
}

bool ExposureControl::reset()
{
    if (!applies())
        return false;
    apply(0.0);
    return true;
}

void ExposureControl::fileOpened()
{
    m_wheelAccumulator = 0;
    m.state->setExposureStops(0.0);
}
