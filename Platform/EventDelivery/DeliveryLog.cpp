#include "DeliveryLog.h"

#include "Platform/SystemLog/SystemLog.h"

#include <cstdio>
#include <syslog.h>

void LogDeliveryWarning(const std::string& line)
{
    SystemLogWrite("Qiravel Event Delivery", kSystemLogOptionPid, kSystemLogFacilityUser, LOG_WARNING, line.c_str());
}

std::string FourCharCodeText(FourCharCode code)
{
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned char byte = static_cast<unsigned char>(code >> shift);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\' && byte != '\'') {
            text += static_cast<char>(byte);
        } else {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    return text + "'";
}
