#include "TimePopupController.h"

#include "DurationFormatter.h"
#include "Localization.h"
#include "Storyboard.h"

#include "ui_TimePopupController.h"

#include <QDateTime>

TimePopupController::TimePopupController(QObject* parent)
    : ViewController(parent) {}

std::unique_ptr<TimePopupController> TimePopupController::makeTimePopupController() {
    return Storyboard::named(QStringLiteral("Main")).instantiate<TimePopupController>();
}

std::unique_ptr<QWidget> TimePopupController::loadView() {
    auto view = std::make_unique<QWidget>();
    Ui::TimePopupController scene;
    scene.setupUi(view.get());
    durationLabel_ = scene.durationLabel;
    timeLabel_ = scene.timeLabel;
    return view;
}

void TimePopupController::updateTime(qint64 seconds) {
    view(); // the labels exist once the view does
    durationLabel_->setText(
        Localization::string("Time Popup Duration").arg(DurationFormatter::string(seconds)));
    const QTime start = QDateTime::currentDateTime().addSecs(-seconds).time();
    timeLabel_->setText(
        Localization::string("Time Popup Time").arg(locale_.toString(start, QLocale::ShortFormat)));
}
