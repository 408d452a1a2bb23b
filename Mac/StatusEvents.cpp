// Status events from the Assistant: one handler for the process, routed to instances by refCon.
#include "QVWebClientBaseMac.h"

#include <vector>

AEEventHandlerUPP CQVWebClientBaseMac::sStatusAEHandlerUPP = nullptr;
int32_t CQVWebClientBaseMac::sStatusAEHandlerUPPRefCount = 0;

void CQVWebClientBaseMac::InstallAEHandlers()
{
    if (sStatusAEHandlerUPP) {
        ++sStatusAEHandlerUPPRefCount;
        return;
    }
    sStatusAEHandlerUPP = NewAEEventHandlerUPP(&StatusAppleEventHandler);
    AEInstallEventHandler(kAssistantEventClass, kStatusEventID, sStatusAEHandlerUPP, 0, false);
    sStatusAEHandlerUPPRefCount = 1;
}

void CQVWebClientBaseMac::RemoveAEHandlers()
{
    if (--sStatusAEHandlerUPPRefCount > 0)
        return;
    sStatusAEHandlerUPPRefCount = 0;
    if (sStatusAEHandlerUPP) {
        AERemoveEventHandler(kAssistantEventClass, kStatusEventID, sStatusAEHandlerUPP, false);
        sStatusAEHandlerUPP = nullptr;
    }
}

OSErr CQVWebClientBaseMac::StatusAppleEventHandler(const AppleEvent* event, AppleEvent*, SRefCon)
{
    unsigned int refCon = 0;
    try {
        StAEDescriptor refConDesc;
        refConDesc.GetParamDesc(*event, kStatusRefConKeyword, typeUInt32);
        AEGetDescData(refConDesc, &refCon, sizeof refCon);
    } catch (short error) {
        return error;
    } catch (...) {
        return errAEEventNotHandled;
    }
    try {
        auto* instance = dynamic_cast<CQVWebClientBaseMac*>(GetPluginInstanceFromRefCon(refCon));
        if (instance)
            instance->HandleStatusEvent(event);
        return noErr;
    } catch (...) {
        return errAEEventNotHandled;
    }
}

void CQVWebClientBaseMac::HandleStatusEvent(const AEDesc* event)
{
    try {
        DescType actualType = typeNull;
        Size size = 0;
        OSErr error = AEGetParamPtr(event, kNotificationKeyword, typeChar, &actualType, nullptr, 0, &size);
        if (error != noErr)
            throw error;
        if (actualType != typeChar || size < 1)
            return;
        std::vector<char> text(static_cast<size_t>(size) + 1, 0);
        error = AEGetParamPtr(event, kNotificationKeyword, typeChar, &actualType, text.data(), size, &size);
        if (error != noErr)
            throw error;
        NotificationCallback(text.data(), reinterpret_cast<long>(this));
    } catch (...) {
        if (mLogger)
            mLogger->Warning("Unhandled exception while processing a notification");
    }
}
