#include "AlertPopupController.h"

#include "ui_AlertPopupController.h"

#include <QLabel>

AlertPopupController::AlertPopupController(QObject* parent)
    : ViewController(parent) {}

std::unique_ptr<QWidget> AlertPopupController::loadView() {
    auto view = std::make_unique<QWidget>();
    Ui::AlertPopupController scene;
    scene.setupUi(view.get());
    messageLabel_ = scene.messageLabel;
    return view;
}

void AlertPopupController::viewWillAppear() {
    ViewController::viewWillAppear();
    if (message_) {
        view(); // the label exists once the view does
        messageLabel_->setText(*message_);
    }
}
