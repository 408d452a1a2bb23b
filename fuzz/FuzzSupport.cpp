#include "FuzzSupport.h"

#include "Platform/SystemLog/SystemLog.h"

#include <glib.h>
#include <sanitizer/common_interface_defs.h>
#include <json-c/json.h>
#include <unicode/utf8.h>

#include <cstdlib>

void FuzzPropertyFailed(const char* what)
{
    __sanitizer_report_error_summary((std::string("property failed: ") + what).c_str());
    __builtin_trap();
}

std::vector<std::string> SplitInput(const uint8_t* data, size_t size, char separator)
{
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (static_cast<char>(data[i]) == separator)
            parts.emplace_back();
        else
            parts.back() += static_cast<char>(data[i]);
    }
    return parts;
}

const std::string& UsePrivateEnvironment()
{
    static const std::string folder = [] {
        gchar* made = g_dir_make_tmp("qv-fuzz-XXXXXX", nullptr);
        FUZZ_CHECK(made != nullptr);
        std::string path = made;
        g_free(made);
        const std::string runtime = path + "/runtime";
        const std::string data = path + "/data";
        g_mkdir_with_parents(runtime.c_str(), 0700);
        g_mkdir_with_parents(data.c_str(), 0700);
        setenv("QIRAVEL_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        setenv("XDG_DATA_DIRS", data.c_str(), 1);
        // A socket path too long for any socket address: system-log lines go to standard error
        // (which the runs close) without a connection attempt per line.
        static const std::string logSocket = path + "/" + std::string(120, 'x');
        SystemLogSetSocketPathForTesting(logSocket.c_str());
        return path;
    }();
    return folder;
}

bool IsStrictJson(const std::string& text, bool utf8)
{
    json_tokener* tokener = json_tokener_new();
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT | (utf8 ? JSON_TOKENER_VALIDATE_UTF8 : 0));
    json_object* parsed = json_tokener_parse_ex(tokener, text.c_str(), static_cast<int>(text.size()));
    size_t end = json_tokener_get_parse_end(tokener);
    const bool complete = json_tokener_get_error(tokener) == json_tokener_success;
    json_tokener_free(tokener);
    while (end < text.size() && g_ascii_isspace(text[end]))
        ++end;
    json_object_put(parsed);
    return complete && end == text.size();
}

bool IsValidUtf8(const std::string& bytes)
{
    const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
    const auto length = static_cast<int32_t>(bytes.size());
    int32_t at = 0;
    while (at < length) {
        UChar32 c;
        U8_NEXT(in, at, length, c);
        if (c < 0)
            return false;
    }
    return true;
}
