// Drives the buffer with a long random sequence of operations and compares every export with an
// independent model: the plain list of every byte appended, and how much of it each tier still holds. Beside
// it, a packet ring gets a packet at each append, and its reads are compared with the plain list of packets.
#include "AudioBufferTestHarness.h"
#include "LogCapture.h"
#include "PacketRing.h"
#include "RingArithmetic.h"
#include "RingFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <random>

namespace {

class ReferenceModel {
public:
    void configure(int64_t memoryMaxBytes, int64_t fileMaxBytes) {
        memoryMax = memoryMaxBytes;
        fileMax = fileMaxBytes;
        clear();
    }
    void clear() {
        appended.clear();
        memoryCount = 0;
        fileFill = 0;
        rollBytesLeft = 0;
    }
    // `copyFails`: the block's copy fails from its first byte (nothing of it is kept). `flushFails`: the
    // ring file is gone, so a flush loses the ring's audio and the memory rolls for a buffer's worth of
    // bytes.
    void append(const std::vector<uint8_t>& block, bool copyFails, bool flushFails) {
        const auto length = static_cast<int64_t>(block.size());
        int64_t rollFrom = 0;
        if (rollBytesLeft == 0) {
            const int64_t room = memoryMax - memoryCount;
            if (length <= room || (copyFails && room > 0)) {
                keep(block, 0, copyFails ? 0 : length);
                memoryCount += copyFails ? 0 : length;
                return;
            }
            keep(block, 0, room);
            if (!flushFails) {
                fileFill = std::min(fileFill + memoryMax, fileMax); // the flush moves a full memory buffer
                memoryCount = 0;
                if (length - room <= memoryMax && !copyFails) {
                    keep(block, room, length - room);
                    memoryCount = length - room;
                }
                return;
            }
            fileFill = 0;
            memoryCount = memoryMax;
            rollBytesLeft = memoryMax;
            rollFrom = room;
        }
        // A rolling memory keeps the newest bytes of the block and of itself.
        const int64_t kept = copyFails ? 0 : std::min(length - rollFrom, memoryMax);
        keep(block, length - kept, kept);
        memoryCount = std::min(memoryCount + kept, memoryMax);
        rollBytesLeft = std::max<int64_t>(0, rollBytesLeft - (length - rollFrom));
    }
    // Making the ring again also ends a roll.
    void forgetRing() {
        fileFill = 0;
        rollBytesLeft = 0;
    }
    std::vector<uint8_t> expectedClip(int64_t requestedBytes) const {
        const int64_t fromMemory = std::min(requestedBytes, memoryCount);
        const int64_t total = fromMemory + std::min(fileFill, requestedBytes - fromMemory);
        return {appended.end() - total, appended.end()};
    }

    int64_t memoryMax = 0;
    int64_t fileMax = 0;
    int64_t memoryCount = 0;
    int64_t fileFill = 0;
    int64_t rollBytesLeft = 0;

private:
    void keep(const std::vector<uint8_t>& block, int64_t offset, int64_t length) {
        appended.insert(appended.end(), block.begin() + offset, block.begin() + offset + length);
        // Only the newest ring-plus-memory bytes can ever be exported.
        const auto keepLimit = static_cast<std::size_t>(fileMax + memoryMax);
        if (appended.size() > 2 * keepLimit) {
            appended.erase(appended.begin(), appended.end() - static_cast<std::ptrdiff_t>(keepLimit));
        }
    }
    std::deque<uint8_t> appended;
};

// Every packet appended since the ring last forgot them, where its record starts among all bytes appended,
// and how far the ring has written them to its file: which packets it holds follows from that.
class PacketModel {
public:
    struct Packet {
        int64_t position;
        int64_t offset;
        std::vector<uint8_t> bytes;
        bool damaged = false;
    };
    void make(int64_t fileBytes, int64_t keepFrames) {
        this->fileBytes = fileBytes < PacketRing::memoryBytes ? 0 : fileBytes;
        this->keepFrames = keepFrames;
        packets.clear();
        appendedEnd = flushedEnd = 0;
    }
    void forget() {
        packets.clear();
        flushedEnd = appendedEnd;
        nextPosition += 7 * PacketRing::framesPerPacket; // the next run starts elsewhere
    }
    void append(std::vector<uint8_t> bytes) {
        const auto record = PacketRing::headerBytes + static_cast<int64_t>(bytes.size());
        if (appendedEnd - flushedEnd + record > PacketRing::memoryBytes) {
            flushedEnd = appendedEnd;
        }
        packets.push_back({nextPosition, appendedEnd, std::move(bytes)});
        if (packets.size() > 4'000) { // far older than any the ring keeps
            packets.pop_front();
        }
        appendedEnd += record;
        nextPosition += PacketRing::framesPerPacket;
    }
    bool held(const Packet& packet) const {
        const int64_t oldestInFile = fileBytes > 0 ? flushedEnd - fileBytes : flushedEnd;
        return packet.offset >= oldestInFile && packet.position >= packets.back().position - keepFrames;
    }
    // The file's position of a held packet's payload byte, or -1 while it is in memory.
    int64_t filePosition(const Packet& packet, int64_t payloadByte) const {
        return packet.offset >= flushedEnd
                   ? -1
                   : (packet.offset + PacketRing::headerBytes + payloadByte) % fileBytes;
    }

    std::deque<Packet> packets;
    int64_t fileBytes = 0;
    int64_t keepFrames = 0;
    int64_t appendedEnd = 0;
    int64_t flushedEnd = 0;
    int64_t nextPosition = 0;
};

} // namespace

TEST(AudioBufferModel, RandomOperationsAlwaysExportTheNewestBytes) {
    constexpr double sampleRate = 100; // 6,000-byte memory buffer: the ring wraps thousands of times
    constexpr int operations = 100'000;
    std::mt19937 random(20'261'207);
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    auto between = [&](int64_t low, int64_t high) {
        return std::uniform_int_distribution<int64_t>(low, high)(random);
    };

    AudioBufferTestHarness harness;
    LogCapture log;
    double windowSeconds = 90;
    harness.make(windowSeconds, sampleRate);
    ReferenceModel model;
    model.configure(harness.buffer->memoryBufferMaxSize(), harness.buffer->fileBufferMaxSize());
    harness.buffer->start();

    std::vector<std::string> packetLog;
    PacketRing packets(harness.caches.path() / "Packets.data",
                       [&](const std::string& line) { packetLog.push_back(line); });
    PacketModel packetModel;
    const auto makePacketRing = [&](int64_t fileBytes) {
        const int64_t keepFrames = 2'500 * PacketRing::framesPerPacket;
        packets.make(fileBytes);
        packets.setKeepFrames(keepFrames);
        packetModel.make(fileBytes, keepFrames);
    };
    makePacketRing(700'000);

    bool stopped = false;  // a closed ring still takes flushes
    bool ringGone = false; // while stopped the ring file may vanish: then flushes fail
    int exports = 0, wraps = 0, flushes = 0, chunkedReads = 0;
    int packetReads = 0, packetRefusals = 0, readsAcrossTheFileEnd = 0, damagedRefusals = 0;
    int64_t lastOffset = 0;
    for (int operation = 0; operation < operations; ++operation) {
        const double pick = std::uniform_real_distribution<double>(0, 1)(random);
        if (pick < 0.80) {
            // Mostly small blocks, some exact fits, some longer than the whole memory buffer; whole samples.
            int64_t length = 2 * between(1, 350);
            if (chance(0.05)) {
                length = model.memoryMax - model.memoryCount;
            } else if (chance(0.01)) {
                length = 2 * between(model.memoryMax / 2, model.memoryMax + 250);
            }
            if (length == 0) {
                continue;
            }
            auto bytes = harness.nextBytes(static_cast<std::size_t>(length));
            const bool copyFails = chance(0.005);
            model.append(bytes, copyFails, ringGone);
            if (copyFails) {
                harness.appendBlock(std::make_shared<FailingSampleBlock>(bytes, 0, -1));
            } else {
                harness.appendBytes(bytes);
            }
            auto packet = harness.nextBytes(static_cast<std::size_t>(between(1, 768)));
            packets.append(packetModel.nextPosition, packet.data(), static_cast<int32_t>(packet.size()));
            packetModel.append(std::move(packet));
        } else if (pick < 0.95) {
            if (ringGone && model.fileFill > 0) {
                continue; // the ring's part is on disk no more: nothing the model can say about reading it
            }
            const double duration = std::uniform_real_distribution<double>(1.01, windowSeconds + 45)(random);
            const auto outcome = harness.exportSeconds(duration);
            ASSERT_TRUE(outcome.success) << "operation " << operation;
            const auto& record = harness.lastRecord();
            const auto expected = model.expectedClip(RingArithmetic::bytesForDuration(duration, sampleRate));
            ASSERT_EQ(record.bytes, expected) << "operation " << operation << ", duration " << duration;
            ASSERT_DOUBLE_EQ(outcome.seconds, static_cast<double>(expected.size() / 2) / sampleRate);
            // Each tier is one write, or two split exactly at its end (the memory's only while it rolls).
            ASSERT_LE(record.writes.size(), 4u);
            chunkedReads += record.writes.size() - (model.memoryCount > 0) >= 2;
            for (const auto& call : record.writes) {
                ASSERT_EQ(call.frameCount, call.byteCount / 2);
                ASSERT_LE(call.byteCount, 1'048'576u);
            }
            ++exports;
            harness.records.clear();

            // A span of packets among the newest: served exactly when the model holds all of them undamaged.
            const auto& held = packetModel.packets;
            if (held.empty()) {
                continue;
            }
            const auto count = static_cast<int64_t>(held.size());
            const int64_t first = between(std::max<int64_t>(0, count - 3'000), count - 1);
            const int64_t last = std::min(count - 1, first + between(0, 400));
            bool servable = true, damaged = false;
            for (int64_t i = first; i <= last; ++i) {
                servable = servable && packetModel.held(held[i]) && !held[i].damaged;
                damaged = damaged || (packetModel.held(held[i]) && held[i].damaged);
            }
            std::vector<uint8_t> read, expectedPackets;
            const bool served =
                packets.forEach(held[first].position, held[last].position, [&](const PacketRing::Packet& p) {
                    read.insert(read.end(), p.data, p.data + p.size);
                    return true;
                });
            ASSERT_EQ(served, servable) << "operation " << operation;
            if (served) {
                for (int64_t i = first; i <= last; ++i) {
                    expectedPackets.insert(expectedPackets.end(), held[i].bytes.begin(), held[i].bytes.end());
                }
                ASSERT_EQ(read, expectedPackets) << "operation " << operation;
                const int64_t firstByte = packetModel.filePosition(held[first], 0);
                const int64_t lastByte = packetModel.filePosition(held[last], 0);
                readsAcrossTheFileEnd += firstByte >= 0 && lastByte >= 0 && lastByte < firstByte;
            }
            packetReads += served;
            packetRefusals += !served;
            damagedRefusals += damaged;
        } else if (pick < 0.97) {
            harness.buffer->stop(); // now and then it stays stopped until the next such step
            stopped = !stopped && chance(0.2);
            if (stopped && chance(0.75)) {
                // A cache cleaner took the ring while stopped: until the next start there is none.
                harness.drain();
                std::filesystem::remove(harness.buffer->fileBufferURL());
                ringGone = true;
            }
            if (!stopped) {
                harness.buffer->start();
                if (ringGone) {
                    model.forgetRing(); // made again, empty
                    ringGone = false;
                }
            }
        } else if (pick < 0.975) {
            harness.buffer->reset();
            model.clear();
            if (chance(0.02)) {
                packets.clear();
                packetModel.forget();
            }
        } else if (pick < 0.977) {
            if (ringGone) {
                harness.buffer->start();
                model.forgetRing();
                ringGone = false;
            }
            harness.buffer->stop();
            windowSeconds = static_cast<double>(between(60, 200));
            ASSERT_TRUE(harness.buffer->resizeAndWait(windowSeconds));
            model.configure(model.memoryMax, harness.buffer->fileBufferMaxSize());
            harness.buffer->start();
            stopped = false;
            if (chance(0.05)) {
                makePacketRing(std::array<int64_t, 4>{0, 200'000, 700'000, 1'500'000}[between(0, 3)]);
            }
        } else if (pick < 0.978) {
            // The ring vanished while stopped (a cache cleaner): its audio is gone, memory stays.
            harness.buffer->stop();
            harness.drain();
            std::filesystem::remove(harness.buffer->fileBufferURL());
            harness.buffer->start();
            model.forgetRing();
            stopped = false;
            ringGone = false;
            // A byte of a packet in the packet file changes underneath.
            if (!packetModel.packets.empty()) {
                const auto count = static_cast<int64_t>(packetModel.packets.size());
                auto& packet = packetModel.packets[between(std::max<int64_t>(0, count - 1'500), count - 1)];
                const int64_t at =
                    packetModel.held(packet)
                        ? packetModel.filePosition(packet,
                                                   between(0, static_cast<int64_t>(packet.bytes.size()) - 1))
                        : -1;
                if (at >= 0) {
                    const int descriptor = open(packets.file().c_str(), O_RDWR);
                    uint8_t byte = 0;
                    ASSERT_EQ(RingFile::readFully(descriptor, &byte, 1, at), 1);
                    byte ^= 0xA5;
                    ASSERT_TRUE(RingFile::writeFully(descriptor, &byte, 1, at));
                    close(descriptor);
                    packet.damaged = true;
                }
            }
        } else {
            harness.drain();
            const int64_t offset = harness.fileOffset();
            flushes += offset != lastOffset;
            wraps += offset < lastOffset;
            lastOffset = offset;
            ASSERT_EQ(harness.buffer->memoryBufferCurrentSize(), model.memoryCount);
            ASSERT_EQ(harness.buffer->fileBufferCurrentSize(), model.fileFill);
        }
    }
    EXPECT_GT(exports, 10'000);
    EXPECT_GT(wraps, 500);
    EXPECT_GT(chunkedReads, 500);
    EXPECT_GT(log.count("Error: AudioBuffer: Error writing to buffer file."), 100);
    EXPECT_GT(packetReads, 3'000);
    EXPECT_GT(packetRefusals, 300);
    EXPECT_GT(readsAcrossTheFileEnd, 100);
    EXPECT_GT(damagedRefusals, 10);
    for (const auto& line : packetLog) {
        EXPECT_EQ(line.rfind("The packet file is damaged at sample ", 0), 0u) << line;
    }
    for (const auto& line : log.lines()) {
        const bool expected = line.find("Internal error while copying") != std::string::npos ||
                              line.find("Error copying block buffer data") != std::string::npos ||
                              line.find("blockOffset:") != std::string::npos ||
                              line.find("Buffer file was missing") != std::string::npos ||
                              line.find("lost a flush") != std::string::npos ||
                              line.find("to buffer file.") != std::string::npos ||
                              line.find("Dangerously small chunk size") != std::string::npos;
        EXPECT_TRUE(expected) << line;
    }
}
