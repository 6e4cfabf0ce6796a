#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The audio of a decoded file, as the container presents it.
struct DecodedAudio {
    int sampleRate = 0;    // 0 when the file has no audio track (an .m4a written with no frames)
    int channelCount = 0;  // of the track; `samples` is mono either way (channels averaged)
    std::string codecName; // "aac" for our files
    // The track's duration per the container (edit list applied), in samples at `sampleRate`.
    int64_t durationSamples = 0;
    // Decoded samples with the encoder's priming removed, cut to `durationSamples`.
    std::vector<int16_t> samples;
    // Samples the decoder produced past `durationSamples` (the last frame's padding) and that were cut off.
    int64_t trimmedSamples = 0;
};

// Decodes an audio file (in practice an .m4a with one AAC track) with libavformat/libavcodec.
class AudioDecoder {
public:
    // Decodes the file's first audio track. nullopt when the file cannot be opened or parsed or a packet does
    // not decode; `error` (if given) then tells why. A readable file without an audio track gives an empty
    // result.
    static std::optional<DecodedAudio> decodeFile(const std::string& path, std::string* error = nullptr);
};
