#pragma once

// What a PlaybackController is wired to in tests, the way the main window wires it: the
// state, the audio output, the frame presenter with its video sink, the meter, the rate
// label and the routing selectors. Test rigs derive from it so all of these outlive the
// controller they declare.

#include "audio/audiooutput.h"
#include "state/applicationstate.h"
#include "state/playbackcontroller.h"
#include "ui/audiometerwidget.h"
#include "ui/framepresenter.h"

#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QVideoSink>

#include <memory>

struct ControllerSurroundings {
    std::unique_ptr<PlaybackController> makeController(FrameSource *engine)
    {
        auto controller = std::make_unique<PlaybackController>(&state, engine, &audio);
        PlaybackController *c = controller.get();
        presenter = std::make_unique<FramePresenter>(&state, &sink, &audio);
        QObject::connect(c, &PlaybackController::pictureReady, presenter.get(), &FramePresenter::present);
        QObject::connect(c, &PlaybackController::audioPlayed, presenter.get(), &FramePresenter::onAudioPlayed);
        QObject::connect(c, &PlaybackController::playedAudioReset, presenter.get(),
                         &FramePresenter::onPlayedAudioReset);
        QObject::connect(c, &PlaybackController::levelsChanged, &meter, &AudioMeterWidget::setLevels);
        QObject::connect(c, &PlaybackController::rateChanged, &rateLabel,
                         [this](const QString &text, PlaybackController::RateLook) { rateLabel.setText(text); });
        const auto route = [this, c] { c->setRouting(left.currentIndex() - 1, right.currentIndex() - 1); };
        QObject::connect(&left, &QComboBox::currentIndexChanged, c, route);
        QObject::connect(&right, &QComboBox::currentIndexChanged, c, route);
        route();
        return controller;
    }

    ApplicationState state;
    AudioOutput audio;
    QVideoSink sink;
    QTimer timer;
    AudioMeterWidget meter;
    QLabel rateLabel;
    QComboBox left;
    QComboBox right;
    std::unique_ptr<FramePresenter> presenter;
};
