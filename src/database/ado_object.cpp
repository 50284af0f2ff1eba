#include "database/ado_object.h"

#include "diagnostics/exceptions.h"

namespace ado {

IUnknown* createUnknown(const wchar_t* progId) {
    CLSID clsid;
    checkHResult(::CLSIDFromProgID(progId, &clsid));
    ComPtr<IUnknown> object;
    constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                                    CLSCTX_REMOTE_SERVER;  // 23
    checkHResult(::CoCreateInstance(clsid, nullptr, kClassContext, IID_IUnknown, object.putVoid()));
    checkHResult(::OleRun(object.get()));
    return object.release();
}

}  // namespace ado
