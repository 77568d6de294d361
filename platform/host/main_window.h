// The host's main window: plain Xlib on a Display connection of its own. Its title is the
// host's "N. Artist - Title - Winamp"; it shows the track and its elapsed time.
#pragma once

#include <cstdint>
#include <string>

namespace host {

// Once, before any other Xlib call in the process: the module talks to the display from its
// own threads too.
void initXlibThreads();

class MainWindow {
public:
    ~MainWindow();
    // False when there is no display; the player then runs without a window.
    bool open(const std::string& title);
    std::uintptr_t id() const { return window_; }
    void setTitle(const std::string& title);
    void setStatus(const std::string& line1, const std::string& line2);

    enum class Input { Idle, Close, Config };
    // Handles the pending events, waiting at most `timeoutMs` for one.
    Input poll(int timeoutMs);
    void close();

private:
    void draw();
    bool lost();  // the display connection died; the window is gone

    void* display_ = nullptr;  // Display*
    std::uintptr_t window_ = 0;
    unsigned long deleteAtom_ = 0, netWmName_ = 0, utf8_ = 0;
    void* gc_ = nullptr;  // GC
    std::string line1_, line2_;
};

}  // namespace host
