#include "PulseCaptureSystem.h"
#include "PulseServer.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

using namespace std::chrono_literals;

namespace {

auto elapsedSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::steady_clock::now() - start;
}

// Collects deviceConnected emissions and the thread they came on.
struct ConnectedDevices {
    explicit ConnectedDevices(CaptureSystem& system) {
        QObject::connect(&system, &CaptureSystem::deviceConnected, &system,
                         [this](const CaptureDevice& device) {
                             devices.push_back(device);
                             onMainThread = onMainThread && QThread::currentThread() ==
                                                                QCoreApplication::instance()->thread();
                         });
    }
    bool waitFor(const std::string& uniqueID, std::chrono::milliseconds timeout) {
        return QTest::qWaitFor([&] { return count(uniqueID) > 0; }, static_cast<int>(timeout.count()));
    }
    std::size_t count(const std::string& uniqueID) const {
        return static_cast<std::size_t>(std::count_if(devices.begin(), devices.end(),
                                                      [&](const auto& d) { return d.uniqueID == uniqueID; }));
    }
    std::vector<CaptureDevice> devices;
    bool onMainThread = true;
};

class PulseCaptureSystemTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.isRunning()) << server.error(); }

    PulseServer server;
};

} // namespace

TEST_F(PulseCaptureSystemTest, DevicesAreTheSourcesThatAreNotMonitors) {
    ASSERT_TRUE(server.addMicrophone("rec_mic", "Test Microphone")) << server.error();
    PulseCaptureSystem system;

    // The server now has two sources: rec_mic and the null sink's monitor rec_mic_sink.monitor.
    const auto sources = server.pactl({"list", "short", "sources"});
    ASSERT_TRUE(sources);
    ASSERT_NE(sources->find("rec_mic_sink.monitor"), std::string::npos);
    EXPECT_EQ(system.devices(), (std::vector<CaptureDevice>{{"rec_mic", "Test Microphone"}}));
}

TEST_F(PulseCaptureSystemTest, DefaultDeviceIsTheServersDefaultSource) {
    ASSERT_TRUE(server.addMicrophone("first_mic", "First"));
    ASSERT_TRUE(server.addMicrophone("second_mic", "Second"));
    PulseCaptureSystem system;

    ASSERT_TRUE(server.setDefaultSource("second_mic"));
    EXPECT_EQ(system.defaultDevice(), (CaptureDevice{"second_mic", "Second"}));
    ASSERT_TRUE(server.setDefaultSource("first_mic"));
    EXPECT_EQ(system.defaultDevice(), (CaptureDevice{"first_mic", "First"}));
}

TEST_F(PulseCaptureSystemTest, NoDefaultDeviceWhenTheDefaultSourceIsAMonitor) {
    ASSERT_GE(server.loadModule("module-null-sink", "sink_name=speakers"), 0);
    ASSERT_TRUE(server.setDefaultSource("speakers.monitor"));
    PulseCaptureSystem system;

    EXPECT_EQ(system.defaultDevice(), std::nullopt);
    EXPECT_TRUE(system.devices().empty());
}

TEST_F(PulseCaptureSystemTest, InputsAndWhatOutputsPlayAreListedApartAndFoundByName) {
    ASSERT_TRUE(server.addMicrophone("rec_mic", "Test Microphone"));
    PulseCaptureSystem system;

    EXPECT_EQ(system.devices(), (std::vector<CaptureDevice>{{"rec_mic", "Test Microphone"}}));
    ASSERT_EQ(system.outputMonitors().size(), 1u);
    EXPECT_EQ(system.outputMonitors()[0].uniqueID, "rec_mic_sink.monitor");
    EXPECT_EQ(system.deviceWithUniqueID("rec_mic"), (CaptureDevice{"rec_mic", "Test Microphone"}));
    EXPECT_EQ(system.deviceWithUniqueID("rec_mic_sink.monitor")->uniqueID, "rec_mic_sink.monitor");
    EXPECT_EQ(system.deviceWithUniqueID(CaptureSystem::defaultOutputMonitorID)->uniqueID,
              "rec_mic_sink.monitor");
    EXPECT_EQ(system.deviceWithUniqueID("no_such_source"), std::nullopt);
    EXPECT_EQ(system.deviceWithUniqueID(""), std::nullopt);
}

TEST_F(PulseCaptureSystemTest, PluggingASourceEmitsDeviceConnectedOnTheMainThread) {
    PulseCaptureSystem system;
    ConnectedDevices connected(system);
    ASSERT_TRUE(system.devices().empty()); // connected and listening

    ASSERT_TRUE(server.addMicrophone("usb_mic", "USB Microphone"));
    ASSERT_TRUE(connected.waitFor("usb_mic", 10s));
    EXPECT_TRUE(connected.onMainThread);

    // One answer to the monitor context flushes its earlier events: no second emission, none for the monitor.
    ASSERT_EQ(system.devices().size(), 1u);
    QCoreApplication::processEvents();
    EXPECT_EQ(connected.devices, (std::vector<CaptureDevice>{{"usb_mic", "USB Microphone"}}));
}

TEST_F(PulseCaptureSystemTest, SourcesPresentAtCreationAreNotAnnounced) {
    ASSERT_TRUE(server.addMicrophone("old_mic", "Old"));
    PulseCaptureSystem system;
    ConnectedDevices connected(system);
    ASSERT_EQ(system.devices().size(), 1u);
    QCoreApplication::processEvents();
    EXPECT_TRUE(connected.devices.empty());
}

TEST_F(PulseCaptureSystemTest, AnUnreachableServerGivesEmptyAnswersAtOnce) {
    ASSERT_TRUE(server.addMicrophone("rec_mic", "Test Microphone"));
    PulseCaptureSystem system;
    ASSERT_EQ(system.devices().size(), 1u);
    ASSERT_TRUE(server.kill());

    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(system.devices().empty());
    EXPECT_EQ(system.defaultDevice(), std::nullopt);
    EXPECT_EQ(system.deviceWithUniqueID("rec_mic"), std::nullopt);
    // Connecting to a socket nobody listens on is refused at once.
    EXPECT_LT(elapsedSince(start), 1s);
}

TEST_F(PulseCaptureSystemTest, AFrozenServerGivesEmptyAnswersWithinTheBound) {
    ASSERT_TRUE(server.addMicrophone("rec_mic", "Test Microphone"));
    PulseCaptureSystem system;
    ASSERT_EQ(system.devices().size(), 1u);
    server.freeze();

    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(system.devices().empty());
    EXPECT_LT(elapsedSince(start), PulseCaptureSystem::queryTimeout + 1s);

    // A system created while the server is frozen does not block its creator either.
    start = std::chrono::steady_clock::now();
    PulseCaptureSystem another;
    EXPECT_LT(elapsedSince(start), 500ms);
    EXPECT_EQ(another.defaultDevice(), std::nullopt);
    EXPECT_LT(elapsedSince(start), PulseCaptureSystem::queryTimeout + 1s);

    server.thaw();
    EXPECT_EQ(system.devices().size(), 1u);
}

// What the user interface lists: kept current by the server's own events, and answered at once, also while
// the server is frozen (then as it was last heard of) or gone (then empty).
TEST_F(PulseCaptureSystemTest, KnownDevicesFollowTheServerAndNeverWaitForIt) {
    ASSERT_TRUE(server.addMicrophone("rec_mic", "Test Microphone"));
    PulseCaptureSystem system;
    const auto known = [&] {
        std::vector<std::string> names;
        for (const auto& device : system.knownDevices()) {
            names.push_back(device.uniqueID);
        }
        for (const auto& device : system.knownOutputMonitors()) {
            names.push_back(device.uniqueID);
        }
        return names;
    };
    const auto becomes = [&](const std::vector<std::string>& names) {
        return QTest::qWaitFor([&] { return known() == names; }, 5'000);
    };
    EXPECT_TRUE(becomes({"rec_mic", "rec_mic_sink.monitor"}));
    const auto usb = server.addMicrophone("usb_mic", "USB Microphone");
    ASSERT_TRUE(usb);
    EXPECT_TRUE(becomes({"rec_mic", "usb_mic", "rec_mic_sink.monitor", "usb_mic_sink.monitor"}));
    ASSERT_TRUE(server.removeMicrophone(*usb));
    EXPECT_TRUE(becomes({"rec_mic", "rec_mic_sink.monitor"}));

    server.freeze();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(known(), (std::vector<std::string>{"rec_mic", "rec_mic_sink.monitor"}));
    EXPECT_LT(elapsedSince(start), 50ms);
    server.thaw();

    ASSERT_TRUE(server.kill());
    EXPECT_TRUE(becomes({})) << "a server that is gone took its devices with it";
}

TEST_F(PulseCaptureSystemTest, DeviceConnectedWorksAgainAfterTheServerCameBack) {
    PulseCaptureSystem system;
    ConnectedDevices connected(system);
    ASSERT_TRUE(server.addMicrophone("first_mic", "First"));
    ASSERT_TRUE(connected.waitFor("first_mic", 10s));

    ASSERT_TRUE(server.kill());
    ASSERT_TRUE(server.restart()) << server.error();
    ASSERT_TRUE(server.addMicrophone("second_mic", "Second"));
    // The monitor reconnects by itself (it polls while the server is gone) and sees the new source.
    ASSERT_TRUE(connected.waitFor("second_mic", 10s));
    EXPECT_TRUE(connected.onMainThread);
    EXPECT_EQ(system.devices(), (std::vector<CaptureDevice>{{"second_mic", "Second"}}));
}

TEST_F(PulseCaptureSystemTest, SourcesOfAReturningServerAreAnnounced) {
    PulseCaptureSystem system;
    ConnectedDevices connected(system);
    ASSERT_TRUE(system.devices().empty());
    ASSERT_TRUE(server.kill());
    // Back with a source that is normally there before the monitor's next poll: every source of a server
    // that comes back is new to the application, however the monitor learns of it.
    ASSERT_TRUE(server.restart()) << server.error();
    ASSERT_TRUE(server.addMicrophone("rec_mic", "Test Microphone"));
    EXPECT_TRUE(connected.waitFor("rec_mic", 10s));
}

// The audio server goes away for 3 s (lost while the system runs, or not there yet when it is made) and comes
// back: serverAvailable follows within a second, once, on the main thread.
TEST_F(PulseCaptureSystemTest, AReturningServerIsAnnouncedWithinASecond) {
    for (const bool absentAtCreation : {false, true}) {
        SCOPED_TRACE(absentAtCreation);
        auto system = absentAtCreation ? nullptr : std::make_unique<PulseCaptureSystem>();
        ASSERT_TRUE(!system || system->devices().empty()); // connected
        ASSERT_TRUE(server.kill());
        system = system ? std::move(system) : std::make_unique<PulseCaptureSystem>();
        std::vector<std::chrono::steady_clock::time_point> announced;
        QObject::connect(system.get(), &CaptureSystem::serverAvailable, system.get(), [&] {
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            announced.push_back(std::chrono::steady_clock::now());
        });
        QTest::qWait(3000); // the outage itself; the system keeps trying meanwhile
        EXPECT_TRUE(announced.empty());

        ASSERT_TRUE(server.restart()) << server.error();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !announced.empty(); }, 5000));
        const auto delay = announced.front() - server.acceptingSince();
        RecordProperty("serverAvailableDelayMs",
                       int(std::chrono::duration_cast<std::chrono::milliseconds>(delay).count()));
        EXPECT_LT(delay, 1s);
        EXPECT_TRUE(system->devices().empty()); // a round trip: a second announcement would be queued by now
        QCoreApplication::processEvents();
        EXPECT_EQ(announced.size(), 1u);
    }
}

TEST_F(PulseCaptureSystemTest, DestroyingTheSystemWithEmissionsInFlightIsSafe) {
    auto connected = std::make_unique<std::vector<CaptureDevice>>();
    {
        PulseCaptureSystem system;
        QObject::connect(&system, &CaptureSystem::deviceConnected, &system,
                         [&](const CaptureDevice& device) { connected->push_back(device); });
        ASSERT_TRUE(system.devices().empty());
        ASSERT_TRUE(server.addMicrophone("rec_mic", "Test Microphone"));
        // After this answer the emission is queued, not yet delivered.
        ASSERT_EQ(system.devices().size(), 1u);
        EXPECT_TRUE(connected->empty());
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(connected->empty());
}

TEST_F(PulseCaptureSystemTest, MakesSessionsThatCapture) {
    ASSERT_TRUE(server.addMicrophone("rec_mic", "Test Microphone"));
    PulseCaptureSystem system;
    auto session = system.makeSession();
    ASSERT_TRUE(session);
    std::string error;
    EXPECT_TRUE(session->setInput(*system.deviceWithUniqueID("rec_mic"), &error)) << error;
}

TEST_F(PulseCaptureSystemTest, EachNewDefaultOutputIsAnnouncedAndFollowed) {
    ASSERT_TRUE(server.addMicrophone("a_mic", "A"));
    ASSERT_TRUE(server.addMicrophone("b_mic", "B"));
    ASSERT_TRUE(server.pactl({"set-default-sink", "a_mic_sink"}));
    PulseCaptureSystem system;
    int announced = 0;
    QObject::connect(&system, &CaptureSystem::defaultOutputChanged, &system, [&] { ++announced; });
    ASSERT_EQ(system.deviceWithUniqueID(CaptureSystem::defaultOutputMonitorID)->uniqueID,
              "a_mic_sink.monitor");

    for (int change = 1; change <= 10; ++change) {
        const std::string sink = change % 2 ? "b_mic_sink" : "a_mic_sink";
        ASSERT_TRUE(server.pactl({"set-default-sink", QString::fromStdString(sink)}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return announced == change; }, 5'000))
            << "change " << change << " to " << sink << " announced " << announced << " times";
        EXPECT_EQ(system.deviceWithUniqueID(CaptureSystem::defaultOutputMonitorID)->uniqueID,
                  sink + ".monitor");
    }
}
