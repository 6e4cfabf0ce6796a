#include "ChildProcess.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

ChildProcess::~ChildProcess() {
    if (isRunning()) {
        signal(SIGKILL);
        waitForExit(std::chrono::seconds(10));
    }
}

bool ChildProcess::start(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                         const std::filesystem::path& outputFile, const std::filesystem::path& errorFile,
                         bool dieWithParent) {
    std::vector<std::string> arguments;
    if (dieWithParent) {
        arguments = {"setpriv", "--pdeathsig", "TERM", "--"};
    }
    arguments.insert(arguments.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> entries = environment;
    std::vector<char*> envp;
    for (std::string& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int result = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    exited_ = false;
    if (result != 0) {
        pid_ = -1;
    }
    return result == 0;
}

bool ChildProcess::isRunning() const {
    if (pid_ <= 0 || exited_) {
        return false;
    }
    siginfo_t info{};
    // WNOWAIT: only looks, so that waitForExit() still reaps it.
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0 || exited_) {
        return exited_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    exited_ = true;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

void ChildProcess::signal(int signalNumber) const {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, signalNumber);
    }
}

bool ChildProcess::stop(std::chrono::milliseconds timeout) {
    signal(SIGTERM);
    if (!waitForExit(timeout)) {
        signal(SIGKILL);
        waitForExit(timeout);
    }
    return pid_ <= 0 || exited_;
}

std::vector<std::string> ChildProcess::currentEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}
