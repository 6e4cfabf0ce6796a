#include "Localization.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

TEST(Localization, KeysShowTheirEnglishTextAndUnknownKeysShowThemselves) {
    int argc = 1;
    char name[] = "localization_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    EXPECT_EQ(Localization::string("Export Error"), "Export Error") << "nothing installed yet";
    Localization::install(application);
    EXPECT_EQ(Localization::string("Export Error"), "The recording could not be saved.");
    EXPECT_EQ(Localization::string("Save Panel Title"), "Save Recording");
    EXPECT_EQ(Localization::string("Recording Filename").arg("2024-03-05", "2.06.09 PM"),
              "Tempolis Recording 2024-03-05 at 2.06.09 PM");
    EXPECT_EQ(Localization::string("A Key Nobody Wrote"), "A Key Nobody Wrote");
}
