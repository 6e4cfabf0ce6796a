// Saving a clip the user places: export into a private temporary file, the save dialog, and moving the
// clip into place.
#include "AudioController.h"
#include "AudioDecoder.h"
#include "ClipSavePanel.h"
#include "Defaults.h"
#include "DefaultsRecordingSettings.h"
#include "FakeCaptureAuthorization.h"
#include "FakeCaptureSystem.h"
#include "LogCapture.h"
#include "SavePanel.h"
#include "StallProbe.h"
#include "TemporaryFolder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <future>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const CaptureDevice builtIn{"alsa_input.builtin", "Built-in Microphone"};

mode_t modeOf(const QString& path) {
    struct stat status {};
    stat(QFile::encodeName(path).constData(), &status);
    return status.st_mode & 07777;
}

QStringList temporaryClips() {
    return QDir(QDir::tempPath()).entryList({"*.m4a"}, QDir::Files);
}

} // namespace

class ClipSavePanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        Defaults::store().clear();
        for (const QString& name : temporaryClips()) {
            QFile::remove(QDir(QDir::tempPath()).filePath(name));
        }
        capture.connectedDevices = {builtIn};
        capture.defaultDeviceID = builtIn.uniqueID;
        authorization.currentStatus = CaptureAuthorization::Status::authorized;
        controller = std::make_unique<AudioController>(capture, authorization, recordingSettings);
        savePanel = std::make_unique<ClipSavePanel>(*controller);
        QObject::connect(savePanel.get(), &ClipSavePanel::panelOpened,
                         [this](SavePanel* opened) { panel = opened; });
        controller->startRecording();
        destination = QDir(QString::fromStdString(folder.path().string()));
    }

    // Records `seconds` of a tone through the capture path.
    void record(double seconds) { capture.deliverTone(seconds); }

    // Waits for the export and its save panel.
    bool waitForPanel() {
        return QTest::qWaitFor([this] { return panel != nullptr && panel->isVisible(); }, 20'000);
    }

    // Saves over `path`, which already holds an older file: Qt asks first, and the user confirms.
    void saveOverExisting(const QString& path, const QByteArray& olderContents) {
        QFile existing(path);
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
        existing.write(olderContents);
        existing.close();
        QTimer::singleShot(200, [] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                    box->button(QMessageBox::Yes)->click();
                }
            }
        });
        saveAs(path);
    }

    void saveAs(const QString& path) {
        auto* edit = panel->dialog()->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(edit, nullptr);
        edit->setText(path);
        // The dialog's own accept(), as its Save button calls it.
        static_cast<QDialog*>(panel->dialog())->accept();
    }

    FakeCaptureSystem capture;
    FakeCaptureAuthorization authorization;
    LogCapture log;
    DefaultsRecordingSettings recordingSettings;
    std::unique_ptr<AudioController> controller;
    std::unique_ptr<ClipSavePanel> savePanel;
    SavePanel* panel = nullptr;
    TemporaryFolder folder;
    QDir destination;
};

TEST_F(ClipSavePanelTest, SavingMovesTheClipIntoPlaceAndReportsIt) {
    record(12);
    QSignalSpy processed(controller.get(), &AudioController::processingComplete);
    QSignalSpy finished(controller.get(), &AudioController::exportFinished);
    QSignalSpy failed(controller.get(), &AudioController::exportError);
    const QDateTime before = QDateTime::currentDateTime();
    controller->exportRecording(30);
    ASSERT_TRUE(waitForPanel());
    EXPECT_EQ(processed.count(), 1);

    // The export waits in a private temporary file named by a fresh identifier.
    const QStringList clips = temporaryClips();
    ASSERT_EQ(clips.size(), 1);
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.m4a$")
                    .match(clips[0])
                    .hasMatch())
        << clips[0].toStdString();
    const QString temporary = QDir(QDir::tempPath()).filePath(clips[0]);
    EXPECT_EQ(modeOf(temporary), 0600u);

    // A 12-second buffer asked for 30 seconds gives a 12-second clip named after its start.
    EXPECT_EQ(panel->allowedFileTypes(), QStringList{"m4a"});
    EXPECT_EQ(panel->title(), "Save Recording");
    EXPECT_EQ(QDir(panel->directory()), QDir::home())
        << "the music folder, else home; there is no music folder";
    const QString expectedName = AudioController::fileName(before.addSecs(-12), "m4a");
    const QString laterName = AudioController::fileName(QDateTime::currentDateTime().addSecs(-12), "m4a");
    EXPECT_TRUE(panel->nameFieldStringValue() == expectedName || panel->nameFieldStringValue() == laterName)
        << panel->nameFieldStringValue().toStdString();

    const QString proposed = panel->nameFieldStringValue();
    const QString chosen = destination.filePath("kept.m4a");
    saveAs(chosen);
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 5'000));
    EXPECT_DOUBLE_EQ(finished[0][0].toDouble(), 12.0);
    EXPECT_EQ(failed.count(), 0);
    EXPECT_TRUE(QFile::exists(chosen));
    EXPECT_GT(QFileInfo(chosen).size(), 10'000);
    EXPECT_FALSE(QFile::exists(temporary));
    EXPECT_EQ(AudioController::fileName(finished[0][1].toDateTime(), "m4a"), proposed)
        << "the confirmation's start time is the one the clip was named after";
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(modeOf(chosen), 0666u & ~mask) << "a saved clip has the user's normal mode";
}

TEST_F(ClipSavePanelTest, CancellingLeavesNoFileAndReportsNothing) {
    record(6);
    QSignalSpy finished(controller.get(), &AudioController::exportFinished);
    controller->exportRecording(10);
    ASSERT_TRUE(waitForPanel());
    static_cast<QDialog*>(panel->dialog())->reject();
    ASSERT_TRUE(QTest::qWaitFor([&] { return temporaryClips().isEmpty(); }, 5'000));
    QTest::qWait(50);
    EXPECT_EQ(finished.count(), 0);
}

TEST_F(ClipSavePanelTest, SavingOverAnExistingFileReplacesIt) {
    record(6);
    const QString chosen = destination.filePath("same.m4a");
    QSignalSpy finished(controller.get(), &AudioController::exportFinished);
    controller->exportRecording(5);
    ASSERT_TRUE(waitForPanel());
    saveOverExisting(chosen, "an older clip");
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 5'000));
    EXPECT_GT(QFileInfo(chosen).size(), 1'000);
}

TEST_F(ClipSavePanelTest, AFailedMoveIsAnErrorAndReportsNoSave) {
    record(6);
    const QString chosen = destination.filePath("kept.m4a");
    QSignalSpy finished(controller.get(), &AudioController::exportFinished);
    QSignalSpy failed(controller.get(), &AudioController::exportError);
    controller->exportRecording(5);
    ASSERT_TRUE(waitForPanel());
    // Something (a temporary-files cleaner) removed the clip while the panel was open.
    for (const QString& name : temporaryClips()) {
        QFile::remove(QDir(QDir::tempPath()).filePath(name));
    }
    saveOverExisting(chosen, "the user's earlier clip");
    ASSERT_TRUE(QTest::qWaitFor([&] { return failed.count() + finished.count() == 1; }, 5'000));
    EXPECT_EQ(failed.count(), 1);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(
        log.contains("Error: AudioController: Error moving the recording into place. (No such file or "
                     "directory)"));
    QFile kept(chosen);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "the user's earlier clip")
        << "a failed save must not destroy the existing file";
}

TEST_F(ClipSavePanelTest, SavingToAnotherFileSystemWorks) {
    struct stat temporary {
    }, shared{};
    if (stat(QFile::encodeName(QDir::tempPath()).constData(), &temporary) != 0 ||
        stat("/dev/shm", &shared) != 0 || temporary.st_dev == shared.st_dev) {
        GTEST_SKIP() << "needs /dev/shm on a file system other than the temporary folder's";
    }
    record(6);
    QSignalSpy finished(controller.get(), &AudioController::exportFinished);
    controller->exportRecording(5);
    ASSERT_TRUE(waitForPanel());
    const QString chosen = QString("/dev/shm/tempolis-test-%1.m4a").arg(QCoreApplication::applicationPid());
    saveAs(chosen);
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 5'000));
    EXPECT_GT(QFileInfo(chosen).size(), 1'000);
    EXPECT_TRUE(temporaryClips().isEmpty());
    EXPECT_TRUE(QDir("/dev/shm").entryList({".tempolis-clip-*"}, QDir::Files | QDir::Hidden).isEmpty());
    QFile::remove(chosen);
}

TEST_F(ClipSavePanelTest, AFailedExportPostsProcessingCompleteThenErrorAndOpensNoPanel) {
    std::vector<std::string> order;
    // Emitted on the buffer's queue: received on this thread, as the status view does.
    QObject::connect(controller.get(), &AudioController::processingComplete, controller.get(),
                     [&] { order.push_back("complete"); });
    QObject::connect(controller.get(), &AudioController::exportError, controller.get(),
                     [&] { order.push_back("error"); });
    controller->exportRecording(1); // one second is too short to export
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 2u; }, 5'000));
    EXPECT_EQ(order, (std::vector<std::string>{"complete", "error"}));
    QTest::qWait(100);
    EXPECT_EQ(panel, nullptr);
    EXPECT_TRUE(temporaryClips().isEmpty()) << "the private temporary file is removed";
}

// Encoding two minutes takes a few seconds: time enough for the user to change the length or to quit.
TEST_F(ClipSavePanelTest, ALengthChangeDuringASaveWaitsNeitherForItNorSpoilsIt) {
    record(120);
    controller->exportRecording(120);
    StallProbe probe;
    ASSERT_TRUE(QTest::qWaitFor([] { return !temporaryClips().isEmpty(); }, 5'000)) << "encoding under way";
    controller->setCaptureMaxMinutes(30);
    EXPECT_EQ(controller->captureMaxDuration(), 1'800);
    ASSERT_TRUE(QTest::qWaitFor([this] { return panel != nullptr; }, 60'000));
    EXPECT_LT(probe.longestStallMilliseconds(), 250) << "the window stood still";
    controller->audioBuffer().queue().sync([] {});
    EXPECT_EQ(controller->audioBuffer().fileBufferMaxSize(), 1'800LL * 88'200) << "resized after the export";

    QSignalSpy finished(controller.get(), &AudioController::exportFinished);
    saveAs(destination.filePath("clip.m4a"));
    ASSERT_TRUE(finished.wait(10'000));
    std::string error;
    const auto decoded = AudioDecoder::decodeFile(destination.filePath("clip.m4a").toStdString(), &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_EQ(decoded->samples.size(), 120u * 44'100);
}

TEST_F(ClipSavePanelTest, QuittingDuringASaveAbandonsItAtOnce) {
    record(120);
    controller->exportRecording(120);
    ASSERT_TRUE(QTest::qWaitFor([] { return !temporaryClips().isEmpty(); }, 5'000)) << "encoding under way";
    QElapsedTimer quitting;
    quitting.start();
    controller.reset();
    EXPECT_LT(quitting.elapsed(), 1'000);
    EXPECT_TRUE(temporaryClips().isEmpty()) << "the unfinished clip is deleted";
}
