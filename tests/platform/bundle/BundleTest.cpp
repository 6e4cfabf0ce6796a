#include "Bundle.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {
void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(content);
}

QJsonObject runProbe(const QString& executable) {
    QProcess probe;
    probe.start(executable, {});
    EXPECT_TRUE(probe.waitForFinished(10000));
    EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    return QJsonDocument::fromJson(probe.readAllStandardOutput()).object();
}

const QByteArray completeInfo = R"({
    "CFBundleIdentifier": "com.Orvane.Tempolis",
    "CFBundleVersion": "42",
    "CFBundleShortVersionString": "3.1",
    "CFBundleExecutable": "Tempolis",
    "LSUIElement": true,
    "Build": 7
})";
} // namespace

class BundleTest : public ::testing::Test {
protected:
    QTemporaryDir folder;
    QString bundlePath() const { return folder.filePath("Tempolis.app"); }
};

TEST_F(BundleTest, ReadsItsInformationFromContentsInfoJson) {
    writeFile(bundlePath() + "/Contents/Info.json", completeInfo);
    const Bundle bundle(bundlePath());

    EXPECT_EQ(bundle.bundlePath(), bundlePath());
    EXPECT_EQ(bundle.identifier(), "com.Orvane.Tempolis");
    EXPECT_EQ(bundle.version(), "42");
    EXPECT_EQ(bundle.shortVersion(), "3.1");
    EXPECT_EQ(bundle.executableName(), "Tempolis");
    EXPECT_EQ(bundle.executablePath(), bundlePath() + "/Contents/bin/Tempolis");
    EXPECT_EQ(bundle.resourcePath(), bundlePath() + "/Contents/Resources");
    // Raw values keep their JSON type; an absent key is an invalid QVariant.
    EXPECT_EQ(bundle.infoValue("CFBundleVersion"), QVariant(QString("42")));
    EXPECT_EQ(bundle.infoValue("LSUIElement"), QVariant(true));
    EXPECT_EQ(bundle.infoValue("Build").toInt(), 7);
    EXPECT_FALSE(bundle.infoValue("CFBundleName").isValid());
}

TEST_F(BundleTest, NormalisesTheBundlePath) {
    writeFile(bundlePath() + "/Contents/Info.json", completeInfo);
    QDir::setCurrent(folder.path());
    EXPECT_EQ(Bundle("Tempolis.app/").bundlePath(), bundlePath());
    EXPECT_EQ(Bundle(folder.path() + "/./x/../Tempolis.app").bundlePath(), bundlePath());
    EXPECT_EQ(Bundle("Tempolis.app").identifier(), "com.Orvane.Tempolis");
}

TEST_F(BundleTest, MissingOrUnreadableInformationGivesEmptyValues) {
    const QList<std::pair<const char*, QByteArray>> cases{
        {"no Info.json", QByteArray()},
        {"not JSON", "CFBundleIdentifier = com.Orvane.Tempolis"},
        {"a JSON array", R"(["com.Orvane.Tempolis"])"},
    };
    for (const auto& [description, content] : cases) {
        SCOPED_TRACE(description);
        QTemporaryDir bundleFolder;
        if (!content.isNull())
            writeFile(bundleFolder.path() + "/Contents/Info.json", content);
        const Bundle bundle(bundleFolder.path());
        EXPECT_EQ(bundle.identifier(), "");
        EXPECT_EQ(bundle.version(), "");
        EXPECT_EQ(bundle.shortVersion(), "");
        EXPECT_EQ(bundle.executableName(), "");
        EXPECT_EQ(bundle.executablePath(), "");
        EXPECT_FALSE(bundle.infoValue("CFBundleIdentifier").isValid());
    }
}

TEST_F(BundleTest, ValuesOfTheWrongTypeAreNotReadAsStrings) {
    // A build number written as a JSON number is not a version string; infoValue still shows it.
    writeFile(bundlePath() + "/Contents/Info.json",
              R"({"CFBundleIdentifier": 12, "CFBundleVersion": 12, "CFBundleExecutable": ["Tempolis"]})");
    const Bundle bundle(bundlePath());
    EXPECT_EQ(bundle.identifier(), "");
    EXPECT_EQ(bundle.version(), "");
    EXPECT_EQ(bundle.executablePath(), "");
    EXPECT_EQ(bundle.infoValue("CFBundleVersion").toInt(), 12);
}

TEST_F(BundleTest, AnExecutableNameCannotPointOutsideTheBundle) {
    writeFile(bundlePath() + "/Contents/Info.json", R"({"CFBundleExecutable": "../../../bin/sh"})");
    EXPECT_EQ(Bundle(bundlePath()).executablePath(), "");
}

TEST_F(BundleTest, TheMainBundleContainsTheRunningExecutable) {
    writeFile(bundlePath() + "/Contents/Info.json", completeInfo);
    const QString executable = bundlePath() + "/Contents/bin/Tempolis";
    ASSERT_TRUE(QDir().mkpath(bundlePath() + "/Contents/bin"));
    ASSERT_TRUE(QFile::copy(BUNDLE_PROBE_PATH, executable));

    const QJsonObject mainBundle = runProbe(executable);
    EXPECT_EQ(mainBundle["bundlePath"].toString(), bundlePath());
    EXPECT_EQ(mainBundle["identifier"].toString(), "com.Orvane.Tempolis");
    EXPECT_EQ(mainBundle["executablePath"].toString(), executable);
    EXPECT_EQ(mainBundle["resourcePath"].toString(), bundlePath() + "/Contents/Resources");
}

TEST_F(BundleTest, AnExecutableOutsideABundleIsItsOwnFoldersBundle) {
    // "bin" alone is not enough: the folder above must be Contents.
    QDir().mkpath(folder.filePath("tools/bin"));
    writeFile(folder.filePath("tools/Info.json"), completeInfo);
    const QString executable = folder.filePath("tools/bin/probe");
    ASSERT_TRUE(QFile::copy(BUNDLE_PROBE_PATH, executable));

    const QJsonObject mainBundle = runProbe(executable);
    EXPECT_EQ(mainBundle["bundlePath"].toString(), folder.filePath("tools/bin"));
    EXPECT_EQ(mainBundle["identifier"].toString(), "");
}
