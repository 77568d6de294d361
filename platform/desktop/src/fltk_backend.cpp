// Placeholder until the FLTK backend lands: behaves as with no display.
#include "backend.h"

namespace desktop::detail {
namespace {

class Fltk final : public Backend {
public:
    void messageBox(NativeWindow, const std::string&, const std::string&) override {}
    bool openHiddenWindow(int, NativeWindow, int, int) override { return false; }
    ScreenSize screenSize() override { return {}; }
    ScreenSize outerSize(int w, int h) override { return {w, h}; }
    bool openConfigWindow(int, NativeWindow, int, int, int, int) override { return false; }
    void setWindowIcon(int, const Image&) override {}
    void closeWindow(int) override {}
    bool windowExists(int) override { return false; }
    NativeWindow nativeHandle(int) override { return 0; }
    bool compositionEnabled() override { return false; }
    void setWindowBackground(int, std::uint32_t) override {}
    bool createControl(int, const ControlSpec&) override { return false; }
    int addTab(int, const std::string&) override { return -1; }
    bool controlExists(int) override { return false; }
    void setText(int, const std::string&) override {}
    std::string text(int) override { return {}; }
    void setChecked(int, bool) override {}
    bool checked(int) override { return false; }
    void setEnabled(int, bool) override {}
    bool enabled(int) override { return false; }
    void setTextColor(int, std::uint32_t) override {}
    void setBackgroundColor(int, std::uint32_t) override {}
    std::uint32_t textColor(int) override { return 0; }
    std::uint32_t backgroundColor(int) override { return 0; }
    void addItem(int, const std::string&) override {}
    int itemCount(int) override { return 0; }
    std::string itemText(int, int) override { return {}; }
    void select(int, int) override {}
    int selected(int) override { return -1; }
    void setPosition(int, int) override {}
    int position(int) override { return 0; }
    void setTimer(int, int, int) override {}
    Event nextEvent() override { return {Event::Kind::Quit, 0}; }
    void endLoop() override {}
    void resetLoop() override {}
    int controlUnderCursor() override { return 0; }
    bool primaryButtonDown() override { return false; }
    std::string windowTitle(NativeWindow) override { return {}; }
    void openSoundSettings() override {}
};

}  // namespace

Backend& fltkBackend() {
    static Fltk f;
    return f;
}

}  // namespace desktop::detail
