#pragma once

#include <QtGui/qwindowdefs.h>

#include <memory>
#include <vector>

class StatusItem;
class X11Struts;

// The row of status items along the top of the primary screen's available area (inside the desktop's own
// panels, never over them). Items are laid out from the right edge leftwards in the order they were made,
// and laid out again when screens or the available area change. On X11 each item reserves its strip (as a
// desktop panel does), so maximized windows leave it free, and the row keeps its place whatever the window
// manager makes of that strip (see X11Struts). Main thread only.
class StatusBar {
public:
    StatusBar();
    ~StatusBar();

    // Lengths for statusItem(): as wide as the button's image needs, or as wide as the bar is tall.
    static constexpr double variableLength = -1.0;
    static constexpr double squareLength = -2.0;
    // The height of every item.
    static constexpr int thicknessPixels = 22;

    static StatusBar& system();

    // A new item, shown at once left of the items already there. The caller owns it; destroying it takes it
    // off the bar. Needs a QApplication.
    std::unique_ptr<StatusItem> statusItem(double length);

    // Places every visible item again in the primary screen's available geometry.
    void layoutItems();

private:
    friend class StatusItem;
    void remove(StatusItem* item);
    std::vector<WId> itemWindows() const;

    std::vector<StatusItem*> items_;
    std::unique_ptr<X11Struts> struts_;
};
