// Win32 backend: message boxes, held on the calling thread only, and closed by the forced end.
#include <cstring>

#include "win32/win32_backend.h"

namespace desktop::detail::win32 {

// A box kept above a window of another thread would have the system send that thread
// messages (the owner is disabled while the box is open) and wait for it: a window thread
// busy in a handler, perhaps waiting for this very thread, would never answer. Such a box
// stays on top instead.
void Win32::messageBox(NativeWindow owner, const std::string& title, const std::string& text) {
    DWORD me = GetCurrentThreadId();
    {
        std::lock_guard lock(m_);
        if (ended_) return;  // forced end: a box now would only be closed again at once
        boxes_[me] = nullptr;
    }
    HWND ownerHwnd = reinterpret_cast<HWND>(owner);
    UINT flags = MB_OK;
    if (ownerHwnd && (!IsWindow(ownerHwnd) || GetWindowThreadProcessId(ownerHwnd, nullptr) != me)) {
        ownerHwnd = nullptr;
        flags |= MB_TOPMOST | MB_SETFOREGROUND;
    }
    HHOOK hook = SetWindowsHookExA(WH_CBT, boxHook, nullptr, me);
    MessageBoxA(ownerHwnd, text.c_str(), title.c_str(), flags);
    if (hook) UnhookWindowsHookEx(hook);
    std::lock_guard lock(m_);
    boxes_.erase(me);
}

// Notes the box as the system activates it, so that the forced end can close it; a forced
// end that came while the box was being made closes it at once.
LRESULT CALLBACK Win32::boxHook(int code, WPARAM w, LPARAM l) {
    if (code == HCBT_ACTIVATE) {
        HWND h = reinterpret_cast<HWND>(w);
        char cls[16] = {};
        GetClassNameA(h, cls, sizeof cls);
        if (std::strcmp(cls, "#32770") == 0) {
            Win32& s = self();
            std::lock_guard lock(s.m_);
            auto it = s.boxes_.find(GetCurrentThreadId());
            if (it != s.boxes_.end() && !it->second) {
                it->second = h;
                if (s.ended_) PostMessageA(h, WM_COMMAND, IDOK, 0);
            }
        }
    }
    return CallNextHookEx(nullptr, code, w, l);
}

void Win32::closeOpenBoxes() {
    for (auto& [thread, box] : boxes_)
        if (box) PostMessageA(box, WM_COMMAND, IDOK, 0);
}

NativeWindow Win32::foregroundWindowOfThisProcess() {
    HWND w = GetForegroundWindow();
    DWORD pid = 0;
    if (!w || !GetWindowThreadProcessId(w, &pid) || pid != GetCurrentProcessId()) return 0;
    return reinterpret_cast<NativeWindow>(w);
}

}  // namespace desktop::detail::win32
