// The host's main window: plain Xlib on a Display connection of its own, or a plain Win32
// window. Its title is the host's "N. Artist - Title - Winamp"; it shows the track and its
// elapsed time; C opens the module's configuration.
#pragma once

#include <cstdint>
#include <string>

namespace host {

// X11 only: once, before any other Xlib call in the process (the module talks to the display
// from its own threads too).
void initXlibThreads();

class MainWindow {
public:
    ~MainWindow();
    // False when there is no display; the player then runs without a window. The thread that
    // opens the window is the one that polls it.
    bool open(const std::string& title);
    std::uintptr_t id() const { return window_; }
    void setTitle(const std::string& title);
    void setStatus(const std::string& line1, const std::string& line2);

    enum class Input { Idle, Close, Config };
    // Handles the pending events, waiting at most `timeoutMs` for one.
    Input poll(int timeoutMs);
    void close();

private:
    struct Native;  // the window system's handles
    void draw();
    bool lost();  // the display connection died; the window is gone

    Native* native_ = nullptr;
    std::uintptr_t window_ = 0;
    std::string line1_, line2_;
};

}  // namespace host
