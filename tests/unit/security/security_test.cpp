// The source password stays between the settings file and the source connection; no station
// text adds a header line or a request parameter. On every platform.
#include "security_fixture.h"

#include <string>
#include <vector>

#include "icy.h"
#include "title.h"

using namespace security;

namespace {

// Every failing step of a connect and both deaths: the boxes, the encoder's command line and
// stderr never show the password; only the cast set-up receives it.
TEST_F(Security, PasswordReachesOnlyTheSourceConnection) {
    CapturedStderr err;
    for (const char* step : {"BASS_RecordInit", "BASS_StreamCreate", "BASS_Mixer_StreamCreate", "BASS_Encode_Start",
                             "BASS_Encode_CastInit", "BASS_ChannelSetAttribute", "BASS_ChannelPlay",
                             "BASS_Encode_SetNotify", ""}) {
        if (*step) fake_bass::fail(step, BASS_ERROR_UNKNOWN);
        if (toggleConnection(&station, true) != 1) toggleConnection(&station, false);
        fake_bass::clearFailure(step);
    }
    ASSERT_EQ(station.streaming, 1);
    fake_bass::notify(0, BASS_ENCODE_NOTIFY_CAST);
    ASSERT_TRUE(test_station::eventually(
        [] {
            const auto boxes = desktop::headless::boxes();
            return !boxes.empty() && boxes.back().text.rfind("The server connection died!", 0) == 0;
        },
        std::chrono::seconds(3)));
    EXPECT_GE(desktop::headless::boxes().size(), 5u);
    const std::string stderrText = err.stop();

    for (const auto& box : desktop::headless::boxes()) EXPECT_EQ(box.text.find(secret), std::string::npos) << box.text;
    EXPECT_EQ(stderrText.find(secret), std::string::npos);
    int castCalls = 0;
    for (const auto& call : fake_bass::calls()) {
        const bool mayCarry = call.name == "BASS_Encode_CastInit";
        castCalls += mayCarry;
        if (!mayCarry) {
            EXPECT_EQ(call.args.find(secret), std::string::npos) << call.name << "(" << call.args << ")";
        }
    }
    EXPECT_GT(castCalls, 0);
    EXPECT_EQ(fake_bass::lastCommandLine().find(secret), std::string::npos);
}

// CR and LF never leave a station text: whatever the fields hold, the source's header block
// has exactly the lines the station means to send.
TEST_F(Security, NoTextAddsAHeaderLine) {
    storeText(station.stationName, "Larkspur FM\r\nicy-genre: Evil\r\n\r\nGET /");
    storeText(station.genre, "Jazz\r\nX-Injected: 1");
    storeText(station.url, "http://larkspur.example/\nicy-pub: 1");
    storeText(station.description, "Late\rnight");
    storeText(station.irc, "#lark\r\nicy-url: http://evil.example/");
    storeText(station.contentType, "audio/mpeg\r\nX-Type: 2");
    toggleConnection(&station, true);
    const auto casts = fake_bass::callsTo("BASS_Encode_CastInit");
    ASSERT_EQ(casts.size(), 1u);
    const auto& t = casts[0].texts;  // server, pass, content, name, url, genre, desc, headers
    ASSERT_GE(t.size(), 7u);
    for (std::size_t i = 0; i < t.size(); ++i)
        if (i != 3) {
            EXPECT_EQ(t[i].find_first_of("\r\n"), std::string::npos) << i << ": " << t[i];
        }

    bassx::icy::CastParams p;
    p.password = t[1];
    p.content = t[2];
    p.name = t[3];
    p.url = t[4];
    p.genre = t[5];
    p.desc = t[6];
    p.bitrate = 128;
    const std::string block = bassx::icy::buildHeaders(p);
    EXPECT_EQ(block,
              "icy-name:Larkspur FMicy-genre: EvilGET /\r\n"
              "icy-genre:JazzX-Injected: 1\r\n"
              "icy-url:http://larkspur.example/icy-pub: 1\r\n"
              "icy-description:Latenight\r\n"
              "icy-pub:0\r\n"
              "icy-br:128\r\n"
              "content-type:audio/mpegX-Type: 2\r\n"
              "icy-irc: #larkicy-url: http://evil.example/\r\n"
              "\r\n");
}

// The title update's values cannot add request parameters, end the request line or the header.
TEST(TitleRequest, EveryValueIsUrlEncoded) {
    const std::string request = bassx::title::buildRequest("127.0.0.1", 8000, "p&ss=1?#%", "AC/DC & Friends? #1 100% =+\r\nX: y",
                                                           "http://x.example/?a=1&b=2#c");
    EXPECT_EQ(request.substr(0, request.find("\r\n")),
              "GET /admin.cgi?pass=p%26ss%3D1%3F%23%25&mode=updinfo"
              "&song=AC%2FDC%20%26%20Friends%3F%20%231%20100%25%20%3D%2B%0D%0AX%3A%20y"
              "&url=http%3A%2F%2Fx.example%2F%3Fa%3D1%26b%3D2%23c HTTP/1.0");
    EXPECT_EQ(request.find("\r\n\r\n"), request.size() - 4);
    EXPECT_EQ(bassx::title::urlEncode("\xc3\xa9\x01 ~._-"), "%C3%A9%01%20~._-");
}

}  // namespace
