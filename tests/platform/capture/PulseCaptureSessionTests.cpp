#include "PulseCaptureSession.h"
#include "PulseServer.h"
#include "SessionProbe.h"
#include "TestSignal.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;
using Event = CaptureSession::Event;

namespace {

constexpr int sampleRate = 44100;
// First data of a new stream takes up to ~2 s on an idle test server; the bounds below are generous.
constexpr auto dataTimeout = 20s;
constexpr auto eventTimeout = 5s;

auto elapsedSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::steady_clock::now() - start;
}

class PulseCaptureSessionTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.isRunning()) << server.error();
        auto added = server.addMicrophone("rec_mic", "Test Microphone");
        ASSERT_TRUE(added) << server.error();
        microphone = *added;
    }

    // A session on the microphone, started; fails the test when it does not start.
    void start(PulseCaptureSession& session) {
        std::string error;
        ASSERT_TRUE(session.setInput({microphone.sourceName, "Test Microphone"}, &error)) << error;
        ASSERT_TRUE(session.startRunning(&error)) << error;
    }

    // Plays a long signal into the microphone and waits until the session has received some of it.
    void hearSomething(const SessionProbe& probe) {
        ASSERT_TRUE(server.play(microphone.sinkName, testSignal(sampleRate * 30), sampleRate));
        const auto before = probe.byteCount();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                const auto samples = probe.samples();
                return samples.size() > before / 2 + 1000 && signalStart(samples).has_value();
            },
            static_cast<int>(std::chrono::milliseconds(dataTimeout).count())));
    }

    PulseServer server;
    PulseServer::Microphone microphone;
};

} // namespace

TEST_F(PulseCaptureSessionTest, RecordsWhatIsPlayedIntoTheInputBitExact) {
    PulseCaptureSession session;
    SessionProbe probe(session);
    ASSERT_NO_FATAL_FAILURE(start(session));
    EXPECT_TRUE(session.isRunning());

    // The null sink loses the first moments of a new playback (measured: 100 ms with pacat's default latency,
    // 5 ms at 20 ms): a second of silence goes first, so that only silence can be lost.
    const auto signal = testSignal(sampleRate * 2);
    std::vector<int16_t> played(sampleRate, 0);
    played.insert(played.end(), signal.begin(), signal.end());
    ASSERT_TRUE(server.play(microphone.sinkName, played, sampleRate));
    std::optional<std::size_t> begin;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto samples = probe.samples();
            begin = signalStart(samples);
            return begin && samples.size() >= *begin + signal.size();
        },
        static_cast<int>(std::chrono::milliseconds(dataTimeout).count())));
    const auto samples = probe.samples();
    const std::vector<int16_t> heard(samples.begin() + static_cast<std::ptrdiff_t>(*begin),
                                     samples.begin() + static_cast<std::ptrdiff_t>(*begin + signal.size()));
    std::size_t differing = 0;
    std::optional<std::size_t> firstDifference;
    for (std::size_t i = 0; i < signal.size(); ++i) {
        if (heard[i] != signal[i]) {
            ++differing;
            if (!firstDifference) {
                firstDifference = i;
            }
        }
    }
    EXPECT_EQ(differing, 0u) << "first at sample " << firstDifference.value_or(0) << ": played "
                             << signal[firstDifference.value_or(0)] << ", heard "
                             << heard[firstDifference.value_or(0)];

    EXPECT_TRUE(probe.blocksWereWholeSamplesOffTheMainThread());
    ASSERT_TRUE(probe.waitForEvent(Event::started, eventTimeout));
    EXPECT_TRUE(probe.eventsWereOnTheMainThread());
    session.stopRunning();
    EXPECT_FALSE(session.isRunning());
}

TEST_F(PulseCaptureSessionTest, StartingTwiceKeepsTheRunningStream) {
    PulseCaptureSession session;
    SessionProbe probe(session);
    EXPECT_FALSE(session.isRunning());
    ASSERT_NO_FATAL_FAILURE(start(session));
    std::string error;
    EXPECT_TRUE(session.startRunning(&error)) << error;
    ASSERT_TRUE(probe.waitForEvent(Event::started, eventTimeout));
    QCoreApplication::processEvents();
    EXPECT_EQ(probe.eventCount(Event::started), 1u);
}

TEST_F(PulseCaptureSessionTest, SetInputFailsForAnUnknownDeviceButTakesWhatAnOutputPlays) {
    std::string error;
    EXPECT_TRUE(PulseCaptureSession().setInput({microphone.sinkName + ".monitor", "Monitor"}, &error))
        << error;
    EXPECT_TRUE(PulseCaptureSession().setInput({"@DEFAULT_MONITOR@", "System audio"}, &error)) << error;
    PulseCaptureSession session;
    EXPECT_FALSE(session.setInput({"no_such_source", "Nothing"}, &error));
    EXPECT_NE(error.find("no_such_source"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(session.startRunning(&error));
    EXPECT_FALSE(error.empty());
}

TEST_F(PulseCaptureSessionTest, StartFailsAtOnceWhenTheInputWentAwayBeforeIt) {
    PulseCaptureSession session;
    SessionProbe probe(session);
    std::string error;
    ASSERT_TRUE(session.setInput({microphone.sourceName, "Test Microphone"}, &error)) << error;
    ASSERT_TRUE(server.unloadModule(microphone.sourceModule));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(session.startRunning(&error));
    EXPECT_LT(elapsedSince(start), 1s);
    EXPECT_NE(error.find("No such entity"), std::string::npos) << error;
    EXPECT_FALSE(session.isRunning());
    QCoreApplication::processEvents();
    EXPECT_TRUE(probe.events().empty());
}

TEST_F(PulseCaptureSessionTest, AnUnloadedInputEndsInARuntimeErrorNotInAMove) {
    // Another input to move to, and the default one: without DONT_MOVE the stream would silently go there.
    auto other = server.addMicrophone("other_mic", "Other Microphone");
    ASSERT_TRUE(other);
    ASSERT_TRUE(server.setDefaultSource(other->sourceName));
    PulseCaptureSession session;
    SessionProbe probe(session);
    ASSERT_NO_FATAL_FAILURE(start(session));
    ASSERT_NO_FATAL_FAILURE(hearSomething(probe));

    ASSERT_TRUE(server.unloadModule(microphone.sourceModule));
    ASSERT_TRUE(probe.waitForEvent(Event::runtimeError, eventTimeout));
    EXPECT_FALSE(session.isRunning());
    const auto events = probe.events();
    const auto error = std::find_if(events.begin(), events.end(),
                                    [](const auto& event) { return event.first == Event::runtimeError; });
    EXPECT_NE(error->second.find("Entity killed"), std::string::npos) << error->second;
    ASSERT_TRUE(probe.waitForEvent(Event::stopped, eventTimeout));
    EXPECT_EQ(probe.eventCount(Event::runtimeError), 1u);

    // Nothing arrives from the other input.
    const auto heard = probe.byteCount();
    ASSERT_TRUE(server.play(other->sinkName, testSignal(sampleRate), sampleRate));
    ASSERT_TRUE(server.waitForPlayback(10s)) << server.error();
    EXPECT_EQ(probe.byteCount(), heard);
}

TEST_F(PulseCaptureSessionTest, SuspendingTheInputInterruptsAndResumingEndsTheInterruption) {
    PulseCaptureSession session;
    SessionProbe probe(session);
    ASSERT_NO_FATAL_FAILURE(start(session));
    ASSERT_NO_FATAL_FAILURE(hearSomething(probe));
    ASSERT_TRUE(session.isRunning());

    EXPECT_FALSE(session.isInterrupted());

    ASSERT_TRUE(server.suspendSource(microphone.sourceName, true));
    ASSERT_TRUE(probe.waitForEvent(Event::interrupted, eventTimeout));
    EXPECT_FALSE(session.isRunning());
    EXPECT_TRUE(session.isInterrupted());

    ASSERT_TRUE(server.suspendSource(microphone.sourceName, false));
    ASSERT_TRUE(probe.waitForEvent(Event::interruptionEnded, eventTimeout));
    EXPECT_TRUE(session.isRunning());
    EXPECT_FALSE(session.isInterrupted());
    // The same session delivers again: an interruption is no failure and needs no restart.
    EXPECT_TRUE(probe.waitForBytes(probe.byteCount() + sampleRate / 5, dataTimeout));
    EXPECT_EQ(probe.eventCount(Event::runtimeError), 0u);
    EXPECT_EQ(probe.eventCount(Event::stopped), 0u);
    EXPECT_TRUE(probe.eventsWereOnTheMainThread());
}

TEST_F(PulseCaptureSessionTest, ASessionStartedOnASuspendedInputIsNotRunning) {
    ASSERT_TRUE(server.suspendSource(microphone.sourceName, true));
    PulseCaptureSession session;
    SessionProbe probe(session);
    ASSERT_NO_FATAL_FAILURE(start(session));
    ASSERT_TRUE(probe.waitForEvent(Event::interrupted, eventTimeout));
    EXPECT_FALSE(session.isRunning());
    EXPECT_TRUE(session.isInterrupted());
    ASSERT_TRUE(server.suspendSource(microphone.sourceName, false));
    ASSERT_TRUE(probe.waitForEvent(Event::interruptionEnded, eventTimeout));
    EXPECT_TRUE(session.isRunning());
    EXPECT_FALSE(session.isInterrupted());
}

TEST_F(PulseCaptureSessionTest, AKilledServerEndsInARuntimeErrorAndARestartedOneWorksAgain) {
    PulseCaptureSession session;
    SessionProbe probe(session);
    ASSERT_NO_FATAL_FAILURE(start(session));
    ASSERT_NO_FATAL_FAILURE(hearSomething(probe));

    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(server.kill());
    ASSERT_TRUE(probe.waitForEvent(Event::runtimeError, eventTimeout));
    EXPECT_LT(elapsedSince(killed), 2s);
    EXPECT_FALSE(session.isRunning());
    ASSERT_TRUE(probe.waitForEvent(Event::stopped, eventTimeout));
    EXPECT_EQ(probe.eventCount(Event::runtimeError), 1u);

    // While the server is down, starting fails fast, and so does choosing an input.
    auto start = std::chrono::steady_clock::now();
    std::string error;
    EXPECT_FALSE(session.startRunning(&error));
    EXPECT_FALSE(error.empty());
    PulseCaptureSession another;
    EXPECT_FALSE(another.setInput({microphone.sourceName, "Test Microphone"}, &error));
    EXPECT_LT(elapsedSince(start), 1s);

    ASSERT_TRUE(server.restart()) << server.error();
    auto again = server.addMicrophone("rec_mic", "Test Microphone");
    ASSERT_TRUE(again);
    microphone = *again;
    EXPECT_TRUE(session.startRunning(&error)) << error;
    EXPECT_TRUE(session.isRunning());
    ASSERT_NO_FATAL_FAILURE(hearSomething(probe));
    EXPECT_EQ(probe.eventCount(Event::started), 2u);
}

TEST_F(PulseCaptureSessionTest, AFrozenServerCannotHoldUpStartOrSetInput) {
    PulseCaptureSession session;
    SessionProbe probe(session);
    std::string error;
    ASSERT_TRUE(session.setInput({microphone.sourceName, "Test Microphone"}, &error)) << error;
    server.freeze();

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(session.startRunning(&error));
    EXPECT_LT(elapsedSince(start), PulseCaptureSession::startTimeout + 1s);
    EXPECT_FALSE(session.isRunning());

    PulseCaptureSession another;
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(another.setInput({microphone.sourceName, "Test Microphone"}, &error));
    EXPECT_LT(elapsedSince(start), PulseCaptureSession::inputTimeout + 1s);

    server.thaw();
    EXPECT_TRUE(session.startRunning(&error)) << error;
}

TEST_F(PulseCaptureSessionTest, NoServerAtTheAddressFailsAtOnce) {
    const std::string saved = std::getenv("PULSE_SERVER");
    setenv("PULSE_SERVER", ("unix:" + (server.folder() / "nobody-here").string()).c_str(), 1);
    PulseCaptureSession session;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(session.setInput({microphone.sourceName, "Test Microphone"}, &error));
    EXPECT_LT(elapsedSince(start), 1s);
    EXPECT_NE(error.find("audio server"), std::string::npos) << error;
    setenv("PULSE_SERVER", saved.c_str(), 1);
}

TEST_F(PulseCaptureSessionTest, NothingIsDeliveredAfterStopRunning) {
    PulseCaptureSession session;
    SessionProbe probe(session);
    ASSERT_NO_FATAL_FAILURE(start(session));
    ASSERT_NO_FATAL_FAILURE(hearSomething(probe));

    // Queue an event without letting the event loop deliver it: the flag falls in the callback that posts it.
    ASSERT_TRUE(server.suspendSource(microphone.sourceName, true));
    const auto start = std::chrono::steady_clock::now();
    while (session.isRunning() && elapsedSince(start) < eventTimeout) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_FALSE(session.isRunning());
    ASSERT_TRUE(server.suspendSource(microphone.sourceName, false));
    const auto eventsBefore = probe.events().size();

    session.stopRunning();
    const auto heard = probe.byteCount();
    EXPECT_FALSE(session.isRunning());

    // The input keeps producing and the server keeps changing; nothing reaches the stopped session.
    ASSERT_TRUE(server.suspendSource(microphone.sourceName, true));
    ASSERT_TRUE(server.unloadModule(microphone.sourceModule));
    QTest::qWait(500);
    EXPECT_EQ(probe.events().size(), eventsBefore);
    EXPECT_EQ(probe.byteCount(), heard);
}

TEST_F(PulseCaptureSessionTest, StopRunningFromTheEventHandlerEndsEverything) {
    PulseCaptureSession session;
    SessionProbe probe(session);
    int calls = 0;
    session.setEventHandler([&](Event event, const std::string&) {
        ++calls;
        if (event == Event::interrupted) {
            session.stopRunning();
        }
    });
    ASSERT_NO_FATAL_FAILURE(start(session));
    ASSERT_NO_FATAL_FAILURE(hearSomething(probe));
    ASSERT_TRUE(server.suspendSource(microphone.sourceName, true));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !session.isRunning() && calls >= 2; }, 5000));
    ASSERT_TRUE(server.suspendSource(microphone.sourceName, false));
    QTest::qWait(300);
    EXPECT_EQ(calls, 2); // started, interrupted; no interruption end after the stop
}

TEST_F(PulseCaptureSessionTest, DestroyingASessionWithEventsAndBlocksInFlightIsSafe) {
    for (int round = 0; round < 3; ++round) {
        auto session = std::make_unique<PulseCaptureSession>();
        SessionProbe probe(*session);
        ASSERT_NO_FATAL_FAILURE(start(*session));
        ASSERT_NO_FATAL_FAILURE(hearSomething(probe));
        ASSERT_TRUE(server.suspendSource(microphone.sourceName, true));
        const auto start = std::chrono::steady_clock::now();
        while (session->isRunning() && elapsedSince(start) < eventTimeout) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(server.suspendSource(microphone.sourceName, false));
        const auto eventsBefore = probe.events().size();

        session.reset(); // with the interrupted event (and maybe its end) queued and blocks arriving
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        EXPECT_EQ(probe.events().size(), eventsBefore);
    }
}

TEST_F(PulseCaptureSessionTest, DestroyingASessionFromItsEventHandlerIsSafe) {
    auto session = std::make_unique<PulseCaptureSession>();
    SessionProbe probe(*session);
    ASSERT_NO_FATAL_FAILURE(start(*session));
    bool destroyed = false;
    session->setEventHandler([&](Event, const std::string&) {
        session.reset();
        destroyed = true;
    });
    // `started` is still queued: its delivery destroys the session.
    EXPECT_TRUE(QTest::qWaitFor([&] { return destroyed; }, 5000));
    EXPECT_FALSE(session);
}
