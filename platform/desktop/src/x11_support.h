// Plain Xlib pieces that must not depend on FLTK: FLTK belongs to the window thread alone.
#pragma once

#include <cstdint>
#include <string>

#include "desktop/desktop.h"

namespace desktop::x11 {

bool displayAvailable();                         // an X server answers on $DISPLAY
ScreenSize screenSize();                         // {0, 0} without a display
// Frame that the window manager puts around a captioned window; zero without a manager.
struct Frame {
    int left = 0, right = 0, top = 0, bottom = 0;
};
Frame frameExtents();
std::string windowTitle(NativeWindow window);
// Pointer state from any thread; `window`: the window that must be under the pointer
// (0: any), `localX`/`localY` receive the position relative to it.
bool queryPointer(NativeWindow window, int* localX, int* localY, bool* primaryDown);

// Window 0: an unmapped window on a connection of its own.
NativeWindow createHiddenWindow(NativeWindow owner, int width, int height);
void destroyHiddenWindow(NativeWindow window);

// The active top-level window (the manager's _NET_ACTIVE_WINDOW, else the top-level window
// holding the input focus) when its _NET_WM_PID is this process, else 0.
NativeWindow foregroundWindowOfThisProcess();

// A modal box for threads that have no FLTK window thread to carry it to. Returns at once
// without a display, and when closePlainBoxes() is called (now or before, until
// reopenPlainBoxes()).
void plainMessageBox(NativeWindow owner, const std::string& title, const std::string& text);
void closePlainBoxes();
void reopenPlainBoxes();

// The first installed sound settings program, detached; false when none could be started.
bool startSoundSettings();

// Ignore errors of our own connections (a title read of a window that just went away must
// not end the process).
void installErrorHandler();

// Closes the connections kept for queries and for window 0 (the module is being unloaded).
void closeSharedConnections();

}  // namespace desktop::x11
