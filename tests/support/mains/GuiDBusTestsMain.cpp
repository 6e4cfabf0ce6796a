// The main of test programs that use QtGui without showing a window (the offscreen platform) and need private
// user folders and private session and system buses.
#include "DBusTestEnvironment.h"
#include "PrivateUserFolders.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

int main(int argc, char* argv[]) {
    PrivateUserFolders folders;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new DBusTestEnvironment);
    return RUN_ALL_TESTS();
}
