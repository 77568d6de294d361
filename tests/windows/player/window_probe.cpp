// Reads the player's windows from outside, as a person's tools would: a Windows program run
// beside player.exe under the same Wine server. One line per command:
//   config        the configuration window: "window L T R B client W H screen W H"
//   control N     control N of it: "L T R B visible|hidden TEXT" (screen coordinates)
//   tab           the selected tab of the tab control
//   arrows        the tab row's scroll arrows when its tabs do not fit: "L T R B", else "none"
//   checked N     the state of check or toggle N (0 or 1)
//   processes EXE how many processes of that program run under this Wine server
//   host          the host window's title, as GetWindowTextA reads it
//   close-host    asks the host window to close (WM_CLOSE), as its caption's box does
// Exit status 1 when a window or control is not there.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Search {
    int id;
    const char* cls;
    HWND found;
};

BOOL CALLBACK findChild(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<Search*>(lp);
    char cls[64] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (GetDlgCtrlID(w) == s->id && (!s->cls || _stricmp(cls, s->cls) == 0)) {
        // Among equal numbers (a page is numbered too) the visible one wins.
        if (!s->found || (IsWindowVisible(w) && !IsWindowVisible(s->found))) s->found = w;
    }
    return TRUE;
}

HWND childOf(HWND top, int id, const char* cls = nullptr) {
    Search s{id, cls, nullptr};
    EnumChildWindows(top, findChild, reinterpret_cast<LPARAM>(&s));  // all descendants
    return s.found;
}

BOOL CALLBACK findConfig(HWND w, LPARAM lp) {
    if (IsWindowVisible(w) && childOf(w, 0, WC_TABCONTROLA)) {
        *reinterpret_cast<HWND*>(lp) = w;
        return FALSE;
    }
    return TRUE;
}

HWND configWindow() {
    HWND w = nullptr;
    EnumWindows(findConfig, reinterpret_cast<LPARAM>(&w));
    return w;
}

}  // namespace

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string cmd = argv[i];
        HWND config = configWindow();
        if (cmd == "config") {
            RECT r, c;
            if (!config || !GetWindowRect(config, &r) || !GetClientRect(config, &c)) {
                std::puts("none");
                status = 1;
                continue;
            }
            std::printf("window %ld %ld %ld %ld client %ld %ld screen %d %d\n", r.left, r.top, r.right, r.bottom,
                        c.right, c.bottom, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        } else if ((cmd == "control" || cmd == "checked") && i + 1 < argc) {
            const int id = std::atoi(argv[++i]);
            HWND c = config ? childOf(config, id) : nullptr;
            RECT r;
            if (!c || !GetWindowRect(c, &r)) {
                std::puts("none");
                status = 1;
                continue;
            }
            if (cmd == "checked") {
                std::printf("%d\n", SendMessageA(c, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
                continue;
            }
            char text[256] = "";
            GetWindowTextA(c, text, sizeof text);
            std::printf("%ld %ld %ld %ld %s %s\n", r.left, r.top, r.right, r.bottom,
                        IsWindowVisible(c) ? "visible" : "hidden", text);
        } else if (cmd == "arrows") {
            HWND t = config ? childOf(config, 0, WC_TABCONTROLA) : nullptr;
            HWND a = t ? FindWindowExA(t, nullptr, UPDOWN_CLASSA, nullptr) : nullptr;
            RECT r;
            if (a && IsWindowVisible(a) && GetWindowRect(a, &r))
                std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
            else
                std::puts("none");
        } else if (cmd == "processes" && i + 1 < argc) {
            const char* exe = argv[++i];
            HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            int n = 0;
            PROCESSENTRY32 e{};
            e.dwSize = sizeof e;
            for (BOOL more = Process32First(snap, &e); more; more = Process32Next(snap, &e))
                if (_stricmp(e.szExeFile, exe) == 0) ++n;
            CloseHandle(snap);
            std::printf("%d\n", n);
        } else if (cmd == "tab") {
            HWND t = config ? childOf(config, 0, WC_TABCONTROLA) : nullptr;
            if (!t) {
                std::puts("none");
                status = 1;
                continue;
            }
            std::printf("%d\n", static_cast<int>(SendMessageA(t, TCM_GETCURSEL, 0, 0)));
        } else if (cmd == "host" || cmd == "close-host") {
            HWND h = FindWindowA("LarkspurPlayer", nullptr);
            if (!h) {
                std::puts("none");
                status = 1;
                continue;
            }
            if (cmd == "close-host") {
                PostMessageA(h, WM_CLOSE, 0, 0);
                std::puts("asked");
                continue;
            }
            char title[300] = "";
            GetWindowTextA(h, title, sizeof title);
            std::printf("%s\n", title);
        } else {
            std::fprintf(stderr, "window_probe: unknown command %s\n", cmd.c_str());
            return 2;
        }
    }
    std::fflush(stdout);
    return status;
}
