#pragma once

#include "ViewController.h"

#include <QLabel>
#include <QLocale>
#include <QPointer>

#include <memory>

// The content of the small popup that follows the rubber band's handle during a drag: how much of the recent
// past the current stretch would keep, in words, and the clock time that clip would start at.
class TimePopupController : public ViewController {
    Q_OBJECT
public:
    static constexpr const char* identifier = "TimePopupController";

    explicit TimePopupController(QObject* parent = nullptr);

    // A new controller from the storyboard "Main"; none (and a log line) when it cannot be made.
    static std::unique_ptr<TimePopupController> makeTimePopupController();

    // Shows `seconds` in words and the time that many seconds ago, in the user's locale.
    void updateTime(qint64 seconds);

    QLabel* durationLabel() const { return durationLabel_; }
    QLabel* timeLabel() const { return timeLabel_; }

protected:
    std::unique_ptr<QWidget> loadView() override;

private:
    QPointer<QLabel> durationLabel_;
    QPointer<QLabel> timeLabel_;
    const QLocale locale_;
};
