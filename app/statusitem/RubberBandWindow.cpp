#include "RubberBandWindow.h"

#include "Compositing.h"

#include <QEvent>

RubberBandWindow::RubberBandWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint |
                          Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                          Qt::WindowTransparentForInput | Qt::X11BypassWindowManagerHint)
    , shaped_(!Compositing::isActive()) {
    setObjectName(QStringLiteral("RubberBandWindow"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    // Kept until the retraction is over, then closed and deleted.
    setAttribute(Qt::WA_DeleteOnClose);
    resize(contentSize);
    if (shaped_)
        setMask(QRegion(-1, -1, 1, 1)); // nothing drawn yet (an empty region would mean "no mask")
}

bool RubberBandWindow::event(QEvent* event) {
    // Once per frame, however many changes led to it, and before the paint so both reach the screen together.
    if (event->type() == QEvent::UpdateRequest && shaped_ && shapeDirty_ && shapeSource_) {
        shapeDirty_ = false;
        const QRegion shape = shapeSource_();
        setMask(shape.isEmpty() ? QRegion(-1, -1, 1, 1) : shape);
    }
    return QWidget::event(event);
}
