#include "PrivateUserFolders.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

int main(int argc, char* argv[]) {
    PrivateUserFolders folders;
    // A GUI application, so that a prompt could be shown if one were made.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
