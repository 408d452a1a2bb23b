// System-log lines of event delivery.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

#include <string>

void LogDeliveryWarning(const std::string& line);
// 'abcd' as printable text, with other bytes as \xNN.
std::string FourCharCodeText(FourCharCode code);
