#pragma once

#include <QObject>
#include <QRect>

#include <cstdint>
#include <memory>
#include <vector>

class QSocketNotifier;
struct xcb_connection_t;

// A desktop that draws its own bar along the top of the screen in the compositor, as GNOME Shell does:
// no client window reserves that band, only the work area leaves it out. It publishes _NET_WORKAREA as
// mutter 43 does: the largest rectangle of the screen that no strut covers, so a strip in a corner is
// answered either with a band across the whole width or with the columns beside it, whichever is larger. It
// answers every change of a strut or of the client list, and overwrites the work area that the real window
// manager of the test session (openbox) publishes. Runs on its own X connection, from the Qt event loop.
class StandInDesktop : public QObject {
    Q_OBJECT
public:
    explicit StandInDesktop(int bandPixels);
    ~StandInDesktop() override;

    // The band it reserves along the top (0 for none); publishes the work area again.
    void setBandPixels(int bandPixels);

    // The work area it last published, and how many times it changed it since the first.
    QRect workArea() const { return workArea_; }
    int changes() const { return changes_; }

private:
    void handleEvents();
    void watchClients();
    void publish();
    std::uint32_t atom(const char* name);

    xcb_connection_t* connection_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::uint32_t root_ = 0;
    int widthPixels_ = 0;
    int heightPixels_ = 0;
    std::uint32_t clientListAtom_ = 0;
    std::uint32_t workAreaAtom_ = 0;
    std::uint32_t strutPartialAtom_ = 0;
    std::uint32_t desktopsAtom_ = 0;
    int bandPixels_ = 0;
    QRect workArea_;
    int changes_ = 0;
};
