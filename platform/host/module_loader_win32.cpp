#include <windows.h>

#include "module_loader.h"

namespace host {

namespace {

std::string lastError() {
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0,
                             buf, sizeof buf, nullptr);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == '.')) s.pop_back();
    return s.empty() ? "error " + std::to_string(GetLastError()) : s;
}

}  // namespace

bool loadModule(const std::string& path, LoadedModule& out, std::string& error) {
    out = {};
    // The module's own imports (the audio library's DLLs) are found beside the player.
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h) {
        error = "cannot load the module: " + path + ": " + lastError();
        return false;
    }
    auto fail = [&](const std::string& why) {
        FreeLibrary(h);
        error = path + ": " + why;
        return false;
    };
    auto getHeader = reinterpret_cast<GetHeaderProc>(reinterpret_cast<void*>(GetProcAddress(h, "winampDSPGetHeader2")));
    if (const char* why = bindModule(getHeader, out)) return fail(why);
    out.handle = h;
    return true;
}

void unloadModule(LoadedModule& m) {
    if (m.handle) FreeLibrary(static_cast<HMODULE>(m.handle));
    m = {};
}

}  // namespace host
