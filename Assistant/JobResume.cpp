#include "JobResume.h"

#include "AssistantLog.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>

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
