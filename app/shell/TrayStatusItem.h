#pragma once

#include "StatusIconState.h"
#include "TrayMenu.h"

#include <QColor>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QTimer>

#include <memory>

class AudioController;
class StatusNotifierItem;
class TrayHostWatcher;

// Tempolis in the desktop's system tray: the status icon with its state drawn into it, a tooltip saying the
// state, and the menu, offered as a StatusNotifierItem to whichever tray the desktop runs (KDE Plasma, XFCE,
// Cinnamon, MATE, LXQt; GNOME Shell with the AppIndicator extension). It follows the tray's registry and
// registers again whenever a tray comes back, so a panel that starts after Tempolis or restarts finds it.
//
// Whether a tray shows the item takes a moment to learn: when the registry exists but has not yet taken the
// item (GNOME Shell's extension answers once the shell has finished starting), the item is undecided for at
// most registryGraceMilliseconds; when there is no registry it is decided at once. Main thread only.
class TrayStatusItem : public QObject {
    Q_OBJECT
public:
    static constexpr int registryGraceMilliseconds = 8'000;

    TrayStatusItem(AudioController& audioController, TrayMenu::Actions actions, QObject* parent = nullptr);
    ~TrayStatusItem() override;

    // A tray shows the item now.
    bool isShown() const;
    // Too early to say whether a tray will show it.
    bool isUndecided() const { return undecided_; }

    void setState(StatusIconState state);
    StatusIconState state() const { return state_; }
    TrayMenu& menu() { return *menu_; }
    StatusNotifierItem& item() { return *item_; }

    // The icon for `state` at the sizes trays use, drawn in `tint` with a contrasting rim, so it reads on
    // light and dark panels.
    static QIcon renderIcon(StatusIconState state, const QColor& tint);
    // The colour of a tray's icons on this desktop.
    static QColor panelTint();

signals:
    // isShown() or isUndecided() changed.
    void presenceChanged();
    // The tray's click (KDE: a left click; GNOME: a double click) at this screen position.
    void activated(QPoint screenPosition);
    // A middle click.
    void secondaryActivated(QPoint screenPosition);

private:
    void decide();
    void update();

    std::unique_ptr<StatusNotifierItem> item_;
    std::unique_ptr<TrayMenu> menu_;
    std::unique_ptr<TrayHostWatcher> watcher_;
    QTimer grace_;
    bool undecided_ = false;
    StatusIconState state_ = StatusIconState::idle;
};
