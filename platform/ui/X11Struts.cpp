#include "X11Struts.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {
// _NET_WM_STRUT_PARTIAL: left, right, top, bottom, then start and end of each: left_start_y .. bottom_end_x.
constexpr unsigned partialCount = 12;
constexpr unsigned rightIndex = 1;
constexpr unsigned topIndex = 2;
constexpr unsigned rightStartYIndex = 6;
constexpr unsigned rightEndYIndex = 7;
constexpr unsigned topStartXIndex = 8;
constexpr unsigned topEndXIndex = 9;
constexpr unsigned strutCount = 4;

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

std::uint32_t pixelsAsCardinal(int pixels) {
    return static_cast<std::uint32_t>(std::max(pixels, 0));
}

// The 32-bit values of a property as read, empty when the window has none or went away meanwhile (the error
// is taken here, so Qt does not report it).
std::vector<std::uint32_t> answer(xcb_connection_t* connection, xcb_get_property_cookie_t cookie) {
    xcb_generic_error_t* error = nullptr;
    const XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection, cookie, &error));
    std::free(error);
    std::vector<std::uint32_t> values;
    if (reply && reply->format == 32) {
        const auto* first = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
        values.assign(first, first + xcb_get_property_value_length(reply.get()) / 4);
    }
    return values;
}

xcb_get_property_cookie_t ask(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
                              unsigned count) {
    return xcb_get_property(connection, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, count);
}
} // namespace

std::unique_ptr<X11Struts> X11Struts::forApplication() {
    // The offscreen platform can answer for X11 too: ask only the real one.
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return nullptr;
    return std::unique_ptr<X11Struts>(new X11Struts(x11->connection()));
}

X11Struts::X11Struts(xcb_connection_t* connection)
    : connection_(connection) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    // All names in one round trip.
    const std::array<const char*, 6> names{"_NET_WM_STRUT_PARTIAL", "_NET_WM_STRUT",
                                           "_NET_CLIENT_LIST",      "_NET_WORKAREA",
                                           "_NET_WM_WINDOW_TYPE",   "_NET_WM_WINDOW_TYPE_DOCK"};
    std::array<xcb_intern_atom_cookie_t, names.size()> cookies{};
    for (std::size_t i = 0; i < names.size(); ++i)
        cookies[i] =
            xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
    std::array<std::uint32_t*, names.size()> atoms{&strutPartialAtom_, &strutAtom_,      &clientListAtom_,
                                                   &workAreaAtom_,     &windowTypeAtom_, &dockTypeAtom_};
    for (std::size_t i = 0; i < names.size(); ++i) {
        const XcbReply<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(connection_, cookies[i], nullptr));
        *atoms[i] = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }
    // Qt already listens to property changes on the root window (for the work area).
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11Struts::~X11Struts() = default;

void X11Struts::makeDock(QWidget& window) {
    // Qt 6 writes the type from the window flags alone (Qt::WA_X11NetWmWindowTypeDock does nothing).
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window.winId()),
                        windowTypeAtom_, XCB_ATOM_ATOM, 32, 1, &dockTypeAtom_);
    xcb_flush(connection_);
}

void X11Struts::reserveTop(QWidget& window, const QRect& frame) {
    const auto id = static_cast<xcb_window_t>(window.winId());
    const int bottomPixels = frame.bottom() + 1;
    ownBottomPixels_ = bottomPixels;
    std::vector<std::uint32_t> partial(partialCount, 0);
    partial[topIndex] = pixelsAsCardinal(bottomPixels);
    partial[topStartXIndex] = pixelsAsCardinal(frame.left());
    partial[topEndXIndex] = pixelsAsCardinal(frame.right());
    if (answer(connection_, ask(connection_, id, strutPartialAtom_, partialCount)) == partial)
        return;
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, id, strutPartialAtom_, XCB_ATOM_CARDINAL, 32,
                        partialCount, partial.data());
    ++ownStripsInFlight_;
    // Older window managers know only the first four.
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, id, strutAtom_, XCB_ATOM_CARDINAL, 32, strutCount,
                        partial.data());
    xcb_flush(connection_);
}

void X11Struts::releaseTop(QWidget& window) {
    const WId id = window.internalWinId();
    if (!id)
        return;
    const auto xid = static_cast<xcb_window_t>(id);
    // Only a strip that is there is deleted: that change is ours, like a new strip (see the event filter).
    if (answer(connection_, ask(connection_, xid, strutPartialAtom_, partialCount)).empty())
        return;
    xcb_delete_property(connection_, xid, strutPartialAtom_);
    xcb_delete_property(connection_, xid, strutAtom_);
    ++ownStripsInFlight_;
    xcb_flush(connection_);
}

QRect X11Struts::areaFreeOfOthers(const QScreen& screen, const std::vector<WId>& ours, int rowsPixels) {
    const QRect geometry = screen.geometry();
    const xcb_get_geometry_cookie_t rootCookie = xcb_get_geometry(connection_, root_);
    const std::vector<std::vector<std::uint32_t>> struts = otherWindowsStruts(ours);
    // A band over other columns leaves this screen free.
    int othersTopPixels = INT_MIN;
    for (const std::vector<std::uint32_t>& strut : struts) {
        if (int(strut[topEndXIndex]) >= geometry.left() && int(strut[topStartXIndex]) <= geometry.right())
            othersTopPixels = std::max(othersTopPixels, int(strut[topIndex]));
    }
    const int top = std::max({geometry.top(), othersTopPixels, desktopTopPixels(screen, othersTopPixels)});
    // Struts along the right edge count from the right edge of the whole root window, over rows of it.
    const XcbReply<xcb_get_geometry_reply_t> rootGeometry(
        xcb_get_geometry_reply(connection_, rootCookie, nullptr));
    const int rootRightPixels = rootGeometry ? rootGeometry->width - 1 : screen.virtualGeometry().right();
    const int bottom = top + rowsPixels - 1;
    int right = geometry.right();
    for (const std::vector<std::uint32_t>& strut : struts) {
        if (strut[rightIndex] > 0 && int(strut[rightEndYIndex]) >= top &&
            int(strut[rightStartYIndex]) <= bottom)
            right = std::min(right, rootRightPixels - int(strut[rightIndex]));
    }
    return QRect(QPoint(geometry.left(), top), QPoint(right, geometry.bottom()));
}

int X11Struts::desktopTopPixels(const QScreen& screen, int othersTopPixels) {
    // The work area holds what the desktop reserves for itself as well as every strut, ours too. Only the
    // answer to our strips as they are now tells anything: an older one may still show a strip we have
    // moved since. It tells the desktop's band when it reaches below the other windows' struts and not down
    // to our strips; and as it never lies above what the desktop reserves, a higher work area shows the
    // desktop now reserves less. Nothing else is taken from it: a work area reaching down to our strips, or
    // one beside them, is the window manager's answer to those strips.
    if (!workAreaAnswersOwnStrips_)
        return desktopTopPixels_;
    const int workAreaTopPixels = screen.availableGeometry().top();
    if (workAreaTopPixels != ownBottomPixels_ && workAreaTopPixels > othersTopPixels)
        desktopTopPixels_ = workAreaTopPixels;
    else
        desktopTopPixels_ = std::min(desktopTopPixels_, workAreaTopPixels);
    return desktopTopPixels_;
}

std::vector<std::vector<std::uint32_t>> X11Struts::otherWindowsStruts(const std::vector<WId>& ours) {
    std::vector<xcb_window_t> others;
    for (const std::uint32_t window : answer(connection_, ask(connection_, root_, clientListAtom_, 4096))) {
        if (std::find(ours.begin(), ours.end(), WId(window)) == ours.end())
            others.push_back(window);
    }
    // Ask for every window's struts before reading any answer: one round trip, not one per window.
    std::vector<std::pair<xcb_get_property_cookie_t, xcb_get_property_cookie_t>> cookies;
    cookies.reserve(others.size());
    for (const xcb_window_t window : others) {
        cookies.emplace_back(ask(connection_, window, strutPartialAtom_, partialCount),
                             ask(connection_, window, strutAtom_, strutCount));
    }
    std::vector<std::vector<std::uint32_t>> struts;
    for (const auto& [partialCookie, strutCookie] : cookies) {
        std::vector<std::uint32_t> partial = answer(connection_, partialCookie);
        const std::vector<std::uint32_t> strut = answer(connection_, strutCookie);
        // The partial strut wins when there is one.
        if (partial.size() != partialCount && strut.size() == strutCount) {
            partial = strut;
            partial.resize(partialCount, 0);
            for (unsigned end = strutCount + 1; end < partialCount; end += 2)
                partial[end] = std::uint32_t(INT_MAX);
        }
        if (partial.size() == partialCount && std::any_of(partial.begin(), partial.begin() + strutCount,
                                                          [](std::uint32_t band) { return band > 0; }))
            struts.push_back(std::move(partial));
    }
    return struts;
}

bool X11Struts::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) {
    // Looks at every event from the server, so it only compares; never consumes one.
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
        return false;
    const auto* notify = static_cast<const xcb_property_notify_event_t*>(message);
    // Qt selects property changes on its own windows only: a strut changing there is one of our strips.
    if (notify->window != root_ && notify->atom == strutPartialAtom_ && ownStripsInFlight_ > 0) {
        --ownStripsInFlight_;
        workAreaAnswersOwnStrips_ = false;
    }
    if (notify->window == root_ && notify->atom == workAreaAtom_ && ownStripsInFlight_ == 0)
        workAreaAnswersOwnStrips_ = true;
    if (notify->window != root_ || (notify->atom != clientListAtom_ && notify->atom != workAreaAtom_) ||
        notifyQueued_)
        return false;
    // Queued: Qt reads the new work area from this very event after the filters have seen it.
    notifyQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            notifyQueued_ = false;
            emit othersMayHaveChanged();
        },
        Qt::QueuedConnection);
    return false;
}
