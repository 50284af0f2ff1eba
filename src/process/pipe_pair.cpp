#include "process/pipe.h"

#include "diagnostics/exceptions.h"

#include <rpc.h>

namespace Con {

namespace {

constexpr ContextSite kGuidSite{"Con::createPipePair", 612};
constexpr ContextSite kInheritSite{"Con::createPipePair", 640};

// A new GUID in its standard text form; a GUID that is unique only on this
// computer is good enough for a local pipe.
std::wstring newGuidText() {
    UUID uuid;
    const RPC_STATUS status = ::UuidCreateSequential(&uuid);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY)
        raiseOsError(L"Unable to create GUID", static_cast<uint32_t>(status), kGuidSite.entry());
    RPC_WSTR text = nullptr;
    const RPC_STATUS converted = ::UuidToStringW(&uuid, &text);
    if (converted != RPC_S_OK) raiseOsError(L"Unable to create GUID", static_cast<uint32_t>(converted), kGuidSite.entry());
    std::wstring result(reinterpret_cast<const wchar_t*>(text));
    ::RpcStringFreeW(&text);
    return result;
}

}  // namespace

void createPipePair(std::unique_ptr<Pipe>& server, std::unique_ptr<Pipe>& client, bool inheritable,
                    bool overlapped) {
    const std::wstring name = L"\\\\.\\pipe\\QuarnWin32.Pipes." + newGuidText();
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, inheritable ? TRUE : FALSE};
    // The first instance of a fresh name: a pipe someone else created under
    // it is never joined.
    const DWORD openMode = PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE;

    std::unique_ptr<Pipe> serverEnd;
    if (overlapped)
        serverEnd = std::make_unique<ServerOverlappedPipe>(name, openMode, PIPE_TYPE_BYTE, 1, 0, 0, 0, &security);
    else
        serverEnd = std::make_unique<ServerPipe>(name, openMode, PIPE_TYPE_BYTE, 1, 0, 0, 0, &security);
    auto clientEnd = std::make_unique<ClientPipe>(name, GENERIC_WRITE, PIPE_READMODE_BYTE, 1);
    if (inheritable && !::SetHandleInformation(clientEnd->handle(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        raiseOsError(L"Unable to make the pipe end inheritable", ::GetLastError(), kInheritSite.entry());
    if (overlapped)
        static_cast<ServerOverlappedPipe&>(*serverEnd).connect();
    else
        static_cast<ServerPipe&>(*serverEnd).connect();

    server = std::move(serverEnd);
    client = std::move(clientEnd);
}

}  // namespace Con
