#include "StandInDesktop.h"

#include <QSocketNotifier>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {
struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

std::vector<std::uint32_t> cardinals(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t name,
                                     unsigned count) {
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, count),
        nullptr));
    if (!reply || reply->format != 32)
        return {};
    const auto* first = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return {first, first + xcb_get_property_value_length(reply.get()) / 4};
}

// The largest rectangle of `screen` that none of `reserved` covers; its edges lie on the screen's edges or
// next to a reserved rectangle.
QRect largestFree(const QRect& screen, const std::vector<QRect>& reserved) {
    std::vector<int> lefts{screen.left()}, rights{screen.right()}, tops{screen.top()},
        bottoms{screen.bottom()};
    for (const QRect& band : reserved) {
        lefts.push_back(band.right() + 1);
        rights.push_back(band.left() - 1);
        tops.push_back(band.bottom() + 1);
        bottoms.push_back(band.top() - 1);
    }
    QRect best;
    for (const int top : tops) {
        for (const int bottom : bottoms) {
            for (const int left : lefts) {
                for (const int right : rights) {
                    const QRect candidate(QPoint(left, top), QPoint(right, bottom));
                    if (candidate.isEmpty() || !screen.contains(candidate))
                        continue;
                    bool free = true;
                    for (const QRect& band : reserved)
                        free = free && !band.intersects(candidate);
                    const auto area = [](const QRect& r) { return qint64(r.width()) * r.height(); };
                    if (free && area(candidate) > area(best))
                        best = candidate;
                }
            }
        }
    }
    return best;
}
} // namespace

StandInDesktop::StandInDesktop(int bandPixels)
    : bandPixels_(bandPixels) {
    connection_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection_)) {
        ADD_FAILURE() << "the stand-in desktop cannot reach the X server";
        return;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    root_ = screen->root;
    widthPixels_ = screen->width_in_pixels;
    heightPixels_ = screen->height_in_pixels;
    clientListAtom_ = atom("_NET_CLIENT_LIST");
    workAreaAtom_ = atom("_NET_WORKAREA");
    strutPartialAtom_ = atom("_NET_WM_STRUT_PARTIAL");
    desktopsAtom_ = atom("_NET_NUMBER_OF_DESKTOPS");
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &events);
    watchClients();
    publish();
    notifier_ =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &StandInDesktop::handleEvents);
}

StandInDesktop::~StandInDesktop() {
    notifier_.reset();
    xcb_disconnect(connection_);
}

void StandInDesktop::setBandPixels(int bandPixels) {
    bandPixels_ = bandPixels;
    publish();
}

std::uint32_t StandInDesktop::atom(const char* name) {
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

void StandInDesktop::handleEvents() {
    // Answering reads replies, which may queue more events: go on until none is left.
    for (;;) {
        bool clientsChanged = false;
        bool answer = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
                const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
                clientsChanged = clientsChanged || notify->atom == clientListAtom_;
                answer = answer || notify->atom == clientListAtom_ || notify->atom == workAreaAtom_ ||
                         notify->atom == strutPartialAtom_;
            }
            std::free(event);
        }
        if (!answer)
            return;
        if (clientsChanged)
            watchClients();
        publish();
    }
}

void StandInDesktop::watchClients() {
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    for (const std::uint32_t window : cardinals(connection_, root_, clientListAtom_, 4096))
        xcb_change_window_attributes(connection_, window, XCB_CW_EVENT_MASK, &events);
    xcb_flush(connection_);
}

void StandInDesktop::publish() {
    const QRect screen(0, 0, widthPixels_, heightPixels_);
    std::vector<QRect> reserved;
    if (bandPixels_ > 0)
        reserved.emplace_back(0, 0, widthPixels_, bandPixels_);
    for (const std::uint32_t window : cardinals(connection_, root_, clientListAtom_, 4096)) {
        const std::vector<std::uint32_t> strut = cardinals(connection_, window, strutPartialAtom_, 12);
        if (strut.size() != 12)
            continue;
        const auto value = [&strut](int index) { return int(strut[std::size_t(index)]); };
        if (value(0) > 0) // left, over rows left_start_y..left_end_y
            reserved.emplace_back(QPoint(0, value(4)), QPoint(value(0) - 1, value(5)));
        if (value(1) > 0) // right
            reserved.emplace_back(QPoint(widthPixels_ - value(1), value(6)),
                                  QPoint(widthPixels_ - 1, value(7)));
        if (value(2) > 0) // top, over columns top_start_x..top_end_x
            reserved.emplace_back(QPoint(value(8), 0), QPoint(value(9), value(2) - 1));
        if (value(3) > 0) // bottom
            reserved.emplace_back(QPoint(value(10), heightPixels_ - value(3)),
                                  QPoint(value(11), heightPixels_ - 1));
    }
    const QRect answer = largestFree(screen, reserved);
    if (!workArea_.isNull() && answer != workArea_)
        ++changes_;
    workArea_ = answer;
    const std::vector<std::uint32_t> desktops = cardinals(connection_, root_, desktopsAtom_, 1);
    const std::size_t desktopCount = desktops.empty() ? 1 : std::max<std::uint32_t>(desktops.front(), 1);
    std::vector<std::uint32_t> values;
    for (std::size_t desktop = 0; desktop < desktopCount; ++desktop) {
        values.insert(values.end(), {std::uint32_t(answer.x()), std::uint32_t(answer.y()),
                                     std::uint32_t(answer.width()), std::uint32_t(answer.height())});
    }
    // The window manager's own answer goes; ours stays until a strut changes again.
    if (cardinals(connection_, root_, workAreaAtom_, 4 * std::uint32_t(desktopCount)) == values)
        return;
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, root_, workAreaAtom_, XCB_ATOM_CARDINAL, 32,
                        std::uint32_t(values.size()), values.data());
    xcb_flush(connection_);
}
