// Keeping a window inside the screen's available area when it grows.
#pragma once

#include <QRect>

// The frame (window with its decorations) moved so that it lies inside `available`: a frame past the right or bottom
// edge moves left or up, never past the left or top edge. Its size stays: a frame wider or taller than `available`
// keeps its left or top edge on the screen (what does not fit is at the right or bottom).
QRect fitFrameIntoScreen(const QRect &frame, const QRect &available);
