#include "PopoverWindow.h"

#include "PopoverPlacement.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPolygon>
#include <QRegion>

PopoverWindow::PopoverWindow(Qt::WindowFlags flags)
    : QWidget(nullptr, flags) {
    setObjectName(QStringLiteral("PopoverWindow"));
    // The corners and the sides next to the arrow must show what is behind; the mask below does that without
    // a compositor, the translucent background with one (smooth edges).
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating, flags.testFlag(Qt::WindowDoesNotAcceptFocus));
}

PopoverWindow::~PopoverWindow() {
    releaseContent();
}

void PopoverWindow::setArrow(RectEdge edge, int offsetPixels) {
    if (edge_ == edge && arrowOffset_ == offsetPixels)
        return;
    edge_ = edge;
    arrowOffset_ = offsetPixels;
    updateShape();
}

void PopoverWindow::setContent(QWidget* view) {
    if (content_ == view)
        return;
    releaseContent();
    content_ = view;
    if (!view)
        return;
    view->setParent(this);
    view->setGeometry(PopoverPlacement::contentRect(size(), edge_));
    view->show();
}

void PopoverWindow::releaseContent() {
    if (!content_)
        return;
    QWidget* view = content_;
    content_ = nullptr;
    view->hide();
    view->setParent(nullptr);
}

QPainterPath PopoverWindow::outline() const {
    const QRectF body = PopoverPlacement::contentRect(size(), edge_);
    const qreal radius = PopoverPlacement::cornerRadiusPixels;
    const qreal halfWidth = PopoverPlacement::arrowWidthPixels / 2.0;
    const qreal offset = arrowOffset_;
    QPolygonF arrow;
    switch (edge_) {
    case RectEdge::minY: // arrow on top, pointing up
        arrow << QPointF(offset - halfWidth, body.top()) << QPointF(offset, 0)
              << QPointF(offset + halfWidth, body.top());
        break;
    case RectEdge::maxY: // arrow at the bottom, pointing down
        arrow << QPointF(offset - halfWidth, body.bottom()) << QPointF(offset, height())
              << QPointF(offset + halfWidth, body.bottom());
        break;
    case RectEdge::minX: // arrow on the right, pointing right
        arrow << QPointF(body.right(), offset - halfWidth) << QPointF(width(), offset)
              << QPointF(body.right(), offset + halfWidth);
        break;
    case RectEdge::maxX: // arrow on the left, pointing left
        arrow << QPointF(body.left(), offset - halfWidth) << QPointF(0, offset)
              << QPointF(body.left(), offset + halfWidth);
        break;
    }
    QPainterPath path;
    path.addRoundedRect(body, radius, radius);
    QPainterPath arrowPath;
    arrowPath.addPolygon(arrow);
    arrowPath.closeSubpath();
    return path.united(arrowPath);
}

void PopoverWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor border = palette().color(QPalette::WindowText);
    border.setAlphaF(0.25f);
    painter.setPen(QPen(border, 1));
    painter.setBrush(palette().color(QPalette::Window));
    painter.drawPath(outline().translated(0.5, 0.5));
}

void PopoverWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateShape();
}

void PopoverWindow::updateShape() {
    setMask(QRegion(outline().toFillPolygon().toPolygon()));
    if (content_)
        content_->setGeometry(PopoverPlacement::contentRect(size(), edge_));
    update();
}

void PopoverWindow::closeEvent(QCloseEvent* event) {
    emit closing();
    event->accept();
}

void PopoverWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    emit hidden();
}

void PopoverWindow::keyPressEvent(QKeyEvent* event) {
    // A popup closes itself on Escape (QWidget does that); a window that has the keyboard as the active
    // window does the same here, after its controls had their turn.
    if (windowType() != Qt::Popup && event->matches(QKeySequence::Cancel)) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PopoverWindow::mousePressEvent(QMouseEvent* event) {
    const bool outside = !rect().contains(event->position().toPoint());
    const bool replay = outside && windowType() == Qt::Popup && replaysClosingPress_;
    const QPointer<PopoverWindow> alive(this);
    QWidget::mousePressEvent(event); // a popup closes itself here on a press outside
    if (!replay || (alive && isVisible()))
        return;
    QWidget* target = QApplication::widgetAt(event->globalPosition().toPoint());
    if (!target || target == alive.data() || QApplication::activePopupWidget())
        return;
    const QPointF global = event->globalPosition();
    QMouseEvent press(QEvent::MouseButtonPress, target->mapFromGlobal(global),
                      target->window()->mapFromGlobal(global), global, event->button(), event->buttons(),
                      event->modifiers());
    QCoreApplication::sendEvent(target, &press);
}
