#pragma once

// The application's compiled-in resources: string tables (and, with the shell, artwork and scenes).
class Resources {
public:
    // Makes sure the resources of this static library are registered with Qt.
    static void initialize();
};
