#pragma once

#include <stdexcept>

// The one failure of a clip export; what went wrong has already been logged.
class AudioBufferError : public std::runtime_error {
public:
    enum class Code { internalError };

    explicit AudioBufferError(Code code = Code::internalError)
        : std::runtime_error("AudioBuffer internal error")
        , code_(code) {}

    Code code() const { return code_; }

private:
    Code code_;
};
