#pragma once

#include <QString>

// What the status icon shows besides the icon itself, on the floating item and in the tray alike.
enum class StatusIconState {
    idle,      // not recording, nothing wrong (a capture starting, a suspended input)
    recording, // the red dot
    paused,    // the user paused: a pause mark instead of the dot
    saving,    // a clip is being made: the icon pulses (in the tray: dimmed)
    error,     // the last save failed, or capture keeps failing: an amber mark
};

// The state in words, for tooltips and screen readers ("Recording.").
QString statusIconStateText(StatusIconState state);
// The image drawn over the icon for `state`; empty for none.
QString statusIconIndicatorImage(StatusIconState state);
