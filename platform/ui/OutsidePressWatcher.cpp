#include "OutsidePressWatcher.h"

#include <QCursor>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <cstdlib>

namespace {
struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

// The buttons that choose something; 4 to 7 scroll.
constexpr std::uint32_t lastPressButton = 3;

// The request's mask list: one entry, for every master device, with one word of mask bits.
struct RawPressMask {
    xcb_input_event_mask_t head;
    std::uint32_t bits;
};
} // namespace

OutsidePressWatcher::OutsidePressWatcher(std::function<bool(const QPoint&)> isInside, QObject* parent)
    : QObject(parent)
    , isInside_(std::move(isInside)) {}

OutsidePressWatcher::~OutsidePressWatcher() {
    notifier_.reset();
    stop();
}

bool OutsidePressWatcher::start() {
    if (connection_)
        return true;
    // Only when Qt itself draws on an X server (not offscreen, even with DISPLAY set); the display Qt opened
    // is the one DISPLAY names, as this program never passes -display.
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_input_id);
    // Raw events reach the root window during other clients' grabs from version 2.1 on; the server treats
    // this client by the version it announces here.
    const XcbReply<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(connection, xcb_input_xi_query_version(connection, 2, 2), nullptr));
    if (!extension || !extension->present || !version ||
        (version->major_version < 2 || (version->major_version == 2 && version->minor_version < 2))) {
        xcb_disconnect(connection);
        return false;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const RawPressMask mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
    const XcbReply<xcb_generic_error_t> error(
        xcb_request_check(connection, xcb_input_xi_select_events_checked(connection, root, 1, &mask.head)));
    if (error) {
        xcb_disconnect(connection);
        return false;
    }
    connection_ = connection;
    inputOpcode_ = extension->major_opcode;
    notifier_ =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &OutsidePressWatcher::readEvents);
    // Waiting for the answers above may have read events already; the socket would not tell of those.
    readEvents();
    return true;
}

void OutsidePressWatcher::stop() {
    // stop() may run in a slot of the notifier's own signal.
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_.release()->deleteLater();
    }
    if (connection_)
        xcb_disconnect(connection_);
    connection_ = nullptr;
}

void OutsidePressWatcher::readEvents() {
    std::uint32_t pressTime = 0;
    bool pressed = false;
    while (connection_) {
        const XcbReply<xcb_generic_event_t> event(xcb_poll_for_event(connection_));
        if (!event)
            break;
        if ((event->response_type & 0x7f) != XCB_GE_GENERIC)
            continue;
        const auto* raw = reinterpret_cast<const xcb_input_raw_button_press_event_t*>(event.get());
        if (raw->extension == inputOpcode_ && raw->event_type == XCB_INPUT_RAW_BUTTON_PRESS &&
            raw->detail >= 1 && raw->detail <= lastPressButton) {
            pressed = true;
            pressTime = raw->time;
        }
    }
    if (connection_ && xcb_connection_has_error(connection_)) {
        stop(); // the display went away
        return;
    }
    if (!pressed)
        return;
    // Where the pointer is now, asked once per batch of presses.
    const QPoint position = QCursor::pos();
    if (!isInside_ || !isInside_(position))
        emit pressedOutside(position, pressTime);
}
