#pragma once

// The scenes of the storyboard "Main": popover contents made by identifier (the class name).
class MainStoryboard {
public:
    MainStoryboard() = delete;

    static void registerScenes();
};
