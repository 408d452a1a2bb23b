// The events the delivery tests and their peer process exchange.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"

#include <cstdint>
#include <string>

const AEEventClass kTestEventClass = 'QVts';
const AEEventID kThreeParameterEventID = 'thre';
const AEEventID kStallEventID = 'stal';
const AEKeyword kHostKeyword = 'bPSN';
const AEKeyword kRefConKeyword = 'navG';
const uint64_t kTestRefCon = 0x00000000CAFEF00Dull;

inline std::string TestText() { return "{\"code\":\"StartUpload\",\"name\":\"\xC3\xA9t\xC3\xA9\"}"; }

// An event for target with a UTF-8 text, the sender's serial number and an 8-byte refCon, as the
// plug-in sends its requests; extraText pads the text.
inline AppleEvent MakeEvent(const ProcessSerialNumber& target, AEEventID eventID, size_t extraText = 0)
{
    AEAddressDesc address;
    AECreateDesc(typeProcessSerialNumber, &target, sizeof target, &address);
    AppleEvent event;
    AECreateAppleEvent(kTestEventClass, eventID, &address, kAutoGenerateReturnID, kAnyTransactionID, &event);
    AEDisposeDesc(&address);
    const std::string text = TestText() + std::string(extraText, ' ');
    AEPutParamPtr(&event, keyDirectObject, typeChar, text.data(), static_cast<Size>(text.size()));
    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    AEPutParamPtr(&event, kHostKeyword, typeProcessSerialNumber, &self, sizeof self);
    AEPutParamPtr(&event, kRefConKeyword, typeUInt32, &kTestRefCon, sizeof kTestRefCon);
    return event;
}

// Sends such an event without asking for a reply.
inline OSErr SendEvent(const ProcessSerialNumber& target, AEEventID eventID = kThreeParameterEventID, long ticks = 600,
                       size_t extraText = 0)
{
    AppleEvent event = MakeEvent(target, eventID, extraText);
    AppleEvent reply;
    AEInitializeDesc(&reply);
    const OSErr error = AESendMessage(&event, &reply, kAENoReply, ticks);
    AEDisposeDesc(&event);
    return error;
}
