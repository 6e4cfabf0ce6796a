#include "EventRecorder.h"

#include <QKeyEvent>
#include <QMouseEvent>

EventRecorder::EventRecorder(QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags) {
    setMouseTracking(true);
}

int EventRecorder::count(QEvent::Type type) const {
    return static_cast<int>(events(type).size());
}

QList<EventRecorder::Event> EventRecorder::events(QEvent::Type type) const {
    QList<Event> matching;
    for (const Event& event : events_) {
        if (event.type == type)
            matching.append(event);
    }
    return matching;
}

void EventRecorder::mousePressEvent(QMouseEvent* event) {
    // A second press soon after a click arrives as a double click (QWidget passes it on here): still a press.
    events_.append({QEvent::MouseButtonPress, event->globalPosition().toPoint()});
    if (grabsKeyboardDuringPress_)
        grabKeyboard();
    event->accept();
}

void EventRecorder::mouseMoveEvent(QMouseEvent* event) {
    events_.append({event->type(), event->globalPosition().toPoint()});
    event->accept();
}

void EventRecorder::mouseReleaseEvent(QMouseEvent* event) {
    events_.append({event->type(), event->globalPosition().toPoint()});
    if (grabsKeyboardDuringPress_)
        releaseKeyboard();
    event->accept();
}

void EventRecorder::keyPressEvent(QKeyEvent* event) {
    events_.append({event->type(), QPoint(), event->key()});
    event->accept();
}
