#include "OriginPolicy.h"

#include <glib.h>

#include <algorithm>
#include <vector>

const char kSystemOriginsFile[] = "/etc/qiravel/origins.conf";

namespace {
const char kGroup[] = "Origins";
const char kAllowKey[] = "allow";
const char kDenyKey[] = "deny";
const size_t kLongestOrigin = 2048;
const char kAllowButton[] = "Allow";
const char kDenyButton[] = "Deny";

// Origins compare without regard to ASCII case and to one trailing "/".
std::string Normalized(const std::string& origin)
{
    gchar* lower = g_ascii_strdown(origin.c_str(), -1);
    std::string result = lower;
    g_free(lower);
    if (!result.empty() && result.back() == '/')
        result.pop_back();
    return result;
}

std::vector<std::string> ListOf(GKeyFile* file, const char* key)
{
    std::vector<std::string> origins;
    gchar** list = g_key_file_get_string_list(file, kGroup, key, nullptr, nullptr);
    for (gchar** item = list; item && *item; ++item) {
        g_strstrip(*item);
        if (**item)
            origins.push_back(Normalized(*item));
    }
    g_strfreev(list);
    return origins;
}

bool Contains(const std::vector<std::string>& list, const std::string& origin)
{
    return std::find(list.begin(), list.end(), origin) != list.end();
}

// Null when the file is absent; a file that exists but cannot be read is said on standard error.
GKeyFile* LoadKeyFile(const std::string& path)
{
    GKeyFile* file = g_key_file_new();
    GError* error = nullptr;
    if (g_key_file_load_from_file(file, path.c_str(), G_KEY_FILE_KEEP_COMMENTS, &error))
        return file;
    if (!g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT))
        g_printerr("qiravel-nativehost: %s is not read: %s\n", path.c_str(), error->message);
    g_error_free(error);
    g_key_file_free(file);
    return nullptr;
}

OriginPolicy::Verdict VerdictOf(const std::string& path, const std::string& origin)
{
    GKeyFile* file = LoadKeyFile(path);
    if (!file)
        return OriginPolicy::kUnknown;
    OriginPolicy::Verdict verdict = OriginPolicy::kUnknown;
    if (Contains(ListOf(file, kDenyKey), origin))
        verdict = OriginPolicy::kDenied;
    else if (Contains(ListOf(file, kAllowKey), origin))
        verdict = OriginPolicy::kAllowed;
    g_key_file_free(file);
    return verdict;
}

void SetList(GKeyFile* file, const char* key, const std::vector<std::string>& origins)
{
    std::vector<const gchar*> items;
    for (const std::string& origin : origins)
        items.push_back(origin.c_str());
    g_key_file_set_string_list(file, kGroup, key, items.data(), items.size());
}
}  // namespace

std::string UserOriginsFile()
{
    gchar* path = g_build_filename(g_get_user_config_dir(), "qiravel", "origins.conf", nullptr);
    std::string result = path;
    g_free(path);
    return result;
}

bool IsPlausibleOrigin(const std::string& origin)
{
    const size_t separator = origin.find("://");
    if (origin.size() > kLongestOrigin || separator == std::string::npos || separator == 0 ||
        separator + 3 == origin.size())
        return false;
    return std::none_of(origin.begin(), origin.end(), [](char c) {
        return c == ';' || c == '\\' || static_cast<unsigned char>(c) <= ' ' || c == 0x7F;
    });
}

OriginPolicy::OriginPolicy(std::string systemFile, std::string userFile)
    : mSystemFile(std::move(systemFile)), mUserFile(std::move(userFile))
{
}

OriginPolicy::Verdict OriginPolicy::Lookup(const std::string& origin) const
{
    const std::string key = Normalized(origin);
    const Verdict administrator = VerdictOf(mSystemFile, key);
    return administrator != kUnknown ? administrator : VerdictOf(mUserFile, key);
}

bool OriginPolicy::Remember(const std::string& origin, bool allowed, std::string* error) const
{
    const std::string key = Normalized(origin);
    GKeyFile* file = LoadKeyFile(mUserFile);
    if (!file)
        file = g_key_file_new();
    std::vector<std::string> allow = ListOf(file, kAllowKey);
    std::vector<std::string> deny = ListOf(file, kDenyKey);
    allow.erase(std::remove(allow.begin(), allow.end(), key), allow.end());
    deny.erase(std::remove(deny.begin(), deny.end(), key), deny.end());
    (allowed ? allow : deny).push_back(key);
    SetList(file, kAllowKey, allow);
    SetList(file, kDenyKey, deny);

    gchar* folder = g_path_get_dirname(mUserFile.c_str());
    GError* saveError = nullptr;
    const bool saved = g_mkdir_with_parents(folder, 0700) == 0 &&
                       g_key_file_save_to_file(file, mUserFile.c_str(), &saveError);
    if (!saved)
        *error = saveError ? saveError->message : std::string("cannot create ") + folder;
    g_clear_error(&saveError);
    g_free(folder);
    g_key_file_free(file);
    return saved;
}

bool OriginPolicy::Decide(const std::string& origin, DialogToolkit& toolkit) const
{
    if (!IsPlausibleOrigin(origin))
        return false;
    const Verdict listed = Lookup(origin);
    if (listed != kUnknown)
        return listed == kAllowed;
    if (!toolkit.HasApplication())
        return false;
    AlertRequest question;
    question.messageText = "Allow " + origin + " to use Qiravel Web Client?";
    question.style = kInformationalAlertStyle;
    question.buttons = {kAllowButton, kDenyButton};
    const int pressed = toolkit.RunAlert(question).pressedButton;
    if (pressed == kNoAlertButton)
        return false;
    std::string error;
    if (!Remember(origin, pressed == 0, &error))
        g_printerr("qiravel-nativehost: the answer for %s is not remembered: %s\n", origin.c_str(), error.c_str());
    return pressed == 0;
}
