#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One captured run of PCM as the buffer receives it: a readiness flag and, when ready, an owned contiguous
// block of bytes from which ranges are copied out with a status code.
class SampleBlock {
public:
    static constexpr int32_t badRangeStatus = -1;

    // A ready block holding a copy of `bytes`.
    SampleBlock(const void* bytes, std::size_t byteCount);
    explicit SampleBlock(std::vector<uint8_t> bytes);
    // A block in another state: not ready, or ready but without any data block.
    static SampleBlock notReady();
    static SampleBlock withoutData();

    virtual ~SampleBlock() = default;

    bool dataIsReady() const { return ready_; }
    bool hasDataBlock() const { return hasData_; }
    std::size_t dataLength() const { return bytes_.size(); }

    // Copies `length` bytes starting at `offset` to `destination`; 0 on success.
    virtual int32_t copyDataBytes(std::size_t offset, std::size_t length, void* destination) const;

protected:
    SampleBlock(bool ready, bool hasData, std::vector<uint8_t> bytes);

private:
    bool ready_;
    bool hasData_;
    std::vector<uint8_t> bytes_;
};
