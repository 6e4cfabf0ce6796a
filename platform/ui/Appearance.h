#pragma once

class QPalette;

// Whether the desktop looks dark or light, read from the colours Qt was given.
class Appearance {
public:
    // The application's palette is dark.
    static bool isDark();
    // A window colour darker than mid-grey.
    static bool isDark(const QPalette& palette);
};
