#include "AssistantConfig.h"

#include "AssistantLog.h"

#include <cstring>

namespace {
const char kAllow[] = "Allow";
const char kLimits[] = "Limits";

std::vector<std::string> ListOf(GKeyFile* file, const char* group, const char* key)
{
    std::vector<std::string> list;
    gchar** items = g_key_file_get_string_list(file, group, key, nullptr, nullptr);
    for (gchar** item = items; item && *item; ++item) {
        gchar* text = g_strstrip(*item);
        if (*text)
            list.emplace_back(text);
    }
    g_strfreev(items);
    return list;
}

// A whole number of the group, when present and within the bounds.
void ReadNumber(GKeyFile* file, const char* key, uint64_t low, uint64_t high, uint64_t* value,
                std::vector<std::string>* problems)
{
    if (!g_key_file_has_key(file, kLimits, key, nullptr))
        return;
    GError* error = nullptr;
    const guint64 number = g_key_file_get_uint64(file, kLimits, key, &error);
    if (error || number < low || number > high) {
        problems->push_back(std::string("[Limits] ") + key + " is not a whole number from " + std::to_string(low) +
                            " to " + std::to_string(high) + "; it keeps its default");
        g_clear_error(&error);
        return;
    }
    *value = number;
}

bool ReadAddress(const std::string& text, AssistantConfig* config)
{
    GInetAddressMask* mask = g_inet_address_mask_new_from_string(text.c_str(), nullptr);
    if (mask) {
        GInetAddress* address = g_inet_address_mask_get_address(mask);
        const auto* bytes = g_inet_address_to_bytes(address);
        AddressRange range;
        range.bytes.assign(bytes, bytes + g_inet_address_get_native_size(address));
        range.prefixLength = g_inet_address_mask_get_length(mask);
        config->addresses.push_back(range);
        g_object_unref(mask);
        return true;
    }
    if (!g_hostname_is_non_ascii(text.c_str()) && text.find_first_of("/: ") == std::string::npos) {
        gchar* lower = g_ascii_strdown(text.c_str(), -1);
        config->hostNames.emplace_back(lower);
        g_free(lower);
        return true;
    }
    return false;
}
}  // namespace

bool AddressRange::Contains(const uint8_t* address, size_t size) const
{
    if (size != bytes.size())
        return false;
    for (unsigned bit = 0; bit < prefixLength; ++bit) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        if ((address[bit / 8] & mask) != (bytes[bit / 8] & mask))
            return false;
    }
    return true;
}

bool ReadAssistantConfig(const std::string& path, AssistantConfig* config, std::vector<std::string>* problems)
{
    *config = AssistantConfig();
    GKeyFile* file = g_key_file_new();
    GError* error = nullptr;
    const bool loaded = g_key_file_load_from_file(file, path.c_str(), G_KEY_FILE_NONE, &error);
    if (!loaded) {
        const bool missing = g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT);
        if (!missing)
            problems->push_back(std::string("Cannot read ") + path + ": " + error->message + "; the defaults hold");
        g_error_free(error);
        g_key_file_free(file);
        return missing;
    }
    for (const std::string& folder : ListOf(file, kAllow, "folders")) {
        if (folder[0] == '/') {
            gchar* canonical = g_canonicalize_filename(folder.c_str(), nullptr);
            config->folders.emplace_back(canonical);
            g_free(canonical);
        } else {
            problems->push_back("[Allow] folders: \"" + folder + "\" is not an absolute path; it is skipped");
        }
    }
    for (const std::string& address : ListOf(file, kAllow, "addresses")) {
        if (!ReadAddress(address, config))
            problems->push_back("[Allow] addresses: \"" + address + "\" is no host name, address or range; it is skipped");
    }
    uint64_t margin = config->freeSpaceMargin >> 20;
    uint64_t seconds = config->lowestRateSeconds;
    ReadNumber(file, "free_space_margin_mb", 0, 1u << 30, &margin, problems);
    ReadNumber(file, "lowest_rate", 0, UINT32_MAX, &config->lowestRate, problems);
    ReadNumber(file, "lowest_rate_seconds", 1, 86400, &seconds, problems);
    config->freeSpaceMargin = margin << 20;
    config->lowestRateSeconds = static_cast<unsigned>(seconds);
    g_key_file_free(file);
    return true;
}

AssistantConfigFile::AssistantConfigFile()
{
    Load();
    GFile* file = g_file_new_for_path(Path().c_str());
    mMonitor = g_file_monitor_file(file, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
    g_object_unref(file);
    if (mMonitor)
        g_signal_connect(mMonitor, "changed", G_CALLBACK(&OnChanged), this);
}

AssistantConfigFile::~AssistantConfigFile()
{
    if (mMonitor) {
        g_file_monitor_cancel(mMonitor);
        g_signal_handlers_disconnect_by_data(mMonitor, this);
        g_object_unref(mMonitor);
    }
}

std::string AssistantConfigFile::Path() { return std::string(g_get_user_config_dir()) + "/qiravel/assistant.conf"; }

std::shared_ptr<const AssistantConfig> AssistantConfigFile::Current() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mConfig;
}

void AssistantConfigFile::Load()
{
    auto config = std::make_shared<AssistantConfig>();
    std::vector<std::string> problems;
    ReadAssistantConfig(Path(), config.get(), &problems);
    for (const std::string& problem : problems)
        AssistantLog(LogLevel::warning, problem);
    AssistantLog(LogLevel::info, "Settings: " + std::to_string(config->folders.size()) + " allowed folders, " +
                                     std::to_string(config->hostNames.size() + config->addresses.size()) +
                                     " allowed local addresses");
    std::lock_guard<std::mutex> lock(mMutex);
    mConfig = std::move(config);
}

void AssistantConfigFile::OnChanged(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent event, gpointer self)
{
    switch (event) {
    case G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT:
    case G_FILE_MONITOR_EVENT_CREATED:
    case G_FILE_MONITOR_EVENT_DELETED:
    case G_FILE_MONITOR_EVENT_MOVED_IN:
    case G_FILE_MONITOR_EVENT_MOVED_OUT:
    case G_FILE_MONITOR_EVENT_RENAMED:
    case G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED:
        static_cast<AssistantConfigFile*>(self)->Load();
        break;
    default:
        break;
    }
}
