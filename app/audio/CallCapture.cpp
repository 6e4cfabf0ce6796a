#include "CallCapture.h"

#include "Localization.h"
#include "Log.h"
#include "RestartDelay.h"
#include "SerialQueue.h"

#include <QTimer>

#include <algorithm>
#include <mutex>

// The mixer, which both capture queues and the main thread use, one at a time. A capture queue that finds it
// taken (the blocks of both sides often come at the same moment) leaves its block to the thread that has it
// instead of waiting for it, which would wake the queue once more. Every block goes through the list of left
// blocks, so that a side's blocks reach the mixer in the order they came whichever thread appends them.
struct CallCapture::Mix {
    using Clock = CaptureOutput::Clock;

    explicit Mix(AudioBuffer& buffer)
        : mixer([&buffer](const int16_t* samples, std::size_t frameCount) {
            buffer.append(std::make_shared<SampleBlock>(samples, frameCount * sizeof(int16_t)));
        }) {}

    // Runs `use` on the mixer, waiting until it is free.
    template <typename Use> void withMixer(Use use) {
        std::unique_lock lock(mutex);
        appendLeftBlocks();
        use(mixer);
        releaseAfterLeftBlocks(lock);
    }

    // Appends a block now, or leaves it to the thread that has the mixer.
    void append(Input input, const int16_t* samples, std::size_t frameCount, Clock::time_point captureTime) {
        {
            std::lock_guard leaving(leftMutex);
            left.push_back(
                LeftBlock{input, std::vector<int16_t>(samples, samples + frameCount), captureTime});
        }
        std::unique_lock lock(mutex, std::try_to_lock);
        if (lock) {
            releaseAfterLeftBlocks(lock);
        }
    }

private:
    struct LeftBlock {
        Input input;
        std::vector<int16_t> samples;
        Clock::time_point captureTime;
    };

    // With `mutex` held.
    void appendLeftBlocks() {
        std::vector<LeftBlock> blocks;
        {
            std::lock_guard leaving(leftMutex);
            blocks.swap(left);
        }
        for (const LeftBlock& block : blocks) {
            mixer.append(block.input, block.samples.data(), block.samples.size(), block.captureTime);
        }
    }

    void releaseAfterLeftBlocks(std::unique_lock<std::mutex>& lock) {
        for (;;) {
            appendLeftBlocks();
            lock.unlock();
            // A block left meanwhile by a thread that found the mixer taken is this thread's to append,
            // unless another thread has the mixer now (and will append it).
            {
                std::lock_guard leaving(leftMutex);
                if (left.empty()) {
                    return;
                }
            }
            if (!lock.try_lock()) {
                return;
            }
        }
    }

    std::mutex mutex;
    CallMixer mixer;
    std::mutex leftMutex;
    std::vector<LeftBlock> left; // guarded by leftMutex
};

// Where one side's blocks go: its input of the mixer, which expects it while it runs.
class CallCapture::SideOutput : public CaptureOutput {
public:
    SideOutput(std::shared_ptr<Mix> mix, Input input)
        : mix_(std::move(mix))
        , input_(input) {}

    void open() override {
        mix_->withMixer([this](CallMixer& mixer) { mixer.expectInput(input_); });
    }
    void close() override {
        mix_->withMixer([this](CallMixer& mixer) { mixer.endInput(input_); });
    }
    void append(const void* bytes, std::size_t byteCount, Clock::time_point captureTime) override {
        mix_->append(input_, static_cast<const int16_t*>(bytes), byteCount / sizeof(int16_t), captureTime);
    }
    bool wantsCaptureTimes() const override { return true; }

private:
    std::shared_ptr<Mix> mix_;
    const Input input_;
};

// One side: its capture (when it has one), its restart timer, and what it reports.
class CallCapture::Side : public AudioCaptureDelegate {
public:
    Side(CallCapture& owner, Input input)
        : owner(owner)
        , input(input)
        , output(std::make_shared<SideOutput>(owner.mix, input)) {
        restartTimer.setSingleShot(true);
        restartTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&restartTimer, &QTimer::timeout, [this] { this->owner.restartSide(*this, true); });
    }

    void audioCaptureStatusChanged() override {
        if (!stoppingOnPurpose) {
            owner.sideStatusChanged(*this);
        }
    }
    bool isDown() const {
        return !capture || (!capture->isRunning() && !capture->isInterrupted() && !capture->isStarting());
    }

    CallCapture& owner;
    const Input input;
    const std::shared_ptr<CaptureOutput> output;
    std::unique_ptr<AudioCapture> capture;
    QTimer restartTimer;
    std::optional<std::chrono::steady_clock::time_point> lastAttempt;
    bool startingWithRun = false;   // its start is part of the run's own
    bool recheckingDefault = false; // restarted because its default moved during a start
    bool stoppingOnPurpose = false; // a stop of ours is not news
};

CallCapture::CallCapture(AudioBuffer& audioBuffer, AudioCaptureDelegate* delegate, double sampleRate,
                         CaptureSystem& captureSystem)
    : audioBuffer(audioBuffer)
    , delegate(delegate)
    , sampleRate(sampleRate)
    , captureSystem(captureSystem)
    , mix(std::make_shared<Mix>(audioBuffer)) {
    for (const Input input : {Input::microphone, Input::systemAudio}) {
        sides_[static_cast<std::size_t>(input)] = std::make_unique<Side>(*this, input);
    }
    Side& microphone = sideFor(Input::microphone);
    Side& systemAudio = sideFor(Input::systemAudio);
    QObject::connect(&captureSystem, &CaptureSystem::defaultInputChanged, &signalContext,
                     [this, &microphone] { followDefault(microphone); });
    QObject::connect(&captureSystem, &CaptureSystem::defaultOutputChanged, &signalContext,
                     [this, &systemAudio] { followDefault(systemAudio); });
    QObject::connect(&captureSystem, &CaptureSystem::deviceConnected, &signalContext,
                     [this, &microphone] { restartIfPending(microphone); });
    QObject::connect(&captureSystem, &CaptureSystem::outputConnected, &signalContext,
                     [this, &systemAudio] { restartIfPending(systemAudio); });
    QObject::connect(&captureSystem, &CaptureSystem::serverAvailable, &signalContext, [this] {
        for (const auto& side : sides_) {
            restartIfPending(*side);
        }
    });
}

CallCapture::~CallCapture() {
    if (state == State::starting || state == State::started) {
        stop();
    }
}

void CallCapture::start(SerialQueue& startQueue, StartCompletion completion) {
    if (state != State::idle) {
        Log::write("Error: CallCapture: Error starting capture because it started before.");
        if (completion) {
            completion(false);
        }
        return;
    }
    worker = &startQueue;
    state = State::starting;
    startCompletion = std::move(completion);
    // The ring must be open before the first mixed block.
    audioBuffer.start();
    for (const auto& side : sides_) {
        side->startingWithRun = true;
        startSide(*side);
    }
}

void CallCapture::startSide(Side& side) {
    // The microphone is the default input; the system audio what the default output plays, never a
    // microphone.
    const std::optional<std::string> device =
        side.input == Input::microphone ? std::nullopt
                                        : std::optional<std::string>(CaptureSystem::defaultOutputMonitorID);
    side.capture = std::make_unique<AudioCapture>(side.output, device, &side, sampleRate, captureSystem);
    AudioCapture* capture = side.capture.get();
    capture->start(*worker, [this, &side, capture](bool started) {
        if (side.capture.get() == capture) {
            sideStarted(side, started);
        }
    });
}

void CallCapture::stopSide(Side& side) {
    side.restartTimer.stop();
    if (side.capture && (side.capture->hasSession() || side.capture->isStarting())) {
        side.stoppingOnPurpose = true;
        side.capture->stop();
        side.stoppingOnPurpose = false;
    }
    side.capture.reset();
}

void CallCapture::sideStarted(Side& side, bool started) {
    if (side.startingWithRun) {
        side.startingWithRun = false;
        if (std::none_of(sides_.begin(), sides_.end(),
                         [](const auto& each) { return each->startingWithRun; })) {
            finishStart();
        }
        return;
    }
    if (started) {
        checkDefault(side);
    } else {
        scheduleRestart(side);
    }
    notifyDelegate();
}

void CallCapture::finishStart() {
    const bool started = std::any_of(sides_.begin(), sides_.end(),
                                     [](const auto& side) { return side->capture->hasSession(); });
    StartCompletion completion = std::move(startCompletion);
    startCompletion = nullptr;
    if (!started) {
        state = State::stopped;
        audioBuffer.stop();
    } else {
        state = State::started;
        captureDevice_ =
            CaptureDevice{CaptureSystem::microphoneAndSystemAudioID,
                          Localization::string("Settings Microphone And System Audio").toStdString()};
        for (const auto& side : sides_) {
            if (side->isDown()) {
                scheduleRestart(*side);
            } else {
                checkDefault(*side);
            }
        }
    }
    if (completion) {
        completion(started);
    }
}

void CallCapture::sideStatusChanged(Side& side) {
    // During the run's start the outcome is looked at once both sides are done; after a stop nothing is news.
    if (state != State::started) {
        return;
    }
    if (side.isDown()) {
        // The other side records on; the track holds silence for this one until it is back.
        scheduleRestart(side);
    }
    // The delegate may destroy this run: nothing after this line touches it.
    notifyDelegate();
}

void CallCapture::scheduleRestart(Side& side) {
    if (state != State::started || side.restartTimer.isActive()) {
        return;
    }
    const double delaySeconds = RestartDelay::seconds(side.lastAttempt, std::chrono::steady_clock::now());
    side.restartTimer.start(static_cast<int>(delaySeconds * 1000));
}

void CallCapture::restartSide(Side& side, bool countsAsAttempt) {
    if (countsAsAttempt) {
        side.lastAttempt = std::chrono::steady_clock::now();
    } else {
        side.lastAttempt.reset();
    }
    stopSide(side);
    startSide(side);
}

void CallCapture::restartIfPending(Side& side) {
    if (state == State::started && side.restartTimer.isActive()) {
        restartSide(side, true);
    }
}

void CallCapture::followDefault(Side& side) {
    // A start under way looks at the default once it is done.
    if (state != State::started || (side.capture && side.capture->isStarting())) {
        return;
    }
    const std::string followed = defaultID(side);
    if (side.capture && side.capture->isRunning() && side.capture->captureDevice() &&
        side.capture->captureDevice()->uniqueID == followed) {
        return;
    }
    restartSide(side, false);
}

// A default that changed while this side was starting (it may have asked the server just before) is followed
// now: once, so that two defaults changing back and forth cannot keep it restarting.
void CallCapture::checkDefault(Side& side) {
    if (side.recheckingDefault) {
        side.recheckingDefault = false;
        return;
    }
    const std::string followed = defaultID(side);
    if (!followed.empty() && side.capture->captureDevice() &&
        side.capture->captureDevice()->uniqueID != followed) {
        side.recheckingDefault = true;
        restartSide(side, false);
    }
}

std::string CallCapture::defaultID(const Side& side) const {
    return side.input == Input::microphone ? captureSystem.knownDefaultInputID()
                                           : captureSystem.knownDefaultOutputMonitorID();
}

void CallCapture::stop() {
    if (state != State::starting && state != State::started) {
        Log::write("Error: CallCapture: stop: (not recording)");
        return;
    }
    state = State::stopped;
    startCompletion = nullptr;
    for (const auto& side : sides_) {
        stopSide(*side);
    }
    mix->withMixer([](CallMixer& mixer) { mixer.finish(); });
    audioBuffer.stop();
    captureDevice_.reset();
    // The delegate may destroy this run: nothing after this line touches it.
    notifyDelegate();
}

bool CallCapture::isStarting() const {
    return state == State::starting || std::any_of(sides_.begin(), sides_.end(), [](const auto& side) {
               return side->capture && side->capture->isStarting();
           });
}

bool CallCapture::hasSession() const {
    return std::any_of(sides_.begin(), sides_.end(),
                       [](const auto& side) { return side->capture && side->capture->hasSession(); });
}

// Recording is told once the run's start is done, as a single capture tells it.
bool CallCapture::isRunning() const {
    return state == State::started && std::any_of(sides_.begin(), sides_.end(), [](const auto& side) {
               return side->capture && side->capture->isRunning();
           });
}

bool CallCapture::isInterrupted() const {
    return !isRunning() && std::any_of(sides_.begin(), sides_.end(), [](const auto& side) {
        return side->capture && side->capture->isInterrupted();
    });
}

void CallCapture::prepareForSave() {
    if (state != State::started) {
        return;
    }
    const auto upTo = std::chrono::steady_clock::now() - CallMixer::holdBack;
    mix->withMixer([upTo](CallMixer& mixer) { mixer.flush(upTo); });
}

const AudioCapture* CallCapture::side(Input input) const {
    return sideFor(input).capture.get();
}

std::optional<double> CallCapture::pendingRestartDelaySeconds(Input input) const {
    const Side& side = sideFor(input);
    if (!side.restartTimer.isActive()) {
        return std::nullopt;
    }
    return side.restartTimer.interval() / 1000.0;
}

void CallCapture::notifyDelegate() {
    if (delegate) {
        delegate->audioCaptureStatusChanged();
    }
}
