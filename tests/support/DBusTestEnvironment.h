#pragma once

#include "DBusSession.h"

#include <gtest/gtest.h>

#include <memory>

// The buses of one test program: a private session bus and a private "system" bus, started before the first
// test (not when tests are only listed) and ended after the last. Pair it with PrivateUserFolders in main().
//
//   ::testing::AddGlobalTestEnvironment(new DBusTestEnvironment);
class DBusTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;

    // The running environment, or nullptr outside of a test run.
    static DBusTestEnvironment* instance();

    DBusSession& sessionBus() { return *sessionBus_; }
    DBusSession& systemBus() { return *systemBus_; }

private:
    std::unique_ptr<DBusSession> sessionBus_;
    std::unique_ptr<DBusSession> systemBus_;
};
