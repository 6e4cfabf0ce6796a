// The UI tests need a QApplication; the ones named *OnX11 also need a real X server with a window manager,
// which XvfbSession provides when QT_QPA_PLATFORM is xcb.
#include "PrivateUserFolders.h"
#include "XvfbSession.h"

#include <QApplication>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Test discovery only lists names: no display needed.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();

    // Nothing here may touch the real user's files (the file dialog keeps its state in ~/.config).
    const PrivateUserFolders folders;
    std::unique_ptr<XvfbSession> x11;
    if (qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("xcb")) {
        x11 = std::make_unique<XvfbSession>();
        if (!x11->isRunning()) {
            std::fprintf(stderr, "ui_tests: no X server: %s\n", x11->error().c_str());
            return 1;
        }
    }

    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
