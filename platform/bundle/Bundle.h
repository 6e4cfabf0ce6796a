#pragma once

#include <QJsonObject>
#include <QString>
#include <QVariant>

// A bundle folder: <bundle>/Contents/Info.json describes it, <bundle>/Contents/bin holds its executable and
// <bundle>/Contents/Resources its resources. A missing or unreadable Info.json gives empty values.
class Bundle {
public:
    // The bundle that contains the running executable (<bundle>/Contents/bin/<name>). An executable outside
    // such a tree is its own folder's bundle, without information.
    static const Bundle& main();

    explicit Bundle(const QString& path);

    QString bundlePath() const { return path_; }
    QString identifier() const;
    // The build number ("CFBundleVersion").
    QString version() const;
    QString shortVersion() const;
    QString executableName() const;
    // Empty when the bundle names no executable.
    QString executablePath() const;
    QString resourcePath() const;
    // The raw value under `key`; invalid when absent.
    QVariant infoValue(const QString& key) const;

private:
    QString stringValue(const QString& key) const;

    QString path_;
    QJsonObject info_;
};
