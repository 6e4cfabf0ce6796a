#include "PulseCaptureSystem.h"

#include "PulseCaptureSession.h"

#include <QMetaObject>

namespace {

bool isMonitor(const pa_source_info& info) {
    return info.monitor_of_sink != PA_INVALID_INDEX;
}

CaptureDevice deviceOf(const pa_source_info& info) {
    return CaptureDevice{info.name, info.description != nullptr ? info.description : info.name};
}

// The answer to a source query, filled on the mainloop thread.
struct SourceAnswer {
    bool monitors = false; // whether an output's monitor counts
    std::optional<CaptureDevice> device;
};

void onSourceAnswer(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* answer = static_cast<SourceAnswer*>(userdata);
    if (eol == 0 && info != nullptr && (answer->monitors || !isMonitor(*info))) {
        answer->device = deviceOf(*info);
    }
}

} // namespace

PulseCaptureSystem::PulseCaptureSystem(QObject* parent)
    : CaptureSystem(parent)
    , loop_("TempolisDevices") {
    if (!loop_.start()) {
        link_ = Link::waitingToRetry;
        return;
    }
    PulseMainloop::Locker lock(loop_);
    connectMonitor();
}

PulseCaptureSystem::~PulseCaptureSystem() {
    {
        PulseMainloop::Locker lock(loop_);
        if (timer_ != nullptr) {
            loop_.api()->time_free(timer_);
            timer_ = nullptr;
        }
        PulseMainloop::release(context_);
    }
    // loop_ stops its thread when it is destroyed, before ~QObject drops the deviceConnected calls still
    // queued.
}

void PulseCaptureSystem::connectMonitor() {
    PulseMainloop::release(context_);
    sources_.clear();
    monitors_.clear();
    link_ = Link::connecting;
    context_ = pa_context_new(loop_.api(), "Tempolis");
    if (context_ == nullptr) {
        monitorFailed();
        return;
    }
    pa_context_set_state_callback(context_, &PulseCaptureSystem::onContextState, this);
    pa_context_set_subscribe_callback(context_, &PulseCaptureSystem::onSubscription, this);
    // No autospawn: the application does not start audio servers; it waits for one to come.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        // The state callback may already have reported this failure.
        if (link_ == Link::connecting) {
            monitorFailed();
        }
        return;
    }
    // A frozen server accepts the connection and never answers: libpulse would wait 30 s.
    if (link_ == Link::connecting) {
        armTimer(connectTimeout);
    }
}

void PulseCaptureSystem::monitorFailed() {
    link_ = Link::waitingToRetry;
    ++failures_;
    announceListed_ = true;
    sources_.clear();
    monitors_.clear();
    forgetAllSources();
    if (context_ != nullptr) {
        armTimer(retryInterval);
    }
    loop_.signal();
}

void PulseCaptureSystem::armTimer(std::chrono::milliseconds delay) {
    if (timer_ != nullptr) {
        loop_.api()->time_free(timer_);
    }
    timer_ =
        pa_context_rttime_new(context_, PulseMainloop::deadlineIn(delay), &PulseCaptureSystem::onTimer, this);
}

void PulseCaptureSystem::onTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                                 void* userdata) {
    auto* self = static_cast<PulseCaptureSystem*>(userdata);
    api->time_free(event);
    self->timer_ = nullptr;
    switch (self->link_) {
    case Link::connecting:
        // The connect timed out. The context is silenced and disconnected here (a time event is no callback
        // of the context) but kept until the retry, which is timed through it.
        pa_context_set_state_callback(self->context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(self->context_, nullptr, nullptr);
        pa_context_disconnect(self->context_);
        self->monitorFailed();
        break;
    case Link::waitingToRetry:
        self->connectMonitor();
        break;
    case Link::ready:
        break;
    }
}

void PulseCaptureSystem::onContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseCaptureSystem*>(userdata);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        if (self->timer_ != nullptr) {
            self->loop_.api()->time_free(self->timer_);
            self->timer_ = nullptr;
        }
        self->link_ = Link::ready;
        if (self->announceListed_) {
            QMetaObject::invokeMethod(
                self, [self] { emit self->serverAvailable(); }, Qt::QueuedConnection);
        }
        pa_operation_unref(pa_context_subscribe(
            context,
            static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
            nullptr, nullptr));
        pa_operation_unref(pa_context_get_server_info(context, &onServerInfo, self));
        // Listed after subscribing, so a source that appears in between is seen at least once.
        pa_operation_unref(pa_context_get_source_info_list(
            context,
            [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                auto* self = static_cast<PulseCaptureSystem*>(userdata);
                if (eol == 0 && info != nullptr) {
                    self->rememberSource(*info);
                    self->noteSource(*info, self->announceListed_);
                }
            },
            self));
        self->loop_.signal();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        // The context is kept until the retry: it must not be freed inside its own callback.
        self->monitorFailed();
        break;
    default:
        break;
    }
}

void PulseCaptureSystem::onSubscription(pa_context* context, pa_subscription_event_type_t type,
                                        uint32_t index, void* userdata) {
    auto* self = static_cast<PulseCaptureSystem*>(userdata);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
        // The default output may have changed: ask, without waiting inside the callback.
        pa_operation_unref(pa_context_get_server_info(context, &onServerInfo, self));
        return;
    }
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SOURCE) {
        return;
    }
    switch (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) {
    case PA_SUBSCRIPTION_EVENT_NEW:
    case PA_SUBSCRIPTION_EVENT_CHANGE:
        // Only an asynchronous request here: waiting inside a callback would deadlock the loop. A change
        // (a new description) updates the known list; only a new source is announced.
        pa_operation_unref(pa_context_get_source_info_by_index(
            context, index,
            (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_NEW ? &onNewSource
                                                                                  : &onChangedSource,
            self));
        break;
    case PA_SUBSCRIPTION_EVENT_REMOVE: {
        self->forgetSource(index);
        self->monitors_.erase(index);
        // Only the index comes with a removal, hence the map.
        const auto found = self->sources_.find(index);
        if (found == self->sources_.end()) {
            break;
        }
        QMetaObject::invokeMethod(
            self, [self, uniqueID = found->second] { emit self->deviceDisconnected(uniqueID); },
            Qt::QueuedConnection);
        self->sources_.erase(found);
        break;
    }
    default:
        break;
    }
}

void PulseCaptureSystem::onNewSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* self = static_cast<PulseCaptureSystem*>(userdata);
    if (eol == 0 && info != nullptr) {
        self->rememberSource(*info);
        self->noteSource(*info, true);
    }
}

void PulseCaptureSystem::onChangedSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    if (eol == 0 && info != nullptr) {
        static_cast<PulseCaptureSystem*>(userdata)->rememberSource(*info);
    }
}

void PulseCaptureSystem::rememberSource(const pa_source_info& info) {
    {
        std::lock_guard lock(knownMutex_);
        KnownSource source{deviceOf(info), isMonitor(info)};
        // Sources change often (volume, running or idle): only a new name or description is news.
        if (const auto found = known_.find(info.index);
            found != known_.end() && found->second.device.uniqueID == source.device.uniqueID &&
            found->second.device.localizedName == source.device.localizedName) {
            return;
        }
        known_[info.index] = std::move(source);
    }
    QMetaObject::invokeMethod(
        this, [this] { emit devicesChanged(); }, Qt::QueuedConnection);
}

void PulseCaptureSystem::forgetSource(uint32_t index) {
    {
        std::lock_guard lock(knownMutex_);
        if (known_.erase(index) == 0) {
            return;
        }
    }
    QMetaObject::invokeMethod(
        this, [this] { emit devicesChanged(); }, Qt::QueuedConnection);
}

// A connection that is lost takes every source with it; a new one lists them again.
void PulseCaptureSystem::forgetAllSources() {
    {
        std::lock_guard lock(knownMutex_);
        if (known_.empty()) {
            return;
        }
        known_.clear();
    }
    QMetaObject::invokeMethod(
        this, [this] { emit devicesChanged(); }, Qt::QueuedConnection);
}

std::vector<CaptureDevice> PulseCaptureSystem::knownSources(bool monitors) {
    std::lock_guard lock(knownMutex_);
    std::vector<CaptureDevice> devices;
    for (const auto& [index, source] : known_) {
        if (source.monitor == monitors) {
            devices.push_back(source.device);
        }
    }
    return devices;
}

std::vector<CaptureDevice> PulseCaptureSystem::knownDevices() {
    return knownSources(false);
}

std::vector<CaptureDevice> PulseCaptureSystem::knownOutputMonitors() {
    return knownSources(true);
}

void PulseCaptureSystem::noteSource(const pa_source_info& info, bool announce) {
    if (isMonitor(info)) {
        // What an output plays, back (a headset plugged in again): a recording of it may return to it.
        if (monitors_.emplace(info.index).second && announce) {
            QMetaObject::invokeMethod(
                this, [this, device = deviceOf(info)] { emit outputConnected(device); },
                Qt::QueuedConnection);
        }
        return;
    }
    if (!sources_.emplace(info.index, info.name).second) {
        return;
    }
    if (announce) {
        QMetaObject::invokeMethod(
            this, [this, device = deviceOf(info)] { emit deviceConnected(device); }, Qt::QueuedConnection);
    }
}

bool PulseCaptureSystem::waitUntilReady(pa_usec_t deadline) {
    if (loop_.inLoopThread()) {
        return link_ == Link::ready;
    }
    // Taken before a new attempt, which can fail before connectMonitor() returns.
    const unsigned failuresBefore = failures_;
    if (link_ == Link::waitingToRetry) {
        // Someone needs the server now: try at once instead of at the next poll.
        if (!loop_.start()) {
            return false;
        }
        connectMonitor();
    }
    if (context_ == nullptr) {
        return false;
    }
    return loop_.waitUntil(context_, deadline, [&] {
        return link_ == Link::ready || failures_ != failuresBefore;
    }) && link_ == Link::ready;
}

void PulseCaptureSystem::onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    if (info != nullptr) {
        auto* self = static_cast<PulseCaptureSystem*>(userdata);
        self->noteDefaultOutput(info->default_sink_name != nullptr ? info->default_sink_name : "");
        self->noteDefaultInput(info->default_source_name != nullptr ? info->default_source_name : "");
    }
}

void PulseCaptureSystem::noteDefaultInput(const std::string& sourceName) {
    bool changed = false;
    {
        std::lock_guard lock(knownMutex_);
        changed = !defaultSourceName_.empty() && sourceName != defaultSourceName_;
        defaultSourceName_ = sourceName;
    }
    if (changed) {
        QMetaObject::invokeMethod(
            this, [this] { emit defaultInputChanged(); }, Qt::QueuedConnection);
    }
}

std::string PulseCaptureSystem::knownDefaultInputID() {
    std::lock_guard lock(knownMutex_);
    return defaultSourceName_;
}

std::string PulseCaptureSystem::knownDefaultOutputMonitorID() {
    std::lock_guard lock(knownMutex_);
    // PulseAudio and pipewire-pulse name an output's monitor after the output.
    return defaultSinkName_.empty() ? std::string() : defaultSinkName_ + ".monitor";
}

void PulseCaptureSystem::noteDefaultOutput(const std::string& sinkName) {
    bool changed = false;
    {
        std::lock_guard lock(knownMutex_);
        changed = !defaultSinkName_.empty() && sinkName != defaultSinkName_;
        defaultSinkName_ = sinkName;
    }
    if (changed) {
        QMetaObject::invokeMethod(
            this, [this] { emit defaultOutputChanged(); }, Qt::QueuedConnection);
    }
}

std::vector<CaptureDevice> PulseCaptureSystem::devices() {
    return sourceList(false);
}

std::vector<CaptureDevice> PulseCaptureSystem::outputMonitors() {
    return sourceList(true);
}

std::vector<CaptureDevice> PulseCaptureSystem::sourceList(bool monitors) {
    struct ListAnswer {
        bool monitors;
        std::vector<CaptureDevice> devices;
    } answer{monitors, {}};
    PulseMainloop::Locker lock(loop_);
    const pa_usec_t deadline = PulseMainloop::deadlineIn(queryTimeout);
    if (!waitUntilReady(deadline)) {
        return {};
    }
    pa_operation* operation = pa_context_get_source_info_list(
        context_,
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
            auto* answer = static_cast<ListAnswer*>(userdata);
            if (eol == 0 && info != nullptr && isMonitor(*info) == answer->monitors) {
                answer->devices.push_back(deviceOf(*info));
            }
        },
        &answer);
    if (!loop_.finish(context_, operation, deadline)) {
        return {};
    }
    return answer.devices;
}

std::optional<CaptureDevice> PulseCaptureSystem::defaultDevice() {
    struct ServerAnswer {
        std::string defaultSourceName;
    } answer;
    PulseMainloop::Locker lock(loop_);
    const pa_usec_t deadline = PulseMainloop::deadlineIn(queryTimeout);
    if (!waitUntilReady(deadline)) {
        return std::nullopt;
    }
    pa_operation* operation = pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            if (info != nullptr && info->default_source_name != nullptr) {
                static_cast<ServerAnswer*>(userdata)->defaultSourceName = info->default_source_name;
            }
        },
        &answer);
    if (!loop_.finish(context_, operation, deadline) || answer.defaultSourceName.empty()) {
        return std::nullopt;
    }
    // A monitor as default (a server with no real input) means there is no default input.
    return sourceNamed(answer.defaultSourceName, deadline);
}

std::optional<CaptureDevice> PulseCaptureSystem::deviceWithUniqueID(const std::string& uniqueID) {
    PulseMainloop::Locker lock(loop_);
    const pa_usec_t deadline = PulseMainloop::deadlineIn(queryTimeout);
    if (uniqueID.empty() || !waitUntilReady(deadline)) {
        return std::nullopt;
    }
    // An output's monitor is found by its name too; the default output's through the server's own alias.
    return sourceNamed(uniqueID, deadline, true);
}

std::optional<CaptureDevice> PulseCaptureSystem::sourceNamed(const std::string& name, pa_usec_t deadline,
                                                             bool monitors) {
    SourceAnswer answer;
    answer.monitors = monitors;
    pa_operation* operation =
        pa_context_get_source_info_by_name(context_, name.c_str(), &onSourceAnswer, &answer);
    if (!loop_.finish(context_, operation, deadline)) {
        return std::nullopt;
    }
    return answer.device;
}

std::unique_ptr<CaptureSession> PulseCaptureSystem::makeSession() {
    return std::make_unique<PulseCaptureSession>();
}
