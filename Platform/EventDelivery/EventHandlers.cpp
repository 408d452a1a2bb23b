// The handler table and the dispatch of received events on the main loop.
#include "EventDelivery.h"

#include "DeliveryLog.h"
#include "EventPort.h"

#include <exception>
#include <map>
#include <mutex>
#include <utility>

namespace {
struct Handler {
    AEEventHandlerUPP proc;
    SRefCon refcon;
};
typedef std::pair<AEEventClass, AEEventID> HandlerKey;

std::mutex sTableMutex;
std::map<HandlerKey, Handler> sHandlers;

bool FindHandler(const HandlerKey& key, Handler* handler)
{
    std::lock_guard<std::mutex> lock(sTableMutex);
    const auto found = sHandlers.find(key);
    if (found == sHandlers.end())
        return false;
    *handler = found->second;
    return true;
}

FourCharCode EventAttribute(const AppleEvent* event, AEKeyword keyword)
{
    FourCharCode code = 0;
    DescType actualType = typeNull;
    Size size = 0;
    if (AEGetAttributePtr(event, keyword, typeType, &actualType, &code, sizeof code, &size) != noErr ||
        size != sizeof code)
        return 0;
    return code;
}

// Runs the handler for one received event; nothing it does or throws reaches the main loop.
void DispatchEvent(const AppleEvent* event)
{
    const HandlerKey key(EventAttribute(event, keyEventClassAttr), EventAttribute(event, keyEventIDAttr));
    const std::string name = FourCharCodeText(key.first) + "/" + FourCharCodeText(key.second);
    Handler handler;
    if (!FindHandler(key, &handler)) {
        LogDeliveryWarning("Event " + name + " dropped: no handler (" + std::to_string(errAEEventNotHandled) + ")");
        return;
    }
    AppleEvent reply;
    AEInitializeDesc(&reply);
    try {
        handler.proc(event, &reply, handler.refcon);
    } catch (const std::exception& error) {
        LogDeliveryWarning("Handler of event " + name + " threw: " + error.what());
    } catch (...) {
        LogDeliveryWarning("Handler of event " + name + " threw an exception");
    }
    AEDisposeDesc(&reply);
}
}  // namespace

OSErr AEOpenEventPort() { return EventPort::OpenCurrent(&DispatchEvent); }

OSErr AEInstallEventHandler(AEEventClass eventClass, AEEventID eventID, AEEventHandlerUPP handler,
                            SRefCon handlerRefcon, Boolean isSysHandler)
{
    if (!handler || isSysHandler)
        return paramErr;
    const OSErr error = AEOpenEventPort();
    if (error != noErr)
        return error;
    std::lock_guard<std::mutex> lock(sTableMutex);
    sHandlers[HandlerKey(eventClass, eventID)] = Handler{handler, handlerRefcon};
    return noErr;
}

OSErr AERemoveEventHandler(AEEventClass eventClass, AEEventID eventID, AEEventHandlerUPP handler,
                           Boolean isSysHandler)
{
    if (isSysHandler)
        return paramErr;
    std::lock_guard<std::mutex> lock(sTableMutex);
    const auto found = sHandlers.find(HandlerKey(eventClass, eventID));
    if (found == sHandlers.end() || (handler && found->second.proc != handler))
        return errAEHandlerNotFound;
    sHandlers.erase(found);
    return noErr;
}
