#include "TerminationSignalWatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

int TerminationSignalWatcher::pipe_[2] = {-1, -1};

TerminationSignalWatcher::TerminationSignalWatcher(QObject* parent)
    : QObject(parent) {
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char number = 0;
        while (read(pipe_[0], &number, 1) == 1) {
            emit terminationRequested(number);
        }
    });
    struct sigaction action {};
    action.sa_handler = &TerminationSignalWatcher::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(number, &action, nullptr);
    }
}

TerminationSignalWatcher::~TerminationSignalWatcher() {
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        std::signal(number, SIG_DFL);
    }
    close(pipe_[0]);
    close(pipe_[1]);
    pipe_[0] = pipe_[1] = -1;
}

void TerminationSignalWatcher::handle(int signalNumber) {
    // Only async-signal-safe work here: the rest happens on the main thread.
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = write(pipe_[1], &number, 1);
}
