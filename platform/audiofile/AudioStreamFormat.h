#pragma once

#include <cstdint>

// Describes a stream of audio: the file's encoded format, or the PCM the caller hands in.
struct AudioStreamFormat {
    // Four-character codes of the two formats we use.
    static constexpr uint32_t linearPCM = 0x6c70636d; // "lpcm"
    static constexpr uint32_t mpeg4AAC = 0x61616320;  // "aac "
    static constexpr uint32_t flagIsSignedInteger = 4;
    static constexpr uint32_t flagIsPacked = 8;

    double sampleRate = 0;
    uint32_t formatID = 0;
    uint32_t formatFlags = 0;
    uint32_t bytesPerPacket = 0;
    uint32_t framesPerPacket = 0;
    uint32_t bytesPerFrame = 0;
    uint32_t channelsPerFrame = 0;
    uint32_t bitsPerChannel = 0;
    uint32_t reserved = 0;

    // One AAC channel, 1024 frames per packet.
    static AudioStreamFormat aacMono(double sampleRate) {
        return {sampleRate, mpeg4AAC, 0, 0, 1024, 0, 1, 0, 0};
    }
    // Signed 16-bit little-endian packed PCM, one channel.
    static AudioStreamFormat pcm16Mono(double sampleRate) {
        return {sampleRate, linearPCM, flagIsSignedInteger | flagIsPacked, 2, 1, 2, 1, 16, 0};
    }

    bool operator==(const AudioStreamFormat&) const = default;
};
