#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

// A program run as a child of this process, its standard output and error going to files.
//
// Started with posix_spawn, not QProcess: Qt 6.4 starts a child with a clone that shares this process's
// memory until exec, and ThreadSanitizer, which takes that clone for a fork, then updates its own state from
// the child onto the parent's. It loses track of the parent's locks (reporting races under the mainloop lock)
// and stops the parent at its next new thread ("ThreadSanitizer: starting new threads after multi-threaded
// fork is not supported. Dying", GCC 12).
class ChildProcess {
public:
    ChildProcess() = default;
    // Kills a child still running and reaps it.
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // `environment` holds NAME=value entries. The output files are appended to. With `dieWithParent`, the
    // child gets SIGTERM when the thread that started it ends (a crashed test leaves no daemon behind).
    bool start(const std::vector<std::string>& command, const std::vector<std::string>& environment,
               const std::filesystem::path& outputFile, const std::filesystem::path& errorFile,
               bool dieWithParent);
    bool isRunning() const;
    // True once the child has exited, waiting for that at most `timeout`.
    bool waitForExit(std::chrono::milliseconds timeout);
    bool exitedWithSuccess() const { return exited_ && exitStatus_ == 0; }
    void signal(int signalNumber) const;
    // SIGTERM, then SIGKILL when it is still there after `timeout`; true once it is gone.
    bool stop(std::chrono::milliseconds timeout);

    // This process's environment as NAME=value entries.
    static std::vector<std::string> currentEnvironment();

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int exitStatus_ = -1;
};
