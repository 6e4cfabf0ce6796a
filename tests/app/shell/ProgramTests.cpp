// The real program, started as a user starts it, inside the test session: a display with a window manager,
// a session bus and a PulseAudio server with a virtual microphone.
#include "LogCapture.h"
#include "LoopbackHttpServer.h"
#include "TemporaryFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>
#include <utility>

#include <csignal>
#include <sys/stat.h>

namespace {

QString run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(10'000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

// One user's private folders, handed to the programs this test starts.
class UserFolders {
public:
    UserFolders() {
        for (const char* folder : {"config", "cache", "data"}) {
            QDir().mkpath(root() + "/" + folder);
        }
        // The announcement window was seen just now: it has tests of its own.
        QSettings settings(settingsFile(), QSettings::IniFormat);
        settings.setValue("Final Update Launch Count", 1);
        settings.setValue("Final Update Launch Date",
                          static_cast<double>(QDateTime::currentSecsSinceEpoch()));
    }
    QString root() const { return QString::fromStdString(folder_.path().string()); }
    QString ringFile() const { return root() + "/cache/Tempolis/Recording.data"; }
    QString packetFile() const { return root() + "/cache/Tempolis/Packets.data"; }
    QString settingsFile() const { return root() + "/config/Orvane/Tempolis.conf"; }
    QProcessEnvironment environment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", root() + "/config");
        environment.insert("XDG_CACHE_HOME", root() + "/cache");
        environment.insert("XDG_DATA_HOME", root() + "/data");
        return environment;
    }
    qint64 launchCount() const {
        return QSettings(settingsFile(), QSettings::IniFormat).value("Launch Count").toLongLong();
    }

private:
    TemporaryFolder folder_;
};

class Program {
public:
    explicit Program(const UserFolders& folders, const QMap<QString, QString>& environment = {}) {
        QProcessEnvironment variables = folders.environment();
        for (auto variable = environment.begin(); variable != environment.end(); ++variable) {
            variables.insert(variable.key(), variable.value());
        }
        process_.setProcessEnvironment(variables);
        process_.setProgram(TEMPOLIS_PROGRAM);
        process_.start();
    }
    ~Program() {
        if (process_.state() != QProcess::NotRunning) {
            terminate();
        }
    }
    bool started() { return process_.waitForStarted(5'000); }
    qint64 pid() const { return process_.processId(); }
    // Ends it as a logout does.
    bool terminate() {
        ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
        return waitForExit(10'000);
    }
    bool waitForExit(int timeoutMs) {
        return QTest::qWaitFor([&] { return process_.state() == QProcess::NotRunning; }, timeoutMs);
    }
    bool isRunning() const { return process_.state() == QProcess::Running; }
    int exitCode() const { return process_.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }
    QString errors() { return QString::fromUtf8(process_.readAllStandardError()); }

    // The audio server lists a recording stream of this process.
    bool isRecording() const {
        return run("pactl", {"list", "source-outputs"})
            .contains(QString("application.process.id = \"%1\"").arg(pid()));
    }
    bool waitForRecording(int timeoutMs = 10'000) const {
        return QTest::qWaitFor([&] { return isRecording(); }, timeoutMs);
    }

private:
    QProcess process_;
};

bool sessionAvailable() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") &&
           !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
           QProcess::execute("pactl", {"info"}) == 0;
}

} // namespace

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sessionAvailable()) {
            GTEST_SKIP() << "needs the test session (display, session bus, audio server): run under "
                            "scripts/test-session";
        }
    }
    UserFolders folders;
};

TEST_F(ProgramTest, RecordsFromLaunchWithItsStatusItemAtTheTopRight) {
    Program program(folders);
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.waitForRecording()) << program.errors().toStdString();

    // The raw ring, and the same audio encoded (18,000 bytes for each of the 3,630 seconds held), are
    // reserved whole and private.
    const std::pair<QString, qint64> rings[] = {{folders.ringFile(), 317'520'000},
                                                {folders.packetFile(), 65'340'000}};
    for (const auto& [file, bytes] : rings) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() == bytes; }, 5'000))
            << file.toStdString() << " has " << QFileInfo(file).size() << " bytes";
        struct stat status {};
        ASSERT_EQ(stat(QFile::encodeName(file).constData(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u);
    }

    // The status item: a small window of this process at the top-right corner of the screen.
    const QString screen = run("xdotool", {"getdisplaygeometry"}).trimmed();
    const int screenWidth = screen.section(' ', 0, 0).toInt();
    bool found = false;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const QString& window :
                 run("xdotool", {"search", "--onlyvisible", "--pid", QString::number(program.pid())})
                     .split('\n', Qt::SkipEmptyParts)) {
                QMap<QString, int> geometry;
                for (const QString& line :
                     run("xdotool", {"getwindowgeometry", "--shell", window}).split('\n')) {
                    geometry[line.section('=', 0, 0)] = line.section('=', 1).toInt();
                }
                if (geometry["HEIGHT"] == 22 && geometry["Y"] == 0 &&
                    geometry["X"] + geometry["WIDTH"] == screenWidth) {
                    found = true;
                }
            }
            return found;
        },
        10'000))
        << "no 22-pixel window of the program at the top-right of a " << screen.toStdString() << " screen";

    ASSERT_TRUE(program.terminate());
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_FALSE(QFile::exists(folders.ringFile()) || QFile::exists(folders.packetFile()))
        << "no audio stays on disk after the program ended";
}

TEST_F(ProgramTest, EveryLaunchIsCounted) {
    EXPECT_EQ(folders.launchCount(), 0);
    for (int launch = 1; launch <= 2; ++launch) {
        Program program(folders);
        ASSERT_TRUE(program.started());
        ASSERT_TRUE(program.waitForRecording());
        ASSERT_TRUE(program.terminate());
        EXPECT_EQ(folders.launchCount(), launch);
    }
}

TEST_F(ProgramTest, ASecondCopyExitsAndLeavesTheFirstRecording) {
    Program first(folders);
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(first.waitForRecording());
    struct stat before {};
    ASSERT_EQ(stat(QFile::encodeName(folders.ringFile()).constData(), &before), 0);

    Program second(folders);
    ASSERT_TRUE(second.started());
    ASSERT_TRUE(second.waitForExit(10'000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.errors().contains("Another copy is already running"));

    struct stat after {};
    ASSERT_EQ(stat(QFile::encodeName(folders.ringFile()).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the second copy must not touch the ring";
    EXPECT_EQ(after.st_size, 317'520'000);
    EXPECT_TRUE(first.isRunning());
    EXPECT_TRUE(first.isRecording());
    EXPECT_EQ(folders.launchCount(), 1);
}

TEST_F(ProgramTest, TheLaunchEventReachesTheAnalyticsService) {
    const QUrl endpoint(TEMPOLIS_ANALYTICS_ENDPOINT);
    if (endpoint.host() != "127.0.0.1") {
        GTEST_SKIP() << "this build sends usage events to " << endpoint.host().toStdString()
                     << "; configure a loopback endpoint (the test presets do) to check them";
    }
    LoopbackHttpServer service(static_cast<quint16>(endpoint.port()));
    ASSERT_TRUE(service.isListening()) << service.errorString().toStdString();
    Program program(folders);
    ASSERT_TRUE(program.started());

    bool launchEventSeen = false;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const auto& request : service.requests()) {
                for (const QJsonValue& event : request.json.object().value("batch").toArray()) {
                    if (event.toObject().value("event").toString() == "Legacy Launch") {
                        launchEventSeen = true;
                        EXPECT_EQ(request.target, endpoint.path().toUtf8());
                        EXPECT_TRUE(request.header("authorization").startsWith("Basic "));
                        EXPECT_TRUE(event.toObject().value("properties").toObject().isEmpty());
                        EXPECT_FALSE(event.toObject().contains("userId"));
                    }
                }
            }
            return launchEventSeen;
        },
        20'000))
        << "no batch with \"Legacy Launch\" arrived";
}

TEST_F(ProgramTest, NoAudioStaysOnDiskAfterACrashNorWhenTheDisplayGoesFirst) {
    // What a copy that crashed left behind.
    QDir().mkpath(QFileInfo(folders.ringFile()).path());
    QFile left(folders.ringFile());
    ASSERT_TRUE(left.open(QIODevice::WriteOnly));
    left.write(QByteArray(1 << 20, char(0x5A)));
    left.close();

    // A display of its own, which goes away first, as at many logouts.
    QProcess display;
    display.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    ASSERT_TRUE(display.waitForReadyRead(10'000));
    const QString number = QString::fromLatin1(display.readAllStandardOutput()).trimmed();
    Program program(folders, {{"DISPLAY", ":" + number}});
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.waitForRecording()) << program.errors().toStdString();
    QFile ring(folders.ringFile());
    ASSERT_TRUE(ring.open(QIODevice::ReadOnly));
    EXPECT_FALSE(ring.read(1 << 20).contains(char(0x5A))) << "the crashed copy's audio is still there";
    ring.close();

    display.kill();
    display.waitForFinished();
    ASSERT_TRUE(program.waitForExit(10'000)) << "the program outlived its display";
    EXPECT_FALSE(QFile::exists(folders.ringFile())) << program.errors().toStdString();
}

TEST_F(ProgramTest, ACacheFolderThatCannotBeMadeIsToldAndEndsTheProgram) {
    // A file where the caches folder should be: nothing can be made under it.
    const QString blocker = folders.root() + "/not-a-folder";
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    run("dunstctl", {"close-all"});
    Program program(folders, {{"XDG_CACHE_HOME", blocker + "/cache"}});
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.waitForExit(10'000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    const QString sentence = "Tempolis cannot record: its folder for the recent past cannot be made";
    EXPECT_TRUE(program.errors().contains(sentence)) << program.errors().toStdString();
    // The user hears of it too, also when nobody watches a terminal.
    run("dunstctl", {"close-all"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return run("dunstctl", {"history"}).contains(sentence); }, 5'000));
}
