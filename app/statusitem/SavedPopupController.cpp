#include "SavedPopupController.h"

#include "Beep.h"
#include "DurationFormatter.h"
#include "Localization.h"
#include "Popover.h"
#include "StatusAnchor.h"
#include "Storyboard.h"

#include "ui_SavedPopupController.h"

#include <QDateTime>
#include <QLocale>
#include <QTimer>

#include <cmath>

SavedPopupController::SavedPopupController(QObject* parent)
    : ViewController(parent) {}

Popover* SavedPopupController::showSavedPopup(const StatusAnchor& anchor, double durationSeconds,
                                              URLOpener openURL, const QDateTime& clipStart) {
    SavedPopupController* controller =
        Storyboard::named(QStringLiteral("Main")).instantiate<SavedPopupController>().release();
    if (!controller) {
        return nullptr;
    }
    controller->setRecordingDuration(durationSeconds);
    controller->setClipStart(clipStart);
    controller->openURL_ = std::move(openURL);

    // Each popup lives until it closes: by its own timer, a click elsewhere, or the user after sharing. It
    // only informs: the keyboard and the pointer stay with the program the user is in (a command bound to a
    // key shows it while the user types).
    auto* popover = new Popover;
    popover->setBehavior(Popover::Behavior::nonActivatingTransient);
    popover->setContentViewController(std::unique_ptr<ViewController>(controller));
    QObject::connect(popover, &Popover::didClose, popover, &QObject::deleteLater);
    anchor.show(*popover);
    const QPointer<SavedPopupController> shown(controller);
    QTimer::singleShot(timedDismissMilliseconds, popover, [popover, shown] {
        if (popover->isShown() && shown && !shown->cancelTimedDismiss())
            popover->performClose();
    });
    return popover;
}

std::unique_ptr<QWidget> SavedPopupController::loadView() {
    auto view = std::make_unique<QWidget>();
    Ui::SavedPopupController scene;
    scene.setupUi(view.get());
    durationLabel_ = scene.durationLabel;
    timeLabel_ = scene.timeLabel;
    tweetButton_ = scene.tweetButton;
    tweetButton_->setText(Localization::string("Share Button"));
    // The press keeps the popup open; the release opens the address.
    connect(tweetButton_, &QPushButton::pressed, this, &SavedPopupController::tweetPressed);
    connect(tweetButton_, &QPushButton::clicked, this, &SavedPopupController::tweetReleased);
    return view;
}

void SavedPopupController::viewWillAppear() {
    ViewController::viewWillAppear();
    view(); // the labels exist once the view does
    const auto seconds = static_cast<qint64>(std::round(recordingDuration_));
    durationLabel_->setText(
        Localization::string("Saved Popup Duration").arg(DurationFormatter::string(seconds)));
    // The time the clip was named after, not now: a long save still says when its audio began.
    const QTime start =
        clipStart_.isValid() ? clipStart_.time() : QDateTime::currentDateTime().addSecs(-seconds).time();
    timeLabel_->setText(
        Localization::string("Saved Popup Time").arg(QLocale().toString(start, QLocale::ShortFormat)));
}

QUrl SavedPopupController::shareURL() {
    // Every character that is not plainly safe in a query value is encoded, so a text with "&", "=" or "#"
    // arrives whole.
    const QByteArray text = QUrl::toPercentEncoding(Localization::string("Share Tempolis Tweet Text"));
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(QString::fromLatin1(shareHost));
    url.setPath(QString::fromLatin1(sharePath));
    url.setQuery(QStringLiteral("text=") + QString::fromLatin1(text), QUrl::StrictMode);
    return url;
}

void SavedPopupController::tweetPressed() {
    cancelTimedDismiss_ = true;
}

void SavedPopupController::tweetReleased() {
    const QUrl url = shareURL();
    if (!url.isValid() || !openURL_ || !openURL_(url))
        Beep::play();
}
