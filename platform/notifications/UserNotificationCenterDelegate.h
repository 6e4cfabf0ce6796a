#pragma once

#include <QVariantMap>

#include <functional>

// Answers the user's click on a notification that UserNotificationCenter delivered.
class UserNotificationCenterDelegate {
public:
    virtual ~UserNotificationCenterDelegate() = default;

    // `userInfo` is what the notification was scheduled with. Call `completionHandler` exactly once, when the
    // response has been handled; the notification is then withdrawn.
    virtual void didReceiveResponse(const QVariantMap& userInfo, std::function<void()> completionHandler) = 0;
};
