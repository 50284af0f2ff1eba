#include "ui/tree_accessible.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

const IID kIidAccessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const IID kIidAccPropServer = {0x76c0dbbb, 0x15e0, 0x4e7b, {0xb6, 0x1b, 0x20, 0xee, 0xea, 0x20, 0x01, 0xe0}};
const IID kIidAccPropServices = {0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
const CLSID kClsidAccPropServices = {0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
const GUID kPropIdDescription = {0x4d48dfe4, 0xbd3f, 0x491f, {0xa6, 0x48, 0x49, 0x2d, 0x6f, 0x20, 0xc5, 0x88}};

namespace {

constexpr UINT kStateImageMask = 0xF000;
constexpr UINT kCheckedState = INDEXTOSTATEIMAGEMASK(2);

// An absent answer: a BSTR property the object does not have.
HRESULT noText(BSTR* text) {
    *text = nullptr;
    return S_FALSE;
}

HRESULT giveText(const std::wstring& value, BSTR* text) {
    if (value.empty()) return noText(text);
    *text = ::SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    return *text ? S_OK : E_OUTOFMEMORY;
}

// TVM_GETITEMRECT takes the item in the rectangle it fills.
RECT itemRectRequest(HTREEITEM item) {
    RECT request{};
    std::memcpy(&request, &item, sizeof(item));
    return request;
}

// IUnknown for a heap object that implements `Interface`: the interfaces
// it answers besides IUnknown, and a reference count that starts at one and
// deletes the object at zero.
template <class Interface>
class ComObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || answers(iid)) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~ComObject() = default;
    virtual bool answers(REFIID iid) const = 0;

private:
    std::atomic<ULONG> references_{1};
};

void giveChild(LONG child, VARIANT* result) {
    ::VariantInit(result);
    result->vt = VT_I4;
    result->lVal = child;
}

class TreeAccessible final : public ComObject<IAccessible> {
public:
    TreeAccessible(std::shared_ptr<const TreeWindow> window, RowDescriber describe)
        : window_(std::move(window)), describe_(describe) {}

    bool answers(REFIID iid) const override { return iid == IID_IDispatch || iid == kIidAccessible; }

    // Clients reach the properties through the vtable, not by name.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        if (!alive()) return RPC_E_DISCONNECTED;
        return ::AccessibleObjectFromWindow(tree(), static_cast<DWORD>(OBJID_WINDOW), IID_IDispatch,
                                            reinterpret_cast<void**>(parent));
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
        if (!alive()) return RPC_E_DISCONNECTED;
        *count = static_cast<LONG>(treeRows(tree()).size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override {
        *object = nullptr;
        HTREEITEM item = nullptr;
        const HRESULT found = row(child, item);
        if (FAILED(found)) return found;
        // Rows are simple elements, answered by this object.
        return item ? S_FALSE : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        HTREEITEM item = nullptr;
        const HRESULT found = row(child, item);
        if (FAILED(found)) return found;
        return giveText(item ? itemText(item) : label(), name);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        HTREEITEM item = nullptr;
        const HRESULT found = row(child, item);
        if (FAILED(found)) return found;
        // Outline items give their level as their value.
        return item ? giveText(std::to_wstring(level(item)), value) : noText(value);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override {
        HTREEITEM item = nullptr;
        const HRESULT found = row(child, item);
        if (FAILED(found)) return found;
        return item && describe_ ? giveText(describe_(tree(), item), description) : noText(description);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        HTREEITEM item = nullptr;
        const HRESULT found = row(child, item);
        if (FAILED(found)) return found;
        giveChild(item ? ROLE_SYSTEM_OUTLINEITEM : ROLE_SYSTEM_OUTLINE, role);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        HTREEITEM item = nullptr;
        const HRESULT found = row(child, item);
        if (FAILED(found)) return found;
        const bool focused = ::GetFocus() == tree();
        LONG bits = STATE_SYSTEM_FOCUSABLE;
        if (!item) {
            if (focused) bits |= STATE_SYSTEM_FOCUSED;
        } else {
            bits |= STATE_SYSTEM_SELECTABLE;
            const UINT itemState = static_cast<UINT>(
                ::SendMessageW(tree(), TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), kStateImageMask | TVIS_EXPANDED));
            if ((itemState & kStateImageMask) == kCheckedState) bits |= STATE_SYSTEM_CHECKED;
            if (item == caret()) {
                bits |= STATE_SYSTEM_SELECTED;
                if (focused) bits |= STATE_SYSTEM_FOCUSED;
            }
            if (next(item, TVGN_CHILD)) bits |= (itemState & TVIS_EXPANDED) ? STATE_SYSTEM_EXPANDED : STATE_SYSTEM_COLLAPSED;
            RECT place = itemRectRequest(item);
            if (!::SendMessageW(tree(), TVM_GETITEMRECT, FALSE, reinterpret_cast<LPARAM>(&place)))
                bits |= STATE_SYSTEM_OFFSCREEN | STATE_SYSTEM_INVISIBLE;
        }
        giveChild(bits, state);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT, BSTR* help) override { return noText(help); }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT, LONG* topic) override {
        *topic = 0;
        return noText(file);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT, BSTR* shortcut) override { return noText(shortcut); }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override {
        if (!alive()) return RPC_E_DISCONNECTED;
        ::VariantInit(child);
        if (::GetFocus() != tree()) return S_FALSE;
        giveChild(childId(caret()), child);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* child) override {
        if (!alive()) return RPC_E_DISCONNECTED;
        ::VariantInit(child);
        const LONG id = childId(caret());
        if (id == CHILDID_SELF) return S_FALSE;
        giveChild(id, child);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
        HTREEITEM item = nullptr;
        const HRESULT found = row(child, item);
        if (FAILED(found)) return found;
        if (!item) return noText(action);
        return giveText(checked(item) ? L"Uncheck" : L"Check", action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override {
        HTREEITEM item = nullptr;
        const HRESULT found = row(child, item);
        if (FAILED(found)) return found;
        if (!item) return E_INVALIDARG;
        if (flags & SELFLAG_TAKEFOCUS) ::SetFocus(tree());
        if (flags & (SELFLAG_TAKESELECTION | SELFLAG_TAKEFOCUS))
            ::SendMessageW(tree(), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT child) override {
        HTREEITEM item = nullptr;
        const HRESULT found = row(child, item);
        if (FAILED(found)) return found;
        RECT place{};
        if (item) {
            place = itemRectRequest(item);
            if (!::SendMessageW(tree(), TVM_GETITEMRECT, FALSE, reinterpret_cast<LPARAM>(&place))) return S_FALSE;
            ::MapWindowPoints(tree(), nullptr, reinterpret_cast<POINT*>(&place), 2);
        } else {
            ::GetClientRect(tree(), &place);
            ::MapWindowPoints(tree(), nullptr, reinterpret_cast<POINT*>(&place), 2);
        }
        *left = place.left;
        *top = place.top;
        *width = place.right - place.left;
        *height = place.bottom - place.top;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
        HTREEITEM item = nullptr;
        const HRESULT found = row(start, item);
        if (FAILED(found)) return found;
        ::VariantInit(end);
        const auto rows = treeRows(tree());
        LONG target = 0;
        if (!item && direction == NAVDIR_FIRSTCHILD && !rows.empty()) target = 1;
        if (!item && direction == NAVDIR_LASTCHILD) target = static_cast<LONG>(rows.size());
        if (item && (direction == NAVDIR_NEXT || direction == NAVDIR_DOWN)) target = childId(item) + 1;
        if (item && (direction == NAVDIR_PREVIOUS || direction == NAVDIR_UP)) target = childId(item) - 1;
        if (target < 1 || target > static_cast<LONG>(rows.size())) return S_FALSE;
        giveChild(target, end);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* child) override {
        if (!alive()) return RPC_E_DISCONNECTED;
        ::VariantInit(child);
        TVHITTESTINFO test{};
        test.pt = {x, y};
        ::ScreenToClient(tree(), &test.pt);
        RECT client{};
        ::GetClientRect(tree(), &client);
        if (!::PtInRect(&client, test.pt)) return S_FALSE;
        ::SendMessageW(tree(), TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&test));
        giveChild(test.hItem ? childId(test.hItem) : CHILDID_SELF, child);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        HTREEITEM item = nullptr;
        const HRESULT found = row(child, item);
        if (FAILED(found)) return found;
        if (!item) return DISP_E_MEMBERNOTFOUND;
        toggleRowCheck(tree(), item);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

private:
    // Null once the window is gone: its handle may name another window by now.
    HWND tree() const { return window_->handle.load(); }
    bool alive() const { return tree() && ::IsWindow(tree()); }

    // `item` is null for the outline itself (CHILDID_SELF).
    HRESULT row(const VARIANT& child, HTREEITEM& item) const {
        if (!alive()) return RPC_E_DISCONNECTED;
        if (child.vt != VT_I4) return E_INVALIDARG;
        item = nullptr;
        if (child.lVal == CHILDID_SELF) return S_OK;
        const auto rows = treeRows(tree());
        if (child.lVal < 1 || child.lVal > static_cast<LONG>(rows.size())) return E_INVALIDARG;
        item = rows[static_cast<size_t>(child.lVal - 1)];
        return S_OK;
    }
    LONG childId(HTREEITEM item) const {
        if (!item) return CHILDID_SELF;
        const auto rows = treeRows(tree());
        const auto at = std::find(rows.begin(), rows.end(), item);
        return at == rows.end() ? CHILDID_SELF : static_cast<LONG>(at - rows.begin()) + 1;
    }
    HTREEITEM next(HTREEITEM item, UINT code) const {
        return reinterpret_cast<HTREEITEM>(::SendMessageW(tree(), TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item)));
    }
    HTREEITEM caret() const { return next(nullptr, TVGN_CARET); }
    bool checked(HTREEITEM item) const {
        const auto state = static_cast<UINT>(
            ::SendMessageW(tree(), TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), kStateImageMask));
        return (state & kStateImageMask) == kCheckedState;
    }
    int level(HTREEITEM item) const {
        int depth = 0;
        for (HTREEITEM parent = next(item, TVGN_PARENT); parent; parent = next(parent, TVGN_PARENT)) ++depth;
        return depth;
    }
    std::wstring itemText(HTREEITEM item) const {
        wchar_t text[512] = {};
        TVITEMW data{};
        data.mask = TVIF_HANDLE | TVIF_TEXT;
        data.hItem = item;
        data.pszText = text;
        data.cchTextMax = static_cast<int>(std::size(text));
        ::SendMessageW(tree(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data));
        return data.pszText ? std::wstring(data.pszText) : std::wstring();
    }
    // The outline is named by the static text before it in the tab order
    // ("Services:"), as a standard proxy does, without "&" and the colon.
    std::wstring label() const {
        const HWND previous = ::GetWindow(tree(), GW_HWNDPREV);
        wchar_t name[32] = {};
        if (!previous || !::GetClassNameW(previous, name, 32) || _wcsicmp(name, L"Static") != 0) return std::wstring();
        wchar_t text[256] = {};
        ::GetWindowTextW(previous, text, 256);
        std::wstring result;
        for (const wchar_t* c = text; *c; ++c)
            if (*c != L'&') result += *c;
        while (!result.empty() && (result.back() == L':' || result.back() == L' ')) result.pop_back();
        return result;
    }

    std::shared_ptr<const TreeWindow> window_;
    RowDescriber describe_;
};

class RowDescriptionServer final : public ComObject<IAccPropServer> {
public:
    RowDescriptionServer(std::shared_ptr<const TreeWindow> window, RowDescriber describe, IAccPropServices* services)
        : window_(std::move(window)), describe_(describe), services_(services) {
        services_->AddRef();
    }
    ~RowDescriptionServer() override { services_->Release(); }

    bool answers(REFIID iid) const override { return iid == kIidAccPropServer; }

    // Answers "no such property" for anything but a row's description, and
    // once the window is gone.
    HRESULT STDMETHODCALLTYPE GetPropValue(const BYTE* identity, DWORD length, MSAAPROPID property, VARIANT* value,
                                           BOOL* has) override {
        if (!value || !has) return E_POINTER;
        ::VariantInit(value);
        *has = FALSE;
        const HWND tree = window_->handle.load();
        if (property != kPropIdDescription || !tree || !describe_) return S_OK;
        HWND window = nullptr;
        DWORD object = 0, child = 0;
        if (FAILED(services_->DecomposeHwndIdentityString(identity, length, &window, &object, &child))) return S_OK;
        if (window != tree || static_cast<LONG>(object) != OBJID_CLIENT || static_cast<LONG>(child) == CHILDID_SELF)
            return S_OK;
        const auto item = reinterpret_cast<HTREEITEM>(::SendMessageW(tree, TVM_MAPACCIDTOHTREEITEM, child, 0));
        if (!item) return S_OK;
        const std::wstring text = describe_(tree, item);
        if (text.empty()) return S_OK;
        value->bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!value->bstrVal) return E_OUTOFMEMORY;
        value->vt = VT_BSTR;
        *has = TRUE;
        return S_OK;
    }

private:
    std::shared_ptr<const TreeWindow> window_;
    RowDescriber describe_;
    IAccPropServices* services_;
};

}  // namespace

IAccPropServer* createRowDescriptionServer(std::shared_ptr<const TreeWindow> tree, RowDescriber describe,
                                           IAccPropServices* services) {
    return new RowDescriptionServer(std::move(tree), describe, services);
}

IAccessible* createTreeAccessible(std::shared_ptr<const TreeWindow> tree, RowDescriber describe) {
    return new TreeAccessible(std::move(tree), describe);
}
