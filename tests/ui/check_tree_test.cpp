#include "diagnostics/com_ptr.h"
#include "ui/check_tree.h"
#include "ui/tree_accessible.h"

#include <gtest/gtest.h>

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
    {
        CheckTreeWindow tree;
        accessible = createTreeAccessible(tree.tree(), &describePicture);
    }
    LONG count = 0;
    EXPECT_EQ(accessible->get_accChildCount(&count), RPC_E_DISCONNECTED);
    BSTR name = nullptr;
    EXPECT_EQ(accessible->get_accName(child(1), &name), RPC_E_DISCONNECTED);
    EXPECT_EQ(accessible->Release(), 0u);
}

}  // namespace
