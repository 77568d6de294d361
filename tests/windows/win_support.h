// Small helpers of the Windows suites.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace winsupport {

inline std::filesystem::path exeFolder() {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return std::filesystem::path(std::string(buf, n)).parent_path();
}

template <typename F>
bool waitFor(F done, int ms = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Running processes of that executable name (any folder).
inline int processesNamed(const char* exe) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32 e{};
    e.dwSize = sizeof e;
    int n = 0;
    for (BOOL more = Process32First(snap, &e); more; more = Process32Next(snap, &e))
        if (_stricmp(e.szExeFile, exe) == 0) ++n;
    CloseHandle(snap);
    return n;
}

}  // namespace winsupport
