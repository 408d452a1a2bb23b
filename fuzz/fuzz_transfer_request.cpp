// The Assistant's request parser: any bytes as one request text. An accepted request has entries
// whose destinations stay inside the destination folder (no absolute or ".." relative folder, a
// file name that is one plain path segment), sizes within 0 and 2^62, and a document that owns
// every entry it lists.
#include "FuzzSupport.h"

#include "Assistant/DestinationPaths.h"
#include "Assistant/TransferRequest.h"

#include <string>

namespace {
bool HasSegment(const std::string& path, const std::string& segment)
{
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (path.compare(start, end - start, segment) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

void CheckEntry(const TransferRequest& request, const TransferEntry& entry)
{
    // A JSON null in the list is an entry too: it has no object, only a problem.
    FUZZ_CHECK(entry.original != nullptr || !entry.problem.empty());
    FUZZ_CHECK(entry.size >= 0 && entry.size <= 4611686018427387904.0);
    if (!entry.problem.empty())
        return;
    FUZZ_CHECK(!entry.source.empty());
    FUZZ_CHECK(entry.folder.empty() || (entry.folder[0] != '/' && entry.folder.back() != '/'));
    FUZZ_CHECK(!HasSegment(entry.folder, "..") && !HasSegment(entry.folder, "."));
    FUZZ_CHECK(entry.folder.find("//") == std::string::npos);
    FUZZ_CHECK(!entry.name.empty() && entry.name != "." && entry.name != "..");
    FUZZ_CHECK(entry.name.find('/') == std::string::npos && entry.name.find('\0') == std::string::npos);
    if (request.kind == TransferKind::upload)
        FUZZ_CHECK(entry.source[0] == '/');

    // Where the file would be stored: below the destination, under a numbered name if taken.
    const std::string folder = JoinPath(request.destination, entry.folder);
    const std::string path = JoinPath(folder, NumberedName(entry.name, 2));
    FUZZ_CHECK(path.compare(0, request.destination.size(), request.destination) == 0);
    FUZZ_CHECK(!HasSegment(path.substr(request.destination.size()), ".."));
    if (request.target == UploadTarget::http)
        FUZZ_CHECK(!JoinUrl(request.destination, entry.folder, entry.name).empty());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TransferRequest request;
    std::string reason;
    if (!ParseTransferRequest(reinterpret_cast<const char*>(data), size, &request, &reason)) {
        FUZZ_CHECK(!reason.empty());
        return 0;
    }
    FUZZ_CHECK(request.document != nullptr && !request.entries.empty());
    if (request.kind == TransferKind::download)
        FUZZ_CHECK(!request.destination.empty() && request.destination[0] == '/');
    for (const TransferEntry& entry : request.entries)
        CheckEntry(request, entry);
    return 0;
}
