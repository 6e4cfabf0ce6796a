#include "PulseServer.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::chrono::milliseconds commandTimeout{10000};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string trimmed(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    return text;
}

bool canConnect(const std::filesystem::path& socketPath) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath.string();
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

} // namespace

PulseServer::PulseServer() {
    std::filesystem::create_directories(folder() / "home");
    std::ofstream(folder() / "default.pa")
        << "load-module module-native-protocol-unix auth-anonymous=1 auth-cookie-enabled=0 socket="
        << (folder() / "native").string() << "\n";
    std::ofstream(folder() / "client.conf") << "autospawn = no\n";

    const std::pair<const char*, std::string> clientEnvironment[] = {
        {"PULSE_SERVER", address()},
        {"PULSE_CLIENTCONFIG", (folder() / "client.conf").string()},
        // Clients may write a cookie; keep it out of the user's home.
        {"PULSE_COOKIE", (folder() / "cookie").string()},
    };
    for (const auto& [name, value] : clientEnvironment) {
        const char* previous = std::getenv(name);
        savedEnvironment_.emplace_back(name, previous != nullptr ? std::optional<std::string>(previous)
                                                                 : std::nullopt);
        setenv(name, value.c_str(), 1);
    }
    start();
}

PulseServer::~PulseServer() {
    player_.reset();
    kill();
    for (const auto& [name, value] : savedEnvironment_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

std::string PulseServer::address() const {
    return "unix:" + (folder() / "native").string();
}

bool PulseServer::isRunning() const {
    return daemon_ && daemon_->isRunning();
}

bool PulseServer::start() {
    error_.clear();
    std::vector<std::string> environment;
    for (const std::string& entry : ChildProcess::currentEnvironment()) {
        const std::string name = entry.substr(0, entry.find('='));
        const char* dropped[] = {
            "DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER",
            "HOME",    "XDG_CONFIG_HOME", "PULSE_RUNTIME_PATH",       "PULSE_STATE_PATH"};
        if (std::find(std::begin(dropped), std::end(dropped), name) == std::end(dropped)) {
            environment.push_back(entry);
        }
    }
    environment.push_back("HOME=" + (folder() / "home").string());
    environment.push_back("XDG_CONFIG_HOME=" + (folder() / "home" / ".config").string());
    environment.push_back("PULSE_RUNTIME_PATH=" + (folder() / "runtime").string());
    environment.push_back("PULSE_STATE_PATH=" + (folder() / "state").string());

    daemon_ = std::make_unique<ChildProcess>();
    // In the foreground, as our child: its pid is ours to wait for. Root only earns a warning.
    if (!daemon_->start({"pulseaudio", "-n", "-F", (folder() / "default.pa").string(), "--exit-idle-time=-1",
                         "--daemonize=no", "--use-pid-file=no", "--system=no", "--realtime=no",
                         "--high-priority=no", "--log-target=stderr"},
                        environment, folder() / "daemon.log", folder() / "daemon.log", true)) {
        error_ = "cannot start pulseaudio";
        return false;
    }
    // About 40 ms on this kind of machine; wait for the socket, bounded.
    bool accepting = false;
    for (int attempt = 0; attempt < 500 && isRunning(); ++attempt) {
        if (!accepting && canConnect(folder() / "native")) {
            accepting = true;
            acceptingSince_ = std::chrono::steady_clock::now();
        }
        if (accepting && pactl({"info"})) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "pulseaudio did not come up: " + logTail();
    kill();
    return false;
}

bool PulseServer::kill() {
    if (!daemon_) {
        return true;
    }
    thaw();
    const bool gone = daemon_->stop(commandTimeout);
    daemon_.reset();
    return gone;
}

bool PulseServer::restart() {
    kill();
    return start();
}

void PulseServer::freeze() {
    if (isRunning() && !frozen_) {
        daemon_->signal(SIGSTOP);
        frozen_ = true;
    }
}

void PulseServer::thaw() {
    if (isRunning() && frozen_) {
        daemon_->signal(SIGCONT);
    }
    frozen_ = false;
}

std::string PulseServer::logTail() const {
    std::string all = readFile(folder() / "daemon.log");
    return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

std::optional<std::string> PulseServer::pactl(const QStringList& arguments) {
    std::vector<std::string> command{"pactl"};
    for (const QString& argument : arguments) {
        command.push_back(argument.toStdString());
    }
    const std::string description = "pactl " + arguments.join(' ').toStdString();
    const auto output = folder() / "pactl.out";
    const auto errors = folder() / "pactl.err";
    std::filesystem::remove(output);
    std::filesystem::remove(errors);
    ChildProcess process;
    if (!process.start(command, ChildProcess::currentEnvironment(), output, errors, false)) {
        error_ = description + ": cannot start";
        return std::nullopt;
    }
    if (!process.waitForExit(commandTimeout)) {
        error_ = description + ": no answer";
        return std::nullopt;
    }
    if (!process.exitedWithSuccess()) {
        error_ = description + ": " + trimmed(readFile(errors));
        return std::nullopt;
    }
    return readFile(output);
}

int PulseServer::loadModule(const std::string& name, const std::string& arguments) {
    QStringList command{"load-module", QString::fromStdString(name)};
    if (!arguments.empty()) {
        command << QString::fromStdString(arguments);
    }
    const auto output = pactl(command);
    if (!output) {
        return -1;
    }
    bool ok = false;
    const int index = QString::fromStdString(*output).trimmed().toInt(&ok);
    return ok ? index : -1;
}

bool PulseServer::unloadModule(int index) {
    return index >= 0 && pactl({"unload-module", QString::number(index)}).has_value();
}

std::optional<PulseServer::Microphone> PulseServer::addMicrophone(const std::string& name,
                                                                  const std::string& description) {
    Microphone microphone{name, name + "_sink"};
    microphone.sinkModule = loadModule("module-null-sink", "sink_name=" + microphone.sinkName +
                                                               " format=s16le rate=44100 channels=1");
    if (microphone.sinkModule < 0) {
        return std::nullopt;
    }
    microphone.sourceModule =
        loadModule("module-remap-source", "master=" + microphone.sinkName + ".monitor source_name=" + name +
                                              " channels=1 source_properties=\"device.description='" +
                                              description + "'\"");
    if (microphone.sourceModule < 0) {
        unloadModule(microphone.sinkModule);
        return std::nullopt;
    }
    return microphone;
}

bool PulseServer::removeMicrophone(const Microphone& microphone) {
    const bool sourceGone = unloadModule(microphone.sourceModule);
    return unloadModule(microphone.sinkModule) && sourceGone;
}

bool PulseServer::setDefaultSource(const std::string& name) {
    return pactl({"set-default-source", QString::fromStdString(name)}).has_value();
}

bool PulseServer::suspendSource(const std::string& name, bool suspended) {
    return pactl({"suspend-source", QString::fromStdString(name), suspended ? "1" : "0"}).has_value();
}

bool PulseServer::play(const std::string& sinkName, const std::vector<int16_t>& samples, int sampleRate) {
    const auto file = folder() / ("play-" + std::to_string(++playCount_) + ".raw");
    {
        std::ofstream out(file, std::ios::binary);
        // The host is little-endian (x86-64, arm64): the samples are s16le as they are.
        out.write(reinterpret_cast<const char*>(samples.data()),
                  static_cast<std::streamsize>(samples.size() * sizeof(int16_t)));
        if (!out) {
            error_ = "cannot write " + file.string();
            return false;
        }
    }
    return startPlayer({"pacat", "--playback", "--raw", "--format=s16le",
                        "--rate=" + std::to_string(sampleRate), "--channels=1", "--device=" + sinkName,
                        file.string()});
}

bool PulseServer::playFile(const std::string& sinkName, const std::filesystem::path& wavFile) {
    return startPlayer({"paplay", "--device=" + sinkName, wavFile.string()});
}

bool PulseServer::startPlayer(const std::vector<std::string>& command) {
    player_ = std::make_unique<ChildProcess>(); // the previous player, if any, is killed
    std::filesystem::remove(folder() / "player.err");
    return player_->start(command, ChildProcess::currentEnvironment(), "/dev/null", folder() / "player.err",
                          true);
}

bool PulseServer::waitForPlayback(std::chrono::milliseconds timeout) {
    if (!player_ || !player_->waitForExit(timeout)) {
        return false;
    }
    if (!player_->exitedWithSuccess()) {
        error_ = "player failed: " + trimmed(readFile(folder() / "player.err"));
        return false;
    }
    return true;
}
