#pragma once

#include "ViewController.h"

#include <QLabel>
#include <QPointer>
#include <QString>

#include <optional>

// The content of the alert popover: one line of text hanging from the status item.
class AlertPopupController : public ViewController {
    Q_OBJECT
public:
    static constexpr const char* identifier = "AlertPopupController";

    explicit AlertPopupController(QObject* parent = nullptr);

    const std::optional<QString>& message() const { return message_; }
    void setMessage(const QString& message) { message_ = message; }
    QLabel* messageLabel() const { return messageLabel_; }

    void viewWillAppear() override;

protected:
    std::unique_ptr<QWidget> loadView() override;

private:
    QPointer<QLabel> messageLabel_;
    std::optional<QString> message_;
};
