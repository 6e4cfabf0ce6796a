#pragma once

// Told by a capture whenever the recording status may have changed.
class AudioCaptureDelegate {
public:
    virtual ~AudioCaptureDelegate() = default;
    virtual void audioCaptureStatusChanged() = 0;
};
