// A server name whose first address never answers, against a real Icecast: the source, as
// SHOUTcast v1 and as Icecast 2, and its title updates reach the second address long before
// the connect deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "../../support/test_resolver.h"
#include "bass.h"
#include "encoder.h"
#include "fixtures.h"
#include "icy.h"
#include "title.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(EngineCast, ANameWhoseFirstAddressNeverAnswersIsOnTheAirAtOnce) {
    fixtures::Icecast ice;
    fixtures::IcecastOptions options;
    options.mounts = {"/live", "/other"};
    ASSERT_TRUE(ice.start(options)) << ice.error();
    loopback::BlackHole hole;
    ASSERT_TRUE(hole.ready);
    loopback::Resolver resolver({hole.port, 0});  // then the port asked for
    const std::string name = "larkspur-two-addresses.test:" + std::to_string(ice.port());
    struct Case {
        const char* what;
        std::string server, mount;
    } cases[] = {{"SHOUTcast v1", name, "/live"}, {"Icecast 2", name + "/other", "/other"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bassx::icy::CastParams station;
        station.password = ice.sourcePassword();
        station.content = "audio/mpeg";
        station.name = std::string("Larkspur ") + c.what;
        bassx::Encoder enc(44100, 2, nullptr, nullptr);
        ASSERT_EQ(enc.start("cat", false, 0), BASS_OK);
        auto t0 = Clock::now();
        ASSERT_EQ(enc.castInit(c.server, station), BASS_OK);
        EXPECT_LT(Clock::now() - t0, 3s);  // the handshake's deadline is 10 s
        EXPECT_EQ(ice.waitMountField(c.mount, "server_name", station.name), station.name);
        // The server shows a title only once audio flows; its answer to the update is enough.
        ASSERT_EQ(enc.castSetTitle("Through the second address", ""), BASS_OK);
        bassx::title::Sender* sender = enc.titleSender();
        ASSERT_NE(sender, nullptr);
        for (int i = 0; i < 1000 && sender->completed() == 0; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(sender->lastStatus(), 200);
        enc.shutdown();
    }
}
