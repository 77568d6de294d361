// Win32 backend: the pointer, other windows' titles, and the system's sound settings.
#include "win32/win32_backend.h"  // windows.h before the other system headers

#include <shellapi.h>

namespace desktop::detail::win32 {

int Win32::controlUnderCursor() {
    HWND config;
    {
        std::lock_guard lock(m_);
        config = alive_ ? config_ : nullptr;
    }
    POINT p{};
    if (!config || !GetCursorPos(&p)) return 0;
    HWND under = WindowFromPoint(p);  // hidden and disabled windows are not hit
    if (!under || !IsChild(config, under)) return 0;
    int id = GetDlgCtrlID(under);
    return id >= pageIdBase ? 0 : id;  // a tab page is no control
}

// The primary button follows the pointer mapping: the right one for the left-handed.
bool Win32::primaryButtonDown() {
    int vk = GetSystemMetrics(SM_SWAPBUTTON) ? VK_RBUTTON : VK_LBUTTON;
    return (GetAsyncKeyState(vk) & 0x8000) != 0;
}

namespace {

// The title in the ANSI code page, the plug-in's text there, at most 299 bytes as
// GetWindowTextA gives it; a character the code page lacks is dropped, not turned into '?'.
std::string ansiFromWide(const wchar_t* text, int length) {
    const bool utf8 = GetACP() == CP_UTF8;  // no default character to detect there
    std::string out;
    for (int i = 0; i < length;) {
        const int units = IS_HIGH_SURROGATE(text[i]) && i + 1 < length && IS_LOW_SURROGATE(text[i + 1]) ? 2 : 1;
        char bytes[8];
        BOOL lost = FALSE;
        const int n = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, text + i, units, bytes,
                                          sizeof bytes, nullptr, utf8 ? nullptr : &lost);
        i += units;
        if (n <= 0 || lost) continue;
        if (out.size() + std::size_t(n) > 299) break;
        out.append(bytes, std::size_t(n));
    }
    return out;
}

}  // namespace

// A window of another thread of this process would be asked for its text by a message that
// waits for that thread; the host's thread waits for ours while it stops the plug-in, so the
// text the system keeps for the window is read instead.
std::string Win32::windowTitle(NativeWindow window) {
    HWND hwnd = reinterpret_cast<HWND>(window);
    if (!hwnd || !IsWindow(hwnd)) return {};
    DWORD pid = 0;
    DWORD thread = GetWindowThreadProcessId(hwnd, &pid);
    wchar_t buf[300];
    const bool ours = pid == GetCurrentProcessId() && thread != GetCurrentThreadId();
    int n = ours ? InternalGetWindowText(hwnd, buf, 300) : GetWindowTextW(hwnd, buf, 300);
    return n > 0 ? ansiFromWide(buf, n) : std::string();
}

// The control panel's sound page; nothing waits for it and a failure shows nothing.
void Win32::openSoundSettings() {
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = "MMSYS.CPL";
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExA(&info) && info.hProcess) CloseHandle(info.hProcess);
}

}  // namespace desktop::detail::win32
