#include "SampleBlock.h"

#include <cstring>

SampleBlock::SampleBlock(const void* bytes, std::size_t byteCount)
    : SampleBlock(true, true,
                  std::vector<uint8_t>(static_cast<const uint8_t*>(bytes),
                                       static_cast<const uint8_t*>(bytes) + byteCount)) {}

SampleBlock::SampleBlock(std::vector<uint8_t> bytes)
    : SampleBlock(true, true, std::move(bytes)) {}

SampleBlock::SampleBlock(bool ready, bool hasData, std::vector<uint8_t> bytes)
    : ready_(ready)
    , hasData_(hasData)
    , bytes_(std::move(bytes)) {}

SampleBlock SampleBlock::notReady() {
    return SampleBlock(false, false, {});
}

SampleBlock SampleBlock::withoutData() {
    return SampleBlock(true, false, {});
}

int32_t SampleBlock::copyDataBytes(std::size_t offset, std::size_t length, void* destination) const {
    if (offset > bytes_.size() || length > bytes_.size() - offset) {
        return badRangeStatus;
    }
    std::memcpy(destination, bytes_.data() + offset, length);
    return 0;
}
