// What the real backends share: every control's shadow record under one lock. Setters write
// the shadow from any thread and ask the backend to bring the control to it on the window
// thread; getters read the shadow, so no thread ever waits for the window thread to answer.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"

namespace desktop::detail {

constexpr std::uint32_t dialogColour = 0xF0F0F0;

struct Shadow {
    int window = 0;
    ControlSpec spec;
    int absX = 0, absY = 0;  // position in the window, for hit tests from any thread
    bool checked = false;
    bool enabled = true;
    std::uint32_t textColor = 0x000000;
    std::uint32_t background = dialogColour;
    bool coloured = false;  // colours set by the plug-in
    bool backgroundSet = false;  // the background among them; else the system's stays
    std::vector<std::string> items;  // list entries or tab labels
    int selected = -1;
    int position = 0;
    MeterReading meter;
    std::string toolTip;
    std::uint64_t seq = 0;  // creation order
};

// Levels into meterFloorDb..0 (a NaN reads as the floor).
MeterReading clampedReading(const MeterReading& r);

class ShadowedBackend : public Backend {
public:
    bool controlExists(int number) override;
    void setText(int number, const std::string& text) override;
    std::string text(int number) override;
    void setChecked(int number, bool down) override;
    bool checked(int number) override;
    void setEnabled(int number, bool on) override;
    bool enabled(int number) override;
    void setTextColor(int number, std::uint32_t rgb) override;
    void setBackgroundColor(int number, std::uint32_t rgb) override;
    std::uint32_t textColor(int number) override;
    std::uint32_t backgroundColor(int number) override;
    void addItem(int list, const std::string& item) override;
    void clearItems(int list) override;
    int itemCount(int list) override;
    std::string itemText(int list, int position) override;
    void select(int list, int position) override;
    int selected(int list) override;
    void setPosition(int trackbar, int position) override;
    int position(int trackbar) override;
    void setMeter(int meter, const MeterReading& reading) override;
    MeterReading meter(int meter) override;
    void setToolTip(int number, const std::string& text) override;

protected:
    // The control follows its shadow on the window thread (at once when called there).
    virtual void applyLater(int number) = 0;

    template <typename F>
    void change(int number, F&& f) {
        {
            std::lock_guard lock(m_);
            auto it = shadow_.find(number);
            if (it == shadow_.end()) return;
            f(it->second);
        }
        applyLater(number);
    }

    template <typename T, typename F>
    T read(int number, T fallback, F&& f) {
        std::lock_guard lock(m_);
        auto it = shadow_.find(number);
        return it == shadow_.end() ? fallback : f(it->second);
    }

    std::mutex m_;
    std::map<int, Shadow> shadow_;
    std::uint64_t nextSeq_ = 1;
};

}  // namespace desktop::detail
