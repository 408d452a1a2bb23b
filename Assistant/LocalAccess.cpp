#include "LocalAccess.h"

#include <glib.h>

#include <climits>
#include <cstdlib>

namespace {
// The path with "." and ".." and links resolved; the part that does not exist yet is kept as it
// is written, below its nearest existing folder.
std::string ResolvedPath(const std::string& path)
{
    gchar* canonical = g_canonicalize_filename(path.c_str(), "/");
    std::string existing = canonical;
    g_free(canonical);
    std::string missing;
    for (;;) {
        char resolved[PATH_MAX];
        if (realpath(existing.c_str(), resolved))
            return std::string(resolved) + (std::string(resolved) == "/" && !missing.empty() ? missing.substr(1) : missing);
        const size_t slash = existing.rfind('/');
        if (slash == std::string::npos || existing == "/")
            return path;
        missing = existing.substr(slash) + missing;
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
}

std::string HowToAllow()
{
    return "; to allow it, add the folder to \"folders\" in the [Allow] group of " + AssistantConfigFile::Path();
}
}  // namespace

bool IsInsideFolders(const std::string& path, const std::vector<std::string>& folders)
{
    const std::string resolved = ResolvedPath(path);
    for (const std::string& folder : folders) {
        std::string base = ResolvedPath(folder);
        if (base.back() != '/')
            base += '/';
        if (resolved == base.substr(0, base.size() - 1) || resolved.compare(0, base.size(), base) == 0)
            return true;
    }
    return false;
}

bool CheckLocalAccess(TransferRequest* request, const AssistantConfig& config, const std::string& outbox,
                      std::string* reason)
{
    std::vector<std::string> folders = config.folders;
    folders.push_back(outbox);
    if (request->kind == TransferKind::upload) {
        if (request->target != UploadTarget::folder || IsInsideFolders(request->destination, folders))
            return true;
        *reason = "The folder \"" + request->destination + "\" is not one that pages may send files to" + HowToAllow();
        return false;
    }
    for (TransferEntry& entry : request->entries) {
        if (!entry.problem.empty())
            continue;
        gchar* path = g_filename_from_uri(entry.source.c_str(), nullptr, nullptr);
        if (path && !IsInsideFolders(path, folders))
            entry.problem = "The file \"" + std::string(path) + "\" is not in a folder that pages may take files from" +
                            HowToAllow();
        g_free(path);
    }
    return true;
}
