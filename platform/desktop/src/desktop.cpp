#include <atomic>

#include "backend.h"

namespace desktop {
namespace {

std::atomic<detail::Backend*> current{nullptr};
std::atomic<bool> isHeadless{false};

detail::Backend& be() {
    detail::Backend* b = current.load(std::memory_order_acquire);
    if (!b) {
        // Nobody chose: the real windows are the default.
        b = &detail::nativeBackend();
        detail::Backend* expected = nullptr;
        if (!current.compare_exchange_strong(expected, b)) b = expected;
    }
    return *b;
}

}  // namespace

bool selectBackend(const std::string& name) {
    if (name == "headless") {
        current.store(&detail::headlessBackend(), std::memory_order_release);
        isHeadless = true;
        return true;
    }
    if (name == detail::nativeBackendName()) {
        current.store(&detail::nativeBackend(), std::memory_order_release);
        isHeadless = false;
        return true;
    }
    return false;
}

std::string backendName() {
    be();
    return isHeadless ? "headless" : detail::nativeBackendName();
}

void messageBox(NativeWindow owner, const std::string& title, const std::string& text) {
    be().messageBox(owner, title, text);
}
NativeWindow foregroundWindowOfThisProcess() { return be().foregroundWindowOfThisProcess(); }
bool openHiddenWindow(int number, NativeWindow owner, int w, int h) { return be().openHiddenWindow(number, owner, w, h); }
ScreenSize screenSize() { return be().screenSize(); }
ScreenSize outerSize(int w, int h) { return be().outerSize(w, h); }
bool openConfigWindow(int number, NativeWindow owner, int x, int y, int w, int h) {
    return be().openConfigWindow(number, owner, x, y, w, h);
}
void setWindowIcon(int number, const Image& icon) { be().setWindowIcon(number, icon); }
void closeWindow(int number) { be().closeWindow(number); }
bool windowExists(int number) { return be().windowExists(number); }
NativeWindow nativeHandle(int number) { return be().nativeHandle(number); }
bool compositionEnabled() { return be().compositionEnabled(); }
void setWindowBackground(int number, std::uint32_t rgb) { be().setWindowBackground(number, rgb); }

bool createControl(int window, const ControlSpec& spec) { return be().createControl(window, spec); }
int addTab(int tabControl, const std::string& label) { return be().addTab(tabControl, label); }
bool controlExists(int number) { return be().controlExists(number); }
void setText(int number, const std::string& t) { be().setText(number, t); }
std::string text(int number) { return be().text(number); }
void setChecked(int number, bool down) { be().setChecked(number, down); }
bool checked(int number) { return be().checked(number); }
void setEnabled(int number, bool on) { be().setEnabled(number, on); }
bool enabled(int number) { return be().enabled(number); }
void setTextColor(int number, std::uint32_t rgb) { be().setTextColor(number, rgb); }
void setBackgroundColor(int number, std::uint32_t rgb) { be().setBackgroundColor(number, rgb); }
std::uint32_t textColor(int number) { return be().textColor(number); }
std::uint32_t backgroundColor(int number) { return be().backgroundColor(number); }
void addItem(int list, const std::string& item) { be().addItem(list, item); }
void clearItems(int list) { be().clearItems(list); }
int itemCount(int list) { return be().itemCount(list); }
std::string itemText(int list, int pos) { return be().itemText(list, pos); }
void select(int list, int pos) { be().select(list, pos); }
int selected(int list) { return be().selected(list); }
void setPosition(int trackbar, int pos) { be().setPosition(trackbar, pos); }
int position(int trackbar) { return be().position(trackbar); }
void setMeter(int m, const MeterReading& reading) { be().setMeter(m, reading); }
MeterReading meter(int m) { return be().meter(m); }
void setToolTip(int number, const std::string& t) { be().setToolTip(number, t); }

void setTimer(int window, int id, int periodMs) { be().setTimer(window, id, periodMs); }
void repaintNow() { be().repaintNow(); }
Event nextEvent() { return be().nextEvent(); }
void endLoop() { be().endLoop(); }
void resetLoop() { be().resetLoop(); }

int controlUnderCursor() { return be().controlUnderCursor(); }
bool primaryButtonDown() { return be().primaryButtonDown(); }
std::string windowTitle(NativeWindow window) { return be().windowTitle(window); }
void openSoundSettings() { be().openSoundSettings(); }
std::string executablePath() { return detail::readExecutablePath(); }

}  // namespace desktop
