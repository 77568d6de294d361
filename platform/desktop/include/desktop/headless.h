// Test driver of the headless backend: acts as the person at the window and the X server.
// Every call here is safe from any thread. Events are queued for the window thread's
// nextEvent() exactly as the real backend notes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "desktop/desktop.h"

namespace desktop::headless {

void reset();  // forget every window, control, box, timer and event

// Failure injection
void failWindows(bool fail);  // opening windows fails (as with no display)

// The person
void type(int edit, const std::string& text);  // replaces the text; one Control event
void click(int button);                        // toggles toggle buttons and check boxes; one event
void choose(int list, int position);           // one Control event
void drag(int trackbar, int position);         // one Control event
void pointer(int controlUnder, bool primaryDown);
void fireTimer(int id);  // one Timer event; timers never fire on their own in this backend
void post();             // a message that notes no event (a mouse move)
int pendingEvents();     // queued and not yet taken by nextEvent()

// Message boxes
struct Box {
    std::string title;
    std::string text;
    NativeWindow owner = 0;
};
std::vector<Box> boxes();     // every box shown so far, in order
void holdBoxes(bool hold);    // true: boxes stay open until dismissBox(); false (default): close at once
bool boxOpen();
void dismissBox();

// Other windows
void setWindowTitle(NativeWindow window, const std::string& title);
// The active window as this process sees it: a window of its own, or 0 (none, or another
// program's).
void setForegroundWindow(NativeWindow window);
int soundSettingsOpened();  // how often openSoundSettings() was called

// What the X server would show
int timerPeriod(int id);  // period of the window timer `id`, 0 when none is set
struct WindowInfo {
    bool exists = false;
    bool hidden = false;
    NativeWindow owner = 0;
    int x = 0, y = 0, width = 0, height = 0;  // outer position, client size
    bool iconSet = false;
    std::uint32_t background = 0;
};
WindowInfo windowInfo(int number);
ControlSpec controlSpec(int number);  // as created (text kept current); number 0 when none
std::vector<int> controlNumbers();    // every control, in creation order
std::string toolTip(int number);      // empty when none

}  // namespace desktop::headless
