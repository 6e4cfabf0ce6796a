#include "StatusItem.h"

#include "StatusBar.h"
#include "StatusBarButton.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <cmath>

StatusItem::StatusItem(StatusBar& bar, double length)
    : bar_(bar)
    , length_(length)
    , window_(std::make_unique<QWidget>(nullptr, Qt::Tool | Qt::FramelessWindowHint |
                                                     Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                                                     Qt::NoDropShadowWindowHint)) {
    window_->setObjectName(QStringLiteral("StatusItemWindow"));
    window_->setWindowTitle(QGuiApplication::applicationDisplayName());
    window_->setAttribute(Qt::WA_ShowWithoutActivating);
    window_->setAutoFillBackground(true);
    window_->installEventFilter(this);

    auto* layout = new QHBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    button_ = new StatusBarButton(window_.get());
    layout->addWidget(button_);
    connect(button_, &StatusBarButton::imageChanged, this, [this] {
        if (length_ == StatusBar::variableLength)
            bar_.layoutItems();
    });

    connect(qGuiApp, &QGuiApplication::primaryScreenChanged, this, [this] {
        watchPrimaryScreen();
        bar_.layoutItems();
    });
    connect(qGuiApp, &QGuiApplication::screenAdded, this, [this] { bar_.layoutItems(); });
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, [this] { bar_.layoutItems(); });
    watchPrimaryScreen();
}

StatusItem::~StatusItem() {
    window_->removeEventFilter(this);
    bar_.remove(this);
}

StatusBarButton* StatusItem::button() const {
    return button_;
}

void StatusItem::setLength(double length) {
    if (length_ == length)
        return;
    length_ = length;
    bar_.layoutItems();
}

void StatusItem::setVisible(bool visible) {
    if (visible_ == visible)
        return;
    visible_ = visible;
    if (!visible)
        window_->hide();
    bar_.layoutItems();
}

int StatusItem::widthPixels() const {
    if (length_ == StatusBar::variableLength)
        return std::max(button_->sizeHint().width(), 1);
    if (length_ == StatusBar::squareLength)
        return StatusBar::thicknessPixels;
    return std::max(static_cast<int>(std::lround(length_)), 1);
}

void StatusItem::place(const QRect& frame) {
    const bool changed = frame != frame_;
    frame_ = frame;
    if (QScreen* screen = QGuiApplication::screenAt(frame.center()))
        window_->setScreen(screen);
    applyFrame();
    if (visible_ && !window_->isVisible()) {
        window_->show();
        // Some window managers (openbox) place a newly mapped tool window themselves and report (0,0) until
        // they are done: state the position again once it is mapped (and, from the Show event, once more
        // after the next events).
        applyFrame();
    }
    if (changed)
        emit frameChanged(frame_);
}

void StatusItem::applyFrame() {
    if (frame_.isEmpty())
        return;
    window_->setFixedSize(frame_.size());
    window_->move(frame_.topLeft());
}

void StatusItem::watchPrimaryScreen() {
    if (watchedScreen_)
        watchedScreen_->disconnect(this);
    watchedScreen_ = QGuiApplication::primaryScreen();
    if (!watchedScreen_)
        return;
    connect(watchedScreen_, &QScreen::availableGeometryChanged, this, [this] { bar_.layoutItems(); });
    connect(watchedScreen_, &QScreen::geometryChanged, this, [this] { bar_.layoutItems(); });
}

bool StatusItem::eventFilter(QObject* watched, QEvent* event) {
    // Only watches its own window; never consumes an event.
    if (watched == window_.get() && event->type() == QEvent::Show)
        QTimer::singleShot(0, this, [this] { applyFrame(); });
    return QObject::eventFilter(watched, event);
}
