#include "AudioCapture.h"

#include "Log.h"

#include <QCoreApplication>
#include <QMetaObject>

AudioCapture::AudioCapture(AudioBuffer& audioBuffer, std::optional<std::string> preferredDeviceID,
                           AudioCaptureDelegate* delegate, double sampleRate, CaptureSystem& captureSystem)
    : audioBuffer(audioBuffer)
    , delegate(delegate)
    , preferredDeviceID(std::move(preferredDeviceID))
    , sampleRate(sampleRate)
    , captureSystem(captureSystem) {}

AudioCapture::~AudioCapture() {
    stop();
}

bool AudioCapture::start() {
    if (captureSession) {
        Log::write("Error: AudioCapture: Error starting capture session because one already exists.");
        return false;
    }
    std::optional<CaptureDevice> device;
    if (preferredDeviceID) {
        device = captureSystem.deviceWithUniqueID(*preferredDeviceID);
    }
    if (!device) {
        device = captureSystem.defaultDevice();
    }
    if (!device) {
        Log::write("Error: AudioCapture: Error getting default audio device.");
        return false;
    }

    std::unique_ptr<CaptureSession> session = captureSystem.makeSession();
    std::string error;
    if (!session->setInput(*device, &error)) {
        Log::write("Error: AudioCapture: Error creating audio device input.");
        return false;
    }
    session->setOutput(sampleRate,
                       [this](const void* bytes, std::size_t byteCount) { captureOutput(bytes, byteCount); });

    captureDevice_ = device;
    captureSession = std::move(session);
    // Events are handled one event-loop turn later, never inside the session's own dispatch: a handler may
    // drop the session, or the whole capture.
    captureSession->setEventHandler(
        [this, weak = std::weak_ptr<int>(alive)](CaptureSession::Event event, const std::string&) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [this, weak, event] {
                    // Late events of a session this capture already dropped are not news.
                    if (weak.lock() && captureSession) {
                        handleSessionEvent(event);
                    }
                },
                Qt::QueuedConnection);
        });

    // The ring must be open before the first block of this session arrives.
    audioBuffer.start();
    sessionActive = true;
    if (!captureSession->startRunning(&error)) {
        // A device or server that does not answer is a failed start, not a capture that hangs.
        Log::write("Error: AudioCapture: Error starting capture session. (" + error + ")");
        sessionActive = false;
        captureSession->setEventHandler({});
        captureSession.reset();
        captureDevice_.reset();
        audioBuffer.stop();
        return false;
    }
    return true;
}

void AudioCapture::stop() {
    if (!captureSession) {
        Log::write("Error: AudioCapture: stop: (captureSession != nil)");
        return;
    }
    // Our own stop is not reported as a session event.
    captureSession->setEventHandler({});
    captureSession->stopRunning();
    sessionActive = false;
    captureSession.reset();
    captureDevice_.reset();
    audioBuffer.stop();
    // The delegate may destroy this capture: nothing after this line touches it.
    notifyDelegate();
}

void AudioCapture::captureOutput(const void* bytes, std::size_t byteCount) {
    if (!sessionActive) {
        Log::write("Error: AudioCapture: captureOutput:didOutput:from: (captureSession == nil)");
        return;
    }
    audioBuffer.append(std::make_shared<SampleBlock>(bytes, byteCount));
}

void AudioCapture::handleSessionEvent(CaptureSession::Event event) {
    if (event == CaptureSession::Event::runtimeError) {
        captureSessionError();
        return;
    }
    notifyDelegate();
}

void AudioCapture::captureSessionError() {
    // Whatever the error, the capture ends; the controller decides about restarting.
    stop();
}

void AudioCapture::notifyDelegate() {
    if (delegate) {
        delegate->audioCaptureStatusChanged();
    }
}
