#include "DestinationPaths.h"

#include <glib.h>

#include <algorithm>
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

bool IsVisiblePath(const std::string& folder, const std::string& name, std::string* reason)
{
    const std::string path = folder.empty() ? name : folder + "/" + name;
    for (size_t start = 0;;) {
        const size_t end = path.find('/', start);
        if (path[start] == '.') {
            *reason = "\"" + path.substr(start, end - start) + "\" begins with \".\"; hidden files and folders are not written";
            return false;
        }
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
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
        *reason = "\"" + ShownUrl(url) + "\" is not a URL";
        return false;
    }
    const std::string path = g_uri_get_path(uri);
    g_uri_unref(uri);
    const size_t slash = path.rfind('/');
    const std::string segment = slash == std::string::npos ? path : path.substr(slash + 1);
    // NUL and "/" may not appear once decoded.
    GText decoded(g_uri_unescape_string(segment.c_str(), "/"));
    if (!decoded || !IsUsableName(decoded.get())) {
        *reason = "The URL \"" + ShownUrl(url) + "\" names no file";
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

std::string ShownUrl(const std::string& url)
{
    // Cut as text, so that the rest stays exactly as it was written.
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos || url.find_first_of("/?#") < scheme)
        return url;
    const size_t start = scheme + 3;
    const size_t end = std::min(url.find_first_of("/?#", start), url.size());
    const size_t at = url.rfind('@', end - 1);
    if (at == std::string::npos || at < start || end == start)
        return url;
    return url.substr(0, start) + url.substr(at + 1);
}

std::string JoinPath(const std::string& folder, const std::string& relative)
{
    if (relative.empty())
        return folder;
    if (!folder.empty() && folder.back() == '/')
        return folder + relative;
    return folder + "/" + relative;
}
