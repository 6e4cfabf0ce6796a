#include "DesktopCaptureAuthorization.h"

#include <gtest/gtest.h>

TEST(DesktopCaptureAuthorization, IsAuthorizedAndGrantsRequests) {
    DesktopCaptureAuthorization authorization;
    EXPECT_EQ(authorization.status(), CaptureAuthorization::Status::authorized);
    int answers = 0;
    bool granted = false;
    authorization.requestAccess([&](bool answer) {
        ++answers;
        granted = answer;
    });
    EXPECT_EQ(answers, 1);
    EXPECT_TRUE(granted);
}
