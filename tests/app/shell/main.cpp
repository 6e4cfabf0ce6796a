#include "DBusTestEnvironment.h"
#include "Localization.h"
#include "PrivateUserFolders.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstring>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) {
            ::testing::InitGoogleTest(&argc, argv);
            return RUN_ALL_TESTS();
        }
    }
    PrivateUserFolders folders;
    ::testing::InitGoogleTest(&argc, argv);
    // The buses first: the application's objects connect to them when they are made.
    auto* buses = new DBusTestEnvironment;
    buses->SetUp();
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Localization::install(application);
    const int status = RUN_ALL_TESTS();
    buses->TearDown();
    delete buses;
    return status;
}
