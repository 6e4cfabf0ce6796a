#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

class UserNotificationCenter;
class Workspace;

// Shows the window that announces the product's new brand and answers its close: once two days have passed
// since the announcement was first shown, a notification invites the user to the beta.
//
// The window is drawn by a helper program of the bundle (NewBrandWindow, in Qt Quick), so this program never
// loads Qt Quick and keeps none of the window's memory after it closed. The helper reports on its standard
// output, one line each, a press of the window's button and the window's close; it ends when its standard
// input closes, so the window goes with this program. Each controller lives from showNewBrandWindow until the
// helper has ended, then deletes itself.
class NewBrandWindowController : public QObject {
    Q_OBJECT
public:
    static constexpr double repeatIntervalSeconds = 172'800;
    static constexpr const char* productWebPage = "https://tempolis.app/?ref=LegacyNotif";
    static constexpr const char* betaTitle = "Tempolis beta now available";
    static constexpr const char* betaSubtitle = "Click here to try it first";
    static constexpr const char* updateTitle = "Update successful";
    static constexpr const char* updateSubtitle = "Thank you for sticking with us!";
    static constexpr const char* thirdDayKey = "thirdDayNotif";
    // The helper, inside the bundle, and the lines it writes.
    static constexpr const char* helperBundlePath = "Contents/Helpers/TempolisAnnouncement";
    static constexpr const char* productWebPageRequestedLine = "product-web-page";
    static constexpr const char* windowClosedLine = "closed";

    // Opens a new announcement window, centred, above normal windows and active, from the helper at
    // `helperPath` (by default the main bundle's). Both services must outlive the controller. The returned
    // controller deletes itself once the helper has ended.
    static NewBrandWindowController* showNewBrandWindow(Workspace& workspace,
                                                        UserNotificationCenter& userNotifications);
    static NewBrandWindowController* showNewBrandWindow(Workspace& workspace,
                                                        UserNotificationCenter& userNotifications,
                                                        const QString& helperPath);

    // True once two days (exactly 172800 seconds included) have passed since `firstShownSeconds`; both
    // are seconds since 1970.
    static bool isAnnouncementDue(double nowSeconds, double firstShownSeconds);

    ~NewBrandWindowController() override;

    // Opens the product's web page in the user's browser: the window's button.
    void openProductWebPage();

private:
    NewBrandWindowController(Workspace& workspace, UserNotificationCenter& userNotifications);

    void readHelperOutput();
    void helperEnded();
    void windowWillClose();
    void scheduleLegacyNotification(const QString& title, const QString& subtitle, bool thirdDayNotif);

    Workspace& workspace_;
    UserNotificationCenter& userNotifications_;
    QProcess helper_;
};
