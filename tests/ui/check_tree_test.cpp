#include "diagnostics/com_ptr.h"
#include "ui/check_tree.h"
#include "ui/tree_accessible.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::wstring describePicture(HWND tree, HTREEITEM item) {
    TVITEMW data{};
    data.mask = TVIF_HANDLE | TVIF_IMAGE;
    data.hItem = item;
    ::SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data));
    return data.iImage > 0 ? L"picture " + std::to_wstring(data.iImage) : std::wstring();
}

// A real tree view with check boxes in a window of its own: two groups, the
// first with two rows.
class CheckTreeWindow {
public:
    CheckTreeWindow() {
        window_ = ::CreateWindowExW(0, L"Static", L"Check tree test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300,
                                    300, nullptr, nullptr, nullptr, nullptr);
        tree_ = ::CreateWindowExW(0, WC_TREEVIEWW, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | TVS_CHECKBOXES, 0, 0, 280,
                                  260, window_, nullptr, nullptr, nullptr);
        const HTREEITEM first = insert(TVI_ROOT, L"First group", 0);
        rows_ = {first, insert(first, L"Alpha", 1), insert(first, L"Beta", 2), insert(TVI_ROOT, L"Second group", 0)};
        ::SendMessageW(tree_, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(first));
        attachCheckTree(tree_, &describePicture);
        // The control gives every row its check box when it first paints.
        ::UpdateWindow(tree_);
    }
    ~CheckTreeWindow() { ::DestroyWindow(window_); }
    CheckTreeWindow(const CheckTreeWindow&) = delete;
    CheckTreeWindow& operator=(const CheckTreeWindow&) = delete;

    HWND tree() const { return tree_; }
    HWND window() const { return window_; }
    const std::vector<HTREEITEM>& rows() const { return rows_; }
    bool checked(HTREEITEM item) const {
        return (::SendMessageW(tree_, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_STATEIMAGEMASK) &
                TVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
    }
    void select(HTREEITEM item) const {
        ::SendMessageW(tree_, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    }

private:
    HTREEITEM insert(HTREEITEM parent, const wchar_t* text, int image) {
        TVINSERTSTRUCTW data{};
        data.hParent = parent;
        data.hInsertAfter = TVI_LAST;
        data.item.mask = TVIF_TEXT | TVIF_IMAGE;
        data.item.pszText = const_cast<wchar_t*>(text);
        data.item.iImage = image;
        return reinterpret_cast<HTREEITEM>(::SendMessageW(tree_, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&data)));
    }

    HWND window_ = nullptr;
    HWND tree_ = nullptr;
    std::vector<HTREEITEM> rows_;
};

void dispatchQueued() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void postSpace(HWND tree, bool repeat) {
    const LPARAM flags = 0x00390001 | (repeat ? (1 << 30) : 0);
    ::PostMessageW(tree, WM_KEYDOWN, VK_SPACE, flags);
    ::PostMessageW(tree, WM_CHAR, L' ', flags);
    ::PostMessageW(tree, WM_KEYUP, VK_SPACE, 0xC0390001);
}

TEST(CheckTree, SpaceTogglesTheFocusedRowOncePerPress) {
    CheckTreeWindow tree;
    EXPECT_EQ(treeRows(tree.tree()), tree.rows());
    tree.select(tree.rows()[1]);
    ::SetFocus(tree.tree());
    postSpace(tree.tree(), false);
    dispatchQueued();
    EXPECT_TRUE(tree.checked(tree.rows()[1]));
    EXPECT_FALSE(tree.checked(tree.rows()[0]));
    // A held key repeats: the box does not flip back and forth.
    postSpace(tree.tree(), true);
    dispatchQueued();
    EXPECT_TRUE(tree.checked(tree.rows()[1]));
    postSpace(tree.tree(), false);
    dispatchQueued();
    EXPECT_FALSE(tree.checked(tree.rows()[1]));
    // The Space was no search letter: the focus stayed on the row.
    EXPECT_EQ(reinterpret_cast<HTREEITEM>(::SendMessageW(tree.tree(), TVM_GETNEXTITEM, TVGN_CARET, 0)),
              tree.rows()[1]);
}

VARIANT child(LONG id) {
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = id;
    return value;
}

std::wstring take(BSTR text) {
    std::wstring result = text ? text : L"";
    ::SysFreeString(text);
    return result;
}

TEST(CheckTree, ScreenReadersReadEachRowsTextCheckAndState) {
    ScopedComInitialization com;
    CheckTreeWindow tree;
    ::SetFocus(tree.tree());
    tree.select(tree.rows()[2]);
    const HTREEITEM checkedRow = tree.rows()[1];
    toggleRowCheck(tree.tree(), checkedRow);

    IAccessible* accessible = nullptr;
    ASSERT_EQ(::AccessibleObjectFromWindow(tree.tree(), static_cast<DWORD>(OBJID_CLIENT), kIidAccessible,
                                           reinterpret_cast<void**>(&accessible)),
              S_OK);
    ASSERT_NE(accessible, nullptr);
    VARIANT role;
    ASSERT_EQ(accessible->get_accRole(child(CHILDID_SELF), &role), S_OK);
    EXPECT_EQ(role.lVal, ROLE_SYSTEM_OUTLINE);
    LONG count = 0;
    ASSERT_EQ(accessible->get_accChildCount(&count), S_OK);
    ASSERT_EQ(count, 4);

    struct Expected {
        const wchar_t* name;
        const wchar_t* level;
        const wchar_t* description;
        bool checked;
        bool focused;
    };
    const Expected rows[] = {{L"First group", L"0", L"", false, false},
                             {L"Alpha", L"1", L"picture 1", true, false},
                             {L"Beta", L"1", L"picture 2", false, true},
                             {L"Second group", L"0", L"", false, false}};
    for (LONG id = 1; id <= count; ++id) {
        const Expected& row = rows[id - 1];
        BSTR text = nullptr;
        EXPECT_EQ(accessible->get_accName(child(id), &text), S_OK);
        EXPECT_EQ(take(text), row.name);
        accessible->get_accValue(child(id), &text);
        EXPECT_EQ(take(text), row.level) << row.name;
        accessible->get_accDescription(child(id), &text);
        EXPECT_EQ(take(text), row.description) << row.name;
        VARIANT state;
        ASSERT_EQ(accessible->get_accState(child(id), &state), S_OK);
        EXPECT_EQ((state.lVal & STATE_SYSTEM_CHECKED) != 0, row.checked) << row.name;
        EXPECT_EQ((state.lVal & STATE_SYSTEM_FOCUSED) != 0, row.focused) << row.name;
        ASSERT_EQ(accessible->get_accRole(child(id), &role), S_OK);
        EXPECT_EQ(role.lVal, ROLE_SYSTEM_OUTLINEITEM);
    }
    VARIANT focus;
    ASSERT_EQ(accessible->get_accFocus(&focus), S_OK);
    EXPECT_EQ(focus.lVal, 3);
    VARIANT state;
    accessible->get_accState(child(1), &state);
    EXPECT_NE(state.lVal & STATE_SYSTEM_EXPANDED, 0);
    EXPECT_EQ(accessible->get_accChildCount(&count), S_OK);
    EXPECT_EQ(accessible->get_accState(child(5), &state), E_INVALIDARG);

    // The default action is the check box's.
    BSTR action = nullptr;
    accessible->get_accDefaultAction(child(2), &action);
    EXPECT_EQ(take(action), L"Uncheck");
    EXPECT_EQ(accessible->accDoDefaultAction(child(2)), S_OK);
    EXPECT_FALSE(tree.checked(checkedRow));

    // The row texts the tree shows are untouched.
    wchar_t text[64] = {};
    TVITEMW data{};
    data.mask = TVIF_HANDLE | TVIF_TEXT;
    data.hItem = checkedRow;
    data.pszText = text;
    data.cchTextMax = 64;
    ::SendMessageW(tree.tree(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data));
    EXPECT_STREQ(text, L"Alpha");
    accessible->Release();
}

TEST(CheckTree, AccessibleObjectOutlivingItsWindowFailsCleanly) {
    ScopedComInitialization com;
    IAccessible* accessible = nullptr;
    HWND handle = nullptr;
    {
        CheckTreeWindow tree;
        handle = tree.tree();
        ASSERT_EQ(::AccessibleObjectFromWindow(tree.tree(), static_cast<DWORD>(OBJID_CLIENT), kIidAccessible,
                                               reinterpret_cast<void**>(&accessible)),
                  S_OK);
    }
    // A window that may get the same handle is not the tree.
    HWND another = ::CreateWindowExW(0, WC_TREEVIEWW, L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                     nullptr, nullptr);
    LONG count = 0;
    EXPECT_EQ(accessible->get_accChildCount(&count), RPC_E_DISCONNECTED) << (another == handle ? "same handle" : "");
    BSTR name = nullptr;
    EXPECT_EQ(accessible->get_accName(child(1), &name), RPC_E_DISCONNECTED);
    accessible->Release();
    ::DestroyWindow(another);
}

// The annotation services as a test records them (Wine's are stubs). Identity
// strings are the three numbers, as bytes.
class RecordingServices final : public IAccPropServices {
public:
    struct Identity {
        HWND window;
        DWORD object;
        DWORD child;
    };
    IAccPropServer* server = nullptr;
    Identity registered{};
    GUID property{};
    AnnoScope scope = ANNO_THIS;
    int clears = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == kIidAccPropServices) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }
    ULONG references() const { return references_; }

    HRESULT STDMETHODCALLTYPE SetHwndPropServer(HWND window, DWORD object, DWORD child, const MSAAPROPID* properties,
                                                int count, IAccPropServer* added, AnnoScope annotationScope) override {
        if (count != 1) return E_INVALIDARG;
        registered = {window, object, child};
        property = properties[0];
        scope = annotationScope;
        server = added;
        server->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ClearHwndProps(HWND window, DWORD object, DWORD child, const MSAAPROPID*,
                                             int) override {
        if (window != registered.window || object != registered.object || child != registered.child) return E_FAIL;
        ++clears;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DecomposeHwndIdentityString(const BYTE* text, DWORD length, HWND* window,
                                                          DWORD* object, DWORD* child) override {
        if (length != sizeof(Identity)) return E_INVALIDARG;
        Identity identity;
        std::memcpy(&identity, text, sizeof(identity));
        *window = identity.window;
        *object = identity.object;
        *child = identity.child;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetPropValue(const BYTE*, DWORD, MSAAPROPID, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPropServer(const BYTE*, DWORD, const MSAAPROPID*, int, IAccPropServer*,
                                            AnnoScope) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ClearProps(const BYTE*, DWORD, const MSAAPROPID*, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetHwndProp(HWND, DWORD, DWORD, MSAAPROPID, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetHwndPropStr(HWND, DWORD, DWORD, MSAAPROPID, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ComposeHwndIdentityString(HWND, DWORD, DWORD, BYTE**, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetHmenuProp(HMENU, DWORD, MSAAPROPID, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetHmenuPropStr(HMENU, DWORD, MSAAPROPID, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetHmenuPropServer(HMENU, DWORD, const MSAAPROPID*, int, IAccPropServer*,
                                                 AnnoScope) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ClearHmenuProps(HMENU, DWORD, const MSAAPROPID*, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ComposeHmenuIdentityString(HMENU, DWORD, BYTE**, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DecomposeHmenuIdentityString(const BYTE*, DWORD, HMENU*, DWORD*) override {
        return E_NOTIMPL;
    }

private:
    ULONG references_ = 1;
};

RecordingServices* g_services = nullptr;

// Windows' proxy for tree views: an outline (this program's object plays it).
HRESULT WINAPI outlineProxy(HWND tree, LONG, REFIID, void** object) {
    auto window = std::make_shared<TreeWindow>();
    window->handle.store(tree);
    *object = createTreeAccessible(window, &describePicture);
    return S_OK;
}
HRESULT WINAPI recordingServices(REFCLSID clsid, LPUNKNOWN, DWORD, REFIID iid, LPVOID* object) {
    if (clsid != kClsidAccPropServices) return REGDB_E_CLASSNOTREG;
    return g_services->QueryInterface(iid, object);
}

// The tree view's own accessibility ids, as Windows' comctl32 gives them
// (Wine's does not): 100 + the row's index.
const std::vector<HTREEITEM>* g_idRows = nullptr;
LRESULT CALLBACK windowsIds(HWND tree, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (message == TVM_MAPACCIDTOHTREEITEM) {
        const size_t index = wParam - 100;
        return index < g_idRows->size() ? reinterpret_cast<LRESULT>((*g_idRows)[index]) : 0;
    }
    return ::DefSubclassProc(tree, message, wParam, lParam);
}

int g_stateChanges = 0;
void CALLBACK countStateChange(HWINEVENTHOOK, DWORD, HWND, LONG object, LONG, DWORD, DWORD) {
    if (object == OBJID_CLIENT) ++g_stateChanges;
}

// Stands in for Windows, where the tree view has a proxy of its own: the
// proxy stays (its ids are the ones the tree view's events use), each row's
// state description is added to it, and check changes are announced once,
// by the tree view.
TEST(CheckTree, PlatformProxyStaysAndGetsEachRowsDescriptionByTheTreeViewsIds) {
    ScopedComInitialization com;
    RecordingServices services;
    g_services = &services;
    auto& calls = check_tree_detail::accessibilityCalls();
    const check_tree_detail::AccessibilityCalls platform = calls;
    calls.createStdAccessibleObject = &outlineProxy;
    calls.createInstance = &recordingServices;
    HWND handle = nullptr;
    {
        CheckTreeWindow tree;
        calls = platform;
        handle = tree.tree();
        g_idRows = &tree.rows();
        ::SetWindowSubclass(tree.tree(), &windowsIds, 0x1D5, 0);
        ASSERT_TRUE(checkTreeUsesPlatformProxy(tree.tree()));

        // WM_GETOBJECT is left to the platform.
        EXPECT_EQ(::SendMessageW(tree.tree(), WM_GETOBJECT, 0, OBJID_CLIENT), 0);
        // One server for every row of the client object.
        ASSERT_NE(services.server, nullptr);
        EXPECT_EQ(services.registered.window, tree.tree());
        EXPECT_EQ(static_cast<LONG>(services.registered.object), OBJID_CLIENT);
        EXPECT_EQ(static_cast<LONG>(services.registered.child), CHILDID_SELF);
        EXPECT_EQ(services.property, kPropIdDescription);
        EXPECT_EQ(services.scope, ANNO_CONTAINER);

        struct Asked {
            DWORD child;
            const wchar_t* description;  // null: no such property
        };
        const Asked asked[] = {{102, L"picture 2"}, {101, L"picture 1"}, {100, nullptr}, {CHILDID_SELF, nullptr}};
        for (const Asked& a : asked) {
            SCOPED_TRACE(a.child);
            const RecordingServices::Identity identity{tree.tree(), static_cast<DWORD>(OBJID_CLIENT), a.child};
            VARIANT value;
            BOOL has = TRUE;
            ASSERT_EQ(services.server->GetPropValue(reinterpret_cast<const BYTE*>(&identity), sizeof(identity),
                                                    kPropIdDescription, &value, &has),
                      S_OK);
            EXPECT_EQ(has != FALSE, a.description != nullptr);
            if (a.description) {
                ASSERT_EQ(value.vt, VT_BSTR);
                EXPECT_EQ(take(value.bstrVal), a.description);
            }
        }

        // The check change is the tree view's to announce.
        g_stateChanges = 0;
        const HWINEVENTHOOK hook = ::SetWinEventHook(EVENT_OBJECT_STATECHANGE, EVENT_OBJECT_STATECHANGE, nullptr,
                                                     &countStateChange, ::GetCurrentProcessId(), 0,
                                                     WINEVENT_OUTOFCONTEXT);
        toggleRowCheck(tree.tree(), tree.rows()[1]);
        dispatchQueued();
        ::UnhookWinEvent(hook);
        EXPECT_TRUE(tree.checked(tree.rows()[1]));
        EXPECT_EQ(g_stateChanges, 0);
        ::RemoveWindowSubclass(tree.tree(), &windowsIds, 0x1D5);
    }
    // The window's annotations went with it, and the server no longer
    // answers for its handle.
    EXPECT_EQ(services.clears, 1);
    const RecordingServices::Identity identity{handle, static_cast<DWORD>(OBJID_CLIENT), 101};
    VARIANT value;
    BOOL has = TRUE;
    services.server->GetPropValue(reinterpret_cast<const BYTE*>(&identity), sizeof(identity), kPropIdDescription,
                                  &value, &has);
    EXPECT_FALSE(has);
    services.server->Release();
    g_services = nullptr;
}

// Without a proxy (Wine), this program's object answers and announces the
// check change itself, once.
TEST(CheckTree, WithoutAPlatformProxyTheTreeAnnouncesItsOwnChecks) {
    CheckTreeWindow tree;
    ASSERT_FALSE(checkTreeUsesPlatformProxy(tree.tree()));
    g_stateChanges = 0;
    const HWINEVENTHOOK hook = ::SetWinEventHook(EVENT_OBJECT_STATECHANGE, EVENT_OBJECT_STATECHANGE, nullptr,
                                                 &countStateChange, ::GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    toggleRowCheck(tree.tree(), tree.rows()[1]);
    dispatchQueued();
    ::UnhookWinEvent(hook);
    EXPECT_EQ(g_stateChanges, 1);
}

}  // namespace
