#include "FileURL.h"

#include <glib.h>

bool IsURL(const char* text) { return text && g_uri_is_valid(text, G_URI_FLAGS_NONE, nullptr); }

bool FileURLToPath(const char* url, std::string& path)
{
    if (!url)
        return false;
    gchar* filename = g_filename_from_uri(url, nullptr, nullptr);
    if (!filename)
        return false;
    path = filename;
    g_free(filename);
    return true;
}
