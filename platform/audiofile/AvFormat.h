#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

// The calls of libavformat that the clip writers make, from the library loaded when the first clip is written
// rather than when the program starts: libavformat and what it brings along (network protocols, TLS, disc and
// tracker formats) keep about 7 MB resident, which a recorder that runs all day needs only once it saves.
// Loading takes some 25-70 ms, on the thread that writes the clip.
class AvFormat {
public:
    // The library's calls, or nullptr when it cannot be loaded (logged once). Safe from any thread.
    static const AvFormat* shared();

    decltype(&::avformat_alloc_output_context2) avformat_alloc_output_context2 = nullptr;
    decltype(&::avformat_new_stream) avformat_new_stream = nullptr;
    decltype(&::avformat_write_header) avformat_write_header = nullptr;
    decltype(&::av_write_frame) av_write_frame = nullptr;
    decltype(&::av_interleaved_write_frame) av_interleaved_write_frame = nullptr;
    decltype(&::av_write_trailer) av_write_trailer = nullptr;
    decltype(&::avformat_free_context) avformat_free_context = nullptr;
    decltype(&::avio_alloc_context) avio_alloc_context = nullptr;
    decltype(&::avio_flush) avio_flush = nullptr;
    decltype(&::avio_context_free) avio_context_free = nullptr;

private:
    AvFormat() = default;
    static const AvFormat* load();
};
