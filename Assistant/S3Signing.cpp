#include "S3Signing.h"

#include <glib.h>

#include <algorithm>
#include <map>

namespace {
std::string Hex(const guint8* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string HmacSha256(const std::string& key, const std::string& data)
{
    GHmac* hmac = g_hmac_new(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(key.data()), key.size());
    g_hmac_update(hmac, reinterpret_cast<const guchar*>(data.data()), static_cast<gssize>(data.size()));
    guint8 digest[32];
    gsize length = sizeof digest;
    g_hmac_get_digest(hmac, digest, &length);
    g_hmac_unref(hmac);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(g_ascii_tolower(c));
    return text;
}

// Leading and trailing blanks removed, inner runs of blanks made one space.
std::string TrimmedValue(const std::string& value)
{
    std::string trimmed;
    bool blank = false;
    for (const char c : value) {
        if (c == ' ' || c == '\t') {
            blank = !trimmed.empty();
            continue;
        }
        if (blank)
            trimmed += ' ';
        blank = false;
        trimmed += c;
    }
    return trimmed;
}
}  // namespace

std::string S3UriEncode(const std::string& text, bool keepSlash)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (g_ascii_isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (keepSlash && c == '/')) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += digits[byte >> 4];
            encoded += digits[byte & 15];
        }
    }
    return encoded;
}

std::string Sha256Hex(const std::string& data)
{
    gchar* hex = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(data.data()), data.size());
    const std::string text = hex;
    g_free(hex);
    return text;
}

std::string CanonicalQuery(const std::vector<std::pair<std::string, std::string>>& query)
{
    std::vector<std::pair<std::string, std::string>> encoded;
    for (const auto& parameter : query)
        encoded.emplace_back(S3UriEncode(parameter.first, false), S3UriEncode(parameter.second, false));
    std::sort(encoded.begin(), encoded.end());
    std::string text;
    for (const auto& parameter : encoded)
        text += (text.empty() ? "" : "&") + parameter.first + "=" + parameter.second;
    return text;
}

std::string CanonicalRequest(const SigV4Request& request, std::string* signedHeaders)
{
    // Headers of one name are joined with commas, in the order given.
    std::map<std::string, std::string> headers;
    for (const auto& header : request.headers) {
        std::string& value = headers[Lower(header.first)];
        value += (value.empty() ? "" : ",") + TrimmedValue(header.second);
    }
    std::string canonicalHeaders;
    signedHeaders->clear();
    for (const auto& header : headers) {
        canonicalHeaders += header.first + ":" + header.second + "\n";
        *signedHeaders += (signedHeaders->empty() ? "" : ";") + header.first;
    }
    return request.method + "\n" + request.path + "\n" + CanonicalQuery(request.query) + "\n" + canonicalHeaders +
           "\n" + *signedHeaders + "\n" + request.payloadHash;
}

std::string AmzDate(std::time_t time)
{
    std::tm parts;
    gmtime_r(&time, &parts);
    char text[20];
    strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

std::string SigV4Authorization(const SigV4Request& request, const SigV4Scope& scope,
                               const S3Credentials& credentials, std::time_t time)
{
    const std::string date = AmzDate(time);
    const std::string day = date.substr(0, 8);
    const std::string scopeText = day + "/" + scope.region + "/" + scope.service + "/aws4_request";
    std::string signedHeaders;
    const std::string canonical = CanonicalRequest(request, &signedHeaders);
    const std::string toSign = "AWS4-HMAC-SHA256\n" + date + "\n" + scopeText + "\n" + Sha256Hex(canonical);
    std::string key = HmacSha256("AWS4" + credentials.secretAccessKey, day);
    key = HmacSha256(key, scope.region);
    key = HmacSha256(key, scope.service);
    key = HmacSha256(key, "aws4_request");
    const std::string signature = HmacSha256(key, toSign);
    return "AWS4-HMAC-SHA256 Credential=" + credentials.accessKeyId + "/" + scopeText +
           ", SignedHeaders=" + signedHeaders +
           ", Signature=" + Hex(reinterpret_cast<const guint8*>(signature.data()), signature.size());
}
