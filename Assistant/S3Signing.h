// AWS Signature Version 4 for requests to S3 servers: the canonical request, the string to sign
// and the "Authorization" header, computed with GLib's SHA-256 and HMAC. Pure functions of their
// arguments; the clock is the caller's.
#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

struct S3Credentials {
    std::string accessKeyId;
    std::string secretAccessKey;
    std::string sessionToken;  // empty for long-term keys
};

// Percent-encodes every byte but A-Z a-z 0-9 - . _ ~ (and "/" when keepSlash) as upper-case %XX,
// as S3 expects in paths, query names and query values.
std::string S3UriEncode(const std::string& text, bool keepSlash);

std::string Sha256Hex(const std::string& data);

struct SigV4Request {
    std::string method;
    std::string path;  // already encoded, exactly as it goes on the request line
    std::vector<std::pair<std::string, std::string>> query;  // decoded names and values
    std::vector<std::pair<std::string, std::string>> headers;  // all signed; "host" among them
    std::string payloadHash;  // hex SHA-256 of the body, or "UNSIGNED-PAYLOAD"
};

struct SigV4Scope {
    std::string region;
    std::string service = "s3";
};

// The canonical query string: names and values encoded, pairs sorted by name, then value.
std::string CanonicalQuery(const std::vector<std::pair<std::string, std::string>>& query);
std::string CanonicalRequest(const SigV4Request& request, std::string* signedHeaders);
// "20150830T123600Z" for the time.
std::string AmzDate(std::time_t time);
// The value of the "Authorization" header. The request's headers must already hold "x-amz-date"
// with AmzDate(time).
std::string SigV4Authorization(const SigV4Request& request, const SigV4Scope& scope,
                               const S3Credentials& credentials, std::time_t time);
