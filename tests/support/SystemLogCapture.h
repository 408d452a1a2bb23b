// Collects the system-log lines written while it lives.
#pragma once

#include "Platform/SystemLog/SystemLog.h"

#include <string>
#include <vector>

class SystemLogCapture {
public:
    SystemLogCapture() { SystemLogSetObserver(&Record, this); }
    ~SystemLogCapture() { SystemLogSetObserver(nullptr, nullptr); }
    std::vector<std::string> lines;
    std::vector<int> priorities;

private:
    static void Record(const char*, int priority, const char* text, void* context)
    {
        auto* self = static_cast<SystemLogCapture*>(context);
        self->lines.emplace_back(text);
        self->priorities.push_back(priority);
    }
};
