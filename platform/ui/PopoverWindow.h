#pragma once

#include "RectEdge.h"

#include <QPainterPath>
#include <QPointer>
#include <QWidget>

// The window of a Popover: a rounded body with an arrow on one side, and a content view lent to it.
// The window never deletes the content view: it hands it back (unparented) when the content changes or the
// window is destroyed.
//
// As a popup (Qt::Popup) it closes on a press outside it; a press on another window of this application then
// goes on to that window, as if the popup had not been there (unless setReplaysClosingPress(false)). Qt does
// this itself on other platforms but not on X11, where the popup's pointer grab swallows the press. (Qt's own
// Qt::WA_NoMouseReplay cannot say it: Qt clears it each time a popup opens.)
class PopoverWindow : public QWidget {
    Q_OBJECT
public:
    explicit PopoverWindow(Qt::WindowFlags flags);
    ~PopoverWindow() override;

    // The side of the window that carries the arrow is the anchor's `edge` turned around (RectEdge::minY puts
    // the arrow on top); `offsetPixels` is the arrow's centre along that side.
    void setArrow(RectEdge edge, int offsetPixels);
    RectEdge arrowEdge() const { return edge_; }

    void setContent(QWidget* view);
    QWidget* content() const { return content_; }
    // Gives the content view back: hidden and without a parent.
    void releaseContent();

    // The outline of body and arrow, in window coordinates.
    QPainterPath outline() const;

    // Whether the press outside that closes the popup goes on to what was pressed.
    void setReplaysClosingPress(bool replays) { replaysClosingPress_ = replays; }
    bool replaysClosingPress() const { return replaysClosingPress_; }

    // The window of the view the popover hangs from, if any.
    QWidget* anchorWindow() const { return anchorWindow_; }
    void setAnchorWindow(QWidget* window) { anchorWindow_ = window; }

signals:
    // The window is closing although nobody called hide() on it: an outside click or Escape closed the popup,
    // Escape was pressed in a window that has the keyboard, or the window system closed it.
    void closing();
    void hidden();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void updateShape();

    RectEdge edge_ = RectEdge::minY;
    int arrowOffset_ = 0;
    QPointer<QWidget> content_;
    QPointer<QWidget> anchorWindow_;
    bool replaysClosingPress_ = true;
};
