#pragma once

// Which source channels feed the two output sides: global channel indices (the channels of
// all audio streams numbered from 0 in stream order), -1 for silence.
struct ChannelRouting {
    int left = -1;
    int right = -1;

    friend bool operator==(const ChannelRouting &, const ChannelRouting &) = default;
};
