#include "shadowed.h"

#include <algorithm>

namespace desktop::detail {

bool ShadowedBackend::controlExists(int number) {
    std::lock_guard lock(m_);
    return shadow_.count(number) != 0;
}
void ShadowedBackend::setText(int number, const std::string& t) {
    change(number, [&](Shadow& s) { s.spec.text = t; });
}
std::string ShadowedBackend::text(int number) {
    return read(number, std::string(), [](Shadow& s) { return s.spec.text; });
}
void ShadowedBackend::setChecked(int number, bool down) {
    change(number, [&](Shadow& s) { s.checked = down; });
}
bool ShadowedBackend::checked(int number) {
    return read(number, false, [](Shadow& s) { return s.checked; });
}
void ShadowedBackend::setEnabled(int number, bool on) {
    change(number, [&](Shadow& s) { s.enabled = on; });
}
bool ShadowedBackend::enabled(int number) {
    return read(number, false, [](Shadow& s) { return s.enabled; });
}
void ShadowedBackend::setTextColor(int number, std::uint32_t rgb) {
    change(number, [&](Shadow& s) {
        s.textColor = rgb & 0xFFFFFF;
        s.coloured = true;
    });
}
void ShadowedBackend::setBackgroundColor(int number, std::uint32_t rgb) {
    change(number, [&](Shadow& s) {
        s.background = rgb & 0xFFFFFF;
        s.coloured = true;
        s.backgroundSet = true;
    });
}
std::uint32_t ShadowedBackend::textColor(int number) {
    return read(number, std::uint32_t(0), [](Shadow& s) { return s.textColor; });
}
std::uint32_t ShadowedBackend::backgroundColor(int number) {
    return read(number, std::uint32_t(0), [](Shadow& s) { return s.background; });
}
void ShadowedBackend::addItem(int list, const std::string& item) {
    change(list, [&](Shadow& s) {
        if (s.spec.kind == ControlKind::DropList) s.items.push_back(item);
    });
}
void ShadowedBackend::clearItems(int list) {
    change(list, [](Shadow& s) {
        if (s.spec.kind != ControlKind::DropList) return;
        s.items.clear();
        s.selected = -1;
    });
}
int ShadowedBackend::itemCount(int list) {
    return read(list, 0, [](Shadow& s) { return int(s.items.size()); });
}
std::string ShadowedBackend::itemText(int list, int pos) {
    return read(list, std::string(), [&](Shadow& s) {
        return pos >= 0 && pos < int(s.items.size()) ? s.items[std::size_t(pos)] : std::string();
    });
}
void ShadowedBackend::select(int list, int pos) {
    change(list, [&](Shadow& s) {
        bool valid = pos >= 0 && pos < int(s.items.size());
        if (s.spec.kind == ControlKind::TabControl) {
            if (valid) s.selected = pos;  // a tab control always shows a page
        } else {
            s.selected = valid ? pos : -1;
        }
    });
}
int ShadowedBackend::selected(int list) {
    return read(list, -1, [](Shadow& s) { return s.selected; });
}
void ShadowedBackend::setPosition(int trackbar, int pos) {
    change(trackbar, [&](Shadow& s) { s.position = std::clamp(pos, 0, 100); });
}
int ShadowedBackend::position(int trackbar) {
    return read(trackbar, 0, [](Shadow& s) { return s.position; });
}
MeterReading clampedReading(const MeterReading& r) {
    auto clampDb = [](double db) { return db >= 0.0 ? 0.0 : db > meterFloorDb ? db : meterFloorDb; };  // NaN: the floor
    return {clampDb(r.levelDb), clampDb(r.holdDb), r.clipped};
}
void ShadowedBackend::setMeter(int number, const MeterReading& reading) {
    const MeterReading r = clampedReading(reading);
    bool changed = false;
    {
        std::lock_guard lock(m_);
        auto it = shadow_.find(number);
        if (it == shadow_.end() || it->second.spec.kind != ControlKind::Meter || it->second.meter == r) return;
        it->second.meter = r;
        changed = true;
    }
    // 25 readings a second: only a change is carried to the window thread.
    if (changed) applyLater(number);
}
MeterReading ShadowedBackend::meter(int number) {
    return read(number, MeterReading{}, [](Shadow& s) { return s.meter; });
}
void ShadowedBackend::setToolTip(int number, const std::string& t) {
    change(number, [&](Shadow& s) { s.toolTip = t; });
}

}  // namespace desktop::detail
