// Check-ins: one file "<serial number>.app" per process in the runtime folder, holding its bundle
// identifier.
#include "Workspace.h"

#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace {
const char kCheckInSuffix[] = ".app";
const size_t kMaxBundleIdentifierLength = 255;

bool IsValidBundleIdentifier(const char* text, size_t length)
{
    return length > 0 && length <= kMaxBundleIdentifierLength &&
           std::none_of(text, text + length, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool ReadCheckIn(const std::string& path, std::string* bundleIdentifier)
{
    gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr))
        return false;
    const bool valid = IsValidBundleIdentifier(contents, length);
    if (valid)
        bundleIdentifier->assign(contents, length);
    g_free(contents);
    return valid;
}
}  // namespace

OSErr WorkspaceCheckIn(const char* bundleIdentifier)
{
    if (!bundleIdentifier || !IsValidBundleIdentifier(bundleIdentifier, strlen(bundleIdentifier)))
        return paramErr;
    OSErr error = AEOpenEventPort();
    if (error != noErr)
        return error;
    ProcessSerialNumber self;
    error = GetCurrentProcess(&self);
    if (error != noErr)
        return error;
    std::string folder;
    if (!GetProcessRuntimeFolder(&folder))
        return kEventPortUnavailableErr;
    const std::string path = folder + "/" + ProcessSerialNumberName(self) + kCheckInSuffix;
    if (!g_file_set_contents(path.c_str(), bundleIdentifier, -1, nullptr))
        return kEventPortUnavailableErr;
    return noErr;
}

std::vector<RunningApplication> WorkspaceLaunchedApplications()
{
    std::vector<RunningApplication> applications;
    std::string folder;
    if (!GetProcessRuntimeFolder(&folder))
        return applications;
    GDir* dir = g_dir_open(folder.c_str(), 0, nullptr);
    if (!dir)
        return applications;
    const size_t suffixLength = strlen(kCheckInSuffix);
    while (const gchar* entry = g_dir_read_name(dir)) {
        const std::string name = entry;
        ProcessSerialNumber psn;
        if (name.size() <= suffixLength || name.compare(name.size() - suffixLength, suffixLength, kCheckInSuffix) != 0 ||
            !ParseProcessSerialNumberName(name.substr(0, name.size() - suffixLength), &psn))
            continue;
        const std::string path = folder + "/" + name;
        RunningApplication application;
        if (!IsProcessAlive(&psn)) {
            g_unlink(path.c_str());
        } else if (ReadCheckIn(path, &application.bundleIdentifier)) {
            application.processSerialNumberHigh = psn.highLongOfPSN;
            application.processSerialNumberLow = psn.lowLongOfPSN;
            applications.push_back(std::move(application));
        }
    }
    g_dir_close(dir);
    // The high half is the start time, so this lists the oldest process first.
    std::sort(applications.begin(), applications.end(), [](const RunningApplication& a, const RunningApplication& b) {
        return std::tie(a.processSerialNumberHigh, a.processSerialNumberLow) <
               std::tie(b.processSerialNumberHigh, b.processSerialNumberLow);
    });
    return applications;
}
