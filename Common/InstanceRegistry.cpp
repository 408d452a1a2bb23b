// The process-wide registry from refCon to live instance, and the handling of notification texts
// once their instance is known.
#include "QVWebClientBase.h"

#include "json_msg_param.h"

#include <cstdio>
#include <set>

std::map<unsigned int, CQVWebClientBase*> CQVWebClientBase::sPluginList;

namespace {
const size_t kSyslogLineSize = 128;

// RefCons of destroyed instances that the clock has not yet passed. A late status event for a
// destroyed instance must not reach a new one that took the same number.
std::set<unsigned int> sRetiredRefCons;
}  // namespace

// Instances created within one second would share the clock's refCon; each takes the next value
// that no live or recently destroyed instance holds, so that every instance receives its own
// status events and only those.
void CQVWebClientBase::Register()
{
    sRetiredRefCons.erase(sRetiredRefCons.begin(), sRetiredRefCons.lower_bound(mRefCon));
    while (sPluginList.count(mRefCon) || sRetiredRefCons.count(mRefCon))
        ++mRefCon;
    char line[kSyslogLineSize];
    snprintf(line, sizeof line, "Added new instance of plugin, refCon=%x, this=%p", mRefCon, static_cast<void*>(this));
    WC_WriteToSyslog(line);
    sPluginList.emplace(mRefCon, this);
}

void CQVWebClientBase::Unregister()
{
    const auto entry = sPluginList.find(mRefCon);
    char line[kSyslogLineSize];
    snprintf(line, sizeof line, "Removed instance of plugin, refCon=%x", mRefCon);
    WC_WriteToSyslog(line);
    if (entry != sPluginList.end() && entry->second == this) {
        sPluginList.erase(entry);
        sRetiredRefCons.insert(mRefCon);
    }
}

CQVWebClientBase* CQVWebClientBase::GetPluginInstanceFromRefCon(unsigned int refCon)
{
    char line[kSyslogLineSize];
    snprintf(line, sizeof line, "Searching plugin instances for refCon=%x, numPlugins=%zx", refCon, sPluginList.size());
    WC_WriteToSyslog(line);
    const auto entry = sPluginList.find(refCon);
    if (entry != sPluginList.end())
        return entry->second;
    snprintf(line, sizeof line, "Could not find plugin for refCon=%x", refCon);
    WC_WriteToSyslog(line);
    return nullptr;
}

bool CQVWebClientBase::NotificationCallback(const char* message, long context)
{
    if (context == 0 || !message)
        return false;
    try {
        return reinterpret_cast<CQVWebClientBase*>(context)->HandleNotification(message);
    } catch (...) {
        return false;
    }
}

bool CQVWebClientBase::HandleNotification(const char* message)
{
    if (mLogger)
        mLogger->DebugMsg("HandleNotification");
    json_object* parsed = message ? json_tokener_parse(message) : nullptr;
    if (json_msg_is_absent(parsed) || !json_object_is_type(parsed, json_type_object)) {
        if (mLogger)
            mLogger->Warning("Invalid notification message");
        if (!json_msg_is_absent(parsed))
            json_object_put(parsed);
        return false;
    }

    bool result = false;
    const json_msg_param<char*> type(parsed, "type");
    const json_msg_param<char*> code(parsed, "code");
    if (!(type == "Notification")) {
        if (mLogger)
            mLogger->Warning("Wrong message type");
    } else if (code == "FileSent") {
        result = DeleteFilesFromUploadList(parsed);
        if (!result && mLogger)
            mLogger->Warning("Failed to delete files from upload list while processing Assistant notification");
    } else {
        result = NotifyBrowser(message);
        if (!result && mLogger)
            mLogger->Warning("Failed to notify browser");
    }
    json_object_put(parsed);
    return result;
}
