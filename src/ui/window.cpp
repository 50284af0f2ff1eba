#include "ui/window.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

using HandlerMap = std::map<HWND, std::vector<VWnd*>>;

// Process-wide, created on first use, never destroyed: objects may be
// released during static destruction after the map would be gone.
HandlerMap& windowHandlers() {
    static HandlerMap* handlers = new HandlerMap;
    return *handlers;
}

}  // namespace

VWnd::~VWnd() {
    for (auto& [window, list] : windowHandlers()) list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

LRESULT VWnd::processMessage(HWND, UINT, WPARAM, LPARAM, bool& handled) {
    handled = false;
    return 0;
}

void VWnd::attach(HWND window, bool owned) {
    if (owned_ && window_) ::DestroyWindow(window_);
    window_ = window;
    owned_ = owned;
}

void registerHandler(HWND window, VWnd* handler, bool front) {
    auto& list = windowHandlers()[window];
    if (front)
        list.insert(list.begin(), handler);
    else
        list.push_back(handler);
}

LRESULT dispatchMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
    HandlerMap& handlers = windowHandlers();
    LRESULT result = 0;
    handled = false;
    auto found = handlers.find(window);
    if (found != handlers.end() && !found->second.empty()) {
        // Handlers may register or unregister while they run.
        const std::vector<VWnd*> snapshot = found->second;
        for (VWnd* handler : snapshot) {
            handled = true;
            result = handler->processMessage(window, message, wParam, lParam, handled);
            if (handled) break;
        }
    }
    if (message == WM_DESTROY) handlers.erase(window);
    return handled ? result : 0;
}

size_t handlerCount(HWND window) {
    const HandlerMap& handlers = windowHandlers();
    auto found = handlers.find(window);
    return found == handlers.end() ? 0 : found->second.size();
}
