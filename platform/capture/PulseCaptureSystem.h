#pragma once

#include "CaptureSystem.h"
#include "PulseMainloop.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

// The audio inputs of a PulseAudio (or pipewire-pulse) server. Devices are the sources that are not monitors
// of a sink; the identifier is the source name, the localized name its description.
//
// One long-lived "monitor" context on its own threaded mainloop watches sources appear (deviceConnected is
// then emitted on this object's thread). While there is no server it tries to connect every `retryInterval`
// (a refused connect to a unix socket costs a fraction of a millisecond), so that serverAvailable follows the
// server's return within about that time; the sources it finds on a reconnected server count as connected
// devices, since they all vanished with the server. A server that freezes without closing the connection is
// not "lost": it emits nothing when it thaws.
//
// Queries may come from any thread, several at once (they share the monitor's connection under its lock);
// each waits at most `queryTimeout` (then answers empty or none), also against a frozen server. They must not
// be made on the monitor's thread.
class PulseCaptureSystem : public CaptureSystem {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds queryTimeout{2000};
    static constexpr std::chrono::milliseconds connectTimeout{2000};
    static constexpr std::chrono::milliseconds retryInterval{200};

    explicit PulseCaptureSystem(QObject* parent = nullptr);
    ~PulseCaptureSystem() override;

    std::vector<CaptureDevice> devices() override;
    std::vector<CaptureDevice> outputMonitors() override;
    std::vector<CaptureDevice> knownDevices() override;
    std::vector<CaptureDevice> knownOutputMonitors() override;
    std::string knownDefaultInputID() override;
    std::string knownDefaultOutputMonitorID() override;
    std::optional<CaptureDevice> defaultDevice() override;
    std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) override;
    std::unique_ptr<CaptureSession> makeSession() override;

private:
    enum class Link { connecting, ready, waitingToRetry };

    // All below run with the mainloop lock held.
    void connectMonitor();
    void monitorFailed();
    void armTimer(std::chrono::milliseconds delay);
    bool waitUntilReady(pa_usec_t deadline);
    std::optional<CaptureDevice> sourceNamed(const std::string& name, pa_usec_t deadline,
                                             bool monitors = false);
    std::vector<CaptureDevice> sourceList(bool monitors);
    void noteDefaultOutput(const std::string& sinkName);
    void noteSource(const pa_source_info& info, bool announce);
    void noteDefaultInput(const std::string& sourceName);
    void rememberSource(const pa_source_info& info);
    void forgetSource(uint32_t index);
    void forgetAllSources();
    std::vector<CaptureDevice> knownSources(bool monitors);

    static void onContextState(pa_context* context, void* userdata);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
    static void onNewSource(pa_context* context, const pa_source_info* info, int eol, void* userdata);
    static void onChangedSource(pa_context* context, const pa_source_info* info, int eol, void* userdata);
    static void onTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv, void* userdata);
    static void onSubscription(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                               void* userdata);

    PulseMainloop loop_;
    // Guarded by the mainloop lock.
    pa_context* context_ = nullptr;
    pa_time_event* timer_ = nullptr;
    Link link_ = Link::connecting;
    unsigned failures_ = 0; // connection attempts that ended without READY, or READY connections lost
    // Whether there was a time without a connection before this one: its READY announces the server and
    // the sources it lists.
    bool announceListed_ = false;
    std::map<uint32_t, std::string> sources_; // index -> name of the non-monitor sources of this connection
    std::set<uint32_t> monitors_;             // the outputs' monitors of this connection

    // Every source last heard of, by index (the server's order), for the known* lists.
    struct KnownSource {
        CaptureDevice device;
        bool monitor;
    };
    std::mutex knownMutex_; // not the mainloop lock: readers never wait for a query under way
    std::map<uint32_t, KnownSource> known_;
    std::string defaultSinkName_;   // the default output's, as last seen
    std::string defaultSourceName_; // the default input's, as last seen
};
