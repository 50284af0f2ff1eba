#include "config/quarnsrv_client.h"

#include "config/product_config.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "services/service_query.h"
#include "threading/critical_section.h"

#include <memory>

namespace {

constexpr ContextSite kGetInstance{"QuarnSrvClient::getInstance", 344};
constexpr ContextSite kGetString{"QuarnSrvClient::getString", 241};
constexpr ContextSite kGetPassword{"QuarnSrvClient::getPassword", 218};
constexpr ContextSite kVerifyServer{"QuarnSrvClient::verifyServer", 61};

// {AD3EBC3C-E6B9-4FCF-ABB9-ED1B3D524F22}
constexpr GUID kGetStringMethod = {0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
// {50A1A607-50B9-4DB3-92EC-B940EB87F8FF}
constexpr GUID kGetPasswordMethod = {0x50A1A607, 0x50B9, 0x4DB3, {0x92, 0xEC, 0xB9, 0x40, 0xEB, 0x87, 0xF8, 0xFF}};


std::wstring askString(QuarnSrvClient& client, const GUID& method, const std::wstring& argument) {
    vserializer::writer arguments;
    arguments.appendString(argument);
    return client.query(method, arguments)->readString();
}

}  // namespace

QuarnSrvClient::QuarnSrvClient() : vpipechannel::client(product_config::kConfigKey, L"zrtpipe", false) {
    connect();
}

QuarnSrvClient& QuarnSrvClient::getInstance() {
    return runWrapped(kGetInstance.entry(L"get shared instance of QuarnSrvClient"), []() -> QuarnSrvClient& {
        static VCriticalSection lock;
        // Lives until the process ends: other modules' threads may still ask.
        static QuarnSrvClient* instance = nullptr;
        VCriticalSectionLock hold(lock);
        if (!instance) instance = new QuarnSrvClient();
        return *instance;
    });
}

std::wstring QuarnSrvClient::getString(const std::wstring& name) {
    return runWrapped([&] { return kGetString.entry(format(L"getString(%s)", name.c_str())); },
                      [&] { return askString(*this, kGetStringMethod, name); });
}

std::wstring QuarnSrvClient::getPassword(const std::wstring& key) {
    return runWrapped([&] { return kGetPassword.entry(format(L"getPassword('%s')", key.c_str())); },
                      [&] { return askString(*this, kGetPasswordMethod, key); });
}

void QuarnSrvClient::verifyServer(HANDLE pipe, const std::wstring& path) {
    ULONG server = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &server))
        raiseOsError(L"GetNamedPipeServerProcessId '" + path + L"'", ::GetLastError(), kVerifyServer.entry());
    const DWORD service = service::serviceProcessId(kServiceName);
    if (service == 0)
        throw vexception(format(L"The pipe %s is served by process %lu, but the Quarn Management Service "
                                L"\"quarnsrv\" is not running",
                                path.c_str(), server),
                         kVerifyServer.entry());
    if (server != service)
        throw vexception(format(L"The pipe %s is served by process %lu, not by the Quarn Management Service "
                                L"\"quarnsrv\" (process %lu)",
                                path.c_str(), server, service),
                         kVerifyServer.entry());
}
