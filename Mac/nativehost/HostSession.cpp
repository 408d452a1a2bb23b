#include "HostSession.h"


#include <glib.h>

HostSession::HostSession(Output output, OriginGate admit) : mOutput(std::move(output)), mAdmit(std::move(admit)) {}

HostSession::~HostSession() = default;

void HostSession::Receive(const std::string& payload)
{
    HostCall call;
    std::string error;
    if (!ParseHostCall(payload, &call, &error)) {
        g_printerr("qiravel-nativehost: a message of %zu bytes is skipped: %s\n", payload.size(), error.c_str());
        return;
    }
    if (call.kind == HostCall::kInitialize)
        Initialize(call);
    else
        ExecuteRequest(call);
}

void HostSession::Initialize(const HostCall& call)
{
    if (mDenied || !call.hasArgument || !mAdmit(call.argument)) {
        if (!mDenied)
            g_printerr("qiravel-nativehost: the origin \"%s\" is denied\n", call.argument.c_str());
        mDenied = true;
        mOutput(ResultMessage(std::string("failed")));
        return;
    }
    if (!mClient)
        mClient = std::make_unique<CQVWebClientNativeHost>([this](const std::string& json) {
            if (!mDenied)
                mOutput(json);
        });
    xwstring response;
    const bool initialized = mClient->Initialize(response, false);
    const char* text = response;
    mOutput(ResultMessage(std::string(initialized && text ? text : "failed")));
}

void HostSession::ExecuteRequest(const HostCall& call)
{
    bool result = false;
    if (mClient && !mDenied && call.hasArgument) {
        xwstring request(call.argument.c_str());
        result = mClient->ExecuteRequest(static_cast<wchar_t*>(request));
    }
    mOutput(ResultMessage(result));
}
