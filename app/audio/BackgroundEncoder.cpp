#include "BackgroundEncoder.h"

#include "AacPacketFileWriter.h"

#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

BackgroundEncoder::BackgroundEncoder(int sampleRate, std::filesystem::path packetFile, Logger log)
    : sampleRate_(sampleRate)
    , batchFrames_(sampleRate)
    , log_(std::move(log))
    , ring_(std::move(packetFile), log_)
    , queue_(queueLabel) {
    // Saves are instant when the encoder keeps up, and it has seconds of slack: it yields to everything else.
    queue_.async([] { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19); });
}

BackgroundEncoder::~BackgroundEncoder() {
    closing_ = true;
    queue_.sync([] {});
}

void BackgroundEncoder::encode(std::vector<Block> blocks) {
    queue_.async([this, blocks = std::move(blocks)] {
        for (const Block& block : blocks) {
            take(block);
        }
    });
}

void BackgroundEncoder::take(Block block) {
    if (closing_) {
        return;
    }
    pendingFrames_ += block.length / 2;
    pending_.push_back(std::move(block));
    if (pendingFrames_ >= batchFrames_ || waitingSaves_ > 0) {
        encodePending();
    }
}

// Encoding a second at a time costs a fifth less processor than each capture fragment on its own: the
// encoder's tables stay in the caches.
void BackgroundEncoder::encodePending() {
    for (const Block& block : pending_) {
        if (closing_) {
            break;
        }
        encodeBlock(*block.block, block.length, block.position);
    }
    pending_.clear();
    pendingFrames_ = 0;
    std::lock_guard lock(mutex_);
    receivedThrough_ = nextPosition_;
    changed_.notify_all();
}

void BackgroundEncoder::encodeBlock(const SampleBlock& block, int64_t length, int64_t position) {
    if (!runOpen_ || position != nextPosition_) {
        beginRun(position);
    }
    nextPosition_ = position + length / 2;
    if (!runOpen_) {
        return;
    }
    scratch_.resize(static_cast<std::size_t>(length));
    if (block.copyDataBytes(0, static_cast<std::size_t>(length), scratch_.data()) != 0) {
        stopRun(); // a gap: the next block begins another run
        return;
    }
    if (const int32_t status = encoder_.writeSamples(scratch_.data(), static_cast<uint32_t>(length / 2));
        status != 0) {
        log_("Error encoding in the background. (" + std::to_string(status) + ")");
        stopRun();
    }
}

void BackgroundEncoder::beginRun(int64_t position) {
    stopRun();
    if (const int32_t status =
            encoder_.open(sampleRate_, [this](const AacEncoder::Packet& packet) { return store(packet); });
        status != 0) {
        log_("Error opening the background encoder. (" + std::to_string(status) + ")");
        return;
    }
    ring_.clear();
    runOpen_ = true;
    nextPosition_ = position;
    std::lock_guard lock(mutex_);
    runStart_ = position;
    encodedThrough_ = position;
    runEnded_ = false;
    codecConfiguration_ = encoder_.extradata();
}

void BackgroundEncoder::stopRun() {
    runOpen_ = false;
    encoder_.close();
    std::lock_guard lock(mutex_);
    runEnded_ = true;
    changed_.notify_all();
}

int32_t BackgroundEncoder::store(const AacEncoder::Packet& packet) {
    int64_t position = 0;
    {
        std::lock_guard lock(mutex_);
        position = runStart_ + packet.pts;
    }
    ring_.append(position, packet.data, packet.size);
    std::lock_guard lock(mutex_);
    encodedThrough_ = position + AacEncoder::framesPerPacket;
    changed_.notify_all();
    return 0;
}

void BackgroundEncoder::endRun() {
    queue_.async([this] {
        encodePending();
        if (runOpen_ && !closing_) {
            // What the encoder holds comes out now: a save after the stop needs no later input.
            if (const int32_t status = encoder_.finish(); status != 0) {
                log_("Error encoding in the background. (" + std::to_string(status) + ")");
                ring_.clear();
            }
        }
        stopRun();
    });
}

void BackgroundEncoder::forget() {
    queue_.async([this] {
        pending_.clear(); // audio from before the reset
        pendingFrames_ = 0;
        stopRun();
        ring_.erase();
        std::lock_guard lock(mutex_);
        runStart_ = -1;
    });
}

void BackgroundEncoder::makeRing(double heldSeconds, bool withFile) {
    queue_.async([this, heldSeconds, withFile] {
        pending_.clear();
        pendingFrames_ = 0;
        stopRun();
        ring_.make(withFile ? static_cast<int64_t>(heldSeconds * PacketRing::fileBytesPerSecond) : 0);
        // A few seconds more: a save of everything held still finds its oldest packets after the raw ring
        // moved on while the save waited.
        ring_.setKeepFrames(static_cast<int64_t>((heldSeconds + 5) * sampleRate_));
        std::lock_guard lock(mutex_);
        runStart_ = -1;
    });
}

void BackgroundEncoder::keepOnly(double heldSeconds) {
    queue_.async(
        [this, heldSeconds] { ring_.setKeepFrames(static_cast<int64_t>((heldSeconds + 5) * sampleRate_)); });
}

bool BackgroundEncoder::waitForPackets(int64_t start, int64_t end, std::chrono::milliseconds timeout,
                                       std::string* why) {
    // Blocks waiting for a whole batch are encoded now, and later ones as they come, until the save is done.
    ++waitingSaves_;
    queue_.async([this] { encodePending(); });
    std::unique_lock lock(mutex_);
    // Done when the packets are there, or when the encoder has seen the span's end and they never will be.
    changed_.wait_for(lock, timeout, [&] {
        const bool inRun = runStart_ >= 0 && start >= runStart_;
        return (inRun && encodedThrough_ >= end) || (receivedThrough_ >= end && (!inRun || runEnded_));
    });
    --waitingSaves_;
    if (runStart_ < 0 || start < runStart_) {
        *why = "the span reaches before the packets of the current run (a capture restart or a reset)";
    } else if (encodedThrough_ >= end) {
        return true;
    } else if (runEnded_) {
        *why = "the background encoder stopped before the span's end";
    } else {
        *why = "the background encoder did not reach the span's end in time";
    }
    return false;
}

bool BackgroundEncoder::writeClip(int64_t start, int64_t end, const std::filesystem::path& url,
                                  const std::atomic<bool>& abandoned, std::string* why) {
    int64_t runStart = 0;
    std::vector<uint8_t> configuration;
    {
        std::lock_guard lock(mutex_);
        runStart = runStart_;
        configuration = codecConfiguration_;
    }
    constexpr int64_t packetFrames = AacEncoder::framesPerPacket;
    // The packet holding `start`, one before it for the decoder, through the packet holding the last sample.
    const int64_t first = runStart + (start - runStart) / packetFrames * packetFrames - packetFrames;
    const int64_t last = runStart + (end - 1 - runStart) / packetFrames * packetFrames;
    AacPacketFileWriter writer;
    if (const int32_t status = writer.create(url.string(), sampleRate_, configuration); status != 0) {
        *why = "the clip file cannot be created (" + std::to_string(status) + ")";
        return false;
    }
    int32_t writeStatus = 0;
    const bool copied = ring_.forEach(first, last, [&](const PacketRing::Packet& packet) {
        if (abandoned) {
            return false;
        }
        const int64_t duration = packet.position == last ? end - last : packetFrames;
        writeStatus = writer.writePacket(packet.data, packet.size, packet.position - start, duration);
        return writeStatus == 0;
    });
    if (!copied) {
        writer.discard();
        *why = abandoned          ? "the buffer is closing"
               : writeStatus != 0 ? "writing the clip failed (" + std::to_string(writeStatus) + ")"
                                  : "a packet of the span is missing or damaged";
        return false;
    }
    if (const int32_t status = writer.dispose(); status != 0) {
        std::error_code ignored;
        std::filesystem::remove(url, ignored);
        *why = "finishing the clip failed (" + std::to_string(status) + ")";
        return false;
    }
    return true;
}
