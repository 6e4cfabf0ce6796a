#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

// Files a test lays out (bundles, scripts, desktop entries), with the folders they need.
class TestFiles {
public:
    static constexpr QFileDevice::Permissions executablePermissions =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

    // Writes `content` to `path`, making missing folders; fails the current test when it cannot.
    static void write(const QString& path, const QByteArray& content,
                      QFileDevice::Permissions permissions = {});
};
