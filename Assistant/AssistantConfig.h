// The user's settings of the Assistant: the local folders that file: transfers may use, the
// addresses on this computer and its local network that HTTP transfers may reach, and the limits
// of downloads. They come from a GLib key file, $XDG_CONFIG_HOME/qiravel/assistant.conf, read at
// the start and again whenever it changes; a missing file means the defaults.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// An IP address range: the first prefixLength bits of the address.
struct AddressRange {
    std::vector<uint8_t> bytes;  // 4 or 16
    unsigned prefixLength = 0;
    bool Contains(const uint8_t* address, size_t size) const;
};

struct AssistantConfig {
    std::vector<std::string> folders;       // [Allow] folders, absolute
    std::vector<std::string> hostNames;     // [Allow] addresses that are host names, lower case
    std::vector<AddressRange> addresses;    // [Allow] addresses that are IP addresses or ranges
    uint64_t freeSpaceMargin = 256u << 20;  // [Limits] free_space_margin_mb
    uint64_t lowestRate = 1024;             // [Limits] lowest_rate (bytes per second) ...
    unsigned lowestRateSeconds = 60;        // ... averaged over lowest_rate_seconds
};

// Reads a key file into the settings; a missing file gives the defaults. False with a readable
// problem when the file cannot be read (the settings are then the defaults); entries that cannot
// be used are skipped, each with a line in problems.
bool ReadAssistantConfig(const std::string& path, AssistantConfig* config, std::vector<std::string>* problems);

// The settings file of the user, watched for changes from the main loop. Current() is safe from
// any thread.
class AssistantConfigFile {
public:
    AssistantConfigFile();
    ~AssistantConfigFile();
    AssistantConfigFile(const AssistantConfigFile&) = delete;
    AssistantConfigFile& operator=(const AssistantConfigFile&) = delete;

    static std::string Path();
    std::shared_ptr<const AssistantConfig> Current() const;

private:
    void Load();
    static void OnChanged(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent event, gpointer self);

    mutable std::mutex mMutex;
    std::shared_ptr<const AssistantConfig> mConfig;  // guarded by mMutex
    GFileMonitor* mMonitor = nullptr;
};
