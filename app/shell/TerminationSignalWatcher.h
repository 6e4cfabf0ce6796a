#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (logout, shutdown, Ctrl-C) into a signal on the main thread, so the
// application quits the ordinary way and stops recording first.
class TerminationSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignalWatcher(QObject* parent = nullptr);
    ~TerminationSignalWatcher() override;

signals:
    void terminationRequested(int signalNumber);

private:
    static void handle(int signalNumber);
    static int pipe_[2];
    QSocketNotifier* notifier_ = nullptr;
};
