// The configuration window in the system's own controls, under Wine on a virtual display:
// built by the module's own window code, inspected through the system's calls.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <future>
#include <map>
#include <thread>

#include "desktop/desktop.h"
#include "fake_bass.h"
#include "plugin/globals.h"
#include "resources/images.h"
#include "test_station.h"
#include "ui/window_layout.h"
#include "ui/window_thread.h"
#include "unit/ui/window_table.h"
#include "win_support.h"

namespace {

using namespace std::chrono_literals;
using window_table::K;

std::string classOf(HWND h) {
    char buf[64] = {};
    GetClassNameA(h, buf, sizeof buf);
    return buf;
}

std::string textOf(HWND h) {
    char buf[256] = {};
    GetWindowTextA(h, buf, sizeof buf);
    return buf;
}

const char* classFor(K kind) {
    switch (kind) {
    case K::Image:
    case K::Text:
    case K::CenteredText: return "Static";
    case K::GroupBox:
    case K::PushButton:
    case K::ToggleButton:
    case K::CheckBox: return "Button";
    case K::Edit:
    case K::NumberEdit:
    case K::PasswordEdit: return "Edit";
    case K::DropList: return "ComboBox";
    case K::Trackbar: return "msctls_trackbar32";
    case K::TabControl: return "SysTabControl32";
    case K::Meter: return "Static";
    }
    return "";
}

struct Found {
    HWND window;
    std::map<int, HWND> controls;
};

BOOL CALLBACK collect(HWND h, LPARAM l) {
    auto* found = reinterpret_cast<Found*>(l);
    HWND parent = GetParent(h);
    // The window's controls and those of the tab pages (identifiers from 1000, children of the
    // tab control), not the tab control's own parts.
    if (parent == found->window || GetDlgCtrlID(parent) >= 1000 || GetDlgCtrlID(h) >= 1000)
        found->controls[GetDlgCtrlID(h)] = h;
    return TRUE;
}

std::map<int, HWND> descendants(HWND window) {
    Found found{window, {}};
    EnumChildWindows(window, collect, reinterpret_cast<LPARAM>(&found));
    return found.controls;
}

std::vector<std::string> listItems(HWND combo) {
    std::vector<std::string> out;
    int n = int(SendMessageA(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        char buf[256] = {};
        SendMessageA(combo, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(buf));
        out.emplace_back(buf);
    }
    return out;
}

// The window thread of the module, on a record without a settings file.
class Win32Window : public ::testing::Test {
protected:
    Larkspur record;
    std::future<int> thread;

    static void SetUpTestSuite() {
        decodeEmbeddedImages(bannerImage, logoImage, windowIcon);
        // The window thread writes the settings file where it runs after a change: not in the
        // build tree.
        previousFolder = std::filesystem::current_path();
        folder = std::filesystem::temp_directory_path() /
                 ("larkspur-window-" + std::to_string(GetCurrentProcessId()));
        std::filesystem::create_directories(folder);
        std::filesystem::current_path(folder);
    }
    static void TearDownTestSuite() {
        std::filesystem::current_path(previousFolder);
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    static inline std::filesystem::path previousFolder, folder;

    void SetUp() override {
        ASSERT_EQ(desktop::backendName(), "win32");
        fake_bass::reset();
        fake_bass::setDevices({{"Test Mic", "mic"}, {"Line In", "line"}});
        test_station::reset(record);
        storeText(record.contentType, "");
        record.bitrate = 0;
        record.sampleRate = 0;
        record.hostVolume = record.hostVolumeSpeaking = record.deviceVolumeSpeaking = 0;
        stopRequested = 0;
        showErrors = 0;
        desktop::resetLoop();
        thread = std::async(std::launch::async, [this] { return windowThreadProc(&record); });
        // The air meter is the last control made.
        ASSERT_TRUE(winsupport::waitFor([] { return desktop::controlExists(29) && desktop::controlExists(62); }));
        window = reinterpret_cast<HWND>(desktop::nativeHandle(1));
        ASSERT_TRUE(IsWindow(window));
    }

    void TearDown() override {
        if (!thread.valid()) return;
        stopRequested = 1;
        if (thread.wait_for(3s) != std::future_status::ready) desktop::endLoop();
        EXPECT_EQ(thread.get(), 0);
        desktop::resetLoop();
        EXPECT_FALSE(IsWindow(window));
    }

    HWND window = nullptr;
};

TEST_F(Win32Window, EveryControlHasItsClassPlaceAndText) {
    RECT client{}, outer{};
    GetClientRect(window, &client);
    GetWindowRect(window, &outer);
    EXPECT_EQ(client.right, 259);
    EXPECT_EQ(client.bottom, 416);  // the meters below the pages
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - (outer.right - outer.left)) / 2);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - (outer.bottom - outer.top)) / 2);
    LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME), WS_CAPTION);
    EXPECT_NE(SendMessageA(window, WM_GETICON, ICON_SMALL, 0), 0);
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window));  // a close request is swallowed

    auto all = descendants(window);
    HWND tabs = all[0];
    ASSERT_TRUE(tabs);
    EXPECT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 4);
    std::vector<window_table::Row> every(std::begin(window_table::rows), std::end(window_table::rows));
    every.insert(every.end(), std::begin(window_table::outputsRows), std::end(window_table::outputsRows));
    for (const auto& row : every) {
        SCOPED_TRACE(row.number);
        HWND h = all[row.number];
        ASSERT_TRUE(h);
        EXPECT_EQ(GetDlgCtrlID(h), row.number);
        EXPECT_STRCASEEQ(classOf(h).c_str(), classFor(row.kind));
        HWND parent = GetParent(h);
        if (row.page == window_table::W) {
            EXPECT_EQ(parent, window);
        } else {
            EXPECT_EQ(GetDlgCtrlID(parent), 1000 + row.page);
            EXPECT_EQ(GetParent(parent), tabs);
            EXPECT_EQ(IsWindowVisible(parent) != FALSE, row.page == 0);  // the first tab is shown
        }
        RECT r{};
        GetWindowRect(h, &r);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ((std::vector<long>{r.left, r.top, r.right - r.left, r.bottom - r.top}),
                  (std::vector<long>{row.x, row.y, row.w, row.h}));
        if (row.kind != K::TabControl && row.kind != K::Image && row.kind != K::DropList) {
            EXPECT_EQ(textOf(h), row.text);
        }
        LONG s = GetWindowLongA(h, GWL_STYLE), ex = GetWindowLongA(h, GWL_EXSTYLE);
        EXPECT_EQ((s & WS_TABSTOP) != 0, row.tabStop);
        if (row.kind != K::Image && row.kind != K::Trackbar) {  // no text of their own
            EXPECT_EQ(SendMessageA(h, WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(GetStockObject(DEFAULT_GUI_FONT)));
        }
        switch (row.kind) {
        case K::Image: EXPECT_EQ(s & (SS_TYPEMASK | SS_NOTIFY), SS_BITMAP | SS_NOTIFY); break;
        case K::CenteredText: EXPECT_EQ(s & SS_TYPEMASK, SS_CENTER); break;
        case K::ToggleButton: EXPECT_EQ(s & (BS_TYPEMASK | BS_PUSHLIKE), BS_AUTOCHECKBOX | BS_PUSHLIKE); break;
        case K::CheckBox: EXPECT_EQ(s & (BS_TYPEMASK | BS_PUSHLIKE), BS_AUTOCHECKBOX); break;
        case K::NumberEdit: EXPECT_TRUE(s & ES_NUMBER); [[fallthrough]];
        case K::Edit: EXPECT_TRUE(ex & WS_EX_CLIENTEDGE); break;
        case K::PasswordEdit: EXPECT_TRUE(s & ES_PASSWORD); break;
        case K::DropList: EXPECT_EQ(s & 3, CBS_DROPDOWNLIST); EXPECT_TRUE(s & CBS_HASSTRINGS); break;
        case K::Trackbar:
            EXPECT_TRUE(s & TBS_AUTOTICKS);
            EXPECT_EQ(SendMessageA(h, TBM_GETRANGEMAX, 0, 0), 100);
            break;
        default: break;
        }
    }
    EXPECT_EQ(listItems(all[22]), (std::vector<std::string>{"MP3", "AAC", "OGG", "Opus", "FLAC"}));
    EXPECT_EQ(listItems(all[24]), (std::vector<std::string>{"44100", "22050"}));
    EXPECT_EQ(listItems(all[26]).size(), 14u);
    EXPECT_EQ(listItems(all[26]).back(), "320");
    EXPECT_EQ(listItems(all[20]), (std::vector<std::string>{"Test Mic", "Line In"}));
    // The record normalised as on every platform, and shown.
    EXPECT_EQ(SendMessageA(all[26], CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(record.bitrate, 32);
    EXPECT_EQ(record.sampleRate, 44100);
    EXPECT_EQ(::textOf(record.contentType), "audio/mpeg");
    EXPECT_EQ(textOf(all[4]), "0");
    // Choosing FLAC refills the real list: one item, "lossless", disabled; Opus its own rates.
    SendMessageA(all[22], CB_SETCURSEL, 4, 0);
    SendMessageA(GetParent(all[22]), WM_COMMAND, MAKEWPARAM(22, CBN_SELCHANGE), reinterpret_cast<LPARAM>(all[22]));
    EXPECT_TRUE(winsupport::waitFor([&] { return listItems(all[26]) == std::vector<std::string>{"lossless"}; }));
    EXPECT_FALSE(IsWindowEnabled(all[26]));
    EXPECT_EQ(::textOf(record.contentType), "audio/ogg; codecs=flac");
    SendMessageA(all[22], CB_SETCURSEL, 3, 0);
    SendMessageA(GetParent(all[22]), WM_COMMAND, MAKEWPARAM(22, CBN_SELCHANGE), reinterpret_cast<LPARAM>(all[22]));
    EXPECT_TRUE(winsupport::waitFor([&] { return listItems(all[26]).size() == 15u && IsWindowEnabled(all[26]); }));
    EXPECT_EQ(listItems(all[26]).front(), "16");
    // The status line paints in its own colours (its text colour changes with the state).
    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_NE(SendMessageA(window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(all[30])), 0);
    EXPECT_EQ(GetBkColor(dc), RGB(0, 0, 0));
    EXPECT_NE(GetTextColor(dc), RGB(0, 0, 0));
    DeleteDC(dc);
}

// The screenshot NAME of the window, when the suite's runner serves them (with_display.sh): the
// crop goes into NAME.request in its folder, and the picture is there once the request is gone.
void shoot(HWND window, const std::string& name) {
    const char* folder = std::getenv("LARKSPUR_SHOTS");
    if (!folder || !*folder) return;
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT r{};
    GetWindowRect(window, &r);
    const std::string base = std::string("Z:") + folder + "/" + name;
    {
        std::ofstream part(base + ".part");
        part << (r.right - r.left + 40) << 'x' << (r.bottom - r.top + 40) << '+' << (r.left - 20) << '+' << (r.top - 20);
    }
    std::error_code ec;
    std::filesystem::remove(base + ".png", ec);
    std::filesystem::rename(base + ".part", base + ".request", ec);  // whole, or not seen
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_TRUE(winsupport::waitFor([&] { return !std::filesystem::exists(base + ".request"); }, 30000));
    EXPECT_TRUE(std::filesystem::exists(base + ".png")) << base;
}

// The outputs page in the system's controls: chosen by its tab, every edit stored through the
// controls' own notifications, the format list offering its bitrates, the states in words.
TEST_F(Win32Window, TheOutputsPageTakesItsEditsAndShowsTheStates) {
    auto all = descendants(window);
    HWND tabs = all[0];
    SendMessageA(tabs, TCM_SETCURSEL, 3, 0);
    NMHDR change{tabs, 0, UINT(TCN_SELCHANGE)};
    SendMessageA(window, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&change));
    EXPECT_TRUE(winsupport::waitFor([&] { return desktop::selected(0) == 3 && IsWindowVisible(GetParent(all[47])); }));
    EXPECT_FALSE(IsWindowVisible(GetParent(all[31])));
    EXPECT_EQ(listItems(all[47]), (std::vector<std::string>{"Output 2", "Output 3", "Output 4", "Output 5"}));
    EXPECT_EQ(listItems(all[56]), (std::vector<std::string>{"MP3", "OGG", "Opus", "FLAC"}));

    // The real edit reports its change to its page, which hands it to the window.
    SetWindowTextA(all[50], "ice.local/two");
    EXPECT_TRUE(winsupport::waitFor([&] { return textSettingsOf(record).output(2).server == "ice.local/two"; }));
    SendMessageA(all[48], BM_CLICK, 0, 0);
    EXPECT_TRUE(winsupport::waitFor([&] { return textSettingsOf(record).output(2).enabled; }));
    SendMessageA(all[56], CB_SETCURSEL, 3, 0);
    SendMessageA(GetParent(all[56]), WM_COMMAND, MAKEWPARAM(56, CBN_SELCHANGE), reinterpret_cast<LPARAM>(all[56]));
    EXPECT_TRUE(winsupport::waitFor([&] { return listItems(all[57]) == std::vector<std::string>{"lossless"}; }));
    EXPECT_FALSE(IsWindowEnabled(all[57]));
    EXPECT_EQ(textSettingsOf(record).output(2).format, "flac");
    SendMessageA(all[59], BM_CLICK, 0, 0);
    SetWindowTextA(all[66], "C:\\Radio Archive");
    EXPECT_TRUE(winsupport::waitFor([&] { return textSettingsOf(record).recording.folder == "C:\\Radio Archive"; }));
    EXPECT_TRUE(textSettingsOf(record).recording.enabled);

    EXPECT_EQ(textOf(all[75]), "Output 2: off");
    EXPECT_EQ(textOf(all[79]), "Recording: off");
    shoot(window, "window-win32-outputs");
}

// The meters are owner-drawn statics on the window, painted from their readings.
TEST_F(Win32Window, MetersAreDrawnFromTheirReadings) {
    auto all = descendants(window);
    for (int meter : {60, 61, 62}) {
        SCOPED_TRACE(meter);
        ASSERT_TRUE(all[meter]);
        EXPECT_EQ(GetParent(all[meter]), window);
        EXPECT_EQ(GetWindowLongA(all[meter], GWL_STYLE) & SS_TYPEMASK, SS_OWNERDRAW);
    }
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 201, 12);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    DRAWITEMSTRUCT item{};
    item.CtlType = ODT_STATIC;
    item.CtlID = 60;
    item.hwndItem = all[60];
    item.hDC = dc;
    item.rcItem = RECT{0, 0, 201, 12};
    auto draw = [&] { return SendMessageA(window, WM_DRAWITEM, 60, reinterpret_cast<LPARAM>(&item)); };

    // -6 dB with the mark held at -3 and a clip: 194 pixels of bar from -60 to 0 dB.
    desktop::setMeter(60, {-6.0, -3.0, true});
    EXPECT_EQ(draw(), TRUE);
    EXPECT_EQ(GetPixel(dc, 10, 6), RGB(0, 200, 0));     // green up to -12 dB
    EXPECT_EQ(GetPixel(dc, 165, 6), RGB(230, 220, 0));  // yellow above it
    EXPECT_EQ(GetPixel(dc, 178, 6), RGB(0, 0, 0));      // nothing beyond the level
    EXPECT_EQ(GetPixel(dc, 183, 6), RGB(255, 255, 255));  // the hold mark
    EXPECT_EQ(GetPixel(dc, 198, 6), RGB(255, 0, 0));    // the clip mark lit
    desktop::setMeter(60, {});
    EXPECT_EQ(draw(), TRUE);
    EXPECT_EQ(GetPixel(dc, 10, 6), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(dc, 198, 6), RGB(60, 0, 0));
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

HWND focusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    return info.hwndFocus;
}

// Tab walks the visible tab stops in creation order, past labels and the hidden pages, and
// wraps around; a tooltip is a tool of the window's tooltip control.
TEST_F(Win32Window, TabWalksTheVisibleStopsAndTooltipsAttach) {
    auto all = descendants(window);
    auto tab = [&] {
        HWND focus = focusOf(window);
        PostMessageA(focus ? focus : window, WM_KEYDOWN, VK_TAB, 0);
    };
    const int order[] = {0, 31, 33, 35, 37, 38, 39, 40, 0};
    for (int number : order) {
        SCOPED_TRACE(number);
        tab();
        EXPECT_TRUE(winsupport::waitFor([&] { return focusOf(window) == all[number]; }, 5000));
    }

    // Eight tools: the server field's, the format list's and the six state lines' (set by the
    // window itself).
    desktop::setToolTip(3, "host[:port] or host/mount");
    HWND tips = nullptr;
    EXPECT_TRUE(winsupport::waitFor([&] {
        tips = FindWindowExA(nullptr, nullptr, TOOLTIPS_CLASSA, nullptr);
        return tips && SendMessageA(tips, TTM_GETTOOLCOUNT, 0, 0) == 8;
    }, 5000));
}

// The window thread's own loop with the backend alone: timers ticking, boxes held.
struct Loop {
    std::atomic<int> ticks{0};
    std::atomic<bool> boxRequested{false}, boxReturned{false}, quit{false};
    std::thread thread;

    void start() {
        thread = std::thread([this] {
            if (!desktop::openConfigWindow(1, 0, 10, 10, 200, 100)) return;
            desktop::setTimer(1, 0, 50);
            for (;;) {
                desktop::Event e = desktop::nextEvent();
                if (e.kind == desktop::Event::Kind::Quit) break;
                if (e.kind == desktop::Event::Kind::Timer) ++ticks;
                if (boxRequested.exchange(false)) {
                    desktop::messageBox(desktop::nativeHandle(1), "Window thread", "held");
                    boxReturned = true;
                }
            }
            desktop::closeWindow(1);
            quit = true;
        });
    }
    ~Loop() {
        desktop::endLoop();
        if (thread.joinable()) thread.join();
        desktop::resetLoop();
    }
};

HWND findBox(const char* title) {
    HWND found = nullptr;
    winsupport::waitFor([&] { return (found = FindWindowA("#32770", title)) != nullptr; });
    return found;
}

TEST(Win32Boxes, ABoxOfAnotherThreadHoldsOnlyThatThread) {
    desktop::resetLoop();
    Loop loop;
    loop.start();
    ASSERT_TRUE(winsupport::waitFor([&] { return loop.ticks > 0; }));
    std::atomic<bool> returned{false};
    std::thread other([&] {
        desktop::messageBox(desktop::nativeHandle(1), "Other thread", "held");
        returned = true;
    });
    HWND box = findBox("Other thread");
    ASSERT_TRUE(box);
    int before = loop.ticks;
    EXPECT_TRUE(winsupport::waitFor([&] { return loop.ticks >= before + 5; }));  // the window's timers go on
    EXPECT_FALSE(returned);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    other.join();
    EXPECT_TRUE(returned);
}

TEST(Win32Boxes, TheForcedEndClosesTheWindowThreadsBoxAndEndsItsLoop) {
    desktop::resetLoop();
    Loop loop;
    loop.start();
    ASSERT_TRUE(winsupport::waitFor([&] { return loop.ticks > 0; }));
    loop.boxRequested = true;
    HWND box = findBox("Window thread");
    ASSERT_TRUE(box);
    auto start = std::chrono::steady_clock::now();
    desktop::endLoop();
    EXPECT_TRUE(winsupport::waitFor([&] { return loop.quit.load(); }, 5000));
    EXPECT_TRUE(loop.boxReturned);
    EXPECT_FALSE(IsWindow(box));
    std::printf("box closed and loop ended %lld ms after the forced end\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count()));
    // After the forced end a box returns at once.
    desktop::messageBox(0, "After the end", "not shown");
}

TEST_F(Win32Window, PointerFindsControlsAndFollowsSwappedButtons) {
    auto all = descendants(window);
    RECT speak{};
    GetWindowRect(all[38], &speak);
    SetCursorPos((speak.left + speak.right) / 2, (speak.top + speak.bottom) / 2);
    EXPECT_TRUE(winsupport::waitFor([] { return desktop::controlUnderCursor() == 38; }, 5000));

    BOOL wasSwapped = SwapMouseButton(TRUE);
    auto press = [](DWORD flags) {
        INPUT in{};
        in.type = INPUT_MOUSE;
        in.mi.dwFlags = flags;
        SendInput(1, &in, sizeof in);
    };
    press(MOUSEEVENTF_RIGHTDOWN);
    EXPECT_TRUE(winsupport::waitFor([] { return desktop::primaryButtonDown(); }, 5000));
    press(MOUSEEVENTF_RIGHTUP);
    EXPECT_TRUE(winsupport::waitFor([] { return !desktop::primaryButtonDown(); }, 5000));
    SwapMouseButton(wasSwapped);
}

// The host's title in the ANSI code page, the plug-in's text on Windows, whichever thread owns
// the host's window: a character the code page lacks is dropped (never a '?'), and no more
// than GetWindowTextA's 299 bytes come back.
TEST(Win32HostTitle, ReadInTheAnsiCodePageLosingOnlyWhatItLacks) {
    ASSERT_EQ(GetACP(), 1252u) << "the expected bytes below are Windows-1252";
    const std::wstring title = L"7. Bj\u00F6rk \u2013 J\u00F3ga \u041F\u0440\u0438 \U0001F3B5- Winamp";
    const std::string ansi = "7. Bj\xF6rk \x96 J\xF3ga  - Winamp";
    const std::wstring longTitle(400, L'\u00E9');
    auto open = [](const std::wstring& text) {
        return CreateWindowExW(0, L"STATIC", text.c_str(), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    };
    HWND here = open(title);
    ASSERT_TRUE(here);
    EXPECT_EQ(desktop::windowTitle(reinterpret_cast<desktop::NativeWindow>(here)), ansi);
    SetWindowTextW(here, longTitle.c_str());
    EXPECT_EQ(desktop::windowTitle(reinterpret_cast<desktop::NativeWindow>(here)), std::string(299, '\xE9'));
    DestroyWindow(here);

    std::promise<HWND> made;
    std::atomic<bool> done{false};
    std::thread owner([&] {
        HWND w = open(title);
        made.set_value(w);
        MSG msg;
        while (!done) {
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            Sleep(5);
        }
        DestroyWindow(w);
    });
    HWND there = made.get_future().get();
    EXPECT_TRUE(there);
    EXPECT_EQ(desktop::windowTitle(reinterpret_cast<desktop::NativeWindow>(there)), ansi);
    done = true;
    owner.join();
}

}  // namespace
