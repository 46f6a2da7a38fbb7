#pragma once

#include "core/channelrouting.h"

#include <QObject>

class QComboBox;

// The two routing selectors under the picture, one per output side: "M" (silence) and then
// "ch1".."chN" for the first N <= 8 source channels. Turns them into a ChannelRouting and
// owns the routing keys: default (0), gang (1..8) and mute (M), whose saved pair any other
// routing change (a user's choice, a key, a new file) drops. GUI thread only; owns neither
// combo.
class AudioRoutingSelector : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxChannels = 8;

    AudioRoutingSelector(QComboBox *left, QComboBox *right, QObject *parent = nullptr);

    ChannelRouting routing() const;
    bool hasChannels() const;
    void setVisible(bool visible);

    // A new file's channels: left ch1, right ch2 (ch1 for mono). The combos report every
    // step of the refill, as a user's change would be.
    void fill(int channels);
    // Left ch1, right ch2 (ch1 when there is one channel); nothing without channels.
    void applyDefault();
    // Both sides to channel n (1-based); nothing when there is no such item.
    void gang(int channel);
    // Both sides to "M", saving the pair; again restores it, clamped to the items there are.
    void toggleMute();
    // The saved pair no longer applies.
    void forgetMute();

signals:
    // Either selector changed, reported synchronously from inside the change.
    void changed();

private:
    // Sets both with their signals blocked, then reports once for the pair.
    void setIndices(int left, int right);

    QComboBox *m_left;
    QComboBox *m_right;
    bool m_muted = false;
    bool m_fromMute = false;
    int m_savedLeft = -1; // combo indices saved by mute
    int m_savedRight = -1;
};
