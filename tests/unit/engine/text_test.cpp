// Station texts and titles in the bytes each server reads: Latin-1 for MP3 and the like, UTF-8
// for Ogg; what cannot be represented is dropped alone, and malformed input loses nothing.
#include <gtest/gtest.h>

#include <string>

#include "cast_protocol.h"
#include "icecast2.h"
#include "icy.h"
#include "text_encoding.h"

using namespace bassx;

namespace {

// "Beyoncé & Sigur Rós - Déjà vu – Ærø Straße" and its Latin-1 bytes (the en dash as '-').
const std::string kTitle = "Beyonc\xC3\xA9 & Sigur R\xC3\xB3s - D\xC3\xA9j\xC3\xA0 vu \xE2\x80\x93 \xC3\x86r\xC3\xB8 Stra\xC3\x9F" "e";
const std::string kTitleLatin1 = "Beyonc\xE9 & Sigur R\xF3s - D\xE9j\xE0 vu - \xC6r\xF8 Stra\xDF" "e";
const std::string kTitleKept = "Beyonc\xC3\xA9 & Sigur R\xC3\xB3s - D\xC3\xA9j\xC3\xA0 vu - \xC3\x86r\xC3\xB8 Stra\xC3\x9F" "e";
// "Привет Ωμέγα 東京 🎵": nothing of it in Latin-1 but the spaces.
const std::string kOthers = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 "
                            "\xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x8E\xB5";

TEST(ServerTexts, LatinOneKeepsWhatItCanAndUtf8KeepsEverything) {
    struct Case {
        const char* what;
        std::string in, latin1, keptUtf8;
    };
    const Case cases[] = {
        {"accents and a dash", kTitle, kTitleLatin1, kTitleKept},
        {"other scripts", "a " + kOthers + " b", "a     b", "a     b"},
        {"quotes and ellipsis", "\xE2\x80\x9C" "Don\xE2\x80\x99t\xE2\x80\x9D \xE2\x80\xA6 \xE2\x80\x94 \xE2\x88\x92" "1",
         "\"Don't\" ... - -1", "\"Don't\" ... - -1"},
        {"Latin-1 bytes", "Caf\xE9 \xD8", "Caf\xE9 \xD8", "Caf\xC3\xA9 \xC3\x98"},
        {"cut sequence", "x\xE2\x80", "x\xE2\x80", "x\xC3\xA2\xC2\x80"},
        {"overlong and surrogate", "\xC0\xAF\xED\xA0\x80", "\xC0\xAF\xED\xA0\x80",
         "\xC3\x80\xC2\xAF\xC3\xAD\xC2\xA0\xC2\x80"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", "\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},
        {"empty", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(text::encode(c.in, text::Charset::Latin1), c.latin1);
        EXPECT_EQ(text::restrictTo(c.in, text::Charset::Latin1), c.keptUtf8);
        EXPECT_EQ(text::repairedUtf8(c.keptUtf8), c.keptUtf8);  // valid UTF-8 passes untouched
    }
    // Into UTF-8 every valid character stays, byte for byte; a stray byte becomes its character.
    for (const std::string& s : {kTitle, kOthers}) {
        EXPECT_EQ(text::encode(s, text::Charset::Utf8), s);
        EXPECT_EQ(text::restrictTo(s, text::Charset::Utf8), s);
    }
    EXPECT_EQ(text::encode("Caf\xE9", text::Charset::Utf8), "Caf\xC3\xA9");
}

TEST(ServerTexts, TheContentTypeChoosesTheCharsetAsTheServerDoes) {
    for (const char* type : {"application/ogg", "audio/ogg", "application/x-ogg", "audio/webm"})
        EXPECT_EQ(text::charsetFor(type), text::Charset::Utf8) << type;
    for (const char* type : {"audio/mpeg", "audio/aacp", "", "Application/Ogg", "application/ogg; codecs=opus"})
        EXPECT_EQ(text::charsetFor(type), text::Charset::Latin1) << type;
}

TEST(ServerTexts, HeadersAndTitlesOfBothProtocols) {
    icy::CastParams p;
    p.password = "pass\xC3\xA9";  // byte for byte, whatever the stream
    p.name = kTitle + "\r\nicy-irc: #caf\xC3\xA9";
    p.genre = "Ch\xC3\xA2nson";
    p.desc = kOthers + "!";
    p.url = "http://larkspur.example/";
    for (const char* content : {"audio/mpeg", "application/ogg"}) {
        SCOPED_TRACE(content);
        p.content = content;
        const bool mp3 = std::string(content) == "audio/mpeg";
        const icy::CastParams sent = cast::inServerCharset(p);
        EXPECT_EQ(sent.password, p.password);
        const std::string name = mp3 ? kTitleLatin1 : kTitle;
        const std::string genre = mp3 ? "Ch\xE2nson" : "Ch\xC3\xA2nson";
        const std::string desc = mp3 ? "   !" : kOthers + "!";
        const std::string irc = mp3 ? "#caf\xE9" : "#caf\xC3\xA9";

        const std::string icy = icy::buildHeaders(sent);
        EXPECT_NE(icy.find("icy-name:" + name + "\r\n"), std::string::npos) << icy;
        EXPECT_NE(icy.find("icy-genre:" + genre + "\r\n"), std::string::npos) << icy;
        EXPECT_NE(icy.find("icy-description:" + desc + "\r\n"), std::string::npos) << icy;
        EXPECT_NE(icy.find("icy-irc: " + irc + "\r\n"), std::string::npos) << icy;

        cast::Address mount;
        ASSERT_EQ(cast::parseAddress("radio.example:8000/live", mount), BASS_OK);
        const std::string put = icecast2::buildRequest("PUT", mount, sent, {});
        EXPECT_NE(put.find("ice-name: " + name + "\r\n"), std::string::npos) << put;
        EXPECT_NE(put.find("ice-description: " + desc + "\r\n"), std::string::npos) << put;

        // Titles: SHOUTcast v1 takes the bytes as they come, Icecast 2 is told they are UTF-8.
        const text::Charset cs = text::charsetFor(content);
        cast::Address base;
        ASSERT_EQ(cast::parseAddress("radio.example:8000", base), BASS_OK);
        const cast::Handler& v1 = cast::protocolFor(base);
        const std::string v1Request = v1.titleRequest(base, "pw", v1.titleText(kTitle, cs), "");
        EXPECT_NE(v1Request.find(mp3 ? "&song=Beyonc%E9%20%26%20Sigur%20R%F3s%20-%20D%E9j%E0%20vu%20-%20%C6r%F8%20Stra%DFe "
                                     : "&song=Beyonc%C3%A9%20%26%20Sigur%20R%C3%B3s%20-%20D%C3%A9j%C3%A0%20vu%20%E2%80%93%20"
                                       "%C3%86r%C3%B8%20Stra%C3%9Fe "),
                  std::string::npos)
            << v1Request;
        const cast::Handler& ice = cast::protocolFor(mount);
        const std::string iceRequest = ice.titleRequest(mount, "pw", ice.titleText(kTitle + kOthers, cs), "");
        EXPECT_NE(iceRequest.find(mp3 ? "&song=Beyonc%C3%A9%20%26%20Sigur%20R%C3%B3s%20-%20D%C3%A9j%C3%A0%20vu%20-%20"
                                        "%C3%86r%C3%B8%20Stra%C3%9Fe%20%20%20&charset=UTF-8 "
                                      : "%C3%86r%C3%B8%20Stra%C3%9Fe%D0%9F"),
                  std::string::npos)
            << iceRequest;
    }
}

}  // namespace
