#pragma once

#include <QEvent>
#include <QList>
#include <QPoint>
#include <QWidget>

// A widget that remembers the pointer and key events it received, to see where input really went.
class EventRecorder : public QWidget {
    Q_OBJECT
public:
    struct Event {
        QEvent::Type type;
        QPoint globalPosition;
        int key = 0;
    };

    explicit EventRecorder(QWidget* parent = nullptr, Qt::WindowFlags flags = {});

    int count(QEvent::Type type) const;
    QList<Event> events(QEvent::Type type) const;
    void clear() { events_.clear(); }

    // Grab the keyboard while a button is down, as a press-tracking view does to see Escape.
    void setGrabsKeyboardDuringPress(bool grabs) { grabsKeyboardDuringPress_ = grabs; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QList<Event> events_;
    bool grabsKeyboardDuringPress_ = false;
};
