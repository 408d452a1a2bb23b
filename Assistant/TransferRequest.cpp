#include "TransferRequest.h"

#include "DestinationPaths.h"

#include <glib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <strings.h>

namespace {
// Sizes are counted in 64 bits: larger ones are cut, negative ones are 0.
const double kLargestSize = 4611686018427387904.0;
// Every notification of a job repeats its "job" value, so it is kept short.
const size_t kLongestJob = 1024;

enum class Text { absent, wrongType, value };

// A member as text; a string holding a NUL counts as the wrong type, since no path can hold one.
Text MemberText(json_object* object, const char* key, std::string* text)
{
    json_object* value = nullptr;
    if (!json_object_object_get_ex(object, key, &value) || !value)
        return Text::absent;
    if (!json_object_is_type(value, json_type_string))
        return Text::wrongType;
    const char* bytes = json_object_get_string(value);
    const size_t length = static_cast<size_t>(json_object_get_string_len(value));
    if (memchr(bytes, 0, length))
        return Text::wrongType;
    text->assign(bytes, length);
    return Text::value;
}

std::string SchemeOf(const std::string& url)
{
    gchar* scheme = g_uri_parse_scheme(url.c_str());
    std::string text = scheme ? scheme : "";
    g_free(scheme);
    for (char& c : text)
        c = static_cast<char>(g_ascii_tolower(c));
    return text;
}

// The local folder of a file: URL; false for a URL of another host or one that is not a path.
bool LocalPathOfUrl(const std::string& url, std::string* path)
{
    gchar* host = nullptr;
    gchar* local = g_filename_from_uri(url.c_str(), &host, nullptr);
    const bool usable = local && (!host || !*host || g_ascii_strcasecmp(host, "localhost") == 0);
    if (usable)
        *path = local;
    g_free(local);
    g_free(host);
    return usable;
}

bool IsHttpUrl(const std::string& url)
{
    const std::string scheme = SchemeOf(url);
    if (scheme != "http" && scheme != "https")
        return false;
    GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr);
    const bool hasHost = uri && g_uri_get_host(uri) && *g_uri_get_host(uri);
    if (uri)
        g_uri_unref(uri);
    return hasHost;
}

// Fills the relative folder of an entry from its "relative_path"; false leaves a problem.
bool ReadRelativeFolder(json_object* object, TransferEntry* entry)
{
    switch (MemberText(object, "relative_path", &entry->sourceRelativePath)) {
    case Text::absent:
        return true;
    case Text::wrongType:
        entry->problem = "The relative path is not a text";
        return false;
    case Text::value:
        break;
    }
    return NormalizeRelativeFolder(entry->sourceRelativePath, &entry->folder, &entry->problem);
}

void ReadUploadEntry(json_object* object, TransferEntry* entry)
{
    if (!json_object_is_type(object, json_type_object)) {
        entry->problem = "The entry is not an object";
        return;
    }
    json_object* size = nullptr;
    if (json_object_object_get_ex(object, "size", &size) &&
        (json_object_is_type(size, json_type_double) || json_object_is_type(size, json_type_int))) {
        const double value = json_object_get_double(size);
        entry->size = value > 0 ? std::min(value, kLargestSize) : 0;
    }
    if (MemberText(object, "file_path", &entry->source) != Text::value || entry->source.empty()) {
        entry->problem = "The entry has no file path";
        return;
    }
    if (!ReadRelativeFolder(object, entry))
        return;
    if (entry->source[0] != '/')
        entry->problem = "The file path \"" + entry->source + "\" is not absolute";
    else if (!FileNameOfPath(entry->source, &entry->name))
        entry->problem = "The file path \"" + entry->source + "\" names no file";
}

// An "s3://BUCKET/KEY" entry: the file is named after the key's last segment.
void ReadS3DownloadEntry(const TransferRequest& request, TransferEntry* entry)
{
    if (!request.s3)
        entry->problem = "The request has no \"s3\" object for the URL \"" + entry->source + "\"";
    else if (ParseS3Url(entry->source, &entry->bucket, &entry->key, &entry->problem) &&
             !FileNameOfPath(entry->key, &entry->name))
        entry->problem = "The URL \"" + entry->source + "\" names no file";
}

void ReadDownloadEntry(const TransferRequest& request, json_object* object, TransferEntry* entry)
{
    if (!json_object_is_type(object, json_type_object)) {
        entry->problem = "The entry is not an object";
        return;
    }
    if (MemberText(object, "url", &entry->source) != Text::value || entry->source.empty()) {
        entry->problem = "The entry has no URL";
        return;
    }
    if (!ReadRelativeFolder(object, entry))
        return;
    std::string path;
    if (SchemeOf(entry->source) == "s3")
        ReadS3DownloadEntry(request, entry);
    else if (!IsHttpUrl(entry->source) && !(SchemeOf(entry->source) == "file" && LocalPathOfUrl(entry->source, &path)))
        entry->problem = "The URL \"" + ShownUrl(entry->source) + "\" is not an http:, https:, s3: or local file: URL";
    else
        FileNameOfUrl(entry->source, &entry->name, &entry->problem);
}

bool ReadEntries(json_object* document, const char* key, TransferRequest* request, std::string* reason)
{
    json_object* list = nullptr;
    if (!json_object_object_get_ex(document, key, &list) || !json_object_is_type(list, json_type_array) ||
        json_object_array_length(list) == 0) {
        *reason = std::string("The request lists no files (\"") + key + "\")";
        return false;
    }
    const size_t count = json_object_array_length(list);
    request->entries.resize(count);
    for (size_t i = 0; i < count; ++i) {
        TransferEntry& entry = request->entries[i];
        entry.original = json_object_array_get_idx(list, i);
        if (request->kind == TransferKind::upload)
            ReadUploadEntry(entry.original, &entry);
        else
            ReadDownloadEntry(*request, entry.original, &entry);
        if (request->target == UploadTarget::s3 && entry.problem.empty()) {
            entry.bucket = request->s3Bucket;
            entry.key = request->s3Prefix + (entry.folder.empty() ? "" : entry.folder + "/") + entry.name;
        }
        // Into a local folder, a hidden name could be one that a program reads at login.
        const bool local = request->kind == TransferKind::download || request->target == UploadTarget::folder;
        if (local && entry.problem.empty())
            IsVisiblePath(entry.folder, entry.name, &entry.problem);
    }
    return true;
}

// The request's "s3" object, read when it has one.
bool ReadS3Settings(json_object* document, TransferRequest* request, std::string* reason)
{
    json_object* object = nullptr;
    if (!json_object_object_get_ex(document, "s3", &object))
        return true;
    auto settings = std::make_shared<S3Settings>();
    if (!ParseS3Settings(object, settings.get(), reason))
        return false;
    request->s3 = std::move(settings);
    return true;
}

bool ReadS3Target(const std::string& url, TransferRequest* request, std::string* reason)
{
    if (!request->s3) {
        *reason = "The request has no \"s3\" object for the upload URL";
        return false;
    }
    if (!ParseS3Url(url, &request->s3Bucket, &request->s3Prefix, reason))
        return false;
    if (!request->s3Prefix.empty() && request->s3Prefix.back() != '/')
        request->s3Prefix += '/';
    request->target = UploadTarget::s3;
    request->destination = "s3://" + request->s3Bucket + "/" + request->s3Prefix;
    return true;
}

bool ReadUploadTarget(json_object* document, TransferRequest* request, std::string* reason)
{
    std::string url;
    switch (MemberText(document, "upload_url", &url)) {
    case Text::absent:
        return true;
    case Text::wrongType:
        *reason = "The upload URL is not a text";
        return false;
    case Text::value:
        break;
    }
    if (url.empty())
        return true;
    if (SchemeOf(url) == "file" && LocalPathOfUrl(url, &request->destination)) {
        request->target = UploadTarget::folder;
        return true;
    }
    if (SchemeOf(url) == "s3")
        return ReadS3Target(url, request, reason);
    if (IsHttpUrl(url)) {
        request->target = UploadTarget::http;
        request->destination = url;
        return true;
    }
    *reason = "The upload URL \"" + ShownUrl(url) + "\" is not an http:, https:, s3: or local file: URL";
    return false;
}

bool ReadDownloadFolder(json_object* document, TransferRequest* request, std::string* reason)
{
    if (MemberText(document, "dest_path", &request->destination) != Text::value || request->destination.empty()) {
        *reason = "The request names no download folder";
        return false;
    }
    if (request->destination[0] != '/') {
        *reason = "The download folder \"" + request->destination + "\" is not an absolute path";
        return false;
    }
    request->target = UploadTarget::folder;
    return true;
}

JsonPtr ParseObject(const char* bytes, size_t length, std::string* reason)
{
    if (!bytes || length == 0 || length > INT_MAX) {
        *reason = "The request is empty or too long";
        return nullptr;
    }
    json_tokener* tokener = json_tokener_new();
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
    JsonPtr document(json_tokener_parse_ex(tokener, bytes, static_cast<int>(length)));
    size_t end = json_tokener_get_parse_end(tokener);
    json_tokener_free(tokener);
    while (end < length && g_ascii_isspace(bytes[end]))
        ++end;
    if (!document || end != length) {
        *reason = "The request is not one JSON text in UTF-8";
        return nullptr;
    }
    if (!json_object_is_type(document.get(), json_type_object)) {
        *reason = "The request is not a JSON object";
        return nullptr;
    }
    return document;
}
}  // namespace

bool ParseTransferRequest(const char* bytes, size_t length, TransferRequest* request, std::string* reason)
{
    *request = TransferRequest();
    request->document = ParseObject(bytes, length, reason);
    json_object* document = request->document.get();
    if (!document)
        return false;
    json_object_object_get_ex(document, "job", &request->job);
    if (request->job && strlen(json_object_to_json_string_ext(request->job, JSON_C_TO_STRING_PLAIN)) > kLongestJob) {
        request->job = nullptr;
        *reason = "The \"job\" value is longer than " + std::to_string(kLongestJob) + " bytes of JSON";
        return false;
    }

    std::string type;
    std::string code;
    if (MemberText(document, "type", &type) != Text::value || strcasecmp(type.c_str(), "Request") != 0) {
        *reason = "The message is not a request";
        return false;
    }
    MemberText(document, "code", &code);
    if (strcasecmp(code.c_str(), "StartUpload") == 0) {
        request->kind = TransferKind::upload;
        return ReadS3Settings(document, request, reason) && ReadUploadTarget(document, request, reason) &&
               ReadEntries(document, "files_ul", request, reason);
    }
    if (strcasecmp(code.c_str(), "StartDownload") == 0) {
        request->kind = TransferKind::download;
        return ReadS3Settings(document, request, reason) && ReadDownloadFolder(document, request, reason) &&
               ReadEntries(document, "files_dl", request, reason);
    }
    *reason = "The request \"" + code + "\" is not a transfer";
    return false;
}
