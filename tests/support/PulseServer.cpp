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

// Additions to Debian's configuration, in the daemons' private XDG_CONFIG_HOME.
void writePipeWireConfiguration(const std::filesystem::path& configHome) {
    // The graph runs at the rate of the tests' devices (44,100 Hz) instead of 48,000 Hz, so that what is
    // played is recorded without being resampled twice.
    std::filesystem::create_directories(configHome / "pipewire" / "pipewire.conf.d");
    std::ofstream(configHome / "pipewire" / "pipewire.conf.d" / "60-test-rate.conf")
        << "context.properties = { default.clock.rate = 44100 }\n";

    // WirePlumber 0.4 leaves the machine's sound cards, cameras and Bluetooth alone (a real session may be
    // using them) and needs no bus: without these lines it quits with "Error acquiring bus address: Cannot
    // autolaunch D-Bus without X11 $DISPLAY". The files run after Debian's 50-*-config.lua, before
    // 90-enable-all.lua. scripts/lib/virtual-desktop.sh writes the same.
    const auto folder = configHome / "wireplumber";
    std::filesystem::create_directories(folder / "main.lua.d");
    std::filesystem::create_directories(folder / "bluetooth.lua.d");
    std::ofstream(folder / "main.lua.d" / "60-test-session.lua")
        << "alsa_monitor.enabled = false\n"
           "v4l2_monitor.enabled = false\n"
           "libcamera_monitor.enabled = false\n"
           "default_access.properties[\"enable-flatpak-portal\"] = false\n";
    std::ofstream(folder / "bluetooth.lua.d" / "60-test-session.lua") << "bluez_monitor.enabled = false\n";
}

std::string tail(const std::filesystem::path& file, std::size_t length) {
    const std::string all = readFile(file);
    return all.size() > length ? all.substr(all.size() - length) : all;
}

} // namespace

std::optional<PulseServer::Kind> PulseServer::kindFromEnvironment() {
    const char* value = std::getenv("TEMPOLIS_AUDIO_SERVER");
    const std::string name = value != nullptr ? value : "";
    if (name.empty() || name == "pulseaudio") {
        return Kind::pulseAudio;
    }
    if (name == "pipewire") {
        return Kind::pipeWire;
    }
    return std::nullopt;
}

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
    const auto kind = kindFromEnvironment();
    if (!kind) {
        error_ = std::string("TEMPOLIS_AUDIO_SERVER=") + std::getenv("TEMPOLIS_AUDIO_SERVER") +
                 ": expected pulseaudio or pipewire";
        return;
    }
    kind_ = *kind;
    if (kind_ == Kind::pipeWire) {
        writePipeWireConfiguration(folder() / "home" / ".config");
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
    const auto running = [](const std::unique_ptr<ChildProcess>& process) {
        return process && process->isRunning();
    };
    return running(daemon_) &&
           (kind_ == Kind::pulseAudio || (running(pipeWire_) && running(sessionManager_)));
}

bool PulseServer::start() {
    error_.clear();
    std::vector<std::string> environment;
    for (const std::string& entry : ChildProcess::currentEnvironment()) {
        const std::string name = entry.substr(0, entry.find('='));
        const char* dropped[] = {"DISPLAY",
                                 "WAYLAND_DISPLAY",
                                 "DBUS_SESSION_BUS_ADDRESS",
                                 "PULSE_SERVER",
                                 "HOME",
                                 "XDG_CONFIG_HOME",
                                 "XDG_STATE_HOME",
                                 "PULSE_RUNTIME_PATH",
                                 "PULSE_STATE_PATH",
                                 "PIPEWIRE_REMOTE",
                                 "PIPEWIRE_RUNTIME_DIR",
                                 "PIPEWIRE_CONFIG_DIR"};
        if (std::find(std::begin(dropped), std::end(dropped), name) == std::end(dropped)) {
            environment.push_back(entry);
        }
    }
    environment.push_back("HOME=" + (folder() / "home").string());
    environment.push_back("XDG_CONFIG_HOME=" + (folder() / "home" / ".config").string());
    if (kind_ == Kind::pulseAudio) {
        environment.push_back("PULSE_RUNTIME_PATH=" + (folder() / "runtime").string());
        environment.push_back("PULSE_STATE_PATH=" + (folder() / "state").string());
    } else {
        environment.push_back("XDG_STATE_HOME=" + (folder() / "state").string());
        environment.push_back("PIPEWIRE_RUNTIME_DIR=" + (folder() / "runtime").string());
        // Where pipewire-pulse puts its socket "native".
        environment.push_back("PULSE_RUNTIME_PATH=" + folder().string());
        if (!startPipeWireCore(environment)) {
            kill();
            return false;
        }
    }
    daemon_ = std::make_unique<ChildProcess>();
    const std::string program = kind_ == Kind::pipeWire ? "pipewire-pulse" : "pulseaudio";
    const auto log = folder() / "daemon.log";
    // In the foreground, as our child: its pid is ours to wait for. Root only earns a warning.
    if (!(kind_ == Kind::pipeWire
              ? daemon_->start({program}, environment, log, log, true)
              : daemon_->start({program, "-n", "-F", (folder() / "default.pa").string(),
                                "--exit-idle-time=-1", "--daemonize=no", "--use-pid-file=no", "--system=no",
                                "--realtime=no", "--high-priority=no", "--log-target=stderr"},
                               environment, log, log, true))) {
        error_ = "cannot start " + program;
        kill();
        return false;
    }
    if (!waitUntilAnswering()) {
        error_ = program + " did not come up: " + logTail();
        kill();
        return false;
    }
    return true;
}

bool PulseServer::startPipeWireCore(const std::vector<std::string>& environment) {
    std::filesystem::create_directories(folder() / "runtime");
    std::filesystem::permissions(folder() / "runtime", std::filesystem::perms::owner_all);
    pipeWire_ = std::make_unique<ChildProcess>();
    if (!pipeWire_->start({"pipewire"}, environment, folder() / "pipewire.log", folder() / "pipewire.log",
                          true)) {
        error_ = "cannot start pipewire";
        return false;
    }
    // The session manager and pipewire-pulse connect to the core's socket: about 10 ms here.
    bool accepting = false;
    for (int attempt = 0; attempt < 500 && pipeWire_->isRunning() && !accepting; ++attempt) {
        accepting = canConnect(folder() / "runtime" / "pipewire-0");
        if (!accepting) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (!accepting) {
        error_ = "pipewire did not come up: " + logTail();
        return false;
    }
    sessionManager_ = std::make_unique<ChildProcess>();
    if (!sessionManager_->start({"wireplumber"}, environment, folder() / "wireplumber.log",
                                folder() / "wireplumber.log", true)) {
        error_ = "cannot start wireplumber";
        return false;
    }
    return true;
}

bool PulseServer::waitUntilAnswering() {
    // About 40 ms for PulseAudio, 60 ms for PipeWire on this kind of machine; bounded.
    bool accepting = false;
    for (int attempt = 0; attempt < 500 && isRunning(); ++attempt) {
        if (!accepting && canConnect(folder() / "native")) {
            accepting = true;
            acceptingSince_ = std::chrono::steady_clock::now();
        }
        if (accepting) {
            const auto info = pactl({"info"});
            // With PipeWire the session manager decides the defaults, and pipewire-pulse keeps a sink
            // "auto_null" while there is no other: once that is the default, WirePlumber is at work.
            if (info && (kind_ == Kind::pulseAudio ||
                         info->find("\nDefault Sink: auto_null\n") != std::string::npos)) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool PulseServer::kill() {
    thaw();
    // The server clients talk to first, PipeWire's core last: no daemon sees the core vanish under it.
    bool gone = true;
    for (auto* process : {&daemon_, &sessionManager_, &pipeWire_}) {
        if (*process) {
            gone = (*process)->stop(commandTimeout) && gone;
            process->reset();
        }
    }
    return gone;
}

bool PulseServer::restart() {
    kill();
    return start();
}

void PulseServer::freeze() {
    if (daemon_ && daemon_->isRunning() && !frozen_) {
        daemon_->signal(SIGSTOP);
        frozen_ = true;
    }
}

void PulseServer::thaw() {
    if (daemon_ && frozen_) {
        daemon_->signal(SIGCONT);
    }
    frozen_ = false;
}

std::string PulseServer::logTail() const {
    if (kind_ == Kind::pulseAudio) {
        return tail(folder() / "daemon.log", 2000);
    }
    return "\npipewire: " + tail(folder() / "pipewire.log", 1000) +
           "\nwireplumber: " + tail(folder() / "wireplumber.log", 1000) +
           "\npipewire-pulse: " + tail(folder() / "daemon.log", 1000);
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
    if (!pactl({"set-default-source", QString::fromStdString(name)})) {
        return false;
    }
    if (kind_ == Kind::pulseAudio) {
        return true;
    }
    // pipewire-pulse answers once it stored the choice; WirePlumber makes it the default a moment later
    // (seen: the old default in the server's information right after the answer).
    for (int attempt = 0; attempt < 500; ++attempt) {
        const auto current = pactl({"get-default-source"});
        if (current && trimmed(*current) == name) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "the default source did not become " + name;
    return false;
}

bool PulseServer::suspendSource(const std::string& name, bool suspended) {
    if (kind_ == Kind::pipeWire) {
        // Measured on 0.3.65: `pactl suspend-source NAME 1` succeeds, yet a source in use stays RUNNING and
        // its record streams hear of no suspension: no test can make an interruption there.
        error_ = "pipewire-pulse does not suspend a source for its clients";
        return false;
    }
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
