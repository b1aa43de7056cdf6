// State the driver and the frame pipeline share: the edge thresholds and the window they show in.
#pragma once

#include <atomic>

inline constexpr char edgeWindow[] = "edge";

// The sliders' and the command line's range is 0 to this; where the sliders start by default.
inline constexpr int thresholdMaximum = 255;
inline constexpr int defaultThreshold1 = 100;
inline constexpr int defaultThreshold2 = 120;

// Set by the sliders "T1" and "T2" on the main thread; read once each per frame by
// edgeFrameCallback on the streaming thread. Independent of each other: a frame may see one new
// and one old value.
extern std::atomic<int> threshold1;
extern std::atomic<int> threshold2;
