#pragma once

#include "ViewController.h"

#include <QDateTime>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QUrl>

#include <functional>
#include <memory>

class Popover;
struct StatusAnchor;

// The confirmation that hangs at the status icon after a clip was saved: its length in words, the clock
// time it starts at, and a button to share the news. It closes by itself after 5 seconds unless the user
// presses the share button, and at once on a click elsewhere.
class SavedPopupController : public ViewController {
    Q_OBJECT
public:
    using URLOpener = std::function<bool(const QUrl& url)>;

    static constexpr const char* identifier = "SavedPopupController";
    static constexpr int timedDismissMilliseconds = 5'000;
    // The web form where a post is composed; its text goes in the query item "text".
    static constexpr const char* shareHost = "twitter.com";
    static constexpr const char* sharePath = "/intent/tweet";

    explicit SavedPopupController(QObject* parent = nullptr);

    // Makes a controller from the storyboard "Main" and shows it at `anchor` (the status item, or where the
    // user clicked the tray icon) for a clip of `durationSeconds` that starts at `clipStart` (now less the
    // duration when not given); the share button's address goes to `openURL`. Answers the popover, which
    // deletes itself once closed, or none when the controller could not be made.
    static Popover* showSavedPopup(const StatusAnchor& anchor, double durationSeconds, URLOpener openURL,
                                   const QDateTime& clipStart = {});

    bool cancelTimedDismiss() const { return cancelTimedDismiss_; }
    double recordingDuration() const { return recordingDuration_; }
    void setRecordingDuration(double seconds) { recordingDuration_ = seconds; }
    // The clock time the clip starts at; invalid means now less its duration.
    void setClipStart(const QDateTime& clipStart) { clipStart_ = clipStart; }

    QLabel* durationLabel() const { return durationLabel_; }
    QLabel* timeLabel() const { return timeLabel_; }
    QPushButton* tweetButton() const { return tweetButton_; }

    // The address the share button opens.
    static QUrl shareURL();

    void viewWillAppear() override;

protected:
    std::unique_ptr<QWidget> loadView() override;

private:
    void tweetPressed();
    void tweetReleased();

    QPointer<QLabel> durationLabel_;
    QPointer<QLabel> timeLabel_;
    QPointer<QPushButton> tweetButton_;
    bool cancelTimedDismiss_ = false;
    double recordingDuration_ = 0;
    QDateTime clipStart_;
    URLOpener openURL_;
};
