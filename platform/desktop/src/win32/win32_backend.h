// The Win32 backend: the system's own controls.
//
// The window and its controls belong to the window thread (the thread that opened the
// configuration window). Every control has a shadow record under one lock: setters write it
// from any thread and the control follows on the window thread (at once there, else through a
// queue drained when a posted message wakes that thread); getters read the shadow. The
// window's notifications update the shadow and note the events that nextEvent() hands out.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "shadowed.h"

namespace desktop::detail::win32 {

constexpr UINT runQueued = WM_APP + 1;    // the window thread drains its queue
constexpr UINT destroyHidden = WM_APP + 2;  // a hidden window closed from another thread
constexpr int pageIdBase = 1000;          // tab pages: above every control number

COLORREF colorRef(std::uint32_t rgb);

// What the window thread has made of a control.
struct Live {
    HWND hwnd = nullptr;
    HBITMAP bitmap = nullptr;
    HBRUSH brush = nullptr;  // background of a coloured static
    std::uint32_t brushColour = 0;
    std::vector<std::string> itemsShown;
    std::string textShown;
    bool textSet = false;
    std::string toolTipShown;
    MeterReading meterShown;
};

class Win32 final : public ShadowedBackend {
public:
    Win32();
    void applyLater(int number) override { post([this, number] { apply(number); }); }

    // ---- message boxes (message_boxes.cpp) ----
    void messageBox(NativeWindow owner, const std::string& title, const std::string& text) override;
    NativeWindow foregroundWindowOfThisProcess() override;
    void closeOpenBoxes();  // under m_
    static LRESULT CALLBACK boxHook(int code, WPARAM w, LPARAM l);

    // ---- windows and controls (windows.cpp) ----
    bool openHiddenWindow(int number, NativeWindow owner, int w, int h) override;
    ScreenSize screenSize() override;
    ScreenSize outerSize(int w, int h) override;
    bool openConfigWindow(int number, NativeWindow owner, int x, int y, int w, int h) override;
    void setWindowIcon(int number, const Image& icon) override;
    void closeWindow(int number) override;
    bool windowExists(int number) override;
    NativeWindow nativeHandle(int number) override;
    bool compositionEnabled() override;
    void setWindowBackground(int number, std::uint32_t rgb) override;

    bool createControl(int window, const ControlSpec& spec) override;
    int addTab(int tabControl, const std::string& label) override;

    static LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l);
    static LRESULT CALLBACK pageProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l);
    static LRESULT CALLBACK hiddenProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l);
    LRESULT handle(HWND hwnd, UINT msg, WPARAM w, LPARAM l);
    void apply(int number);
    void userChanged(int number, HWND control, bool note);
    void showPage(int index);
    void closeConfig();
    bool registerClasses();

    // ---- message loop, timers and accelerators (event_loop.cpp) ----
    void setTimer(int window, int id, int periodMs) override;
    void repaintNow() override;
    Event nextEvent() override;
    void endLoop() override;
    void resetLoop() override;
    bool onWindowThread();
    void post(std::function<void()> fn);
    void drain();
    void note(Event e);
    bool tabKey(const MSG& msg);
    void moveFocus(bool backwards);

    // ---- pointer, host title and shell (pointer_shell.cpp) ----
    int controlUnderCursor() override;
    bool primaryButtonDown() override;
    std::string windowTitle(NativeWindow window) override;
    void openSoundSettings() override;


    // Shared, under m_.
    std::condition_variable idle_;
    std::deque<std::function<void()>> ops_;
    std::deque<Event> events_;
    std::map<int, HWND> hidden_;
    std::map<DWORD, HWND> boxes_;  // open message boxes, by the thread that shows each
    bool ended_ = false;
    bool alive_ = false;
    DWORD thread_ = 0;
    int configNumber_ = 1;
    HWND config_ = nullptr;

    // Window thread only.
    std::map<int, Live> live_;
    HWND tabs_ = nullptr;
    int tabsNumber_ = -1;
    std::vector<HWND> pages_;
    HWND toolTips_ = nullptr;
    HICON icon_ = nullptr;
    HBRUSH background_ = nullptr;
    bool applying_ = false;  // our own changes notify too; they are not the person's
};

Win32& self();

// Pixels for the system: 32-bit top-down DIB sections, transparent pixels laid on `under`.
HBITMAP dibFromImage(const Image& image, std::uint32_t under);
HICON iconFromImage(const Image& image);

}  // namespace desktop::detail::win32
