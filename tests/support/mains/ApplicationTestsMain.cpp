// The main of widget test programs: private user folders, an application object and the string table.
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
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Localization::install(application);
    return RUN_ALL_TESTS();
}
