#include <windows.h>

#include "main_window.h"

namespace host {

namespace {

const wchar_t* const kClass = L"LarkspurPlayer";

std::wstring wide(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
    return w;
}

}  // namespace

struct MainWindow::Native {
    HWND hwnd = nullptr;
    bool closeAsked = false, configAsked = false;
    std::wstring line1, line2;

    static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        auto* self = reinterpret_cast<Native*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (msg == WM_NCCREATE) {
            self = static_cast<Native*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
        if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
        switch (msg) {
        case WM_CLOSE:  // the player quits in order: Quit first, then the window goes
            self->closeAsked = true;
            return 0;
        case WM_CHAR:
            if (wp == 'c' || wp == 'C') self->configAsked = true;
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
            SetBkMode(dc, TRANSPARENT);
            TextOutW(dc, 12, 12, self->line1.c_str(), static_cast<int>(self->line1.size()));
            TextOutW(dc, 12, 35, self->line2.c_str(), static_cast<int>(self->line2.size()));
            EndPaint(hwnd, &ps);
            return 0;
        }
        default:
            return DefWindowProcW(hwnd, msg, wp, lp);
        }
    }
};

MainWindow::~MainWindow() { close(); }

bool MainWindow::open(const std::string& title) {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = Native::proc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kClass;
    RegisterClassW(&wc);  // a second window of the process finds it registered
    native_ = new Native;
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT r{0, 0, 420, 70};
    AdjustWindowRect(&r, style, FALSE);
    native_->hwnd = CreateWindowExW(0, kClass, wide(title).c_str(), style, 40, 40, r.right - r.left,
                                    r.bottom - r.top, nullptr, nullptr, inst, native_);
    if (!native_->hwnd) {
        delete native_;
        native_ = nullptr;
        return false;
    }
    window_ = reinterpret_cast<std::uintptr_t>(native_->hwnd);
    ShowWindow(native_->hwnd, SW_SHOWNORMAL);
    UpdateWindow(native_->hwnd);
    return true;
}

void MainWindow::setTitle(const std::string& title) {
    // Wide, so that the module's GetWindowTextA reads it in the system's code page.
    if (native_) SetWindowTextW(native_->hwnd, wide(title).c_str());
}

void MainWindow::draw() {
    if (!native_) return;
    native_->line1 = wide(line1_);
    native_->line2 = wide(line2_);
    InvalidateRect(native_->hwnd, nullptr, TRUE);
}

bool MainWindow::lost() { return false; }  // a Win32 window has no connection to lose

MainWindow::Input MainWindow::poll(int timeoutMs) {
    if (!native_) return Input::Idle;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(timeoutMs), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    Input result = native_->closeAsked ? Input::Close : native_->configAsked ? Input::Config : Input::Idle;
    native_->closeAsked = native_->configAsked = false;
    return result;
}

void MainWindow::close() {
    if (!native_) return;
    DestroyWindow(native_->hwnd);
    delete native_;
    native_ = nullptr;
    window_ = 0;
}

}  // namespace host
