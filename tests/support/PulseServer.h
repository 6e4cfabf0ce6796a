#pragma once

#include "ChildProcess.h"
#include "TemporaryFolder.h"

#include <QStringList>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A private PulseAudio server for one test, in a temporary folder: its own configuration, runtime and state
// paths, no autospawn, no D-Bus, no X11. While it exists this process's libpulse clients (and the pactl/pacat
// it runs) talk to it through PULSE_SERVER; the previous environment comes back when it is destroyed. The
// daemons die with this process if the test crashes. Its programs are run as ChildProcess (posix_spawn), so
// ThreadSanitizer keeps working in the test.
//
// The server is PulseAudio itself (only the native protocol with anonymous access on a socket in the folder),
// or, when TEMPOLIS_AUDIO_SERVER=pipewire (scripts/test-session), what most desktops run instead: PipeWire,
// the WirePlumber session manager and PipeWire's PulseAudio server pipewire-pulse, with Debian's
// configuration except that WirePlumber leaves the machine's devices alone and the graph runs at 44,100 Hz.
// Killing, freezing and restarting act on the whole server: all three daemons, or pipewire-pulse, which the
// clients talk to, when frozen.
class PulseServer {
public:
    enum class Kind { pulseAudio, pipeWire };
    // What TEMPOLIS_AUDIO_SERVER asks for: unset, empty or "pulseaudio", or "pipewire"; none for another
    // value.
    static std::optional<Kind> kindFromEnvironment();

    // Starts the server; isRunning() and error() tell how that went.
    PulseServer();
    ~PulseServer();

    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    Kind kind() const { return kind_; }
    // Every daemon of the server is running.
    bool isRunning() const;
    // Why the last start or command failed, with the end of the daemon's log.
    const std::string& error() const { return error_; }
    // The address clients use: "unix:<folder>/native".
    std::string address() const;
    const std::filesystem::path& folder() const { return folder_.path(); }

    // Runs pactl against this server (bounded); its standard output, or none when it failed.
    std::optional<std::string> pactl(const QStringList& arguments);
    // The module's index, or -1.
    int loadModule(const std::string& name, const std::string& arguments = {});
    bool unloadModule(int index);

    // A virtual microphone: a mono null sink "<name>_sink" (s16le, 44,100 Hz) and a mono remap source
    // "<name>" reading its monitor. What is played into the sink is recorded from the source unchanged. The
    // remap source is not a monitor; the sink's monitor is.
    struct Microphone {
        std::string sourceName;
        std::string sinkName;
        int sinkModule = -1;
        int sourceModule = -1;
    };
    std::optional<Microphone> addMicrophone(const std::string& name, const std::string& description);
    // Unloads the source, then the sink.
    bool removeMicrophone(const Microphone& microphone);

    bool setDefaultSource(const std::string& name);
    // Fails with PipeWire, whose PulseAudio server neither suspends a source in use nor tells its streams.
    bool suspendSource(const std::string& name, bool suspended);

    // Plays signed 16-bit little-endian mono PCM (pacat) or a WAV file (paplay) into a sink. Returns once the
    // player started; one player at a time (a new one ends the previous one). The null sink can lose the
    // first moments of a new playback (measured on PulseAudio 16.1: 100 ms with pacat's default latency):
    // lead in with silence when every sample counts.
    bool play(const std::string& sinkName, const std::vector<int16_t>& samples, int sampleRate);
    bool playFile(const std::string& sinkName, const std::filesystem::path& wavFile);
    // Waits for the player to finish; true when it played everything.
    bool waitForPlayback(std::chrono::milliseconds timeout);

    // Stops the daemons (SIGTERM, like `pulseaudio --kill`) and returns once their pids are gone.
    bool kill();
    // Starts a new server on the same socket (after kill(), or replacing a running one).
    bool restart();
    // When the running server's socket first accepted a connection (checked every 20 ms while it starts).
    std::chrono::steady_clock::time_point acceptingSince() const { return acceptingSince_; }
    // Stops / continues the daemon that clients talk to (SIGSTOP / SIGCONT): a server that accepts
    // connections and never answers.
    void freeze();
    void thaw();

private:
    bool start();
    bool startPipeWireCore(const std::vector<std::string>& environment);
    bool waitUntilAnswering();
    bool startPlayer(const std::vector<std::string>& command);
    std::string logTail() const;

    Kind kind_ = Kind::pulseAudio;
    TemporaryFolder folder_;
    // PipeWire's core and session manager; none with PulseAudio.
    std::unique_ptr<ChildProcess> pipeWire_;
    std::unique_ptr<ChildProcess> sessionManager_;
    // pulseaudio or pipewire-pulse: the server clients talk to.
    std::unique_ptr<ChildProcess> daemon_;
    std::unique_ptr<ChildProcess> player_;
    bool frozen_ = false;
    std::chrono::steady_clock::time_point acceptingSince_;
    int playCount_ = 0;
    std::string error_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
};
