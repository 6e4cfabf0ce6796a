// A session with a timed output says when each block was captured: clicks played into the microphone's sink
// are placed where they were played, on a real server.
#include "PulseCaptureSession.h"
#include "PulseServer.h"

#include <QTest>
#include <gtest/gtest.h>
#include <pulse/simple.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int sampleRate = 44'100;
constexpr auto tolerance = 30ms;

// What the session delivered: the samples in order and, for each block, its first sample and capture time.
struct TimedCapture {
    std::mutex mutex;
    std::vector<int16_t> samples;
    std::vector<std::pair<std::size_t, Clock::time_point>> blocks;

    Clock::time_point timeOf(std::size_t sample) {
        std::lock_guard lock(mutex);
        auto block = std::prev(
            std::upper_bound(blocks.begin(), blocks.end(), sample,
                             [](std::size_t wanted, const auto& each) { return wanted < each.first; }));
        return block->second + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(double(sample - block->first) / sampleRate));
    }
    // The first sample of each click (a run of loud samples) heard so far.
    std::vector<std::size_t> clicks() {
        std::lock_guard lock(mutex);
        std::vector<std::size_t> found;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            if (std::abs(samples[i]) > 10'000 && (found.empty() || i - found.back() > sampleRate / 10)) {
                found.push_back(i);
            }
        }
        return found;
    }
};

// Plays into a sink through a low-latency stream of its own, and says when what it wrote will be heard.
class Player {
public:
    explicit Player(const std::string& sinkName) {
        const pa_sample_spec format{PA_SAMPLE_S16LE, sampleRate, 1};
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<uint32_t>(-1);
        attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(20'000, &format));
        attributes.prebuf = static_cast<uint32_t>(-1);
        attributes.minreq = static_cast<uint32_t>(-1);
        attributes.fragsize = static_cast<uint32_t>(-1);
        int error = 0;
        stream_.reset(pa_simple_new(nullptr, "TimingTest", PA_STREAM_PLAYBACK, sinkName.c_str(), "Clicks",
                                    &format, nullptr, &attributes, &error));
        error_ = error;
    }
    bool isOpen() const { return stream_ != nullptr; }
    std::string error() const { return pa_strerror(error_); }

    // Writes `samples` (returning once they fit into the stream's buffer); answers when their first one is
    // heard.
    Clock::time_point play(const std::vector<int16_t>& samples) {
        int error = 0;
        if (pa_simple_write(stream_.get(), samples.data(), samples.size() * 2, &error) < 0) {
            ADD_FAILURE() << pa_strerror(error);
        }
        const auto written = Clock::now();
        const pa_usec_t untilLastHeard = pa_simple_get_latency(stream_.get(), &error);
        return written + std::chrono::microseconds(untilLastHeard) -
               std::chrono::microseconds(samples.size() * 1'000'000 / sampleRate);
    }
    void silence(std::chrono::milliseconds duration) {
        const std::vector<int16_t> chunk(sampleRate / 100, 0);
        for (auto left = duration; left > 0ms; left -= 10ms) {
            play(chunk);
        }
    }
    void drain() {
        int error = 0;
        pa_simple_drain(stream_.get(), &error);
    }

private:
    struct Free {
        void operator()(pa_simple* stream) const { pa_simple_free(stream); }
    };
    std::unique_ptr<pa_simple, Free> stream_;
    int error_ = 0;
};

} // namespace

TEST(PulseCaptureTimingTest, ClicksAreCapturedWhenTheyWerePlayed) {
    PulseServer server;
    ASSERT_TRUE(server.isRunning()) << server.error();
    if (server.kind() == PulseServer::Kind::pipeWire) {
        // The reference fails there, not the session: on pipewire-pulse 0.3.65 the playing stream's latency
        // (pa_simple_get_latency) grew by 14 ms for every 310 ms written, while the captured clicks stayed
        // 310 ms apart.
        GTEST_SKIP() << "pipewire-pulse misreports the playing stream's latency";
    }
    const auto microphone = server.addMicrophone("rec_mic", "Test Microphone");
    ASSERT_TRUE(microphone) << server.error();

    auto capture = std::make_shared<TimedCapture>();
    PulseCaptureSession session;
    ASSERT_TRUE(session.setTimedOutput(
        sampleRate, [capture](const void* bytes, std::size_t byteCount, Clock::time_point captureTime) {
            std::lock_guard lock(capture->mutex);
            capture->blocks.emplace_back(capture->samples.size(), captureTime);
            const auto* samples = static_cast<const int16_t*>(bytes);
            capture->samples.insert(capture->samples.end(), samples, samples + byteCount / 2);
        }));
    std::string error;
    ASSERT_TRUE(session.setInput({microphone->sourceName, "Test Microphone"}, &error)) << error;
    ASSERT_TRUE(session.startRunning(&error)) << error;

    Player player(microphone->sinkName);
    ASSERT_TRUE(player.isOpen()) << player.error();
    player.silence(1s);
    std::vector<int16_t> click(sampleRate / 100, 0);
    std::fill_n(click.begin(), 20, int16_t{20'000});
    std::vector<Clock::time_point> played;
    for (int i = 0; i < 5; ++i) {
        player.silence(300ms);
        played.push_back(player.play(click));
    }
    player.silence(500ms);
    player.drain();

    ASSERT_TRUE(QTest::qWaitFor([&] { return capture->clicks().size() >= played.size(); }, 20'000))
        << capture->clicks().size() << " clicks heard";
    const auto heard = capture->clicks();
    ASSERT_EQ(heard.size(), played.size());
    for (std::size_t i = 0; i < played.size(); ++i) {
        const auto offset = capture->timeOf(heard[i]) - played[i];
        std::cout << "click " << i << ": captured "
                  << std::chrono::duration<double, std::milli>(offset).count() << " ms after it was played\n";
        EXPECT_LE(std::chrono::abs(offset), tolerance) << "click " << i;
    }
    session.stopRunning();
}
