// One backend behind desktop.h; desktop.cpp forwards every call to the selected one.
#pragma once

#include "desktop/desktop.h"

namespace desktop::detail {

class Backend {
public:
    virtual ~Backend() = default;
    virtual void messageBox(NativeWindow owner, const std::string& title, const std::string& text) = 0;
    virtual NativeWindow foregroundWindowOfThisProcess() = 0;
    virtual bool openHiddenWindow(int number, NativeWindow owner, int w, int h) = 0;
    virtual ScreenSize screenSize() = 0;
    virtual ScreenSize outerSize(int w, int h) = 0;
    virtual bool openConfigWindow(int number, NativeWindow owner, int x, int y, int w, int h) = 0;
    virtual void setWindowIcon(int number, const Image& icon) = 0;
    virtual void closeWindow(int number) = 0;
    virtual bool windowExists(int number) = 0;
    virtual NativeWindow nativeHandle(int number) = 0;
    virtual bool compositionEnabled() = 0;
    virtual void setWindowBackground(int number, std::uint32_t rgb) = 0;

    virtual bool createControl(int window, const ControlSpec& spec) = 0;
    virtual int addTab(int tabControl, const std::string& label) = 0;
    virtual bool controlExists(int number) = 0;
    virtual void setText(int number, const std::string& text) = 0;
    virtual std::string text(int number) = 0;
    virtual void setChecked(int number, bool down) = 0;
    virtual bool checked(int number) = 0;
    virtual void setEnabled(int number, bool on) = 0;
    virtual bool enabled(int number) = 0;
    virtual void setTextColor(int number, std::uint32_t rgb) = 0;
    virtual void setBackgroundColor(int number, std::uint32_t rgb) = 0;
    virtual std::uint32_t textColor(int number) = 0;
    virtual std::uint32_t backgroundColor(int number) = 0;
    virtual void addItem(int list, const std::string& item) = 0;
    virtual void clearItems(int list) = 0;
    virtual int itemCount(int list) = 0;
    virtual std::string itemText(int list, int position) = 0;
    virtual void select(int list, int position) = 0;
    virtual int selected(int list) = 0;
    virtual void setPosition(int trackbar, int position) = 0;
    virtual int position(int trackbar) = 0;
    virtual void setMeter(int meter, const MeterReading& reading) = 0;
    virtual MeterReading meter(int meter) = 0;
    virtual void setToolTip(int number, const std::string& text) = 0;

    virtual void setTimer(int window, int id, int periodMs) = 0;
    virtual void repaintNow() = 0;
    virtual Event nextEvent() = 0;
    virtual void endLoop() = 0;
    virtual void resetLoop() = 0;

    virtual int controlUnderCursor() = 0;
    virtual bool primaryButtonDown() = 0;
    virtual std::string windowTitle(NativeWindow window) = 0;
    virtual void openSoundSettings() = 0;
};

Backend& headlessBackend();
Backend& fltkBackend();
Backend& win32Backend();
// The platform's real windows: FLTK on X11, the system's own controls on Windows.
Backend& nativeBackend();
const char* nativeBackendName();

// Shared by every backend: the process's own executable (one file per platform).
std::string readExecutablePath();

}  // namespace desktop::detail
