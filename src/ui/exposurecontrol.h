#pragma once

// The exposure of the view transform of scene-linear (float, EXR) pictures: a half stop
// up or down per key or per wheel notch (Shift+wheel over the picture), back to 0 on a key
// and with every new file. Only media with float samples take it. The state holds the value
// (the information area shows it); the open file's engine is told, and a stopped picture
// is shown again. GUI thread only; owns nothing it is given.

#include <QObject>

#include <functional>

class ApplicationState;
class OpenMedia;

class ExposureControl : public QObject
{
    Q_OBJECT

public:
    static constexpr double kStep = 0.5;
    // Wheel units of one notch (eighths of a degree).
    static constexpr int kWheelNotch = 120;

    struct Parts {
        ApplicationState *state = nullptr;
        std::function<OpenMedia *()> media;   // the open file
        std::function<void()> showAgain;      // the current frame again (stopped)
    };
    explicit ExposureControl(Parts parts, QObject *parent = nullptr);

    // False (nothing changes) when the open media has no scene-linear pictures.
    bool step(int halfStops);
    // A wheel turn: a half stop per whole notch, fractions carried over. False when the
    // media takes no exposure (the turn is then someone else's).
    bool turnWheel(int delta);
    bool reset();
    // A new file starts at 0 (its engine does).
    void fileOpened();

private:
    bool applies() const;
    void apply(double stops);

    Parts m;
    int m_wheelAccumulator = 0;
};
