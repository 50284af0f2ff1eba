// The shared client of the product's management service "quarnsrv": asks
// it for named configuration values and stored passwords over its pipe,
// whose name is the value "zrtpipe" of the product configuration key
// (default "zrtpipe").
//
// A pipe of that name is trusted only when the process serving it is the
// running "quarnsrv" service: anyone could otherwise answer the product root
// with a folder of their own.
#pragma once

#include "ipc/pipe_channel.h"

#include <string>

class QuarnSrvClient : public vpipechannel::client {
public:
    static constexpr const wchar_t* kServiceName = L"quarnsrv";

    // The process's client, created and connected on first use. A failed
    // creation raises and is tried again on the next call; once created it
    // lives until the process ends. Safe to call from several threads.
    static QuarnSrvClient& getInstance();

    // The text of the named value; raises the channel's or the service's
    // error.
    std::wstring getString(const std::wstring& name);
    // The password stored under `key`; raises like getString.
    std::wstring getPassword(const std::wstring& key);

protected:
    void verifyServer(HANDLE pipe, const std::wstring& path) override;

private:
    QuarnSrvClient();
};
