#include "JobResume.h"

#include "AssistantLog.h"

#include <glib.h>
#include <json-c/json.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

std::vector<std::unique_ptr<JobJournal>> LoadUnfinishedJobs()
{
    const std::string folder = JobJournal::Folder();
    std::vector<std::string> names;
    if (GDir* dir = g_dir_open(folder.c_str(), 0, nullptr)) {
        while (const gchar* name = g_dir_read_name(dir)) {
            if (g_str_has_suffix(name, ".job"))
                names.push_back(name);
        }
        g_dir_close(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::unique_ptr<JobJournal>> journals;
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        std::string reason;
        std::unique_ptr<JobJournal> journal = JobJournal::Load(path, &reason);
        if (journal) {
            journals.push_back(std::move(journal));
            continue;
        }
        const std::string aside = path + ".damaged";
        rename(path.c_str(), aside.c_str());
        AssistantLog(LogLevel::warning, "The job journal \"" + path + "\" cannot be read (" + reason +
                                            "); it was set aside as \"" + aside + "\"");
    }
    return journals;
}

std::string SourceChange(const SourceIdentity& then, const std::string& path)
{
    const SourceIdentity now = SourceIdentity::Of(path);
    if (!then.known || !now.known)
        return {};  // a file that cannot be read fails when it is opened, with the reason why
    if (now.inode != then.inode)
        return "The file was replaced by another since the job began";
    if (now.size != then.size)
        return "The file's size changed since the job began";
    if (now.modifiedNs != then.modifiedNs)
        return "The file was modified since the job began";
    return {};
}

std::string SetExpiredCredentialsAside(const std::string& requestText, std::string* expired)
{
    json_object* request = json_tokener_parse(requestText.c_str());
    json_object *s3 = nullptr, *credentials = nullptr, *expiration = nullptr;
    std::string text = requestText;
    if (json_object_object_get_ex(request, "s3", &s3) && json_object_object_get_ex(s3, "credentials", &credentials) &&
        json_object_object_get_ex(credentials, "expiration", &expiration)) {
        const std::string when = json_object_get_string(expiration);
        GDateTime* expires = g_date_time_new_from_iso8601(when.c_str(), nullptr);
        if (expires && g_date_time_to_unix(expires) <= std::time(nullptr)) {
            *expired = "The S3 credentials expired at " + when + " before the job could go on";
            json_object_object_del(credentials, "expiration");
            text = json_object_to_json_string_ext(request, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
        }
        if (expires)
            g_date_time_unref(expires);
    }
    json_object_put(request);
    return text;
}
