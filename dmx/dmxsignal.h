// DMX512 output of the test console without widgets: packet size, line timing, the packet interval and the ramp.
#pragma once

constexpr int kDmxMaxChannels = 512;
// Start code 0 followed by channels 1..512.
constexpr int kDmxPacketBytes = kDmxMaxChannels + 1;
constexpr int kDmxMaxPacketsPerSecond = 100;
constexpr int kDmxMaxValue = 255;

// One slot at 250 kbaud 8N2: start bit, 8 data bits, 2 stop bits.
constexpr int kDmxSlotUs = 44;
// The break is FT_SetBreakOn followed at once by FT_SetBreakOff: two USB requests, about 100 us on the line
// (DMX512 asks for at least 92 us). The mark after break is the FTDI chip's gap before the first byte, about 12 us.
constexpr int kDmxBreakUs = 100;
constexpr int kDmxMarkAfterBreakUs = 12;

// Bytes of a packet for `channels` channels (start code included); channels are clamped to 1..512.
int dmxPacketLength(int channels);
// Time one packet occupies the line: break, mark after break, start code and channels.
int dmxWireTimeUs(int channels);
// Packet timer interval: 1000 / packetsPerSecond ms, but never shorter than the packet's wire time rounded up to
// whole milliseconds plus 1 ms, so a packet never starts (with its purge and break) before the last one has left.
int dmxPacketIntervalMs(int packetsPerSecond, int channels);
// Packets per second that go out at that interval, and whether that is fewer than asked for because the line cannot
// carry them (512 channels at 100 a second: 24 ms a packet, about 41.7 a second).
double dmxSentPacketsPerSecond(int packetsPerSecond, int channels);
bool dmxRateLimitedByWire(int packetsPerSecond, int channels);

// One step of the console's ramp (value 0..255 in steps of 5, rising while up != 0). At either end the step
// only turns the direction, so the value holds for one step: 0, 5, ..., 250, 255, 255, 250, ..., 0, 0, 5, ...
void dmxRampStep(int &value, int &up);
