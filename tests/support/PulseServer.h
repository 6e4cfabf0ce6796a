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

// A private PulseAudio daemon for one test, in a temporary folder: its own configuration (only the native
// protocol with anonymous access on a socket in that folder), runtime and state paths, no autospawn, no
// D-Bus, no X11. While it exists this process's libpulse clients (and the pactl/pacat it runs) talk to it
// through PULSE_SERVER; the previous environment comes back when it is destroyed. The daemon dies with this
// process if the test crashes. Its programs are run as ChildProcess (posix_spawn), so ThreadSanitizer keeps
// working in the test.
class PulseServer {
public:
    // Starts the daemon; isRunning() and error() tell how that went.
    PulseServer();
    ~PulseServer();

    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

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
    bool suspendSource(const std::string& name, bool suspended);

    // Plays signed 16-bit little-endian mono PCM (pacat) or a WAV file (paplay) into a sink. Returns once the
    // player started; one player at a time (a new one ends the previous one). The null sink can lose the
    // first moments of a new playback (measured on PulseAudio 16.1: 100 ms with pacat's default latency):
    // lead in with silence when every sample counts.
    bool play(const std::string& sinkName, const std::vector<int16_t>& samples, int sampleRate);
    bool playFile(const std::string& sinkName, const std::filesystem::path& wavFile);
    // Waits for the player to finish; true when it played everything.
    bool waitForPlayback(std::chrono::milliseconds timeout);

    // Stops the daemon (SIGTERM, like `pulseaudio --kill`) and returns once its pid is gone.
    bool kill();
    // Starts a new daemon on the same socket (after kill(), or replacing a running one).
    bool restart();
    // When the running daemon's socket first accepted a connection (checked every 20 ms while it starts).
    std::chrono::steady_clock::time_point acceptingSince() const { return acceptingSince_; }
    // Stops / continues the daemon (SIGSTOP / SIGCONT): a server that accepts connections and never answers.
    void freeze();
    void thaw();

private:
    bool start();
    bool startPlayer(const std::vector<std::string>& command);
    std::string logTail() const;

    TemporaryFolder folder_;
    std::unique_ptr<ChildProcess> daemon_;
    std::unique_ptr<ChildProcess> player_;
    bool frozen_ = false;
    std::chrono::steady_clock::time_point acceptingSince_;
    int playCount_ = 0;
    std::string error_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
};
