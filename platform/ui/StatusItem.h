#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>

#include <memory>

class QScreen;
class QWidget;
class StatusBar;
class StatusBarButton;

// One item on the status bar: a small frameless window that stays on top, never takes focus and never
// activates the application, holding a StatusBarButton that fills it. Made by StatusBar::statusItem().
//
// window() may parent other windows (a translucent frameless panel hanging under the item); like any Qt
// child they are deleted with the item, so hold them in a QPointer if they may outlive it.
class StatusItem : public QObject {
    Q_OBJECT
public:
    ~StatusItem() override;

    StatusBarButton* button() const;
    QWidget* window() const { return window_.get(); }

    // Where the item was placed, in global coordinates. Read this rather than window()->geometry(): under
    // openbox a tool window's geometry can read (0,0) for a while after it is shown.
    QRect frame() const { return frame_; }

    // StatusBar::variableLength, StatusBar::squareLength or a width in pixels.
    double length() const { return length_; }
    void setLength(double length);

    // A hidden item keeps its button but leaves its place on the bar to the others.
    bool isVisible() const { return visible_; }
    void setVisible(bool visible);

signals:
    void frameChanged(const QRect& frame);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class StatusBar;
    StatusItem(StatusBar& bar, double length);

    int widthPixels() const;
    void place(const QRect& frame);
    void applyFrame();
    void watchPrimaryScreen();

    StatusBar& bar_;
    double length_;
    bool visible_ = true;
    QRect frame_;
    std::unique_ptr<QWidget> window_;
    StatusBarButton* button_ = nullptr;
    QPointer<QScreen> watchedScreen_;
};
