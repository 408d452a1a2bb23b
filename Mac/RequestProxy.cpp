// Handing a transfer request to the Assistant as one "Laso"/"ADMN" event, without a reply.
#include "QVWebClientBaseMac.h"

#include "MessageEnvelope.h"
#include "Platform/Processes/Processes.h"

namespace {
const AESendMode kRequestSendMode = kAENoReply | kAENeverInteract;
const long kRequestTimeoutTicks = 18000;
// Room left in an event's flattened form for everything but the request text.
const size_t kEventEnvelopeAllowance = 4096;
const size_t kLargestRequest = static_cast<size_t>(kAEMaxFlattenedSize) - kEventEnvelopeAllowance;
}  // namespace

// A request no event can carry is refused before the Assistant is looked for, and the page is told
// why rather than that the Assistant could not be launched.
void CQVWebClientBaseMac::ReportRequestTooLarge(size_t size)
{
    if (mLogger)
        mLogger->Error("The request of %zu bytes is too large to pass to the Assistant (at most %zu bytes)", size,
                       kLargestRequest);
    json_object* notification = NewMessage("Notification", "Error");
    if (!notification)
        return;
    const std::string text = "The request is too large to pass to Qiravel Assistant (" + std::to_string(size) +
                             " bytes; at most " + std::to_string(kLargestRequest) + ")";
    json_object_object_add(notification, "text", json_object_new_string(text.c_str()));
    HandleNotification(json_object_to_json_string(notification));
    json_object_put(notification);
}

bool CQVWebClientBaseMac::ProxyExecuteRequest(wchar_t* request)
{
    bool result = false;
    try {
        const xwstring text(request);
        const std::string utf8 = static_cast<const char*>(text) ? static_cast<const char*>(text) : "";
        if (utf8.size() > kLargestRequest) {
            ReportRequestTooLarge(utf8.size());
            return false;
        }
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
