#include "PacketRing.h"

#include "RingFile.h"

extern "C" {
#include <libavutil/crc.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint32_t packetMark = 0x314b5054; // "TPK1"
constexpr int64_t readChunkBytes = 1'048'576;

uint32_t checksum(const uint8_t* data, int32_t size) {
    return av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0, data, static_cast<std::size_t>(size));
}

void writeHeader(uint8_t* to, int32_t size, int64_t position, uint32_t sum) {
    std::memcpy(to, &packetMark, 4);
    std::memcpy(to + 4, &size, 4);
    std::memcpy(to + 8, &position, 8);
    std::memcpy(to + 16, &sum, 4);
}

} // namespace

PacketRing::PacketRing(std::filesystem::path file, Logger log)
    : file_(std::move(file))
    , log_(std::move(log)) {
    memory_.reserve(memoryBytes);
}

PacketRing::~PacketRing() {
    std::lock_guard lock(mutex_);
    closeFile();
    if (unlink(file_.c_str()) != 0 && errno != ENOENT) {
        log_("Error erasing the packet file. (" + std::string(std::strerror(errno)) + ")");
    }
}

void PacketRing::closeFile() {
    for (int* handle : {&writeHandle_, &readHandle_}) {
        if (*handle >= 0) {
            close(*handle);
            *handle = -1;
        }
    }
    fileBytes_ = 0;
}

void PacketRing::make(int64_t fileBytes) {
    std::lock_guard lock(mutex_);
    closeFile();
    entries_.clear();
    memory_.clear();
    appendedEnd_ = flushedEnd_ = 0;
    if (fileBytes < memoryBytes) {
        unlink(file_.c_str());
        return;
    }
    writeHandle_ = RingFile::create(file_);
    if (writeHandle_ < 0) {
        log_("Error creating the packet file. (" + std::string(std::strerror(errno)) + ")");
        return;
    }
    readHandle_ = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (readHandle_ < 0 || !RingFile::reserve(writeHandle_, fileBytes, "packet file", log_)) {
        log_("The packet file is not kept: saves of more than the newest seconds encode again.");
        closeFile();
        unlink(file_.c_str());
        return;
    }
    fileBytes_ = fileBytes;
}

void PacketRing::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    memory_.clear();
    flushedEnd_ = appendedEnd_;
}

void PacketRing::erase() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    std::fill(memory_.begin(), memory_.end(), uint8_t{0});
    memory_.clear();
    flushedEnd_ = appendedEnd_;
    if (fileBytes_ == 0) {
        return;
    }
    bool recreated = false;
    const int64_t fileBytes = fileBytes_;
    if (!RingFile::erase(file_, fileBytes, "packet file", log_, &recreated) || recreated) {
        // The handles are on the old file, or the file could not be kept: open the new one or go without.
        closeFile();
        writeHandle_ = open(file_.c_str(), O_WRONLY | O_CLOEXEC);
        readHandle_ = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
        if (writeHandle_ < 0 || readHandle_ < 0) {
            closeFile();
            unlink(file_.c_str());
            log_("The packet file is not kept: saves of more than the newest seconds encode again.");
            return;
        }
        fileBytes_ = fileBytes;
    }
}

void PacketRing::setKeepFrames(int64_t frames) {
    std::lock_guard lock(mutex_);
    keepFrames_ = frames;
}

void PacketRing::append(int64_t position, const uint8_t* data, int32_t size) {
    std::lock_guard lock(mutex_);
    if (!entries_.empty() && position != entries_.back().position + framesPerPacket) {
        entries_.clear(); // another run: the older packets cannot be joined to it
    }
    const int64_t recordBytes = headerBytes + size;
    if (static_cast<int64_t>(memory_.size()) + recordBytes > memoryBytes && !flush()) {
        entries_.clear();
    }
    const std::size_t at = memory_.size();
    memory_.resize(at + static_cast<std::size_t>(recordBytes));
    writeHeader(memory_.data() + at, size, position, checksum(data, size));
    std::memcpy(memory_.data() + at + headerBytes, data, static_cast<std::size_t>(size));
    entries_.push_back(Entry{position, appendedEnd_, size});
    appendedEnd_ += recordBytes;
    while (keepFrames_ > 0 && entries_.front().position < position - keepFrames_) {
        entries_.pop_front();
    }
}

// Moves what memory holds into the file (or lets it go without a file), and forgets the packets written over.
bool PacketRing::flush() {
    const auto count = static_cast<int64_t>(memory_.size());
    bool written = true;
    if (fileBytes_ > 0) {
        const int64_t start = flushedEnd_ % fileBytes_;
        const int64_t first = std::min(count, fileBytes_ - start);
        written = RingFile::writeFully(writeHandle_, memory_.data(), first, start) &&
                  RingFile::writeFully(writeHandle_, memory_.data() + first, count - first, 0);
        if (!written) {
            log_("Error writing to the packet file. (" + std::string(std::strerror(errno)) + ")");
        }
    }
    flushedEnd_ = appendedEnd_;
    memory_.clear();
    dropBefore(fileBytes_ > 0 && written ? flushedEnd_ - fileBytes_ : flushedEnd_);
    return written;
}

void PacketRing::dropBefore(int64_t offset) {
    while (!entries_.empty() && entries_.front().offset < offset) {
        entries_.pop_front();
    }
}

bool PacketRing::readBytes(int64_t offset, int64_t count, uint8_t* destination) const {
    // The part still in memory.
    if (offset + count > flushedEnd_) {
        const int64_t from = std::max(offset, flushedEnd_);
        std::memcpy(destination + (from - offset), memory_.data() + (from - flushedEnd_),
                    static_cast<std::size_t>(offset + count - from));
        count = from - offset;
    }
    // The part in the file, in one or two reads around its end.
    while (count > 0) {
        const int64_t at = offset % fileBytes_;
        const int64_t length = std::min(count, fileBytes_ - at);
        if (RingFile::readFully(readHandle_, destination, length, at) != length) {
            log_("Error reading the packet file. (" + std::string(std::strerror(errno)) + ")");
            return false;
        }
        offset += length;
        destination += length;
        count -= length;
    }
    return true;
}

bool PacketRing::forEach(int64_t firstPosition, int64_t lastPosition,
                         const std::function<bool(const Packet&)>& visit) {
    std::lock_guard lock(mutex_);
    if (entries_.empty() || firstPosition < entries_.front().position || lastPosition < firstPosition ||
        (firstPosition - entries_.front().position) % framesPerPacket != 0) {
        return false;
    }
    const auto firstIndex =
        static_cast<std::size_t>((firstPosition - entries_.front().position) / framesPerPacket);
    const auto lastIndex =
        firstIndex + static_cast<std::size_t>((lastPosition - firstPosition) / framesPerPacket);
    if (lastIndex >= entries_.size()) {
        return false;
    }
    std::vector<uint8_t> chunk;
    for (std::size_t index = firstIndex; index <= lastIndex;) {
        // As many whole packets as fit in one read.
        const int64_t chunkStart = entries_[index].offset;
        std::size_t end = index;
        while (end <= lastIndex &&
               (end == index ||
                entries_[end].offset + headerBytes + entries_[end].size - chunkStart <= readChunkBytes)) {
            ++end;
        }
        const int64_t chunkBytes =
            entries_[end - 1].offset + headerBytes + entries_[end - 1].size - chunkStart;
        chunk.resize(static_cast<std::size_t>(chunkBytes));
        if (!readBytes(chunkStart, chunkBytes, chunk.data())) {
            return false;
        }
        for (; index < end; ++index) {
            const Entry& entry = entries_[index];
            uint8_t* record = chunk.data() + (entry.offset - chunkStart);
            uint8_t expected[headerBytes];
            writeHeader(expected, entry.size, entry.position, checksum(record + headerBytes, entry.size));
            if (std::memcmp(record, expected, headerBytes) != 0) {
                log_("The packet file is damaged at sample " + std::to_string(entry.position) + ".");
                return false;
            }
            if (!visit(Packet{record + headerBytes, entry.size, entry.position})) {
                return false;
            }
        }
    }
    return true;
}

int64_t PacketRing::fileBytes() const {
    std::lock_guard lock(mutex_);
    return fileBytes_;
}

int64_t PacketRing::appendedBytes() const {
    std::lock_guard lock(mutex_);
    return appendedEnd_;
}
