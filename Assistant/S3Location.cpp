#include "S3Location.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace {
const uint64_t kSmallestPart = 5ull << 20;
const uint64_t kLargestPart = 5ull << 30;
const uint64_t kDefaultPart = 8ull << 20;
const uint64_t kMostParts = 10000;

bool MemberString(json_object* object, const char* key, bool required, std::string* text, std::string* reason)
{
    json_object* value = nullptr;
    if (!json_object_object_get_ex(object, key, &value) || !value) {
        if (required)
            *reason = std::string("The \"s3\" object has no \"") + key + "\"";
        return !required;
    }
    const char* bytes = json_object_get_string(value);
    const size_t length = static_cast<size_t>(json_object_get_string_len(value));
    if (!json_object_is_type(value, json_type_string) || memchr(bytes, 0, length) || (required && length == 0) ||
        memchr(bytes, '\n', length) || memchr(bytes, '\r', length)) {
        *reason = std::string("The \"s3\" member \"") + key + "\" is not a usable text";
        return false;
    }
    text->assign(bytes, length);
    return true;
}

bool ReadEndpoint(const std::string& endpoint, S3Settings* settings, std::string* reason)
{
    GUri* uri = g_uri_parse(endpoint.c_str(), G_URI_FLAGS_ENCODED, nullptr);
    bool usable = uri && g_uri_get_host(uri) && *g_uri_get_host(uri) && !g_uri_get_userinfo(uri) &&
                  !g_uri_get_query(uri) && !g_uri_get_fragment(uri) &&
                  (!*g_uri_get_path(uri) || strcmp(g_uri_get_path(uri), "/") == 0);
    if (usable) {
        const bool https = g_ascii_strcasecmp(g_uri_get_scheme(uri), "https") == 0;
        settings->scheme = https ? "https" : "http";
        usable = https || g_ascii_strcasecmp(g_uri_get_scheme(uri), "http") == 0;
        const std::string host = g_uri_get_host(uri);
        settings->host = host.find(':') == std::string::npos ? host : "[" + host + "]";
        const int port = g_uri_get_port(uri);
        if (port > 0 && port != (settings->scheme == "https" ? 443 : 80))
            settings->host += ":" + std::to_string(port);
    }
    if (uri)
        g_uri_unref(uri);
    if (!usable)
        *reason = "The S3 endpoint is not an http: or https: URL of a server";  // it might hold a password
    return usable;
}

bool ReadCredentials(json_object* s3, S3Credentials* credentials, std::string* reason)
{
    json_object* object = nullptr;
    if (!json_object_object_get_ex(s3, "credentials", &object) || !json_object_is_type(object, json_type_object)) {
        *reason = "The \"s3\" object has no \"credentials\" object";
        return false;
    }
    std::string expiration;
    if (!MemberString(object, "access_key_id", true, &credentials->accessKeyId, reason) ||
        !MemberString(object, "secret_access_key", true, &credentials->secretAccessKey, reason) ||
        !MemberString(object, "session_token", false, &credentials->sessionToken, reason) ||
        !MemberString(object, "expiration", false, &expiration, reason))
        return false;
    if (expiration.empty())
        return true;
    GDateTime* expires = g_date_time_new_from_iso8601(expiration.c_str(), nullptr);
    if (!expires) {
        *reason = "The S3 credentials' expiration \"" + expiration + "\" is not an ISO 8601 time";
        return false;
    }
    const bool expired = g_date_time_to_unix(expires) <= std::time(nullptr);
    g_date_time_unref(expires);
    if (expired)
        *reason = "The S3 credentials expired at " + expiration;
    return !expired;
}
}  // namespace

bool ParseS3Settings(json_object* object, S3Settings* settings, std::string* reason)
{
    if (!object || !json_object_is_type(object, json_type_object)) {
        *reason = "The request has no \"s3\" object";
        return false;
    }
    std::string endpoint;
    std::string addressing = "path";
    if (!MemberString(object, "endpoint", true, &endpoint, reason) || !ReadEndpoint(endpoint, settings, reason) ||
        !MemberString(object, "region", true, &settings->region, reason) ||
        !MemberString(object, "addressing", false, &addressing, reason) ||
        !ReadCredentials(object, &settings->credentials, reason))
        return false;
    if (addressing != "path" && addressing != "virtual") {
        *reason = "The S3 addressing \"" + addressing + "\" is neither \"path\" nor \"virtual\"";
        return false;
    }
    settings->virtualHosted = addressing == "virtual";
    json_object* partSize = nullptr;
    if (json_object_object_get_ex(object, "part_size", &partSize) && partSize) {
        const int64_t size = json_object_is_type(partSize, json_type_int) ? json_object_get_int64(partSize) : -1;
        if (size < static_cast<int64_t>(kSmallestPart) || size > static_cast<int64_t>(kLargestPart)) {
            *reason = "The S3 part size is not a whole number of bytes from 5 MiB to 5 GiB";
            return false;
        }
        settings->partSize = static_cast<uint64_t>(size);
    }
    return true;
}

bool ParseS3Url(const std::string& url, std::string* bucket, std::string* key, std::string* reason)
{
    const char scheme[] = "s3://";
    const size_t slash = url.find('/', sizeof scheme - 1);
    *bucket = url.substr(sizeof scheme - 1, slash == std::string::npos ? std::string::npos : slash - (sizeof scheme - 1));
    *key = slash == std::string::npos ? "" : url.substr(slash + 1);
    // Names S3 allows for buckets; anything else could change the host or path it is placed in.
    bool usable = g_ascii_strncasecmp(url.c_str(), scheme, sizeof scheme - 1) == 0 && bucket->size() >= 3 &&
                  bucket->size() <= 63 && memchr(key->data(), 0, key->size()) == nullptr;
    for (const char c : *bucket)
        usable = usable && (g_ascii_isalnum(c) || c == '.' || c == '-' || c == '_');
    if (!usable)
        *reason = "The URL \"" + url + "\" is not an s3://BUCKET/ URL";
    return usable;
}

S3Address S3AddressOf(const S3Settings& settings, const std::string& bucket, const std::string& key,
                      const S3Query& query)
{
    S3Address address;
    address.host = settings.virtualHosted ? bucket + "." + settings.host : settings.host;
    address.path = (settings.virtualHosted ? "/" : "/" + bucket + "/") + S3UriEncode(key, true);
    address.query = query;
    const std::string canonicalQuery = CanonicalQuery(query);
    address.url = settings.scheme + "://" + address.host + address.path + (query.empty() ? "" : "?" + canonicalQuery);
    return address;
}

std::vector<std::string> S3SignedHeaderLines(const S3Settings& settings, const std::string& method,
                                             const S3Address& address, const std::string& payloadHash,
                                             const std::vector<std::pair<std::string, std::string>>& extra)
{
    const std::time_t now = std::time(nullptr);
    SigV4Request request;
    request.method = method;
    request.path = address.path;
    request.query = address.query;
    request.payloadHash = payloadHash;
    request.headers = extra;
    request.headers.emplace_back("x-amz-date", AmzDate(now));
    request.headers.emplace_back("x-amz-content-sha256", payloadHash);
    if (!settings.credentials.sessionToken.empty())
        request.headers.emplace_back("x-amz-security-token", settings.credentials.sessionToken);
    std::vector<std::string> lines;
    for (const auto& header : request.headers)
        lines.push_back(header.first + ": " + header.second);
    request.headers.emplace_back("host", address.host);
    lines.push_back("Authorization: " + SigV4Authorization(request, SigV4Scope{settings.region}, settings.credentials, now));
    return lines;
}

uint64_t S3PartSize(const S3Settings& settings, uint64_t fileSize)
{
    const uint64_t fewest = (fileSize + kMostParts - 1) / kMostParts;
    return std::max(settings.partSize ? settings.partSize : kDefaultPart, fewest);
}
