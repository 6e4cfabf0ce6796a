#pragma once

// The desktop's alert sound.
class Beep {
public:
    static void play();
};
