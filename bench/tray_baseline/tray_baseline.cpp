// The smallest program that does what the idle monitor does: a tray icon, a
// hidden window with a tree view, a 100 ms timer and a message loop. It ends
// on the monitor's registered exit message. The baseline of the idle and the
// start-to-tray benchmarks.
#include "resource_ids.h"

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

namespace {

UINT exitMessage = 0;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == exitMessage || message == WM_CLOSE) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    exitMessage = ::RegisterWindowMessageW(L"QuarnTrayIconExitMsg");
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_TREEVIEW_CLASSES};
    ::InitCommonControlsEx(&controls);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"QuarnTrayBaseline";
    ::RegisterClassW(&windowClass);
    HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Tray baseline", WS_OVERLAPPEDWINDOW, 0, 0, 400,
                                    300, nullptr, nullptr, instance, nullptr);
    ::CreateWindowExW(0, WC_TREEVIEWW, L"", WS_CHILD | WS_VISIBLE | TVS_CHECKBOXES, 0, 0, 400, 300, window, nullptr,
                      instance, nullptr);
    NOTIFYICONDATAW icon{};
    icon.cbSize = sizeof(icon);
    icon.hWnd = window;
    icon.uID = 1;
    icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    icon.uCallbackMessage = WM_USER + 1;
    icon.hIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_TRAY_STARTED), IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
    lstrcpyW(icon.szTip, L"Tray baseline");
    ::Shell_NotifyIconW(NIM_ADD, &icon);
    ::SetTimer(window, 1, 100, nullptr);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    ::Shell_NotifyIconW(NIM_DELETE, &icon);
    return 0;
}
