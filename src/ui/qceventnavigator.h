#pragma once

#include "analysis/qctypes.h"

#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

class QLabel;
class QcSession;

// ] and [ (and the event list's jumps): land on an event's first frame with playback
// stopped, and show the event in the information area until the picture moves elsewhere.
// Events starting on the same frame are visited one after another. GUI thread.
class QcEventNavigator : public QObject
{
    Q_OBJECT

public:
    struct Parts {
        QcSession *session = nullptr;
        QLabel *info = nullptr;                     // the information area
        std::function<void()> stopPlayback;
        std::function<void(int64_t frame)> seekTo;
        std::function<int64_t()> currentFrame;
    };
    explicit QcEventNavigator(Parts parts, QObject *parent = nullptr);

    // The event after / before 'frame' in time order, or -1. 'landed' is the event the
    // picture stands on after a jump (or -1): the steps go on from it, not from the frame,
    // so that events starting on the same frame are each visited.
    static int nextIndex(const QList<qc::Event> &events, int64_t frame, int landed);
    static int previousIndex(const QList<qc::Event> &events, int64_t frame, int landed);

    // False when there is no event that way.
    bool next();
    bool previous();
    void jumpTo(int index);
    int landedIndex() const { return m_landed; }
    QString shownText() const { return m_shown; }

    // The window shows another frame: the event's text goes once the picture leaves it.
    void onFrameShown(int64_t frame);

signals:
    void landed(int index);

private:
    void forget();

    Parts m;
    int m_landed = -1;
    int64_t m_landedFrame = -1; // the frame standing for the landed event
    int64_t m_lastFrame = -1;
    bool m_arrived = false;     // the jump's picture has been shown
    QString m_shown; // what this put in the information area
};
