// FLTK backend: the pointer.
#include "fltk/fltk_backend.h"

namespace desktop::detail::fltk {

// ---- the pointer ----
int Fltk::controlUnderCursor() {
    NativeWindow xid;
    {
        std::lock_guard lock(m_);
        xid = alive_ ? configXid_ : 0;
    }
    int lx = 0, ly = 0;
    if (!xid || !x11::queryPointer(xid, &lx, &ly, nullptr)) return 0;
    std::lock_guard lock(m_);
    int tabSelected = -1;
    for (auto& [n, s] : shadow_)
        if (s.spec.kind == ControlKind::TabControl) tabSelected = s.selected;
    // Later controls lie above earlier ones; hidden and disabled controls are not hit.
    const Shadow* best = nullptr;
    for (auto& [n, s] : shadow_) {
        if (!s.enabled || (s.spec.page != onWindow && s.spec.page != tabSelected)) continue;
        int h = s.spec.kind == ControlKind::DropList ? 20 : s.spec.height;
        if (lx < s.absX || ly < s.absY || lx >= s.absX + s.spec.width || ly >= s.absY + h) continue;
        if (!best || s.seq > best->seq) best = &s;
    }
    return best ? best->spec.number : 0;
}

bool Fltk::primaryButtonDown() {
    bool down = false;
    return x11::queryPointer(0, nullptr, nullptr, &down) && down;
}

}  // namespace desktop::detail::fltk
