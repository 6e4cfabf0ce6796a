#include "TrayStatusItem.h"

#include "AudioController.h"
#include "Images.h"
#include "Localization.h"
#include "StatusNotifierItem.h"
#include "TrayHostWatcher.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>

#include <algorithm>

namespace {
constexpr const char* statusIconImageName = "Status-Icon-Template";
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
} // namespace

TrayStatusItem::TrayStatusItem(AudioController& audioController, TrayMenu::Actions actions, QObject* parent)
    : QObject(parent)
    , item_(std::make_unique<StatusNotifierItem>(QStringLiteral("tempolis"), QStringLiteral("Tempolis")))
    , menu_(std::make_unique<TrayMenu>(audioController, std::move(actions))) {
    item_->setMenu(&menu_->menu());
    connect(item_.get(), &StatusNotifierItem::activated, this, &TrayStatusItem::activated);
    connect(item_.get(), &StatusNotifierItem::secondaryActivated, this, &TrayStatusItem::secondaryActivated);
    update();
    watcher_ = std::make_unique<TrayHostWatcher>(item_.get());
    connect(watcher_.get(), &TrayHostWatcher::hostAvailableChanged, this, [this](bool available) {
        if (available)
            undecided_ = false;
        emit presenceChanged();
    });
    if (!item_->isExported())
        return;

    // Undecided while a registry that exists has not answered; decided at once without one.
    undecided_ = true;
    grace_.setSingleShot(true);
    grace_.setInterval(registryGraceMilliseconds);
    connect(&grace_, &QTimer::timeout, this, &TrayStatusItem::decide);
    grace_.start();
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    call << watcherService;
    auto* pending = new QDBusPendingCallWatcher(item_->connection().asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* pending) {
        pending->deleteLater();
        const QDBusMessage reply = pending->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || !reply.arguments().value(0).toBool())
            decide();
    });
}

TrayStatusItem::~TrayStatusItem() {
    // The watcher works on the item's connection: it goes first.
    watcher_.reset();
    item_->setMenu(nullptr);
}

bool TrayStatusItem::isShown() const {
    return watcher_ && watcher_->isHostAvailable();
}

void TrayStatusItem::decide() {
    grace_.stop();
    if (!undecided_)
        return;
    undecided_ = false;
    emit presenceChanged();
}

void TrayStatusItem::setState(StatusIconState state) {
    if (state == state_)
        return;
    state_ = state;
    update();
}

void TrayStatusItem::update() {
    item_->setIcon(renderIcon(state_, panelTint()));
    item_->setToolTip(QStringLiteral("Tempolis"),
                      statusIconStateText(state_) + QLatin1Char('\n') + Localization::string("Tray Hint"));
}

QColor TrayStatusItem::panelTint() {
    // GNOME Shell's top bar is dark whatever the applications' colours; elsewhere panels follow the desktop's
    // colour scheme, as the application's palette does.
    const QString desktop = QString::fromLocal8Bit(qgetenv("XDG_CURRENT_DESKTOP"));
    if (desktop.contains(QLatin1String("GNOME"), Qt::CaseInsensitive))
        return QColor(0xf2, 0xf2, 0xf2);
    return QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText);
}

QIcon TrayStatusItem::renderIcon(StatusIconState state, const QColor& tint) {
    const QIcon base = Images::named(QString::fromLatin1(statusIconImageName));
    const QString indicatorName = statusIconIndicatorImage(state);
    const QIcon indicator = indicatorName.isEmpty() ? QIcon() : Images::named(indicatorName);
    // The rim: the opposite of the tint, faint, so the clock stands out on a panel of its own colour.
    QColor rim = tint.lightnessF() > 0.5 ? QColor(0, 0, 0) : QColor(255, 255, 255);
    rim.setAlphaF(0.45f);
    QIcon icon;
    for (const int side : StatusNotifierItem::iconSidesPixels()) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QSize size(side, side);
        // While a clip is made the icon is dimmed (a tray cannot show the floating icon's pulse).
        painter.setOpacity(state == StatusIconState::saving ? 0.45 : 1.0);
        const int rimWidth = std::max(1, side / 22);
        const QPixmap rimImage = Images::tinted(base, size, rim);
        for (const QPoint offset :
             {QPoint(-rimWidth, 0), QPoint(rimWidth, 0), QPoint(0, -rimWidth), QPoint(0, rimWidth)})
            painter.drawPixmap(offset, rimImage);
        painter.drawPixmap(0, 0, Images::tinted(base, size, tint));
        painter.setOpacity(1.0);
        if (!indicator.isNull())
            indicator.paint(&painter, QRect(QPoint(0, 0), size));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
