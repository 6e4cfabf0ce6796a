#pragma once

#include <stdexcept>

// The one failure of a clip export; what went wrong has already been logged.
class AudioBufferError : public std::runtime_error {
public:
    // tooShort: the span the export would read holds less than the clip's minimum; nothing was written.
    enum class Code { internalError, tooShort };

    explicit AudioBufferError(Code code = Code::internalError)
        : std::runtime_error("AudioBuffer internal error")
        , code_(code) {}

    Code code() const { return code_; }

private:
    Code code_;
};
