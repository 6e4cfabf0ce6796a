#pragma once

// Whether a compositing manager blends windows on this display. Without one, the transparent pixels of a
// window show as black, so a window that must let the desktop show through has to be shaped instead.
class Compositing {
public:
    // True when a compositing manager owns the display's selection for the primary screen (X11). Off X11 the
    // window system composes every window itself: true there too, except on the offscreen platform.
    static bool isActive();
};
