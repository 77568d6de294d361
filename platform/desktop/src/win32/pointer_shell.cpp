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

// A window of another thread of this process would be asked for its text by a message that
// waits for that thread; the host's thread waits for ours while it stops the plug-in, so the
// text the system keeps for the window is read instead.
std::string Win32::windowTitle(NativeWindow window) {
    HWND hwnd = reinterpret_cast<HWND>(window);
    if (!hwnd || !IsWindow(hwnd)) return {};
    DWORD pid = 0;
    DWORD thread = GetWindowThreadProcessId(hwnd, &pid);
    if (pid == GetCurrentProcessId() && thread != GetCurrentThreadId()) {
        wchar_t buf[300];
        int n = InternalGetWindowText(hwnd, buf, 300);
        return n > 0 ? utf8FromWide(std::wstring(buf, std::size_t(n))) : std::string();
    }
    char buf[300];
    int n = GetWindowTextA(hwnd, buf, sizeof buf);
    return n > 0 ? utf8FromAnsi(std::string(buf, std::size_t(n))) : std::string();
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
