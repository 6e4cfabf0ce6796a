#pragma once

#include "AudioBuffer.h"
#include "AudioCapture.h"
#include "AudioCaptureDelegate.h"
#include "CallMixer.h"
#include "CaptureRun.h"
#include "CaptureSystem.h"

#include <QObject>

#include <array>
#include <memory>
#include <optional>
#include <string>

// Both sides of a call in one track: the default input (the microphone) and what the default output plays,
// each recorded by an AudioCapture of its own (a side) with the time of every block, mixed by a CallMixer
// into the rolling buffer.
//
// The sides live apart. One that fails (its input unplugged, its output gone, a stall its watchdog saw)
// leaves the other recording and starts again by itself after half a second (15 s when its attempt before
// began less than a second earlier; at once when the audio server, an input or an output appears); meanwhile
// the track holds silence for it. Each side follows its default as the single choices do: a new default input
// or output restarts that side alone, and a default that moved while a side started is followed once that
// start is done. The run records while one side does; once neither records nor waits for a suspended input,
// it reports to its delegate as a failed capture does, and the controller starts the whole run anew.
//
// Threads: the main thread, as for AudioCapture. The sides' capture queues hand their blocks to the mixer
// under one lock, and the mixer hands the track to the buffer from there.
class CallCapture : public CaptureRun {
public:
    using Input = CallMixer::Input;

    CallCapture(AudioBuffer& audioBuffer, AudioCaptureDelegate* delegate, double sampleRate,
                CaptureSystem& captureSystem);
    // Stops the run (see stop()) unless it was stopped or never started.
    ~CallCapture() override;

    CallCapture(const CallCapture&) = delete;
    CallCapture& operator=(const CallCapture&) = delete;

    // Starts both sides on `worker` (and restarts them there later); `completion` says whether at least one
    // started.
    void start(SerialQueue& worker, StartCompletion completion) override;
    void stop() override;

    bool isStarting() const override;
    bool hasSession() const override;
    bool isRunning() const override;
    bool isInterrupted() const override;
    // {microphoneAndSystemAudioID, "Microphone and system audio"} once started.
    const std::optional<CaptureDevice>& captureDevice() const override { return captureDevice_; }
    // Mixes what came up to CallMixer::holdBack ago, taking a side that has not delivered that far as
    // silence: a save holds everything up to that time.
    void prepareForSave() override;

    // The capture of one side, while it has one (a side that failed keeps its stopped capture until it starts
    // again).
    const AudioCapture* side(Input input) const;
    // The delay of the restart one side waits for, if it waits.
    std::optional<double> pendingRestartDelaySeconds(Input input) const;

private:
    enum class State { idle, starting, started, stopped };
    struct Mix;
    class SideOutput;
    class Side;

    Side& sideFor(Input input) const { return *sides_[static_cast<std::size_t>(input)]; }
    void startSide(Side& side);
    void stopSide(Side& side);
    void sideStarted(Side& side, bool started);
    void sideStatusChanged(Side& side);
    void finishStart();
    void scheduleRestart(Side& side);
    void restartSide(Side& side, bool countsAsAttempt);
    void restartIfPending(Side& side);
    void followDefault(Side& side);
    void checkDefault(Side& side);
    std::string defaultID(const Side& side) const;
    void notifyDelegate();

    AudioBuffer& audioBuffer;
    AudioCaptureDelegate* delegate;
    double sampleRate;
    CaptureSystem& captureSystem;
    SerialQueue* worker = nullptr;
    std::shared_ptr<Mix> mix;
    std::array<std::unique_ptr<Side>, 2> sides_;
    State state = State::idle;
    StartCompletion startCompletion;
    std::optional<CaptureDevice> captureDevice_;
    // The receiver of the capture system's signals: they end with the run.
    QObject signalContext;
};
