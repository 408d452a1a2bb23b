#include "DestinationPaths.h"

#include <glib.h>

#include <memory>

namespace {
struct GFreeDeleter {
    void operator()(gchar* text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

bool IsUsableName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}
}  // namespace

bool NormalizeRelativeFolder(const std::string& relative, std::string* normalized, std::string* reason)
{
    normalized->clear();
    if (!relative.empty() && relative[0] == '/') {
        *reason = "The relative path \"" + relative + "\" is absolute";
        return false;
    }
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        const std::string segment = relative.substr(start, end - start);
        if (segment == "..") {
            *reason = "The relative path \"" + relative + "\" leaves the destination folder";
            return false;
        }
        if (!segment.empty() && segment != ".") {
            if (!normalized->empty())
                *normalized += '/';
            *normalized += segment;
        }
        start = end + 1;
    }
    return true;
}

bool FileNameOfPath(const std::string& path, std::string* name)
{
    const size_t slash = path.rfind('/');
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    return IsUsableName(*name);
}

bool FileNameOfUrl(const std::string& url, std::string* name, std::string* reason)
{
    GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr);
    if (!uri) {
        *reason = "\"" + url + "\" is not a URL";
        return false;
    }
    const std::string path = g_uri_get_path(uri);
    g_uri_unref(uri);
    const size_t slash = path.rfind('/');
    const std::string segment = slash == std::string::npos ? path : path.substr(slash + 1);
    // NUL and "/" may not appear once decoded.
    GText decoded(g_uri_unescape_string(segment.c_str(), "/"));
    if (!decoded || !IsUsableName(decoded.get())) {
        *reason = "The URL \"" + url + "\" names no file";
        return false;
    }
    *name = decoded.get();
    return true;
}

std::string NumberedName(const std::string& name, unsigned number)
{
    const std::string suffix = " (" + std::to_string(number) + ")";
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

std::string JoinUrl(const std::string& base, const std::string& relativeFolder, const std::string& name)
{
    GUri* uri = g_uri_parse(base.c_str(), G_URI_FLAGS_ENCODED, nullptr);
    if (!uri)
        return {};
    std::string path = g_uri_get_path(uri);
    if (path.empty() || path.back() != '/')
        path += '/';
    std::string relative = relativeFolder.empty() ? name : relativeFolder + "/" + name;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        GText escaped(g_uri_escape_string(relative.substr(start, end - start).c_str(), nullptr, false));
        path += escaped.get();
        if (end < relative.size())
            path += '/';
        start = end + 1;
    }
    GText joined(g_uri_join(G_URI_FLAGS_ENCODED, g_uri_get_scheme(uri), g_uri_get_userinfo(uri), g_uri_get_host(uri),
                            g_uri_get_port(uri), path.c_str(), g_uri_get_query(uri), nullptr));
    g_uri_unref(uri);
    return joined.get();
}

std::string JoinPath(const std::string& folder, const std::string& relative)
{
    if (relative.empty())
        return folder;
    if (!folder.empty() && folder.back() == '/')
        return folder + relative;
    return folder + "/" + relative;
}
