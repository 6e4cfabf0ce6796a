// How quickly the rubber band follows the pointer: drives the status view's drag update with synthetic
// pointer events over the real panel and time popup (on the display of the session it runs in), and times
// each event to the end of the drawing it causes, the X server included. Then how quickly a click on the tray
// icon shows the band: a tray host's Activate over the session bus, to the band drawn at that point.
//
//   drag_bench [--events N] [--activations N]    (run it under scripts/test-session, or on a desktop)
//
// Prints: events=<n> p50_ms=<x> p99_ms=<y> update_p99_ms=<z>
//         activations=<n> activate_p50_ms=<x> activate_max_ms=<y>
#include "AudioController.h"
#include "DefaultsRecordingSettings.h"
#include "FakeCaptureAuthorization.h"
#include "FakeCaptureSystem.h"
#include "GrabbableStatusView.h"
#include "Localization.h"
#include "MainStoryboard.h"
#include "PointGestureWindow.h"
#include "RubberBandLayer.h"
#include "StatusBar.h"
#include "StatusBarButton.h"
#include "StatusItem.h"
#include "StatusNotifierHostClient.h"
#include "StatusNotifierItem.h"
#include "TemporaryCaches.h"
#include "Workspace.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <vector>

namespace {

// Counts the paints of the widgets it watches.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// Notices the first drawing of any rubber band (installed on the application, it sees a band made meanwhile).
class BandPaintWatcher : public QObject {
public:
    bool painted = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && qobject_cast<RubberBandLayer*>(watched))
            painted = true;
        return false;
    }
};

// Waits until the X server has carried out every request sent so far (drawing, shapes, moves).
void syncWithServer() {
    if (const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
        xcb_connection_t* connection = x11->connection();
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

} // namespace

int main(int argc, char** argv) {
    int events = 10'000;
    int activations = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--events") == 0)
            events = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--activations") == 0)
            activations = std::max(1, std::atoi(argv[i + 1]));
    }
    TemporaryCaches caches;
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Localization::install(application);
    MainStoryboard::registerScenes();

    // Ten minutes held, so the popup has something to say at every stretch.
    const CaptureDevice microphone{"bench.microphone", "Bench Microphone"};
    FakeCaptureSystem capture;
    capture.connectedDevices = {microphone};
    capture.defaultDeviceID = microphone.uniqueID;
    FakeCaptureAuthorization authorization;
    authorization.currentStatus = CaptureAuthorization::Status::authorized;
    DefaultsRecordingSettings recordingSettings;
    AudioController controller(capture, authorization, recordingSettings);
    controller.startRecording();
    const std::vector<int16_t> silence(44'100);
    for (int second = 0; second < 600; ++second)
        capture.lastSession()->blockHandler(silence.data(), silence.size() * 2);
    controller.audioBuffer().queue().sync([] {});

    Workspace workspace;
    auto item = StatusBar::system().statusItem(StatusBar::variableLength);
    item->button()->setImage(QStringLiteral("Status-Icon-Template"));
    auto* view = new GrabbableStatusView(item->button()->bounds(), controller, workspace, item->button());
    view->show();
    if (!QTest::qWaitForWindowExposed(item->window())) {
        std::fprintf(stderr, "drag_bench: the status item never showed\n");
        return 1;
    }
    const QPointF icon = view->mapToGlobal(QRectF(view->rect()).center());
    view->beginDrag(icon);
    if (!view->rubberBandWindow() || !QTest::qWaitForWindowExposed(view->rubberBandWindow())) {
        std::fprintf(stderr, "drag_bench: the rubber band never showed\n");
        return 1;
    }
    QTest::qWait(300); // the handle's grab animation
    const QPointF anchor = QPointF(view->rubberBandWindow()->geometry().topLeft()) + view->rubberBandAnchor();

    PaintCounter band;
    view->rubberBandLayer()->installEventFilter(&band);
    std::vector<double> total, update;
    total.reserve(static_cast<std::size_t>(events));
    update.reserve(static_cast<std::size_t>(events));
    QElapsedTimer clock;
    for (int event = 0; event < events; ++event) {
        // A hand wandering below the icon: out to the band's limit and back, from side to side.
        const double t = event / 200.0;
        const double radius = 20 + 390 * (0.5 - 0.5 * std::cos(t * 1.3));
        const double angle = std::numbers::pi / 2 + 1.2 * std::sin(t * 0.7);
        const QPointF pointer = anchor + radius * QPointF(std::cos(angle), std::sin(angle));
        const int paintsBefore = band.paints;
        clock.start();
        view->updateDrag(pointer);
        const qint64 updated = clock.nsecsElapsed();
        // Everything the update asked for: the panel's drawing and shape, the popup's text and place.
        while (band.paints == paintsBefore && clock.elapsed() < 1'000)
            QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        syncWithServer();
        total.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        update.push_back(static_cast<double>(updated) / 1e6);
    }
    view->endDrag(true);
    std::printf("events=%d p50_ms=%.3f p99_ms=%.3f update_p99_ms=%.3f\n", events, percentile(total, 0.5),
                percentile(total, 0.99), percentile(update, 0.99));

    // A tray host clicks the icon: Activate travels the session bus, the gesture begins at the click.
    StatusNotifierItem trayItem(QStringLiteral("drag-bench"), QStringLiteral("Drag Bench"));
    PointGestureWindow gesture(*view);
    QObject::connect(&trayItem, &StatusNotifierItem::activated, &gesture, &PointGestureWindow::activate);
    StatusNotifierHostClient host(QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")),
                                  trayItem.serviceName());
    if (!trayItem.isExported() || !host.isConnected()) {
        std::fprintf(stderr, "drag_bench: no session bus for the tray icon\n");
        return 1;
    }
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QPoint click(screen.right() - 120, screen.bottom() - 20);
    std::vector<double> shown;
    BandPaintWatcher watcher;
    application.installEventFilter(&watcher);
    for (int activation = 0; activation < activations; ++activation) {
        QTest::qWait(static_cast<int>(
            (GrabbableStatusView::retractSlideSeconds + GrabbableStatusView::retractShrinkSeconds) * 1000 +
            100));
        watcher.painted = false;
        clock.start();
        host.activate(click.x(), click.y());
        while (!watcher.painted) {
            if (clock.elapsed() > 2'000) {
                std::fprintf(stderr, "drag_bench: the band never showed at the click\n");
                return 1;
            }
            QCoreApplication::processEvents();
        }
        syncWithServer();
        shown.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        gesture.cancel();
    }
    std::printf("activations=%d activate_p50_ms=%.3f activate_max_ms=%.3f\n", activations,
                percentile(shown, 0.5), percentile(shown, 1.0));
    return 0;
}
