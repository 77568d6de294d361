#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "desktop/desktop.h"
#include "desktop/headless.h"
#include "fake_bass.h"

namespace fuzz_support {

const std::string& setUp() {
    static const std::string folder = [] {
        std::string tmpl = "/tmp/larkspur-fuzz.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        const char* made = ::mkdtemp(buf.data());
        if (!made) fail("no private working folder");
        desktop::selectBackend("headless");
        desktop::headless::reset();
        fake_bass::reset();
        // The folder holds at most one settings file; leave nothing behind at exit.
        static std::string removeAtExit = made;
        std::atexit([] {
            ::unlink((removeAtExit + "/Larkspur_Settings.dat").c_str());
            ::unlink((removeAtExit + "/Larkspur_Settings.dat.new").c_str());
            ::rmdir(removeAtExit.c_str());
        });
        return std::string(made);
    }();
    return folder;
}

InPrivateFolder::InPrivateFolder() : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (previous_ < 0 || ::chdir(setUp().c_str()) != 0) fail("cannot enter the private folder");
}

InPrivateFolder::~InPrivateFolder() {
    if (::fchdir(previous_) != 0) fail("cannot leave the private folder");
    ::close(previous_);
}

void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
    std::abort();
}

std::string printable(const std::string& bytes) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace fuzz_support
