#include "AvFormat.h"

#include "Log.h"

#include <dlfcn.h>

#include <string>
#include <type_traits>

namespace {
// The library of the headers this was built with.
const char* const libraryName = "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR);
} // namespace

const AvFormat* AvFormat::shared() {
    static const AvFormat* const library = load();
    return library;
}

const AvFormat* AvFormat::load() {
    // Never unloaded: some of the libraries it brings stay mapped after dlclose anyway (FFmpeg 5.1, Debian
    // 12).
    void* handle = dlopen(libraryName, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        Log::write(std::string("Error: AvFormat: Cannot load ") + libraryName + ": " +
                   (reason ? reason : "?"));
        return nullptr;
    }
    static AvFormat calls;
    bool complete = true;
    const auto resolve = [handle, &complete](auto& call, const char* name) {
        call = reinterpret_cast<std::remove_reference_t<decltype(call)>>(dlsym(handle, name));
        if (call == nullptr) {
            Log::write(std::string("Error: AvFormat: ") + libraryName + " lacks " + name);
            complete = false;
        }
    };
    resolve(calls.avformat_alloc_output_context2, "avformat_alloc_output_context2");
    resolve(calls.avformat_new_stream, "avformat_new_stream");
    resolve(calls.avformat_write_header, "avformat_write_header");
    resolve(calls.av_write_frame, "av_write_frame");
    resolve(calls.av_interleaved_write_frame, "av_interleaved_write_frame");
    resolve(calls.av_write_trailer, "av_write_trailer");
    resolve(calls.avformat_free_context, "avformat_free_context");
    resolve(calls.avio_alloc_context, "avio_alloc_context");
    resolve(calls.avio_flush, "avio_flush");
    resolve(calls.avio_context_free, "avio_context_free");
    return complete ? &calls : nullptr;
}
