#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The encoded packets of the newest audio, one run of an encoder at a time: the newest in memory, the older
// in a preallocated ring file next to the raw one. Each packet is stored behind a small header (a mark, its
// size, its sample position and a checksum), so a reader sees when the file under it was damaged or written
// over.
// Packets follow each other `framesPerPacket` apart; a packet that does not continue the run forgets the
// older ones. Thread-safe: the encoder appends on its thread while a save reads on another.
class PacketRing {
public:
    using Logger = std::function<void(const std::string&)>;
    static constexpr int64_t framesPerPacket = 1024;
    static constexpr int64_t headerBytes = 20;
    // Memory collects this much before one write to the file.
    static constexpr int64_t memoryBytes = 256 * 1024;
    // The file's length for each second of held audio: the encoder's 69 kbit/s and the headers come to
    // about 9.5 kB a second; nearly twice that leaves room for passages that take more bits.
    static constexpr int64_t fileBytesPerSecond = 18'000;

    struct Packet {
        const uint8_t* data;
        int32_t size;
        int64_t position; // the first sample it decodes to
    };

    PacketRing(std::filesystem::path file, Logger log);
    // Erases the file: no audio stays on disk.
    ~PacketRing();
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    // Makes the file ring `fileBytes` long (0, or a failed reservation: packets live in memory only) and
    // forgets every packet.
    void make(int64_t fileBytes);
    void clear();
    // Forgets every packet and turns the file's bytes into zeros (see RingFile::erase): nothing of the past
    // stays on disk.
    void erase();
    // Packets more than this many frames older than the newest are let go.
    void setKeepFrames(int64_t frames);
    void append(int64_t position, const uint8_t* data, int32_t size);

    // Calls `visit` for the packets at first, first + framesPerPacket, ..., last, in order, while the ring is
    // locked. False when one is not held or its stored copy is damaged (told to the log), or `visit` answers
    // false.
    bool forEach(int64_t firstPosition, int64_t lastPosition,
                 const std::function<bool(const Packet&)>& visit);

    // For checks and figures.
    int64_t fileBytes() const;
    int64_t appendedBytes() const; // headers and packets, since the ring was made
    const std::filesystem::path& file() const { return file_; }

private:
    struct Entry {
        int64_t position;
        int64_t offset; // of its header, counted over everything ever appended
        int32_t size;
    };
    void closeFile();
    bool flush();
    void dropBefore(int64_t offset);
    bool readBytes(int64_t offset, int64_t count, uint8_t* destination) const;

    const std::filesystem::path file_;
    Logger log_;
    mutable std::mutex mutex_;
    int writeHandle_ = -1;
    int readHandle_ = -1;
    int64_t fileBytes_ = 0;
    int64_t keepFrames_ = 0;
    int64_t appendedEnd_ = 0; // offsets below this were appended
    int64_t flushedEnd_ = 0;  // offsets below this are in the file; memory holds the rest
    std::vector<uint8_t> memory_;
    std::deque<Entry> entries_;
};
