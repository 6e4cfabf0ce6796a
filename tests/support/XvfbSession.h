#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// An X server with a window manager for the tests that need real stacking, focus and pointer input.
// Create it in a test's main() before the QApplication: when DISPLAY already names a server that answers,
// that server is used as it is; otherwise a private Xvfb (1920x1080x24) and openbox are started for the
// life of the object and DISPLAY points at them. Children get PR_SET_PDEATHSIG, so a crashed test leaves
// no server behind.
class XvfbSession {
public:
    XvfbSession();
    ~XvfbSession();

    XvfbSession(const XvfbSession&) = delete;
    XvfbSession& operator=(const XvfbSession&) = delete;

    // A server answers on display().
    bool isRunning() const { return running_; }
    // This object started the server (and the window manager) itself.
    bool startedServer() const { return xvfbPid_ > 0; }
    // A window manager has announced itself on the root window and published its client list.
    bool hasWindowManager() const;
    // ":N", the value DISPLAY has while the session lives.
    const std::string& display() const { return display_; }
    // Why the session could not start; empty when it runs.
    const std::string& error() const { return error_; }

    // Runs a program (searched in PATH) to its end and returns its exit status, or -1 when it could not run
    // or took longer than timeoutMilliseconds. Standard output goes to `output` when given.
    static int run(const std::vector<std::string>& arguments, std::string* output = nullptr,
                   int timeoutMilliseconds = 10000);
    // The server on `display` accepts connections.
    static bool displayAnswers(const std::string& display);

private:
    bool startServer();
    bool startWindowManager();
    void stop();

    bool running_ = false;
    pid_t xvfbPid_ = -1;
    pid_t windowManagerPid_ = -1;
    std::string display_;
    std::string previousDisplay_;
    bool hadPreviousDisplay_ = false;
    std::string error_;
};
