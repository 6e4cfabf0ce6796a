#pragma once

#include "AacEncoder.h"
#include "PacketRing.h"
#include "SampleBlock.h"
#include "SerialQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Encodes the captured audio as it arrives, on one low-priority thread, into a PacketRing, so that a save
// copies packets instead of encoding. Samples are counted in positions: the n-th sample the buffer ever
// accepted is at position n. A run is what one encoder made from one unbroken stretch of positions; a new
// one begins after a capture stop, a reset, a gap in the positions or a failure, and forgets the packets of
// the one before. A packet at position p decodes to the samples p to p + 1023; the encoder hands it out only
// once later input arrived, and at a capture stop it hands out the rest. Blocks wait until a second's worth
// has come (or a save waits for them).
class BackgroundEncoder {
public:
    using Logger = std::function<void(const std::string&)>;
    static constexpr const char* queueLabel = "com.Orvane.Tempolis.BackgroundEncoder";

    BackgroundEncoder(int sampleRate, std::filesystem::path packetFile, Logger log);
    // Drops queued blocks, then erases the packet file.
    ~BackgroundEncoder();
    BackgroundEncoder(const BackgroundEncoder&) = delete;
    BackgroundEncoder& operator=(const BackgroundEncoder&) = delete;

    struct Block {
        std::shared_ptr<const SampleBlock> block;
        int64_t length; // bytes
        int64_t position;
    };
    // Queued as one, in the order of the calls: blocks in order, each `position` its first sample.
    void encode(std::vector<Block> blocks);
    // Queued: the run in progress ends here (what the encoder holds comes out); the next block begins
    // another.
    void endRun();
    // Queued: forgets every packet and erases the packet file's bytes; the next block begins another run.
    void forget();
    // Waits until everything queued so far has been done.
    void waitUntilDone() {
        queue_.sync([] {});
    }
    // Queued: packets for the newest `heldSeconds` (what the raw buffer holds at most), in a file too when
    // `withFile`; forgets every packet.
    void makeRing(double heldSeconds, bool withFile);

    // Queued: keeps packets for the newest `heldSeconds` only, without forgetting any.
    void keepOnly(double heldSeconds);

    // Waits at most `timeout` for the packets of samples [start, end) to be in the ring, of one run. False,
    // with the reason in `why`, when they will not be (the run began after `start`, the encoder stopped
    // short) or are not in time.
    bool waitForPackets(int64_t start, int64_t end, std::chrono::milliseconds timeout, std::string* why);
    // Writes the samples [start, end) into an .m4a at `url` by copying packets; false, with the reason in
    // `why`, when a packet is missing or damaged or the file cannot be written (nothing is left at `url`).
    bool writeClip(int64_t start, int64_t end, const std::filesystem::path& url,
                   const std::atomic<bool>& abandoned, std::string* why);

    PacketRing& ring() { return ring_; }
    SerialQueue& queue() { return queue_; }

private:
    void take(Block block);
    void encodePending();
    void encodeBlock(const SampleBlock& block, int64_t length, int64_t position);
    void beginRun(int64_t position);
    void stopRun();
    int32_t store(const AacEncoder::Packet& packet);

    const int sampleRate_;
    const int64_t batchFrames_; // blocks are encoded a second's worth at a time, unless a save waits
    Logger log_;
    PacketRing ring_;
    std::atomic<bool> closing_ = false;
    std::atomic<int> waitingSaves_ = 0;
    // The encoder's thread only.
    AacEncoder encoder_;
    bool runOpen_ = false;
    int64_t nextPosition_ = -1;
    std::vector<uint8_t> scratch_;
    std::vector<Block> pending_;
    int64_t pendingFrames_ = 0;
    // Shared with saves.
    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t runStart_ = -1;       // the run's first sample; -1 without a run
    int64_t encodedThrough_ = 0;  // packets cover the run's samples before this position
    int64_t receivedThrough_ = 0; // the blocks before this position have been handled
    bool runEnded_ = true;        // nothing more will come from the run
    std::vector<uint8_t> codecConfiguration_;
    SerialQueue queue_; // last: its thread stops first
};
