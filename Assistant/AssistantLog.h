// The Assistant's log: each line to the system log under "Qiravel Assistant" and to standard error.
#pragma once

#include <string>

enum class LogLevel { error, warning, info };

void AssistantLog(LogLevel level, const std::string& text);
