// How quickly the settings answer, against the test session's audio server:
//   popover_ms   from the status item's click to the settings popover on screen, the device list fetched
//                from the audio server included (median and slowest of 20 openings)
//   resize_ms    a length change from 60 to 480 minutes (the ring's reservation) and back, each until the
//                ring has its new length
//
//   settings_bench     (under scripts/test-session)
#include "AudioController.h"
#include "DefaultsRecordingSettings.h"
#include "DesktopCaptureAuthorization.h"
#include "Localization.h"
#include "MainStoryboard.h"
#include "PulseCaptureSystem.h"
#include "SettingsController.h"
#include "SettingsEnvironment.h"
#include "StatusBar.h"
#include "StatusBarButton.h"
#include "StatusItem.h"
#include "TemporaryCaches.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double resizeMilliseconds(AudioController& controller, int minutes) {
    QElapsedTimer timer;
    timer.start();
    controller.setCaptureMaxMinutes(minutes);
    controller.audioBuffer().queue().sync([] {});
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    // A private ring: a measurement must never touch the ring of a Tempolis the user is running.
    TemporaryCaches caches;
    setenv("XDG_CACHE_HOME", caches.path().c_str(), 1);
    QApplication application(argc, argv);
    Localization::install(application);
    MainStoryboard::registerScenes();
    PulseCaptureSystem captureSystem;
    DesktopCaptureAuthorization authorization;
    DefaultsRecordingSettings recordingSettings;
    AudioController controller(captureSystem, authorization, recordingSettings);
    controller.startRecording();
    SettingsEnvironment::shared() =
        SettingsEnvironment{&controller, &captureSystem, {}, {}, QStringLiteral("1.0"), {}};
    std::unique_ptr<StatusItem> item = StatusBar::system().statusItem(StatusBar::variableLength);
    StatusBarButton* button = item->button();
    button->setImage(QStringLiteral("Status-Icon-Template"));
    if (!QTest::qWaitForWindowExposed(button->window(), 10'000)) {
        std::printf("no status item on screen\n");
        return 1;
    }

    std::vector<double> openings;
    for (int i = 0; i < 20; ++i) {
        QElapsedTimer timer;
        timer.start();
        SettingsController::toggle(button);
        SettingsController* settings = SettingsController::activeController();
        if (!settings || !QTest::qWaitForWindowExposed(settings->popover()->window(), 5'000)) {
            std::printf("the settings did not show\n");
            return 1;
        }
        openings.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        settings->popover()->close();
        QTest::qWait(50);
    }
    std::sort(openings.begin(), openings.end());
    const double grow = resizeMilliseconds(controller, 480);
    const double shrink = resizeMilliseconds(controller, 60);
    std::printf(
        "openings=%zu devices=%zu popover_median_ms=%.1f popover_max_ms=%.1f resize_60_to_480_ms=%.1f "
        "resize_480_to_60_ms=%.1f\n",
        openings.size(), captureSystem.devices().size(), openings[openings.size() / 2], openings.back(), grow,
        shrink);
    return 0;
}
