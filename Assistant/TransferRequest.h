// A transfer request as the plug-in hands it over: the page's JSON request object, completed with
// the upload list ("files_ul") or the download folder ("dest_path"). Parsing is a plain function
// from bytes to a request or a reason, with no other state.
#pragma once

#include "S3Location.h"

#include <json-c/json.h>

#include <memory>
#include <string>
#include <vector>

struct JsonRelease {
    void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonRelease>;

enum class TransferKind { upload, download };

// Where an upload goes: the outbox folder, a folder named by a file: URL, an HTTP server, or an
// S3 bucket.
enum class UploadTarget { outbox, folder, http, s3 };

// One file of a request. A non-empty problem means the entry cannot be transferred as given; the
// job reports it as that file's failure and goes on with the others.
struct TransferEntry {
    json_object* original = nullptr;  // the entry as received, owned by the request's document
    std::string source;               // upload: the file's path; download: its URL
    std::string sourceRelativePath;   // "relative_path" as received
    std::string folder;               // the normalized relative folder below the destination
    std::string name;                 // the file name at the destination
    double size = 0;                  // upload: as the plug-in listed it, within 0 and 2^62
    std::string bucket;               // S3: the object's bucket and key
    std::string key;
    std::string problem;
};

struct TransferRequest {
    JsonPtr document;
    TransferKind kind = TransferKind::upload;
    json_object* job = nullptr;  // the page's "job" member, owned by the document
    UploadTarget target = UploadTarget::outbox;
    std::string destination;     // a folder path, or the base URL ("s3://BUCKET/PREFIX/" for S3)
    std::shared_ptr<const S3Settings> s3;  // the request's "s3" object, when it has one
    std::string s3Bucket;                  // S3 uploads: where the files go
    std::string s3Prefix;                  // empty, or ending in "/"
    std::vector<TransferEntry> entries;
};

// Parses one request text. False with a readable reason when the request as a whole cannot be
// carried out; problems of single entries are left in the entries.
bool ParseTransferRequest(const char* bytes, size_t length, TransferRequest* request, std::string* reason);
