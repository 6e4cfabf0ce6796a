// Saves that ask nothing (scripts, shortcuts, menus): the clip is exported, named from the time it was asked
// for, put in place without ever replacing a file, and reported; saves at the same time never collide.
#include "AudioController.h"
#include "AudioDecoder.h"
#include "Defaults.h"
#include "DefaultsRecordingSettings.h"
#include "FakeCaptureAuthorization.h"
#include "FakeCaptureSystem.h"
#include "LogCapture.h"
#include "TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <set>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const CaptureDevice builtIn{"alsa_input.builtin", "Built-in Microphone"};

QStringList temporaryClips() {
    return QDir(QDir::tempPath()).entryList({"*.m4a"}, QDir::Files);
}

bool onAnotherFileSystem(const QString& folder) {
    struct stat temporary {
    }, other{};
    return stat(QFile::encodeName(QDir::tempPath()).constData(), &temporary) == 0 &&
           stat(QFile::encodeName(folder).constData(), &other) == 0 && temporary.st_dev != other.st_dev;
}

using Outcome = std::shared_ptr<std::optional<AudioController::SaveOutcome>>;

} // namespace

class AudioControllerSaveClipTest : public ::testing::Test {
protected:
    void SetUp() override {
        Defaults::store().clear();
        capture.connectedDevices = {builtIn};
        capture.defaultDeviceID = builtIn.uniqueID;
        authorization.currentStatus = CaptureAuthorization::Status::authorized;
        controller = std::make_unique<AudioController>(capture, authorization, recordingSettings);
        controller->startRecording();
        ASSERT_TRUE(QTest::qWaitFor([this] { return controller->isRecording(); }, 5'000));
    }

    // Records `seconds` of a tone through the capture path, as the capture queue would.
    void record(double seconds) {
        capture.deliverTone(seconds);
        controller->audioBuffer().queue().sync([] {}); // held, as the status says
    }

    // Starts a save; its outcome fills in once it comes.
    Outcome save(int seconds, const QString& destination) {
        auto outcome = std::make_shared<std::optional<AudioController::SaveOutcome>>();
        controller->saveClip(seconds, destination,
                             [outcome](const AudioController::SaveOutcome& result) { *outcome = result; });
        return outcome;
    }

    static bool done(const std::vector<Outcome>& saves) {
        return std::all_of(saves.begin(), saves.end(), [](const Outcome& save) { return save->has_value(); });
    }

    FakeCaptureSystem capture;
    FakeCaptureAuthorization authorization;
    LogCapture log;
    DefaultsRecordingSettings recordingSettings;
    std::unique_ptr<AudioController> controller;
    TemporaryFolder folder;
};

TEST_F(AudioControllerSaveClipTest, RequestsOutsideTheLimitsAreRefusedBeforeAnythingIsDone) {
    record(12);
    QSignalSpy started(controller.get(), &AudioController::processingStarted);
    const QString into = QString::fromStdString(folder.path().string());
    const struct {
        int seconds;
        QString destination;
        const char* error;
    } cases[] = {{4, into, "InvalidArgument"},
                 {86'401, into, "InvalidArgument"},
                 {5, into + "/no such folder/clip.m4a", "InvalidArgument"}};
    for (const auto& example : cases) {
        const Outcome outcome = save(example.seconds, example.destination);
        ASSERT_TRUE(outcome->has_value()) << "answered at once";
        EXPECT_EQ((*outcome)->errorName, example.error) << example.seconds;
    }
    EXPECT_EQ(started.count(), 0);
    EXPECT_TRUE(QDir(into).isEmpty());
}

// A pause queued before the export has run leaves it less than 5 seconds to read: nothing is saved and
// nothing is said to have been.
TEST_F(AudioControllerSaveClipTest, TheMinimumIsCheckedOnWhatTheExportReallyReads) {
    record(12);
    QSignalSpy started(controller.get(), &AudioController::processingStarted);
    QSignalSpy complete(controller.get(), &AudioController::processingComplete);
    QSignalSpy finished(controller.get(), &AudioController::exportFinished);
    QSignalSpy failed(controller.get(), &AudioController::exportError);
    // The buffer's queue is busy: the pause's reset is still to run when the save is asked for.
    std::promise<void> busy;
    controller->audioBuffer().queue().async([done = busy.get_future().share()] { done.wait(); });
    controller->pauseRecording();
    const Outcome outcome = save(10, QString::fromStdString(folder.path().string()));
    busy.set_value();
    ASSERT_TRUE(QTest::qWaitFor([&] { return outcome->has_value(); }, 10'000));
    EXPECT_EQ((*outcome)->errorName, "NothingToSave");
    EXPECT_EQ(started.count(), 1);
    EXPECT_EQ(complete.count(), 1) << "the processing the save showed ends";
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(failed.count(), 0) << "nothing failed: there was nothing to save";
    EXPECT_TRUE(QDir(QString::fromStdString(folder.path().string())).isEmpty());
    EXPECT_TRUE(temporaryClips().isEmpty());
}

// Saves asked for in the same second get the same name: each takes the next free one when it is put in
// place, in the temporary folder's file system and across file systems alike, and none replaces another.
TEST_F(AudioControllerSaveClipTest, SavesAtTheSameTimeNeverShareANameOrReplaceEachOther) {
    record(12);
    std::vector<QString> destinations{QString::fromStdString(folder.path().string())};
    const QString shared =
        QStringLiteral("/dev/shm/tempolis-saves-%1").arg(QCoreApplication::applicationPid());
    if (QDir().mkpath(shared) && onAnotherFileSystem(shared)) {
        destinations.push_back(shared);
    }
    for (const QString& destination : destinations) {
        std::vector<Outcome> saves;
        for (int i = 0; i < 5; ++i) {
            saves.push_back(save(5, destination));
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return done(saves); }, 20'000));
        std::set<QString> paths;
        for (const Outcome& saved : saves) {
            ASSERT_TRUE((*saved)->errorName.isEmpty()) << (*saved)->message.toStdString();
            paths.insert((*saved)->savedPath);
            std::string error;
            const auto decoded = AudioDecoder::decodeFile((*saved)->savedPath.toStdString(), &error);
            ASSERT_TRUE(decoded) << error;
            EXPECT_EQ(decoded->durationSamples, 5 * 44'100) << (*saved)->savedPath.toStdString();
        }
        EXPECT_EQ(paths.size(), 5u) << destination.toStdString();
        EXPECT_EQ(QDir(destination).entryList(QDir::Files | QDir::Hidden).size(), 5)
            << "no staging copies are left behind";
    }
    QDir(shared).removeRecursively();
    EXPECT_TRUE(temporaryClips().isEmpty());
}

// Another program may take the name at any moment: its file stays whole and the clip takes the next name;
// a file path that appears meanwhile is never replaced.
TEST_F(AudioControllerSaveClipTest, AFileMadeByAnotherProgramIsNeverReplaced) {
    record(12);
    const QDir into(QString::fromStdString(folder.path().string()));
    // Whichever second the save is asked in, its name is taken already.
    const QDateTime now = QDateTime::currentDateTime();
    for (int second = -7; second <= -3; ++second) {
        QFile outside(into.filePath(AudioController::fileName(now.addSecs(second), "m4a")));
        ASSERT_TRUE(outside.open(QIODevice::WriteOnly));
        outside.write("another program's file");
    }
    const Outcome intoFolder = save(5, into.path());
    const QString path = into.filePath("clip.m4a");
    const Outcome first = save(5, path);
    const Outcome second = save(5, path);
    ASSERT_TRUE(QTest::qWaitFor([&] { return done({intoFolder, first, second}); }, 20'000));

    ASSERT_TRUE((*intoFolder)->errorName.isEmpty()) << (*intoFolder)->message.toStdString();
    EXPECT_TRUE((*intoFolder)->savedPath.endsWith(" (2).m4a")) << (*intoFolder)->savedPath.toStdString();
    for (const QString& name : into.entryList({"Tempolis Recording*"}, QDir::Files)) {
        if (!name.endsWith(" (2).m4a")) {
            QFile outside(into.filePath(name));
            ASSERT_TRUE(outside.open(QIODevice::ReadOnly));
            EXPECT_EQ(outside.readAll(), "another program's file") << name.toStdString();
        }
    }
    const std::multiset<QString> errors{(*first)->errorName, (*second)->errorName};
    EXPECT_EQ(errors, (std::multiset<QString>{QString(), "FileExists"}))
        << "one save of the path succeeds, the other is told the file exists";
    EXPECT_TRUE(temporaryClips().isEmpty());
}

// The clip is named after the time the save was asked for, less its length, not the time it was done.
TEST_F(AudioControllerSaveClipTest, TheNameCountsBackFromTheRequest) {
    record(40);
    QSignalSpy finished(controller.get(), &AudioController::exportFinished);
    const QDateTime asked = QDateTime::currentDateTime();
    const Outcome outcome = save(30, QString::fromStdString(folder.path().string()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return outcome->has_value(); }, 20'000));
    ASSERT_TRUE((*outcome)->errorName.isEmpty()) << (*outcome)->message.toStdString();
    ASSERT_EQ(finished.count(), 1);
    const QDateTime clipStart = finished[0][1].toDateTime();
    EXPECT_LE(std::abs(clipStart.msecsTo(asked.addSecs(-30))), 1'000);
    EXPECT_EQ(QFileInfo((*outcome)->savedPath).fileName(), AudioController::fileName(clipStart, "m4a"));
}

// A disk too small for even a minute of ring: the user is told, recording goes on in memory, and a save
// holds exactly the newest 30 seconds that were recorded, never silence standing in for the rest.
TEST(AudioControllerDiskFull, ARefusedRingIsToldAndASaveHoldsOnlyWhatWasKept) {
    TemporaryFolder disk;
    if (geteuid() != 0 || mount("none", disk.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    const QByteArray savedCaches = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(disk.path().string()));
    Defaults::store().clear();
    FakeCaptureSystem capture;
    capture.connectedDevices = {builtIn};
    capture.defaultDeviceID = builtIn.uniqueID;
    FakeCaptureAuthorization authorization;
    authorization.currentStatus = CaptureAuthorization::Status::authorized;
    LogCapture log;
    std::vector<QString> alerts;
    {
        DefaultsRecordingSettings recordingSettings;
        AudioController controller(capture, authorization, recordingSettings);
        controller.setAlertPresenter([&](const QString& message, double) { alerts.push_back(message); });
        controller.startRecording();
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller.isRecording(); }, 5'000));
        // Ten seconds of silence, then thirty of a tone: the clip must be all tone.
        std::vector<int16_t> samples(40 * 44'100);
        for (std::size_t i = 10 * 44'100; i < samples.size(); ++i) {
            samples[i] =
                static_cast<int16_t>(8'000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 44'100));
        }
        for (std::size_t offset = 0; offset < samples.size(); offset += 4'410) {
            capture.lastSession()->blockHandler(samples.data() + offset, 4'410 * 2);
        }
        std::promise<double> exported;
        const auto clip = disk.path() / "clip.m4a";
        controller.audioBuffer().exportAudio(
            clip, 45, [&](bool ok, double seconds) { exported.set_value(ok ? seconds : -1); });
        EXPECT_EQ(exported.get_future().get(), 30.0);
        std::string error;
        const auto decoded = AudioDecoder::decodeFile(clip.string(), &error);
        ASSERT_TRUE(decoded) << error;
        ASSERT_EQ(decoded->samples.size(), 30u * 44'100);
        for (int second = 1; second < 30; ++second) { // the first and last packets fade in and out
            double energy = 0;
            for (int i = 0; i < 44'100; ++i) {
                energy += std::abs(decoded->samples[static_cast<std::size_t>(second * 44'100 + i)]);
            }
            EXPECT_GT(energy / 44'100, 2'000) << "second " << second << " is silent";
        }
        QCoreApplication::processEvents();
    }
    umount2(disk.path().c_str(), MNT_DETACH);
    qputenv("XDG_CACHE_HOME", savedCaches);
    EXPECT_EQ(alerts, std::vector<QString>{"Not enough free disk space to keep the last 60 minutes: Tempolis "
                                           "keeps the last 30 seconds for now."})
        << "told once, although the start tried the whole ring again";
}

TEST(AudioControllerFileName, ComesFromTheStartTimeInTheUserLocale) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const QDateTime now(QDate(2024, 3, 5), QTime(14, 7, 9));
    EXPECT_EQ(AudioController::fileName(now.addSecs(-60), "m4a"),
              "Tempolis Recording 2024-03-05 at 2.06.09 PM.m4a");
    EXPECT_EQ(AudioController::fileName(QDateTime(QDate(2024, 12, 31), QTime(0, 5, 0))),
              "Tempolis Recording 2024-12-31 at 12.05.00 AM");
    QLocale::setDefault(QLocale::system());
}
