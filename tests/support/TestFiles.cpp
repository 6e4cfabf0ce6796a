#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

void TestFiles::write(const QString& path, const QByteArray& content, QFileDevice::Permissions permissions) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(content);
    if (permissions) {
        file.setPermissions(permissions);
    }
}
