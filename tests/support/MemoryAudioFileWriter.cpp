#include "MemoryAudioFileWriter.h"

#include <fstream>

MemoryAudioFileWriter::MemoryAudioFileWriter(std::shared_ptr<Record> record, Faults faults)
    : record_(std::move(record))
    , faults_(faults) {}

int32_t MemoryAudioFileWriter::create(const std::string& path, const AudioStreamFormat& fileFormat) {
    record_->path = path;
    record_->fileFormat = fileFormat;
    if (faults_.createStatus != 0) {
        return faults_.createStatus;
    }
    if (faults_.touchFileOnCreate) {
        std::ofstream(path, std::ios::binary | std::ios::trunc);
    }
    return 0;
}

int32_t MemoryAudioFileWriter::setClientFormat(const AudioStreamFormat& clientFormat) {
    record_->clientFormat = clientFormat;
    return faults_.clientFormatStatus;
}

int32_t MemoryAudioFileWriter::writeFrames(uint32_t frameCount, const void* bytes, uint32_t byteCount) {
    const int index = static_cast<int>(record_->writes.size());
    record_->writes.push_back({frameCount, byteCount});
    if (index == faults_.failingWriteIndex) {
        return faults_.writeStatus;
    }
    const auto* first = static_cast<const uint8_t*>(bytes);
    record_->bytes.insert(record_->bytes.end(), first, first + byteCount);
    return 0;
}

int32_t MemoryAudioFileWriter::dispose() {
    record_->disposed = true;
    return faults_.disposeStatus;
}
