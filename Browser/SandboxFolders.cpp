#include "SandboxFolders.h"

#include <glib.h>

#include <algorithm>

namespace {
// Whether inner is folder itself or lies below it.
bool Holds(const std::string& folder, const std::string& inner)
{
    if (folder.empty() || inner.empty())
        return false;
    const std::string prefix = folder.back() == '/' ? folder : folder + "/";
    return inner == folder || inner.compare(0, prefix.size(), prefix) == 0;
}

std::string Canonical(const std::string& path)
{
    if (path.empty())
        return path;
    gchar* canonical = g_canonicalize_filename(path.c_str(), nullptr);
    std::string result = canonical;
    g_free(canonical);
    return result;
}
}  // namespace

std::vector<SandboxFolder> SandboxFolders(const std::string& runtimeFolder, const std::string& home,
                                          const std::string& xdgRuntimeDir, size_t maxHomeItems)
{
    const std::string runtime = Canonical(runtimeFolder);
    const std::string xdg = Canonical(xdgRuntimeDir);
    std::vector<SandboxFolder> folders;
    if (!runtime.empty())
        folders.push_back({runtime, false});

    std::vector<std::string> candidates;
    if (GDir* dir = home.empty() ? nullptr : g_dir_open(home.c_str(), 0, nullptr)) {
        std::vector<std::string> items;
        while (const gchar* name = g_dir_read_name(dir)) {
            if (name[0] != '.')
                items.push_back(Canonical(home) + "/" + name);
        }
        g_dir_close(dir);
        std::sort(items.begin(), items.end());
        items.resize(std::min(items.size(), maxHomeItems));
        candidates.insert(candidates.end(), items.begin(), items.end());
    }
    for (const char* shared : {"/media", "/mnt", "/run/media", "/tmp"})
        candidates.push_back(shared);

    for (const std::string& candidate : candidates) {
        if (!g_file_test(candidate.c_str(), G_FILE_TEST_EXISTS) || Holds(candidate, runtime) || Holds(candidate, xdg) ||
            Holds(runtime, candidate))
            continue;
        folders.push_back({candidate, true});
    }
    return folders;
}
