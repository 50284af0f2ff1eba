#include "monitor_fixture.h"

#include "resource_ids.h"

#include <commctrl.h>

#include <algorithm>

namespace testing_support {

namespace {

TreeItem readItem(HWND tree, HTREEITEM handle) {
    wchar_t text[512] = {};
    TVITEMW data{};
    data.mask = TVIF_HANDLE | TVIF_TEXT | TVIF_IMAGE | TVIF_STATE;
    data.hItem = handle;
    data.pszText = text;
    data.cchTextMax = 512;
    data.stateMask = TVIS_STATEIMAGEMASK;
    ::SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data));
    TreeItem item;
    item.text = text;
    item.image = data.iImage;
    item.checked = (data.state & TVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
    item.handle = handle;
    return item;
}

HTREEITEM next(HWND tree, HTREEITEM item, UINT code) {
    return reinterpret_cast<HTREEITEM>(
        ::SendMessageW(tree, TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item)));
}

std::wstring windowText(HWND window) {
    wchar_t text[4096] = {};
    ::GetWindowTextW(window, text, 4096);
    return text;
}

struct BoxSearch {
    HWND except;
    HWND found = nullptr;
};

BOOL CALLBACK findBox(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<BoxSearch*>(context);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process != ::GetCurrentProcessId() || window == search->except || !::IsWindowVisible(window)) return TRUE;
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    if (std::wstring(name) != L"#32770") return TRUE;
    search->found = window;
    return FALSE;
}

BOOL CALLBACK findText(HWND child, LPARAM context) {
    wchar_t name[64] = {};
    ::GetClassNameW(child, name, 64);
    if (_wcsicmp(name, L"Static") != 0) return TRUE;
    const std::wstring text = windowText(child);
    if (text.empty()) return TRUE;
    *reinterpret_cast<std::wstring*>(context) = text;
    return FALSE;
}

// The first icon shown by a static control of the box.
BOOL CALLBACK findIcon(HWND child, LPARAM context) {
    wchar_t name[64] = {};
    ::GetClassNameW(child, name, 64);
    if (_wcsicmp(name, L"Static") != 0) return TRUE;
    const auto icon = reinterpret_cast<HICON>(::SendMessageW(child, STM_GETICON, 0, 0));
    if (!icon) return TRUE;
    *reinterpret_cast<HICON*>(context) = icon;
    return FALSE;
}

// A message box shows the shared system icon of its style: LoadIcon with
// the same identifier gives the same handle.
UINT iconStyle(HICON icon) {
    const struct {
        const wchar_t* id;
        UINT style;
    } icons[] = {{IDI_ERROR, MB_ICONERROR},
                 {IDI_WARNING, MB_ICONWARNING},
                 {IDI_INFORMATION, MB_ICONINFORMATION},
                 {IDI_QUESTION, MB_ICONQUESTION}};
    for (const auto& candidate : icons)
        if (icon && icon == ::LoadIconW(nullptr, candidate.id)) return candidate.style;
    return 0;
}

}  // namespace

std::vector<TreeItem> readTree(HWND tree) {
    std::vector<TreeItem> roots;
    for (HTREEITEM root = next(tree, nullptr, TVGN_ROOT); root; root = next(tree, root, TVGN_NEXT)) {
        TreeItem item = readItem(tree, root);
        for (HTREEITEM child = next(tree, root, TVGN_CHILD); child; child = next(tree, child, TVGN_NEXT))
            item.children.push_back(readItem(tree, child));
        roots.push_back(std::move(item));
    }
    return roots;
}

std::vector<TreeItem> childrenOf(HWND tree, const std::wstring& group) {
    for (TreeItem& item : readTree(tree))
        if (item.text == group) return std::move(item.children);
    return {};
}

void setItemChecked(HWND tree, HTREEITEM item, bool checked) {
    TVITEMW data{};
    data.mask = TVIF_HANDLE | TVIF_STATE;
    data.hItem = item;
    data.stateMask = TVIS_STATEIMAGEMASK;
    data.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
    ::SendMessageW(tree, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&data));
}

void pumpMessages(DWORD milliseconds) {
    const ULONGLONG end = ::GetTickCount64() + milliseconds;
    do {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (::GetTickCount64() < end);
}

BoxAnswerer::BoxAnswerer(HWND except, std::vector<int> answers)
    : except_(except), answers_(std::move(answers)), thread_([this] { watch(); }) {}

BoxAnswerer::~BoxAnswerer() {
    stop_ = true;
    thread_.join();
}

std::vector<SeenBox> BoxAnswerer::seen() const {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
}

void BoxAnswerer::watch() {
    while (!stop_) {
        BoxSearch search{except_};
        ::EnumWindows(&findBox, reinterpret_cast<LPARAM>(&search));
        if (!search.found) {
            ::Sleep(20);
            continue;
        }
        SeenBox box;
        box.caption = windowText(search.found);
        ::EnumChildWindows(search.found, &findText, reinterpret_cast<LPARAM>(&box.text));
        HICON icon = nullptr;
        ::EnumChildWindows(search.found, &findIcon, reinterpret_cast<LPARAM>(&icon));
        box.icon = iconStyle(icon);
        box.owner = ::GetWindow(search.found, GW_OWNER);
        {
            std::lock_guard<std::mutex> guard(lock_);
            box.answer = answers_.empty() ? IDOK : answers_[std::min(seen_.size(), answers_.size() - 1)];
            seen_.push_back(box);
        }
        if (beforeAnswer_) beforeAnswer_(box);
        ::PostMessageW(search.found, WM_COMMAND, static_cast<WPARAM>(box.answer), 0);
        // Wait for the box to go before looking for the next one.
        for (int i = 0; i < 250 && ::IsWindow(search.found) && ::IsWindowVisible(search.found); ++i) ::Sleep(20);
    }
}

OpenMonitor::OpenMonitor() {
    app_.open();
}

OpenMonitor::~OpenMonitor() {
    if (app_.dialog() && app_.dialog()->handle()) {
        app_.trayIcon().removeTrayIcon();
        ::DestroyWindow(app_.dialog()->handle());
    }
}

LRESULT OpenMonitor::send(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageW(window(), message, wParam, lParam);
}

std::wstring OpenMonitor::status() {
    wchar_t text[512] = {};
    ::GetDlgItemTextW(window(), IDC_STATUS, text, 512);
    return text;
}

void OpenMonitor::setStatus(const std::wstring& text) {
    ::SetDlgItemTextW(window(), IDC_STATUS, text.c_str());
}

}  // namespace testing_support
