#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {
constexpr int waitMilliseconds = 10000;
const QString launcherIdentifier = "com.Orvane.Tempolis.Launcher";
QString readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
} // namespace

class LoginItemsTest : public ::testing::Test {
protected:
    QTemporaryDir folder;
    QString configHome() const { return folder.filePath("config"); }
    QString entryPath() const { return configHome() + "/autostart/" + launcherIdentifier + ".desktop"; }
    QString markerPath() const { return folder.filePath("login-item-started"); }

    // <parent>/Tempolis.app whose program is the probe, with the launcher and a second login item inside.
    // Returns the launcher's executable. Each login item records the path it was started as.
    QString makeMainBundle(const QString& parent) {
        const QString bundle = parent + "/Tempolis.app";
        TestFiles::write(
            bundle + "/Contents/Info.json",
            R"({"CFBundleIdentifier": "com.Orvane.Tempolis", "CFBundleExecutable": "Tempolis"})");
        QDir().mkpath(bundle + "/Contents/bin");
        EXPECT_TRUE(QFile::copy(LOGINITEMS_PROBE_PATH, bundle + "/Contents/bin/Tempolis"));
        const QString loginItems = bundle + "/Contents/Library/LoginItems";
        const QByteArray recorder = "#!/bin/sh\nprintf '%s' \"$0\" > '" + markerPath().toUtf8() + "'\n";
        // Listed before Launcher.app: the identifier, not the order, picks the login item.
        TestFiles::write(
            loginItems + "/Helper.app/Contents/Info.json",
            R"({"CFBundleIdentifier": "com.Orvane.Tempolis.Helper", "CFBundleExecutable": "Helper"})");
        TestFiles::write(loginItems + "/Helper.app/Contents/bin/Helper", recorder,
                         TestFiles::executablePermissions);
        TestFiles::write(
            loginItems + "/Launcher.app/Contents/Info.json",
            R"({"CFBundleIdentifier": "com.Orvane.Tempolis.Launcher", "CFBundleExecutable": "Launcher"})");
        TestFiles::write(loginItems + "/Launcher.app/Contents/bin/Launcher", recorder,
                         TestFiles::executablePermissions);
        return loginItems + "/Launcher.app/Contents/bin/Launcher";
    }

    QString setEnabled(const QString& parent, const QString& identifier, bool enabled,
                       const QProcessEnvironment& environment = {}) {
        QProcess probe;
        QProcessEnvironment probeEnvironment =
            environment.isEmpty() ? QProcessEnvironment::systemEnvironment() : environment;
        if (environment.isEmpty())
            probeEnvironment.insert("XDG_CONFIG_HOME", configHome());
        probe.setProcessEnvironment(probeEnvironment);
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe.start(parent + "/Tempolis.app/Contents/bin/Tempolis", {identifier, enabled ? "on" : "off"});
        EXPECT_TRUE(probe.waitForFinished(waitMilliseconds));
        return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
    }

    // Starts the entry with GLib's desktop-entry parser, as a session's autostart does; returns the path the
    // program saw itself started as. Empty without gio.
    QString startedAs(const QString& desktopFile) {
        if (QStandardPaths::findExecutable("gio").isEmpty())
            return {};
        QFile::remove(markerPath());
        EXPECT_EQ(QProcess::execute("gio", {"launch", desktopFile}), 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(markerPath()); }, waitMilliseconds));
        return readFile(markerPath());
    }
};

TEST_F(LoginItemsTest, EnablingWritesAnAutostartEntryThatRunsTheLoginItem) {
    const QString launcher = makeMainBundle(folder.path());
    ASSERT_EQ(setEnabled(folder.path(), launcherIdentifier, true), "true");

    EXPECT_EQ(readFile(entryPath()), "[Desktop Entry]\n"
                                     "Type=Application\n"
                                     "Name=Tempolis Launcher\n"
                                     "Exec=\"" +
                                         launcher +
                                         "\"\n"
                                         "X-GNOME-Autostart-enabled=true\n"
                                         "NoDisplay=true\n");
    const QString started = startedAs(entryPath());
    if (started.isEmpty())
        GTEST_SKIP() << "gio is not installed: the entry was not started";
    EXPECT_EQ(started, launcher);
}

TEST_F(LoginItemsTest, TheExecPathIsQuotedForTheDesktopEntryFormat) {
    // Characters that the Exec key reserves, in the folders above the bundle.
    const QString odd = folder.filePath("Apps \"new\" $HOME `tick` back\\slash it's;&|<>*?#~()");
    const QString launcher = makeMainBundle(odd);
    ASSERT_EQ(setEnabled(odd, launcherIdentifier, true), "true");
    const QString expectedExec =
        "Exec=\"" + folder.path() +
        "/Apps \\\\\"new\\\\\" \\\\$HOME \\\\`tick\\\\` back\\\\\\\\slash it's;&|<>*?#~()" +
        "/Tempolis.app/Contents/Library/LoginItems/Launcher.app/Contents/bin/Launcher\"";
    EXPECT_TRUE(readFile(entryPath()).split('\n').contains(expectedExec))
        << readFile(entryPath()).toStdString();

    const QString started = startedAs(entryPath());
    if (started.isEmpty())
        GTEST_SKIP() << "gio is not installed: the entry was not started";
    EXPECT_EQ(started, launcher);
}

TEST_F(LoginItemsTest, APercentSignIsDoubled) {
    // GLib 2.74 cannot start this one (it looks for the program before undoing "%%"), so only the text is
    // checked.
    const QString odd = folder.filePath("100% sure");
    makeMainBundle(odd);
    ASSERT_EQ(setEnabled(odd, launcherIdentifier, true), "true");
    const QString expectedExec =
        "Exec=\"" + folder.path() + "/100%% sure" +
        "/Tempolis.app/Contents/Library/LoginItems/Launcher.app/Contents/bin/Launcher\"";
    EXPECT_TRUE(readFile(entryPath()).split('\n').contains(expectedExec))
        << readFile(entryPath()).toStdString();
}

TEST_F(LoginItemsTest, DisablingRemovesTheEntryAndSucceedsWhenThereIsNone) {
    makeMainBundle(folder.path());
    EXPECT_EQ(setEnabled(folder.path(), launcherIdentifier, false), "true");
    ASSERT_EQ(setEnabled(folder.path(), launcherIdentifier, true), "true");
    ASSERT_TRUE(QFile::exists(entryPath()));
    // Another item's entry is left alone.
    TestFiles::write(configHome() + "/autostart/other.desktop", "[Desktop Entry]\n");

    EXPECT_EQ(setEnabled(folder.path(), launcherIdentifier, false), "true");
    EXPECT_FALSE(QFile::exists(entryPath()));
    EXPECT_TRUE(QFile::exists(configHome() + "/autostart/other.desktop"));
    EXPECT_EQ(setEnabled(folder.path(), launcherIdentifier, false), "true");
}

TEST_F(LoginItemsTest, OnlyALoginItemOfTheMainBundleCanBeEnabled) {
    makeMainBundle(folder.path());
    EXPECT_EQ(setEnabled(folder.path(), "com.Orvane.Tempolis.Missing", true), "false");
    EXPECT_EQ(setEnabled(folder.path(), "com.Orvane.Tempolis", true), "false");
    EXPECT_EQ(setEnabled(folder.path(), "../../escape", true), "false");
    EXPECT_TRUE(QDir(configHome() + "/autostart").isEmpty());

    // A login item whose executable is gone cannot start at login.
    QFile::remove(
        folder.filePath("Tempolis.app/Contents/Library/LoginItems/Launcher.app/Contents/bin/Launcher"));
    EXPECT_EQ(setEnabled(folder.path(), launcherIdentifier, true), "false");
    EXPECT_FALSE(QFile::exists(entryPath()));
}

TEST_F(LoginItemsTest, WithoutXdgConfigHomeTheEntryGoesUnderHome) {
    makeMainBundle(folder.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", folder.filePath("home"));
    for (const QString& configHomeValue : {QString(), QString("relative/config")}) {
        SCOPED_TRACE(configHomeValue.toStdString());
        if (configHomeValue.isNull())
            environment.remove("XDG_CONFIG_HOME");
        else
            environment.insert("XDG_CONFIG_HOME", configHomeValue);
        ASSERT_EQ(setEnabled(folder.path(), launcherIdentifier, true, environment), "true");
        const QString entry = folder.filePath("home/.config/autostart/com.Orvane.Tempolis.Launcher.desktop");
        EXPECT_TRUE(QFile::exists(entry));
        EXPECT_EQ(setEnabled(folder.path(), launcherIdentifier, false, environment), "true");
        EXPECT_FALSE(QFile::exists(entry));
    }
}

TEST_F(LoginItemsTest, AnEntryThatCannotBeWrittenOrRemovedFails) {
    makeMainBundle(folder.path());
    // The tests may run as root, which writes through any permission bits: put a file where the folder goes.
    TestFiles::write(configHome() + "/autostart", "not a folder");
    EXPECT_EQ(setEnabled(folder.path(), launcherIdentifier, true), "false");
    QFile::remove(configHome() + "/autostart");

    // A folder (with something in it) where the entry goes can be neither replaced nor removed.
    TestFiles::write(entryPath() + "/keep", "");
    EXPECT_EQ(setEnabled(folder.path(), launcherIdentifier, true), "false");
    EXPECT_EQ(setEnabled(folder.path(), launcherIdentifier, false), "false");
    QDir(entryPath()).removeRecursively();

    if (geteuid() != 0) {
        QDir().mkpath(configHome() + "/autostart");
        QFile::setPermissions(configHome() + "/autostart", QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        EXPECT_EQ(setEnabled(folder.path(), launcherIdentifier, true), "false");
        QFile::setPermissions(configHome() + "/autostart", TestFiles::executablePermissions);
    }
}
