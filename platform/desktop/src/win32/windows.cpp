// Win32 backend: the windows, the controls with the classes and styles of the window's table,
// their shadows, and the window's handling of their notifications.
#include <algorithm>

#include "win32/win32_backend.h"  // windows.h before the other system headers

#include <commctrl.h>

namespace desktop::detail::win32 {
namespace {

constexpr const char* configClass = "LarkspurConfigWindow";
constexpr const char* hiddenClass = "LarkspurHiddenWindow";
constexpr int dropListHeight = 350;  // closed field plus the open list
constexpr int closedDropList = 20;

HINSTANCE moduleInstance() {
    HMODULE m = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&moduleInstance), &m);
    return m;
}

// The trackbar and tab classes exist once the module is loaded, before any window is built.
struct CommonControls {
    CommonControls() { InitCommonControls(); }
} commonControls;

using CompositionQuery = HRESULT(WINAPI*)(BOOL*);
struct Margins {
    int left, right, top, bottom;
};
using ExtendFrame = HRESULT(WINAPI*)(HWND, const Margins*);

// dwmapi is not there before Vista: looked up when first needed, never required.
HMODULE dwmapi() {
    static HMODULE m = LoadLibraryA("dwmapi.dll");
    return m;
}

struct Style {
    const char* cls;
    DWORD style;
    DWORD exStyle;
};

Style styleOf(const ControlSpec& spec) {
    DWORD tab = spec.tabStop ? WS_TABSTOP : 0;
    switch (spec.kind) {
    case ControlKind::Image: return {"STATIC", SS_NOTIFY | SS_BITMAP, 0};
    case ControlKind::Text: return {"Static", SS_LEFT | WS_GROUP, 0};
    case ControlKind::CenteredText: return {"Static", SS_CENTER | WS_GROUP, 0};
    case ControlKind::GroupBox: return {"Button", BS_GROUPBOX | WS_GROUP, 0};
    case ControlKind::PushButton: return {"Button", BS_PUSHBUTTON | WS_GROUP | tab, 0};
    case ControlKind::ToggleButton: return {"Button", BS_AUTOCHECKBOX | BS_PUSHLIKE | WS_GROUP | tab, 0};
    case ControlKind::CheckBox: return {"Button", BS_AUTOCHECKBOX | WS_GROUP | tab, 0};
    case ControlKind::Edit: return {"Edit", ES_AUTOHSCROLL | WS_GROUP | tab, WS_EX_CLIENTEDGE};
    case ControlKind::NumberEdit: return {"Edit", ES_AUTOHSCROLL | ES_NUMBER | WS_GROUP | tab, WS_EX_CLIENTEDGE};
    case ControlKind::PasswordEdit:
        return {"Edit", ES_AUTOHSCROLL | ES_PASSWORD | WS_GROUP | tab, WS_EX_CLIENTEDGE};
    case ControlKind::DropList:
        return {"ComboBox", CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL | WS_BORDER | WS_GROUP | tab,
                WS_EX_CLIENTEDGE};
    case ControlKind::Trackbar: return {TRACKBAR_CLASSA, TBS_AUTOTICKS | tab, 0};
    case ControlKind::TabControl: return {WC_TABCONTROLA, WS_GROUP | tab, WS_EX_TRANSPARENT};
    case ControlKind::Meter: return {"Static", SS_OWNERDRAW, 0};
    }
    return {"Static", 0, 0};
}

bool isEdit(ControlKind k) {
    return k == ControlKind::Edit || k == ControlKind::NumberEdit || k == ControlKind::PasswordEdit;
}
bool isButton(ControlKind k) { return k == ControlKind::ToggleButton || k == ControlKind::CheckBox; }

std::string windowText(HWND hwnd) {
    int n = GetWindowTextLengthA(hwnd);
    std::string s(std::size_t(std::max(n, 0)) + 1, '\0');
    n = GetWindowTextA(hwnd, s.data(), int(s.size()));
    s.resize(std::size_t(std::max(n, 0)));
    return s;
}

}  // namespace

COLORREF colorRef(std::uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

Win32::Win32() = default;

bool Win32::registerClasses() {
    static bool done = [] {
        WNDCLASSEXA c{};
        c.cbSize = sizeof c;
        c.style = CS_DBLCLKS;
        c.lpfnWndProc = windowProc;
        c.hInstance = moduleInstance();
        c.hCursor = LoadCursor(nullptr, IDC_ARROW);
        c.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        c.lpszClassName = configClass;
        bool ok = RegisterClassExA(&c) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        WNDCLASSEXA h{};
        h.cbSize = sizeof h;
        h.lpfnWndProc = hiddenProc;
        h.hInstance = moduleInstance();
        h.lpszClassName = hiddenClass;
        ok = (RegisterClassExA(&h) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS) && ok;
        return ok;
    }();
    return done;
}

// ---- windows ----
bool Win32::openHiddenWindow(int number, NativeWindow owner, int w, int h) {
    {
        std::lock_guard lock(m_);
        if (hidden_.count(number) || (number == configNumber_ && alive_)) return false;
    }
    if (!registerClasses()) return false;
    HWND hwnd = CreateWindowExA(0, hiddenClass, "", WS_POPUP, 0, 0, w, h, reinterpret_cast<HWND>(owner), nullptr,
                                moduleInstance(), nullptr);
    if (!hwnd) return false;
    std::lock_guard lock(m_);
    hidden_[number] = hwnd;
    return true;
}

LRESULT CALLBACK Win32::hiddenProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    if (msg == destroyHidden) {
        DestroyWindow(hwnd);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, w, l);
}

ScreenSize Win32::screenSize() { return {GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}; }

ScreenSize Win32::outerSize(int w, int h) {
    RECT r{0, 0, w, h};
    AdjustWindowRectEx(&r, WS_CAPTION, FALSE, 0);
    return {r.right - r.left, r.bottom - r.top};
}

bool Win32::openConfigWindow(int number, NativeWindow owner, int x, int y, int w, int h) {
    {
        std::lock_guard lock(m_);
        // The system destroys a window with its thread: a window thread that ended without
        // closing its window leaves only our records of it.
        if (alive_ && !IsWindow(config_)) {
            std::erase_if(shadow_, [&](auto& kv) { return kv.second.window == configNumber_; });
            alive_ = false;
            config_ = nullptr;
        }
        if (alive_ || hidden_.count(number)) return false;  // one configuration window per process
    }
    if (!registerClasses()) return false;
    live_.clear();
    pages_.clear();
    tabs_ = nullptr;
    toolTips_ = nullptr;
    ScreenSize outer = outerSize(w, h);
    HWND hwnd = CreateWindowExA(0, configClass, "", WS_CAPTION, x, y, outer.width, outer.height,
                                reinterpret_cast<HWND>(owner), nullptr, moduleInstance(), nullptr);
    if (!hwnd) return false;
    {
        std::lock_guard lock(m_);
        thread_ = GetCurrentThreadId();
        alive_ = true;
        configNumber_ = number;
        config_ = hwnd;
        events_.clear();
        ops_.clear();
    }
    ShowWindow(hwnd, SW_SHOWNORMAL);
    UpdateWindow(hwnd);
    return true;
}

void Win32::setWindowIcon(int number, const Image& icon) {
    if (icon.empty() || icon.rgba.size() < std::size_t(icon.width) * std::size_t(icon.height) * 4) return;
    Image copy = icon;
    post([this, number, copy] {
        if (!config_ || number != configNumber_) return;
        HICON made = iconFromImage(copy);
        if (!made) return;
        SendMessageA(config_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(made));
        if (icon_) DestroyIcon(icon_);
        icon_ = made;
    });
}

void Win32::closeWindow(int number) {
    HWND hidden = nullptr;
    {
        std::lock_guard lock(m_);
        if (auto it = hidden_.find(number); it != hidden_.end()) {
            hidden = it->second;
            hidden_.erase(it);
        }
    }
    if (hidden) {
        // A window is destroyed by its own thread.
        if (GetWindowThreadProcessId(hidden, nullptr) == GetCurrentThreadId()) DestroyWindow(hidden);
        else PostMessageA(hidden, destroyHidden, 0, 0);
        return;
    }
    if (number == configNumber_) post([this] { closeConfig(); });
}

// On the window thread: the window, its controls, timers and queued work go.
void Win32::closeConfig() {
    if (!config_) return;
    HWND hwnd = config_;
    {
        std::lock_guard lock(m_);
        std::erase_if(shadow_, [&](auto& kv) { return kv.second.window == configNumber_; });
        events_.clear();
        ops_.clear();
        alive_ = false;
        config_ = nullptr;
    }
    DestroyWindow(hwnd);  // children, timers and the tooltip window with it
    for (auto& [n, live] : live_) {
        if (live.bitmap) DeleteObject(live.bitmap);
        if (live.brush) DeleteObject(live.brush);
    }
    live_.clear();
    pages_.clear();
    tabs_ = nullptr;
    toolTips_ = nullptr;
    if (icon_) DestroyIcon(icon_);
    icon_ = nullptr;
    if (background_) DeleteObject(background_);
    background_ = nullptr;
}

bool Win32::windowExists(int number) {
    std::lock_guard lock(m_);
    return hidden_.count(number) || (alive_ && number == configNumber_);
}

NativeWindow Win32::nativeHandle(int number) {
    std::lock_guard lock(m_);
    if (auto it = hidden_.find(number); it != hidden_.end()) return reinterpret_cast<NativeWindow>(it->second);
    return alive_ && number == configNumber_ ? reinterpret_cast<NativeWindow>(config_) : 0;
}

bool Win32::compositionEnabled() {
    HMODULE dwm = dwmapi();
    if (!dwm) return false;
    auto query = reinterpret_cast<CompositionQuery>(reinterpret_cast<void*>(GetProcAddress(dwm, "DwmIsCompositionEnabled")));
    BOOL on = FALSE;
    return query && SUCCEEDED(query(&on)) && on;
}

void Win32::setWindowBackground(int number, std::uint32_t rgb) {
    post([this, number, rgb] {
        if (!config_ || number != configNumber_) return;
        HBRUSH brush = CreateSolidBrush(colorRef(rgb));
        if (!brush) return;
        if (background_) DeleteObject(background_);
        background_ = brush;
        if ((rgb & 0xFFFFFF) == 0 && compositionEnabled()) {
            // Glass behind the banner and the status line, one pixel more than both.
            auto extend = reinterpret_cast<ExtendFrame>(
                reinterpret_cast<void*>(GetProcAddress(dwmapi(), "DwmExtendFrameIntoClientArea")));
            Margins margins{1, 1, 66, 1};
            if (extend) extend(config_, &margins);
        }
        RedrawWindow(config_, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
    });
}

// ---- controls ----
bool Win32::createControl(int window, const ControlSpec& spec) {
    if (!onWindowThread() || window != configNumber_ || !config_) return false;
    {
        std::lock_guard lock(m_);
        if (shadow_.count(spec.number)) return false;
    }
    HWND parent = config_;
    if (spec.page != onWindow) {
        if (spec.page < 0 || spec.page >= int(pages_.size())) return false;
        parent = pages_[std::size_t(spec.page)];
    }
    Style st = styleOf(spec);
    int height = spec.kind == ControlKind::DropList ? dropListHeight : spec.height;
    std::string text = isEdit(spec.kind) || spec.kind == ControlKind::Image ? "" : spec.text;
    HWND hwnd = CreateWindowExA(st.exStyle, st.cls, text.c_str(), WS_CHILD | WS_VISIBLE | st.style, spec.x, spec.y,
                                spec.width, height, parent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(spec.number)),
                                moduleInstance(), nullptr);
    if (!hwnd) return false;
    SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    Live live;
    live.hwnd = hwnd;
    live.textShown = text;
    live.textSet = true;
    Shadow sh;
    sh.window = window;
    sh.spec = spec;
    sh.spec.image = nullptr;
    switch (spec.kind) {
    case ControlKind::Image:
        if (spec.image && !spec.image->empty() &&
            spec.image->rgba.size() >= std::size_t(spec.image->width) * std::size_t(spec.image->height) * 4) {
            COLORREF face = GetSysColor(COLOR_BTNFACE);
            live.bitmap = dibFromImage(*spec.image, std::uint32_t(GetRValue(face)) << 16 |
                                                        std::uint32_t(GetGValue(face)) << 8 | GetBValue(face));
            if (live.bitmap) {
                SendMessageA(hwnd, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(live.bitmap));
                // A bitmap static takes the bitmap's size; the table's size stands.
                SetWindowPos(hwnd, nullptr, 0, 0, spec.width, spec.height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
        }
        break;
    case ControlKind::DropList:
        // The closed field is made 20 high whatever the font gives it; systems differ in what
        // the field's height counts, so it is measured until it fits.
        if (LRESULT request = SendMessageA(hwnd, CB_GETITEMHEIGHT, WPARAM(-1), 0); request != CB_ERR) {
            for (int i = 0; i < 3; ++i) {
                RECT r{};
                GetWindowRect(hwnd, &r);
                int off = (r.bottom - r.top) - closedDropList;
                if (off == 0) break;
                request = std::max<LRESULT>(1, request - off);
                SendMessageA(hwnd, CB_SETITEMHEIGHT, WPARAM(-1), request);
            }
        }
        break;
    case ControlKind::Trackbar: SendMessageA(hwnd, TBM_SETRANGE, TRUE, MAKELPARAM(0, 100)); break;
    case ControlKind::TabControl:
        tabs_ = hwnd;
        tabsNumber_ = spec.number;
        sh.selected = -1;
        break;
    default: break;
    }
    {
        std::lock_guard lock(m_);
        sh.seq = nextSeq_++;
        shadow_[spec.number] = sh;
    }
    live_[spec.number] = std::move(live);
    apply(spec.number);
    return true;
}

int Win32::addTab(int tabControl, const std::string& label) {
    if (!onWindowThread() || !tabs_ || tabControl != tabsNumber_) return -1;
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    std::string text = label;
    item.pszText = text.data();
    int index = int(pages_.size());
    if (SendMessageA(tabs_, TCM_INSERTITEMA, WPARAM(index), reinterpret_cast<LPARAM>(&item)) != index) return -1;
    RECT area{};
    GetClientRect(tabs_, &area);
    SendMessageA(tabs_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
    HWND page = CreateWindowExA(0, "STATIC", "", WS_CHILD | SS_NOTIFY, area.left, area.top, area.right - area.left,
                                area.bottom - area.top, tabs_,
                                reinterpret_cast<HMENU>(static_cast<UINT_PTR>(pageIdBase + index)), moduleInstance(),
                                nullptr);
    if (!page) {
        SendMessageA(tabs_, TCM_DELETEITEM, WPARAM(index), 0);
        return -1;
    }
    SetWindowLongPtrA(page, GWLP_USERDATA, GetWindowLongPtrA(page, GWLP_WNDPROC));
    SetWindowLongPtrA(page, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(pageProc));
    SendMessageA(page, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    pages_.push_back(page);
    int shown;
    {
        std::lock_guard lock(m_);
        auto& sh = shadow_[tabControl];
        sh.items.push_back(label);
        if (sh.selected < 0) sh.selected = 0;
        shown = sh.selected;
    }
    showPage(shown);
    return index;
}

// Only the page of the selected tab is visible.
void Win32::showPage(int index) {
    if (!tabs_) return;
    if (SendMessageA(tabs_, TCM_GETCURSEL, 0, 0) != index) SendMessageA(tabs_, TCM_SETCURSEL, WPARAM(index), 0);
    for (int i = 0; i < int(pages_.size()); ++i)
        if (i != index) ShowWindow(pages_[std::size_t(i)], SW_HIDE);
    if (index >= 0 && index < int(pages_.size())) ShowWindow(pages_[std::size_t(index)], SW_SHOW);
}

// Window thread: the control shows what its shadow holds. Changes made here notify the
// window as the person's would; those notes are dropped.
void Win32::apply(int number) {
    auto lit = live_.find(number);
    if (lit == live_.end()) return;
    Shadow s;
    {
        std::lock_guard lock(m_);
        auto it = shadow_.find(number);
        if (it == shadow_.end()) return;
        s = it->second;
    }
    Live& live = lit->second;
    HWND hwnd = live.hwnd;
    bool was = applying_;
    applying_ = true;
    auto setTextShown = [&](const std::string& t) {
        if (live.textSet && live.textShown == t) return;
        live.textShown = t;
        live.textSet = true;
        SetWindowTextA(hwnd, t.c_str());
    };
    switch (s.spec.kind) {
    case ControlKind::Image: break;
    case ControlKind::Text:
    case ControlKind::CenteredText:
    case ControlKind::GroupBox:
    case ControlKind::PushButton: setTextShown(s.spec.text); break;
    case ControlKind::ToggleButton:
    case ControlKind::CheckBox: {
        setTextShown(s.spec.text);
        WPARAM want = s.checked ? BST_CHECKED : BST_UNCHECKED;
        if (WPARAM(SendMessageA(hwnd, BM_GETCHECK, 0, 0)) != want) SendMessageA(hwnd, BM_SETCHECK, want, 0);
        break;
    }
    case ControlKind::Edit:
    case ControlKind::NumberEdit:
    case ControlKind::PasswordEdit:
        // The person's typing is already in the shadow: only a different text is written.
        if (windowText(hwnd) != s.spec.text) SetWindowTextA(hwnd, s.spec.text.c_str());
        break;
    case ControlKind::DropList:
        if (live.itemsShown != s.items) {
            SendMessageA(hwnd, CB_RESETCONTENT, 0, 0);
            for (auto& item : s.items) SendMessageA(hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
            live.itemsShown = s.items;
        }
        if (SendMessageA(hwnd, CB_GETCURSEL, 0, 0) != s.selected) SendMessageA(hwnd, CB_SETCURSEL, WPARAM(s.selected), 0);
        break;
    case ControlKind::Trackbar:
        if (SendMessageA(hwnd, TBM_GETPOS, 0, 0) != s.position) SendMessageA(hwnd, TBM_SETPOS, TRUE, s.position);
        break;
    case ControlKind::TabControl: showPage(s.selected); break;
    case ControlKind::Meter:
        if (!(live.meterShown == s.meter)) {
            live.meterShown = s.meter;
            InvalidateRect(hwnd, nullptr, FALSE);
        }
        break;
    }
    if (s.enabled != (IsWindowEnabled(hwnd) != FALSE)) EnableWindow(hwnd, s.enabled);
    if (s.coloured) InvalidateRect(hwnd, nullptr, TRUE);
    if (s.toolTip != live.toolTipShown) {
        if (!toolTips_ && !s.toolTip.empty())
            toolTips_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, config_, nullptr, moduleInstance(),
                                        nullptr);
        if (toolTips_) {
            TTTOOLINFOA tool{};
            tool.cbSize = TTTOOLINFOA_V1_SIZE;  // accepted by every version of the common controls
            tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
            tool.hwnd = GetParent(hwnd);
            tool.uId = reinterpret_cast<UINT_PTR>(hwnd);
            std::string tip = s.toolTip;
            tool.lpszText = tip.data();
            if (live.toolTipShown.empty()) SendMessageA(toolTips_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
            else if (tip.empty()) SendMessageA(toolTips_, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
            else SendMessageA(toolTips_, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
            live.toolTipShown = s.toolTip;
        }
    }
    applying_ = was;
}

// Window thread: a control notified the window; its shadow follows the control.
void Win32::userChanged(int number, HWND control, bool noteIt) {
    if (applying_) return;
    {
        std::lock_guard lock(m_);
        auto it = shadow_.find(number);
        if (it == shadow_.end()) return;
        Shadow& s = it->second;
        ControlKind k = s.spec.kind;
        if (isButton(k)) s.checked = SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
        else if (isEdit(k)) s.spec.text = windowText(control);
        else if (k == ControlKind::DropList) s.selected = int(SendMessageA(control, CB_GETCURSEL, 0, 0));
        else if (k == ControlKind::Trackbar) s.position = int(SendMessageA(control, TBM_GETPOS, 0, 0));
        else if (k == ControlKind::TabControl) s.selected = int(SendMessageA(control, TCM_GETCURSEL, 0, 0));
    }
    if (noteIt) note({Event::Kind::Control, number});
}

LRESULT CALLBACK Win32::windowProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) { return self().handle(hwnd, msg, w, l); }

// Level meter: a bar from the floor to the level (green, yellow from -12 dB, red from -3 dB) on
// black, a hold mark, and a clip mark at the right end.
void drawMeter(const DRAWITEMSTRUCT& item, const MeterReading& reading) {
    constexpr int clipW = 6;
    const RECT& r = item.rcItem;
    const int barW = int(r.right - r.left) - clipW - 1, h = int(r.bottom - r.top);
    auto at = [&](double db) { return int(barW * (db - meterFloorDb) / -meterFloorDb + 0.5); };
    auto fill = [&](int x, int y, int w, int hh, COLORREF c) {
        if (w <= 0 || hh <= 0) return;
        RECT box{r.left + x, r.top + y, r.left + x + w, r.top + y + hh};
        HBRUSH b = CreateSolidBrush(c);
        FillRect(item.hDC, &box, b);
        DeleteObject(b);
    };
    fill(0, 0, barW + 1, h, RGB(0, 0, 0));
    const int level = at(reading.levelDb), yellow = at(-12.0), red = at(-3.0);
    fill(0, 1, std::min(level, yellow), h - 2, RGB(0, 200, 0));
    fill(yellow, 1, std::min(level, red) - yellow, h - 2, RGB(230, 220, 0));
    fill(red, 1, level - red, h - 2, RGB(255, 0, 0));
    if (reading.holdDb > meterFloorDb) fill(std::min(std::max(at(reading.holdDb), 2), barW) - 2, 0, 2, h, RGB(255, 255, 255));
    fill(barW + 1, 0, clipW, h, reading.clipped ? RGB(255, 0, 0) : RGB(60, 0, 0));
}

// A tab page passes its controls' notifications on to the window.
LRESULT CALLBACK Win32::pageProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_HSCROLL:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR: {
        HWND window = GetAncestor(hwnd, GA_ROOT);
        if (window) return SendMessageA(window, msg, w, l);
        break;
    }
    default: break;
    }
    auto base = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    return base ? CallWindowProcA(base, hwnd, msg, w, l) : DefWindowProcA(hwnd, msg, w, l);
}

LRESULT Win32::handle(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    switch (msg) {
    case WM_CLOSE: return 0;  // the window cannot be closed by the person
    case runQueued: drain(); return 0;
    case WM_TIMER: note({Event::Kind::Timer, int(w) - 1}); return 0;
    case WM_ERASEBKGND:
        if (background_) {
            RECT r{};
            GetClientRect(hwnd, &r);
            FillRect(reinterpret_cast<HDC>(w), &r, background_);
            return 1;
        }
        break;
    case WM_COMMAND:
        if (l) {
            userChanged(LOWORD(w), reinterpret_cast<HWND>(l), true);
            return 0;
        }
        break;
    case WM_HSCROLL:
        if (l) {
            userChanged(GetDlgCtrlID(reinterpret_cast<HWND>(l)), reinterpret_cast<HWND>(l), true);
            return 0;
        }
        break;
    case WM_NOTIFY: {
        auto* nm = reinterpret_cast<NMHDR*>(l);
        if (nm && nm->hwndFrom == tabs_ && nm->code == TCN_SELCHANGE) {
            int index = int(SendMessageA(tabs_, TCM_GETCURSEL, 0, 0));
            showPage(index);
            userChanged(tabsNumber_, tabs_, true);
            return 0;
        }
        break;
    }
    case WM_DRAWITEM: {
        auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(l);
        if (!item || item->CtlType != ODT_STATIC) break;
        MeterReading reading;
        {
            std::lock_guard lock(m_);
            auto it = shadow_.find(int(item->CtlID));
            if (it == shadow_.end() || it->second.spec.kind != ControlKind::Meter) break;
            reading = it->second.meter;
        }
        drawMeter(*item, reading);
        return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
        int number = GetDlgCtrlID(reinterpret_cast<HWND>(l));
        Shadow s;
        {
            std::lock_guard lock(m_);
            auto it = shadow_.find(number);
            if (it == shadow_.end() || !it->second.coloured) break;
            s = it->second;
        }
        auto lit = live_.find(number);
        if (lit == live_.end() || lit->second.hwnd != reinterpret_cast<HWND>(l)) break;
        Live& live = lit->second;
        HDC dc = reinterpret_cast<HDC>(w);
        if (!s.backgroundSet) {
            // A text colour alone: the system's background, as the page's other labels have.
            const LRESULT brush = DefWindowProcA(hwnd, msg, w, l);
            SetTextColor(dc, colorRef(s.textColor));
            return brush;
        }
        if (!live.brush || live.brushColour != s.background) {
            if (live.brush) DeleteObject(live.brush);
            live.brush = CreateSolidBrush(colorRef(s.background));
            live.brushColour = s.background;
        }
        SetTextColor(dc, colorRef(s.textColor));
        SetBkColor(dc, colorRef(s.background));
        return reinterpret_cast<LRESULT>(live.brush);
    }
    default: break;
    }
    return DefWindowProcA(hwnd, msg, w, l);
}

Win32& self() {
    static Win32* w = new Win32;  // never destroyed: window threads may outlive static destruction
    return *w;
}

}  // namespace desktop::detail::win32

namespace desktop::detail {
Backend& win32Backend() { return win32::self(); }
}  // namespace desktop::detail
