// DMX512 timing and the console's ramp.
#include "dmx/dmxsignal.h"

#include <QtGlobal>

namespace {
constexpr int kRampStep = 5;
}

int dmxPacketLength(int channels)
{
    return qBound(1, channels, kDmxMaxChannels) + 1;
}

int dmxWireTimeUs(int channels)
{
    return kDmxBreakUs + kDmxMarkAfterBreakUs + dmxPacketLength(channels) * kDmxSlotUs;
}

int dmxPacketIntervalMs(int packetsPerSecond, int channels)
{
    const int wireMs = (dmxWireTimeUs(channels) + 999) / 1000;
    return qMax(1000 / qBound(1, packetsPerSecond, kDmxMaxPacketsPerSecond), wireMs + 1);
}

double dmxSentPacketsPerSecond(int packetsPerSecond, int channels)
{
    return 1000.0 / dmxPacketIntervalMs(packetsPerSecond, channels);
}

bool dmxRateLimitedByWire(int packetsPerSecond, int channels)
{
    return dmxPacketIntervalMs(packetsPerSecond, channels) > 1000 / qBound(1, packetsPerSecond, kDmxMaxPacketsPerSecond);
}

void dmxRampStep(int &value, int &up)
{
    if (up) {
        if (value < kDmxMaxValue - kRampStep + 1)
            value += kRampStep;
        else
            up = 0;
    } else {
        if (value > kRampStep - 1)
            value -= kRampStep;
        else
            up = 1;
    }
}
