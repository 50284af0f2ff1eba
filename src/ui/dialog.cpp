#include "ui/dialog.h"

#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "threading/cancelation_point.h"

namespace {

constexpr ContextSite kDialogProcSite{"VDlg::DialogProc", 106};

// A dialog procedure returns these messages' results directly; for every
// other message the result goes to DWL_MSGRESULT and the procedure returns
// TRUE.
bool returnsResultDirectly(UINT message) {
    switch (message) {
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_COMPAREITEM:
    case WM_INITDIALOG:
        return true;
    default:
        return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
    }
}

}  // namespace

void VDlg::create(WORD templateId, HWND parent) {
    ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), parent, &VDlg::DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK VDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::wstring errorText;
    try {
        return runWrappedCancelable([message] { return kDialogProcSite.entry(format(L"Process msg %d", message)); },
                                    [&]() -> INT_PTR {
                                        if (message == WM_INITDIALOG) {
                                            auto* dialog = reinterpret_cast<VDlg*>(lParam);
                                            dialog->attach(window, true);
                                            registerHandler(window, dialog, false);
                                        }
                                        bool handled = true;
                                        const LRESULT result =
                                            dispatchMessage(window, message, wParam, lParam, handled);
                                        if (!handled) return FALSE;
                                        if (returnsResultDirectly(message)) return result;
                                        ::SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
                                        return TRUE;
                                    });
    } catch (const vexception& error) {
        errorText = error.fullText();
    }
    if (!errorText.empty()) ::MessageBoxW(window, errorText.c_str(), L"Runtime error", MB_ICONERROR);
    return FALSE;
}
