#include "PulseServer.h"

#include <QProcess>
#include <QThread>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int commandTimeoutMs = 10000;

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}
QString qs(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

// The daemon and the players end with this process even when a test crashes.
void dieWithParent() {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
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
    if (player_) {
        player_->kill();
        player_->waitForFinished(commandTimeoutMs);
    }
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
    return daemon_ && daemon_->state() == QProcess::Running;
}

bool PulseServer::start() {
    error_.clear();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER"}) {
        environment.remove(name);
    }
    environment.insert("HOME", qs(folder() / "home"));
    environment.insert("XDG_CONFIG_HOME", qs(folder() / "home" / ".config"));
    environment.insert("PULSE_RUNTIME_PATH", qs(folder() / "runtime"));
    environment.insert("PULSE_STATE_PATH", qs(folder() / "state"));

    daemon_ = std::make_unique<QProcess>();
    daemon_->setProcessEnvironment(environment);
    daemon_->setStandardOutputFile(qs(folder() / "daemon.log"), QIODevice::Append);
    daemon_->setStandardErrorFile(qs(folder() / "daemon.log"), QIODevice::Append);
    daemon_->setChildProcessModifier(dieWithParent);
    // In the foreground, as our child: its pid is ours to wait for. Root only earns a warning.
    daemon_->start("pulseaudio", {"-n", "-F", qs(folder() / "default.pa"), "--exit-idle-time=-1",
                                  "--daemonize=no", "--use-pid-file=no", "--system=no", "--realtime=no",
                                  "--high-priority=no", "--log-target=stderr"});
    if (!daemon_->waitForStarted(commandTimeoutMs)) {
        error_ = "cannot start pulseaudio: " + daemon_->errorString().toStdString();
        return false;
    }
    // About 40 ms on this kind of machine; wait for the socket, bounded.
    for (int attempt = 0; attempt < 500 && isRunning(); ++attempt) {
        if (canConnect(folder() / "native") && pactl({"info"})) {
            return true;
        }
        QThread::msleep(20);
    }
    error_ = "pulseaudio did not come up: " + logTail();
    kill();
    return false;
}

bool PulseServer::kill() {
    if (!daemon_) {
        return true;
    }
    if (daemon_->state() != QProcess::NotRunning) {
        thaw();
        daemon_->terminate();
        if (!daemon_->waitForFinished(commandTimeoutMs)) {
            daemon_->kill();
            daemon_->waitForFinished(commandTimeoutMs);
        }
    }
    // waitForFinished has reaped the child: its pid is gone.
    const bool gone = daemon_->state() == QProcess::NotRunning;
    daemon_.reset();
    return gone;
}

bool PulseServer::restart() {
    kill();
    return start();
}

void PulseServer::freeze() {
    if (isRunning() && !frozen_) {
        ::kill(static_cast<pid_t>(daemon_->processId()), SIGSTOP);
        frozen_ = true;
    }
}

void PulseServer::thaw() {
    if (isRunning() && frozen_) {
        ::kill(static_cast<pid_t>(daemon_->processId()), SIGCONT);
    }
    frozen_ = false;
}

std::string PulseServer::logTail() const {
    std::ifstream log(folder() / "daemon.log");
    std::stringstream text;
    text << log.rdbuf();
    std::string all = text.str();
    return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

std::optional<std::string> PulseServer::pactl(const QStringList& arguments) {
    QProcess process;
    process.start("pactl", arguments);
    if (!process.waitForFinished(commandTimeoutMs)) {
        process.kill();
        process.waitForFinished(commandTimeoutMs);
        error_ = "pactl " + arguments.join(' ').toStdString() + ": no answer";
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error_ = "pactl " + arguments.join(' ').toStdString() + ": " +
                 process.readAllStandardError().trimmed().toStdString();
        return std::nullopt;
    }
    return process.readAllStandardOutput().toStdString();
}

int PulseServer::loadModule(const std::string& name, const std::string& arguments) {
    QStringList command{"load-module", qs(name)};
    if (!arguments.empty()) {
        command << qs(arguments);
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
    return pactl({"set-default-source", qs(name)}).has_value();
}

bool PulseServer::suspendSource(const std::string& name, bool suspended) {
    return pactl({"suspend-source", qs(name), suspended ? "1" : "0"}).has_value();
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
    if (player_) {
        player_->kill();
        player_->waitForFinished(commandTimeoutMs);
    }
    player_ = std::make_unique<QProcess>();
    player_->setChildProcessModifier(dieWithParent);
    player_->start("pacat", {"--playback", "--raw", "--format=s16le", "--rate=" + QString::number(sampleRate),
                             "--channels=1", "--device=" + qs(sinkName), qs(file)});
    return player_->waitForStarted(commandTimeoutMs);
}

bool PulseServer::playFile(const std::string& sinkName, const std::filesystem::path& wavFile) {
    if (player_) {
        player_->kill();
        player_->waitForFinished(commandTimeoutMs);
    }
    player_ = std::make_unique<QProcess>();
    player_->setChildProcessModifier(dieWithParent);
    player_->start("paplay", {"--device=" + qs(sinkName), qs(wavFile)});
    return player_->waitForStarted(commandTimeoutMs);
}

bool PulseServer::waitForPlayback(std::chrono::milliseconds timeout) {
    if (!player_) {
        return false;
    }
    // waitForFinished() answers false for a player that has already finished.
    if (player_->state() != QProcess::NotRunning &&
        !player_->waitForFinished(static_cast<int>(timeout.count()))) {
        return false;
    }
    if (player_->exitStatus() != QProcess::NormalExit || player_->exitCode() != 0) {
        error_ = "player failed: " + player_->readAllStandardError().trimmed().toStdString();
        return false;
    }
    return true;
}
