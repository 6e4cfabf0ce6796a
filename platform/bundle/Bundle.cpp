#include "Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace {
QString runningExecutablePath() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    // Bundle::main() may be asked before the application object exists.
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString bundlePathOfExecutable(const QString& executablePath) {
    const QDir binFolder = QFileInfo(executablePath).absoluteDir();
    QDir contents = binFolder;
    if (binFolder.dirName() == QLatin1String("bin") && contents.cdUp() &&
        contents.dirName() == QLatin1String("Contents")) {
        QDir bundle = contents;
        if (bundle.cdUp())
            return bundle.absolutePath();
    }
    return binFolder.absolutePath();
}
} // namespace

const Bundle& Bundle::main() {
    static const Bundle mainBundle(bundlePathOfExecutable(runningExecutablePath()));
    return mainBundle;
}

Bundle::Bundle(const QString& path)
    : path_(QDir::cleanPath(QDir(path).absolutePath())) {
    QFile file(path_ + QStringLiteral("/Contents/Info.json"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (document.isObject())
        info_ = document.object();
}

QString Bundle::identifier() const {
    return stringValue(QStringLiteral("CFBundleIdentifier"));
}

QString Bundle::version() const {
    return stringValue(QStringLiteral("CFBundleVersion"));
}

QString Bundle::shortVersion() const {
    return stringValue(QStringLiteral("CFBundleShortVersionString"));
}

QString Bundle::executableName() const {
    const QString name = stringValue(QStringLiteral("CFBundleExecutable"));
    // A name with a slash would point outside Contents/bin.
    if (name.contains(QLatin1Char('/')) || name == QLatin1String("..") || name == QLatin1String("."))
        return {};
    return name;
}

QString Bundle::executablePath() const {
    const QString name = executableName();
    if (name.isEmpty())
        return {};
    return path_ + QStringLiteral("/Contents/bin/") + name;
}

QString Bundle::resourcePath() const {
    return path_ + QStringLiteral("/Contents/Resources");
}

QVariant Bundle::infoValue(const QString& key) const {
    const auto found = info_.constFind(key);
    if (found == info_.constEnd())
        return {};
    return found->toVariant();
}

QString Bundle::stringValue(const QString& key) const {
    const QJsonValue value = info_.value(key);
    return value.isString() ? value.toString() : QString();
}
