#include "XvfbSession.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

constexpr auto serverStartTimeout = std::chrono::seconds(10);
constexpr auto windowManagerStartTimeout = std::chrono::seconds(10);
constexpr auto stopTimeout = std::chrono::seconds(5);
constexpr int startAttempts = 3;

std::vector<char*> argumentVector(const std::vector<std::string>& arguments) {
    std::vector<char*> vector;
    for (const auto& argument : arguments)
        vector.push_back(const_cast<char*>(argument.c_str()));
    vector.push_back(nullptr);
    return vector;
}

// In the child after fork(): die with the test process, keep stdin away from the terminal, then exec.
// The servers' own chatter ("_XSERVTransmkdir: ...", openbox's theme warnings) would drown the test output.
[[noreturn]] void execChild(const std::vector<std::string>& arguments, int stdoutFd, bool quiet) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        if (stdoutFd < 0)
            dup2(devNull, STDOUT_FILENO);
        if (quiet)
            dup2(devNull, STDERR_FILENO);
    }
    if (stdoutFd >= 0)
        dup2(stdoutFd, STDOUT_FILENO);
    auto argv = argumentVector(arguments);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Waits for a child to end; kills it when it outlives the deadline. Returns its exit status or -1.
int reap(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        const pid_t result = waitpid(pid, &status, WNOHANG);
        if (result == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (result < 0 && errno != EINTR)
            return -1;
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void terminate(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    reap(pid, Clock::now() + stopTimeout);
}
} // namespace

XvfbSession::XvfbSession() {
    if (const char* current = std::getenv("DISPLAY"); current && *current) {
        hadPreviousDisplay_ = true;
        previousDisplay_ = current;
        if (displayAnswers(current)) {
            display_ = current;
            running_ = true;
            return;
        }
    }
    // openbox now and then ends at start with status 1 and no message (seen with a HOME shared by several
    // sessions): a fresh server and window manager then start fine.
    for (int attempt = 0; attempt < startAttempts && !running_; ++attempt) {
        if (startServer()) {
            setenv("DISPLAY", display_.c_str(), 1);
            // Qt would otherwise prefer a Wayland compositor named by the environment.
            unsetenv("WAYLAND_DISPLAY");
            running_ = startWindowManager();
        }
        if (!running_)
            stop();
    }
    if (running_)
        error_.clear();
}

XvfbSession::~XvfbSession() {
    stop();
}

void XvfbSession::stop() {
    if (xvfbPid_ <= 0)
        return;
    terminate(windowManagerPid_);
    windowManagerPid_ = -1;
    terminate(xvfbPid_);
    xvfbPid_ = -1;
    running_ = false;
    if (hadPreviousDisplay_)
        setenv("DISPLAY", previousDisplay_.c_str(), 1);
    else
        unsetenv("DISPLAY");
}

bool XvfbSession::startServer() {
    int displayPipe[2];
    if (pipe(displayPipe) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    // Xvfb picks a free display number itself and writes it to this descriptor once it accepts connections.
    const std::vector<std::string> arguments{"Xvfb",      "-displayfd", std::to_string(displayPipe[1]),
                                             "-screen",   "0",          "1920x1080x24",
                                             "-nolisten", "tcp"};
    xvfbPid_ = fork();
    if (xvfbPid_ == 0) {
        close(displayPipe[0]);
        execChild(arguments, -1, true);
    }
    close(displayPipe[1]);
    if (xvfbPid_ < 0) {
        close(displayPipe[0]);
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }

    std::string number;
    const auto deadline = Clock::now() + serverStartTimeout;
    while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd descriptor{displayPipe[0], POLLIN, 0};
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (poll(&descriptor, 1, static_cast<int>(std::max<long long>(remaining, 0))) <= 0)
            continue;
        char buffer[16];
        const ssize_t count = read(displayPipe[0], buffer, sizeof buffer);
        if (count <= 0)
            break; // Xvfb ended without naming a display
        number.append(buffer, static_cast<size_t>(count));
    }
    close(displayPipe[0]);
    const auto end = number.find('\n');
    if (end == std::string::npos || end == 0) {
        error_ = "Xvfb did not report a display number";
        return false;
    }
    display_ = ":" + number.substr(0, end);
    return true;
}

bool XvfbSession::startWindowManager() {
    windowManagerPid_ = fork();
    if (windowManagerPid_ == 0)
        execChild({"openbox", "--sm-disable"}, -1, true);
    if (windowManagerPid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    const auto deadline = Clock::now() + windowManagerStartTimeout;
    while (Clock::now() < deadline) {
        if (hasWindowManager())
            return true;
        int status = 0;
        if (waitpid(windowManagerPid_, &status, WNOHANG) == windowManagerPid_) {
            windowManagerPid_ = -1;
            error_ = "openbox ended at start (" +
                     (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                        : "signal " + std::to_string(WTERMSIG(status))) +
                     ")";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "openbox did not announce itself";
    return false;
}

bool XvfbSession::hasWindowManager() const {
    // openbox announces itself (_NET_SUPPORTING_WM_CHECK) early in its start-up; a window mapped before it
    // has also published its client list may never be managed, so never shown.
    std::string output;
    if (run({"xprop", "-display", display_, "-root", "_NET_SUPPORTING_WM_CHECK", "_NET_CLIENT_LIST"},
            &output) != 0)
        return false;
    return output.find("_NET_SUPPORTING_WM_CHECK(WINDOW): window id #") != std::string::npos &&
           output.find("_NET_CLIENT_LIST(WINDOW)") != std::string::npos;
}

bool XvfbSession::displayAnswers(const std::string& display) {
    return run({"xprop", "-display", display, "-root", "-len", "0", "_NET_SUPPORTED"}) == 0;
}

int XvfbSession::run(const std::vector<std::string>& arguments, std::string* output,
                     int timeoutMilliseconds) {
    if (arguments.empty())
        return -1;
    int outputPipe[2] = {-1, -1};
    if (output && pipe2(outputPipe, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0)
        execChild(arguments, output ? outputPipe[1] : -1, false);
    if (output)
        close(outputPipe[1]);
    if (pid < 0) {
        if (output)
            close(outputPipe[0]);
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    if (output) {
        output->clear();
        for (;;) {
            pollfd descriptor{outputPipe[0], POLLIN, 0};
            const auto remaining =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (remaining <= 0 || poll(&descriptor, 1, static_cast<int>(remaining)) <= 0)
                break;
            char buffer[4096];
            const ssize_t count = read(outputPipe[0], buffer, sizeof buffer);
            if (count <= 0)
                break;
            output->append(buffer, static_cast<size_t>(count));
        }
        close(outputPipe[0]);
    }
    return reap(pid, deadline);
}
