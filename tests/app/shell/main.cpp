#include "DBusTestEnvironment.h"
#include "Localization.h"
#include "PrivateUserFolders.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (at build time) needs no display, bus or private folders.
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();
    }
    PrivateUserFolders folders;
    // The buses first: the application's objects connect to them when they are made.
    DBusTestEnvironment buses;
    buses.SetUp();
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Localization::install(application);
    const int status = RUN_ALL_TESTS();
    buses.TearDown();
    return status;
}
