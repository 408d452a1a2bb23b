// One port's calls, answered in order: Initialize admits the page's origin (or not) and creates the
// plug-in instance, ExecuteRequest runs a request on it. Every message a call causes is sent before
// its result. Once an origin is denied nothing but results goes out, and requests are refused.
#pragma once

#include "CQVWebClientNativeHost.h"
#include "HostMessages.h"

#include <functional>
#include <memory>
#include <string>

class HostSession {
public:
    typedef std::function<void(const std::string& json)> Output;
    // Whether the origin may use the plug-in (may ask the user, running a nested main loop).
    typedef std::function<bool(const std::string& origin)> OriginGate;

    HostSession(Output output, OriginGate admit);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // One frame's payload from the extension; one that carries no call is logged and skipped.
    void Receive(const std::string& payload);

private:
    void Initialize(const HostCall& call);
    void ExecuteRequest(const HostCall& call);

    Output mOutput;
    OriginGate mAdmit;
    std::unique_ptr<CQVWebClientNativeHost> mClient;
    bool mDenied = false;
};
