#pragma once

// What a PlaybackController is wired to in tests: the state, the picture sink, the pacing
// timer and the widgets it updates. Test rigs derive from it so all of these outlive the
// controller they declare.

#include "audio/audiometerwidget.h"
#include "core/timecode.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"

#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QVideoSink>

#include <memory>
#include <optional>

struct ControllerSurroundings {
    std::unique_ptr<PlaybackController> makeController(QObject *engine)
    {
        return std::make_unique<PlaybackController>(nullptr, &state, engine, nullptr, &sink, &timer, &meter,
                                                    &rateLabel, &left, &right, &timecode, &offset);
    }

    ApplicationState state;
    QVideoSink sink;
    QTimer timer;
    AudioMeterWidget meter;
    QLabel rateLabel;
    QComboBox left;
    QComboBox right;
    std::optional<Timecode> timecode;
    int64_t offset = 0;
};
