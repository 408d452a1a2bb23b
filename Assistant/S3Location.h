// Where an S3 request goes: the "s3" object of a request (endpoint, region, addressing,
// credentials, part size), "s3://BUCKET/KEY" URLs, and the URL, host and signed path of one
// request to a bucket.
#pragma once

#include "S3Signing.h"

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct S3Settings {
    std::string scheme;  // "http" or "https"
    std::string host;    // as the Host header gives it: with a port that is not the scheme's own
    std::string region;
    bool virtualHosted = false;
    S3Credentials credentials;
    uint64_t partSize = 0;  // 0: chosen by file size
};

// Reads a request's "s3" object; false with a reason that never quotes the credentials.
bool ParseS3Settings(json_object* object, S3Settings* settings, std::string* reason);

// Splits "s3://BUCKET/KEY": the key is everything after the bucket's "/", taken as it stands.
bool ParseS3Url(const std::string& url, std::string* bucket, std::string* key, std::string* reason);

using S3Query = std::vector<std::pair<std::string, std::string>>;

struct S3Address {
    std::string url;
    std::string host;
    std::string path;  // encoded, as signed and sent
    S3Query query;
};

S3Address S3AddressOf(const S3Settings& settings, const std::string& bucket, const std::string& key,
                      const S3Query& query = {});

// The header lines that sign one attempt of a request now: "x-amz-date", "x-amz-content-sha256",
// "x-amz-security-token" when there is a session token, the extra headers, and "Authorization".
std::vector<std::string> S3SignedHeaderLines(const S3Settings& settings, const std::string& method,
                                             const S3Address& address, const std::string& payloadHash,
                                             const std::vector<std::pair<std::string, std::string>>& extra);

// Part size of a multipart upload: the request's, else max(8 MiB, size / 10,000 rounded up);
// never so small that the file would need more than 10,000 parts.
uint64_t S3PartSize(const S3Settings& settings, uint64_t fileSize);
