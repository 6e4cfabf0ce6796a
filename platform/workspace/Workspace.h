#pragma once

#include "RunningApplication.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

// Opening URLs, the programs of this user that run, launching a bundle, and sleep/wake.
//
// A program counts as running while it owns its bundle identifier as a name on the session bus. Every
// process that registers an identifier stays in the bus's queue of owners for that name, so several copies
// (two launchers) are all counted, and the first of them is its primary owner.
//
// Without a session bus one line is logged and the operations that need it answer "nothing runs" and do
// nothing. The system bus is used only once something connects to willSleep/didWake (the launcher never
// does); without one, that logs one line too.
class Workspace : public QObject {
    Q_OBJECT

public:
    using URLOpener = std::function<bool(const QUrl& url)>;

    explicit Workspace(QObject* parent = nullptr);

    // Hands the URL to the user's default handler (QDesktopServices unless another opener is set).
    bool openURL(const QUrl& url);
    void setURLOpener(URLOpener opener);

    // The processes that registered `bundleIdentifier`, the primary owner first.
    QList<RunningApplication> runningApplications(const QString& bundleIdentifier) const;

    // Registers this process as running `bundleIdentifier`. False when another process registered it first
    // (this process then waits in the queue of owners and still counts as running). True when there is no
    // session bus: nothing can be checked, so the program goes on.
    bool registerRunningApplication(const QString& bundleIdentifier);

    // Starts the executable named by the bundle's Info.json, detached. On failure returns false and sets
    // `error` to a sentence for the user.
    bool launchApplication(const QString& bundlePath, QString* error);

signals:
    // The system is about to sleep / has woken up (logind's PrepareForSleep).
    void willSleep();
    void didWake();

protected:
    void connectNotify(const QMetaMethod& signal) override;

private slots:
    void handlePrepareForSleep(bool start);

private:
    void observeSleepAndWake();

    URLOpener urlOpener_;
    bool observingSleepAndWake_ = false;
};
