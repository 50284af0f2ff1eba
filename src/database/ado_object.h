// The ADO and ADOX interfaces (mingw-w64's declarations) and the creation of
// their objects.
//
// mingw-w64's adoint.h and adoctint.h hold declarations that GCC accepts only
// with -fpermissive (the build gives it to the files that include this
// header, src/database/CMakeLists.txt), and their interface-id symbols are
// in no library: the ids are defined here.
#pragma once

#include "diagnostics/com_ptr.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/win32.h"

#include <adoint.h>
#include <adoctint.h>

#include <string>

namespace ado {

// The interface ids of current Windows and the ADO 2.x ones, which Wine's
// msado15 answers (and current Windows too, for old programs). The method
// tables used here are the same under both.
inline constexpr IID kConnectionIID = {0x00001550, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
inline constexpr IID kConnectionIID2x = {0x00000550, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
inline constexpr IID kRecordsetIID = {0x00001556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
inline constexpr IID kRecordsetIID2x = {0x00000556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
// ADOX _Catalog.
inline constexpr IID kCatalogIID = {0x00000603, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};

// ConnectModeEnum adModeReadWrite, CursorLocationEnum adUseClient,
// CursorTypeEnum adOpenStatic, LockTypeEnum adLockOptimistic,
// CommandTypeEnum adCmdUnknown, ExecuteOptionEnum adExecuteNoRecords,
// ConnectOptionEnum adConnectUnspecified, ObjectStateEnum adStateOpen.
inline constexpr long kModeReadWrite = 3;
inline constexpr long kUseClient = 3;
inline constexpr long kOpenStatic = 3;
inline constexpr long kLockOptimistic = 3;
inline constexpr long kCmdUnknown = 8;
inline constexpr long kExecuteNoRecords = 128;
inline constexpr long kConnectUnspecified = -1;
inline constexpr long kStateOpen = 1;

// Creates the object of `progId` (CoCreateInstance, class context 23, asked
// for IUnknown), runs it (OleRun) and asks it for `Interface` with `iid`,
// then with `fallbackIid` when that is not null. Raises _com_error.
template <class Interface>
ComPtr<Interface> create(const wchar_t* progId, REFIID iid, const IID* fallbackIid);
IUnknown* createUnknown(const wchar_t* progId);

template <class Interface>
ComPtr<Interface> create(const wchar_t* progId, REFIID iid, const IID* fallbackIid) {
    ComPtr<IUnknown> object(createUnknown(progId));
    ComPtr<Interface> result;
    HRESULT hr = object->QueryInterface(iid, result.putVoid());
    if (FAILED(hr) && fallbackIid != nullptr) hr = object->QueryInterface(*fallbackIid, result.putVoid());
    checkHResult(hr);
    return result;
}

}  // namespace ado
