// The main of test programs that need private user folders and private session and system buses.
#include "DBusTestEnvironment.h"
#include "PrivateUserFolders.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char* argv[]) {
    PrivateUserFolders folders;
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new DBusTestEnvironment);
    return RUN_ALL_TESTS();
}
