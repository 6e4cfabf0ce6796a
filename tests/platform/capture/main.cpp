#include <QCoreApplication>
#include <gtest/gtest.h>

// Sessions and the capture system deliver events through the Qt event loop of the main thread.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
