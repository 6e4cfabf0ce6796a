#pragma once

#include "ViewController.h"

#include <QString>

#include <memory>

class UserNotificationCenter;
class Workspace;

// Owns the window that announces the product's new brand and answers its close: the window goes, and once
// two days have passed since the announcement was first shown, a notification invites the user to the beta.
// Each controller lives from showNewBrandWindow until its window has closed, then deletes itself.
class NewBrandWindowController : public ViewController {
    Q_OBJECT
public:
    static constexpr double repeatIntervalSeconds = 172'800;
    static constexpr int windowWidth = 500;
    static constexpr int windowHeight = 613;
    static constexpr const char* windowName = "New brand, same time travel";
    static constexpr const char* productWebPage = "https://tempolis.app/?ref=LegacyNotif";
    static constexpr const char* betaTitle = "Tempolis beta now available";
    static constexpr const char* betaSubtitle = "Click here to try it first";
    static constexpr const char* updateTitle = "Update successful";
    static constexpr const char* updateSubtitle = "Thank you for sticking with us!";
    static constexpr const char* thirdDayKey = "thirdDayNotif";

    // Opens a new announcement window, centred, above normal windows and active. Both services must outlive
    // the window. The returned controller deletes itself once the window has closed.
    static NewBrandWindowController* showNewBrandWindow(Workspace& workspace,
                                                        UserNotificationCenter& userNotifications);

    // True once two days (exactly 172800 seconds included) have passed since `firstShownSeconds`; both
    // are seconds since 1970.
    static bool isAnnouncementDue(double nowSeconds, double firstShownSeconds);

    ~NewBrandWindowController() override;

    // Opens the product's web page in the user's browser: the view's button.
    Q_INVOKABLE void openProductWebPage();

    // The announcement window until it closes.
    QWidget* window() const { return window_.get(); }

protected:
    std::unique_ptr<QWidget> loadView() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    NewBrandWindowController(Workspace& workspace, UserNotificationCenter& userNotifications);

    void windowWillClose();
    void scheduleLegacyNotification(const QString& title, const QString& subtitle, bool thirdDayNotif);

    Workspace& workspace_;
    UserNotificationCenter& userNotifications_;
    std::unique_ptr<QWidget> window_;
};
