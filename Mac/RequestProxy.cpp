// Handing a transfer request to the Assistant as one "Laso"/"ADMN" event, without a reply.
#include "QVWebClientBaseMac.h"

#include "Platform/Processes/Processes.h"

namespace {
const AEEventID kAssistantRequestID = 'ADMN';
const AEKeyword kHostProcessKeyword = 'bPSN';
const AEKeyword kRefConKeyword = 'navG';
const AESendMode kRequestSendMode = kAENoReply | kAENeverInteract;
const long kRequestTimeoutTicks = 18000;
}  // namespace

bool CQVWebClientBaseMac::ProxyExecuteRequest(wchar_t* request)
{
    bool result = false;
    try {
        const xwstring text(request);
        const std::string utf8 = static_cast<const char*>(text) ? static_cast<const char*>(text) : "";
        ProcessSerialNumber psn;
        if (FindAssistantApplication(psn)) {
            StAEDescriptor target(typeProcessSerialNumber, &psn, sizeof psn);
            result = AEHandleAssistantRequest(target, utf8) != 0;
        }
    } catch (...) {
        result = false;
    }
    if (!result)
        ReportError(kErrLaunchAssistant, 1);
    return result;
}

int CQVWebClientBaseMac::AEHandleAssistantRequest(AEDesc& target, const std::string& request)
{
    StAEDescriptor event;
    StAEDescriptor reply;
    StAEDescriptor text(typeChar, request.c_str(), static_cast<SInt32>(request.size()));
    try {
        OSErr error = AECreateAppleEvent(kAssistantEventClass, kAssistantRequestID, &target, kAutoGenerateReturnID,
                                         kAnyTransactionID, event);
        if (error != noErr)
            throw error;
        UAEDesc::AddKeyDesc(event, keyDirectObject, text);

        ProcessSerialNumber host;
        GetCurrentProcess(&host);
        StAEDescriptor hostProcess(typeProcessSerialNumber, &host, sizeof host);
        const uint64_t refCon = mRefCon;
        StAEDescriptor refConDesc(typeUInt32, &refCon, sizeof refCon);
        UAEDesc::AddKeyDesc(event, kHostProcessKeyword, hostProcess);
        UAEDesc::AddKeyDesc(event, kRefConKeyword, refConDesc);

        error = AESendMessage(event, reply, kRequestSendMode, kRequestTimeoutTicks);
        if (error != noErr)
            throw error;
        return 1;
    } catch (...) {
        return 0;
    }
}
