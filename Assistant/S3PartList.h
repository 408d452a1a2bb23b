// A ListParts answer: the parts a multipart upload has stored, read to go on with an upload that
// an earlier run began.
#pragma once

#include <map>
#include <string>

struct S3PartList {
    std::map<unsigned, std::string> etags;  // part number to its ETag, without quotes
    bool truncated = false;
    unsigned nextMarker = 0;  // when truncated: the marker that asks for the rest
};

// False when the text is not a ListParts answer.
bool ParseS3PartList(const std::string& xml, S3PartList* list);
