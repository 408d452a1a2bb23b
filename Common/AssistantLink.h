// The link between the plug-in and the Assistant: the Assistant's bundle identifier and the codes
// of the events that pass between them. Both sides include this header, so they cannot drift
// apart. The codes are plain four-character numbers, so this header needs no platform service.
#pragma once

#include <cstdint>

// Under this identifier the Assistant checks in and the plug-in launches it.
inline constexpr char kAssistantBundleIdentifier[] = "com.qiravel.Assistant";

// The event class of the requests to the Assistant and of its status events.
inline constexpr uint32_t kAssistantEventClass = 'Laso';

// A request: the request's JSON text as the direct object, the host process's serial number and
// the instance's refCon.
inline constexpr uint32_t kAssistantRequestID = 'ADMN';
inline constexpr uint32_t kHostProcessKeyword = 'bPSN';
inline constexpr uint32_t kRefConKeyword = 'navG';

// A status event: the refCon as the request carried it and one JSON notification text.
inline constexpr uint32_t kStatusEventID = 'assS';
inline constexpr uint32_t kStatusRefConKeyword = 'STr1';
inline constexpr uint32_t kNotificationKeyword = 'NMsg';
