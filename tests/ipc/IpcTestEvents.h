// The events the delivery tests and their peer process exchange.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"

#include <cstdint>
#include <cstdlib>
#include <string>

const AEEventClass kTestEventClass = 'QVts';
const AEEventID kThreeParameterEventID = 'thre';
const AEEventID kStallEventID = 'stal';
const AEKeyword kHostKeyword = 'bPSN';
const AEKeyword kRefConKeyword = 'navG';
const uint64_t kTestRefCon = 0x00000000CAFEF00Dull;

inline ProcessSerialNumber Self()
{
    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    return self;
}

inline std::string TestText() { return "{\"code\":\"StartUpload\",\"name\":\"\xC3\xA9t\xC3\xA9\"}"; }

// " #<index>" and size bytes of padding, for events told apart by their number.
inline std::string NumberedTail(unsigned long index, size_t size)
{
    return " #" + std::to_string(index) + std::string(size, ' ');
}

// The number in a text that ends with a numbered tail, or -1.
inline long NumberOf(const std::string& text)
{
    const size_t mark = text.find(" #", TestText().size());
    return mark == std::string::npos ? -1 : strtol(text.c_str() + mark + 2, nullptr, 10);
}

// An event for target with a UTF-8 text, the sender's serial number and an 8-byte refCon, as the
// plug-in sends its requests; tail is added to the text.
inline AppleEvent MakeEvent(const ProcessSerialNumber& target, AEEventID eventID, const std::string& tail = "")
{
    AEAddressDesc address;
    AECreateDesc(typeProcessSerialNumber, &target, sizeof target, &address);
    AppleEvent event;
    AECreateAppleEvent(kTestEventClass, eventID, &address, kAutoGenerateReturnID, kAnyTransactionID, &event);
    AEDisposeDesc(&address);
    const std::string text = TestText() + tail;
    AEPutParamPtr(&event, keyDirectObject, typeChar, text.data(), static_cast<Size>(text.size()));
    const ProcessSerialNumber self = Self();
    AEPutParamPtr(&event, kHostKeyword, typeProcessSerialNumber, &self, sizeof self);
    AEPutParamPtr(&event, kRefConKeyword, typeUInt32, &kTestRefCon, sizeof kTestRefCon);
    return event;
}

// Sends such an event without asking for a reply.
inline OSErr SendEvent(const ProcessSerialNumber& target, AEEventID eventID = kThreeParameterEventID, long ticks = 600,
                       const std::string& tail = "")
{
    AppleEvent event = MakeEvent(target, eventID, tail);
    const OSErr error = AESendMessage(&event, nullptr, kAENoReply, ticks);
    AEDisposeDesc(&event);
    return error;
}
