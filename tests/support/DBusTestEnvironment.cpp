#include "DBusTestEnvironment.h"

namespace {
DBusTestEnvironment* current = nullptr;
}

void DBusTestEnvironment::SetUp() {
    sessionBus_ = std::make_unique<DBusSession>(DBusSession::Role::Session);
    ASSERT_TRUE(sessionBus_->isRunning()) << sessionBus_->errorString().toStdString();
    systemBus_ = std::make_unique<DBusSession>(DBusSession::Role::System);
    ASSERT_TRUE(systemBus_->isRunning()) << systemBus_->errorString().toStdString();
    current = this;
}

void DBusTestEnvironment::TearDown() {
    current = nullptr;
    systemBus_.reset();
    sessionBus_.reset();
}

DBusTestEnvironment* DBusTestEnvironment::instance() {
    return current;
}
