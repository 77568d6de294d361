// The window system as the plug-in sees it: windows and controls addressed by number,
// window timers, the per-thread event loop, message boxes, the pointer, the host's title.
//
// Backends stand behind this one interface: the platform's real windows, the default ("fltk"
// on X11, "win32" on Windows), and "headless" (the same behaviour in memory, for tests; see
// headless.h). The backend is chosen once, before any other call.
//
// Threads: the "window thread" is the thread that opened the configuration window and calls
// nextEvent(). Widgets are touched by that thread only. Every setter below may be called from
// any thread: off the window thread the change is carried to it (the call returns at once).
// Getters are for the window thread. messageBox() may be called from any thread and holds
// the caller until the box is closed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace desktop {

using NativeWindow = std::uintptr_t;  // a top-level window of the host (X11 id, HWND); 0 = none

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;  // width * height * 4 bytes, rows top to bottom
    bool empty() const { return width == 0 || height == 0; }
};

// ---- backend ----
bool selectBackend(const std::string& name);  // "fltk"/"win32" or "headless"; false for an unknown name
std::string backendName();

// ---- message boxes ----
// Modal box with one OK button, kept above `owner` (0: none). Holds the calling thread until
// closed (or until endLoop() closes it; after endLoop() it returns at once). Asked for from
// another thread while a window thread runs, the box holds only the caller: the window
// thread's loop goes on. On Windows a box asked for by a thread other than the owner's is
// kept on top rather than owned (owning would make the system wait for the owner's thread).
void messageBox(NativeWindow owner, const std::string& title, const std::string& text);
// The active top-level window when it belongs to this process (the host's or ours), else 0.
NativeWindow foregroundWindowOfThisProcess();

// ---- windows, by number (0 = hidden window of Init, 1 = configuration window) ----
bool openHiddenWindow(int number, NativeWindow owner, int clientWidth, int clientHeight);
struct ScreenSize {
    int width = 0;
    int height = 0;
};
ScreenSize screenSize();
// Outer size of a captioned, non-resizable window with that client area (frame included).
ScreenSize outerSize(int clientWidth, int clientHeight);
// Captioned, no close box, not resizable, owned by `owner` (kept above it), shown at once at
// (x, y) (outer position). A close request is swallowed. Called on the window thread.
bool openConfigWindow(int number, NativeWindow owner, int x, int y, int clientWidth, int clientHeight);
void setWindowIcon(int number, const Image& icon);
void closeWindow(int number);
bool windowExists(int number);
NativeWindow nativeHandle(int number);  // 0 when the window does not exist
bool compositionEnabled();              // desktop composition (glass frame); false on X11
// With composition on, black on the configuration window also extends the glass frame behind
// its top 66 pixels (the banner and the status line).
void setWindowBackground(int number, std::uint32_t rgb);

// ---- controls, by number (unique within the configuration window) ----
enum class ControlKind {
    Image,         // picture
    Text,          // static text, left-aligned
    CenteredText,  // static text, centred
    GroupBox,
    PushButton,
    ToggleButton,  // push-like check box: stays down when clicked, up at the next click
    CheckBox,
    Edit,          // single line
    NumberEdit,    // single line, accepts typed digits only
    PasswordEdit,  // single line, shows bullets
    DropList,      // drop-down list, closed height 20
    Trackbar,      // horizontal, range 0..100, ticks
    TabControl,    // one page per tab; only the selected page visible; first selected at start
    Meter,         // horizontal level meter, meterFloorDb..0 dBFS: a bar, a hold mark and a clip mark
};

// What a level meter shows.
constexpr double meterFloorDb = -60.0;
struct MeterReading {
    double levelDb = meterFloorDb;  // the bar
    double holdDb = meterFloorDb;   // the hold mark
    bool clipped = false;           // the clip mark lit
    bool operator==(const MeterReading&) const = default;
};

constexpr int onWindow = -1;  // ControlSpec::page for controls placed on the window itself

struct ControlSpec {
    int number = 0;
    ControlKind kind = ControlKind::Text;
    int page = onWindow;  // else: index of a page of the window's tab control
    int x = 0, y = 0, width = 0, height = 0;  // relative to the parent (window or page)
    std::string text;
    bool tabStop = false;
    const Image* image = nullptr;  // for ControlKind::Image
};

bool createControl(int window, const ControlSpec& spec);
int addTab(int tabControl, const std::string& label);  // index of the new page, -1 on failure
bool controlExists(int number);                         // any thread

void setText(int number, const std::string& text);
std::string text(int number);
void setChecked(int number, bool down);  // toggle buttons and check boxes
bool checked(int number);
void setEnabled(int number, bool enabled);
bool enabled(int number);
void setTextColor(int number, std::uint32_t rgb);  // 0xRRGGBB
void setBackgroundColor(int number, std::uint32_t rgb);
std::uint32_t textColor(int number);
std::uint32_t backgroundColor(int number);

void addItem(int list, const std::string& item);
void clearItems(int list);  // the list then shows nothing
int itemCount(int list);
std::string itemText(int list, int position);
void select(int list, int position);
int selected(int list);  // -1 when nothing is selected

void setPosition(int trackbar, int position);  // clamped to 0..100
int position(int trackbar);

void setMeter(int meter, const MeterReading& reading);  // levels clamped to meterFloorDb..0
MeterReading meter(int meter);

// Shown while the pointer rests on the control; an empty text removes it.
void setToolTip(int number, const std::string& text);

// ---- timers and the event loop (window thread) ----
void setTimer(int window, int id, int periodMs);
// Draws what changed now, for a window thread that is about to be busy for a while.
void repaintNow();

struct Event {
    enum class Kind { None, Timer, Control, Quit };
    Kind kind = Kind::None;
    int id = 0;  // timer id or control number
};
// Waits for the next message of the window thread and dispatches it. Returns the one event
// that the dispatch noted (the last one if several), Kind::None for a message that noted none
// (a mouse move, a repaint), Kind::Quit once endLoop() was called (and from then on).
Event nextEvent();
// Forced end of the window thread's loop, from any thread: closes any modal box that the
// window thread shows and makes nextEvent() return Kind::Quit.
void endLoop();
// Forget a forced end, so that a new window thread can run (after the old one returned).
void resetLoop();

// ---- the pointer ----
int controlUnderCursor();  // number of the control under the pointer, 0 when none
bool primaryButtonDown();  // follows the pointer mapping (left-handed: the right button)

// ---- other windows and programs ----
// The title in the system's text, as control texts are (UTF-8 on X11, the ANSI code page on
// Windows, at most 299 bytes there); empty when unreadable.
std::string windowTitle(NativeWindow window);
void openSoundSettings();                      // starts the desktop's sound settings; no wait
std::string executablePath();                   // full path of the host process's executable

}  // namespace desktop
