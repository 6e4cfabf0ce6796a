#include "DBusTestEnvironment.h"
#include "PrivateUserFolders.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

int main(int argc, char* argv[]) {
    PrivateUserFolders folders;
    // Icons are rendered through QtGui; no window is shown.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new DBusTestEnvironment);
    return RUN_ALL_TESTS();
}
