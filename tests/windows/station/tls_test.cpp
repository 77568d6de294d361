// https:// under Wine: the Schannel transport against a real Icecast whose certificate comes
// from a test CA. tls_test.sh runs the untrusted cases first, then the trusted ones in a
// process of their own (the system's chain engine reads the root store once per process),
// and checks on the server what arrived.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bass.h"
#include "win_support.h"

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// A source on its own mixer, silence through lame, as the plug-in's graph would send it.
class Station {
public:
    Station() {
        mixer_ = BASS_Mixer_StreamCreate(44100, 2, BASS_MIXER_NONSTOP | BASS_STREAM_AUTOFREE);
        const std::string lame =
            "\"" + winsupport::exeFolder().string() + "\\Plugins/Larkspur/lame\" -r -s 44100 -b 128 -";
        if (mixer_) enc_ = BASS_Encode_Start(mixer_, lame.c_str(), BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
    }
    ~Station() {
        if (mixer_) BASS_ChannelStop(mixer_);
    }
    // TRUE on the air; else BASS_ErrorGetCode() says why.
    bool cast(const std::string& server, const char* name) {
        return enc_ && BASS_Encode_CastInit(enc_, server.c_str(), env("LARKSPUR_ICECAST_PASSWORD").c_str(), "audio/mpeg",
                                            name, "http://owl.example.org/", "Jazz", "Over TLS", nullptr, 128, TRUE) &&
               BASS_ChannelPlay(mixer_, FALSE);
    }
    HENCODE encoder() const { return enc_; }

private:
    HSTREAM mixer_ = 0;
    HENCODE enc_ = 0;
};

class WindowsTls : public ::testing::Test {
protected:
    void SetUp() override {
        tlsPort = env("LARKSPUR_ICECAST_TLS_PORT");
        ASSERT_FALSE(tlsPort.empty()) << "run by tls_test.sh";
        ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr)) << BASS_ErrorGetCode();  // a clock, no sound
    }
    void TearDown() override { BASS_Free(); }
    std::string at(const std::string& host, const std::string& mount = "/live") const {
        return "https://" + host + ":" + tlsPort + mount;
    }
    std::string tlsPort;
};

// The test CA in the current user's root store for as long as it lives.
class TrustedRoot {
public:
    explicit TrustedRoot(const std::filesystem::path& pem) {
        std::ifstream in(pem, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        DWORD size = 0;
        if (text.empty() || !CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
            return;
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) return;
        store_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
        // Wine writes a registry store back only when told to (Windows at once).
        if (store_ && CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, der.data(), size,
                                                       CERT_STORE_ADD_REPLACE_EXISTING, &cert_))
            CertControlStore(store_, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    ~TrustedRoot() {
        if (cert_ && CertDeleteCertificateFromStore(cert_))  // frees the context too
            CertControlStore(store_, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        if (store_) CertCloseStore(store_, 0);
    }
    bool added() const { return cert_ != nullptr; }

private:
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT cert_ = nullptr;
};

TEST_F(WindowsTls, UntrustedCertificateIsRefusedWithItsCode) {
    Station st;
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        EXPECT_FALSE(st.cast(at(host), "Untrusted"));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_CERT);
    }
    // A plain source on the TLS port is no way round it.
    EXPECT_FALSE(st.cast("http://127.0.0.1:" + tlsPort + "/live", "Plain"));
    // A server that speaks only TLS 1.1 is refused for that, before its certificate counts.
    EXPECT_FALSE(st.cast("https://localhost:" + env("LARKSPUR_OLD_TLS_PORT") + "/live", "Old"));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_TLS);
}

TEST_F(WindowsTls, TrustedCertificateGoesOnTheAirByNameAndByAddressButNotForAnotherHost) {
    TrustedRoot root(env("LARKSPUR_TEST_CA"));
    ASSERT_TRUE(root.added()) << GetLastError();

    Station byName, byAddress, elsewhere;
    // The same server and certificate, reached at an address the certificate does not name,
    // and by a name it does not carry (one the resolver reads as 127.0.0.1).
    for (const char* host : {"127.0.0.2", "127.1"}) {
        SCOPED_TRACE(host);
        EXPECT_FALSE(elsewhere.cast(at(host), "Wrong host"));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_CERT);
    }

    ASSERT_TRUE(byName.cast(at("localhost"), "Secure Owl")) << BASS_ErrorGetCode();
    ASSERT_TRUE(byAddress.cast(at("127.0.0.1", "/other"), "Secure Lark")) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_Encode_CastSetTitle(byName.encoder(), "Wren Test - Over TLS", nullptr));
    ASSERT_TRUE(BASS_Encode_CastSetTitle(byAddress.encoder(), "Wren Test - By Address", nullptr));

    // On the air until the script has seen both mounts and titles on the server.
    const std::filesystem::path seen = env("LARKSPUR_TLS_SEEN");
    EXPECT_TRUE(winsupport::waitFor([&] { return std::filesystem::exists(seen); }, 60000))
        << "the script did not see both sources";
}

}  // namespace
