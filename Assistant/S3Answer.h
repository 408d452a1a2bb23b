// The few things read from an S3 server's XML answers: the root element's name and the text of
// elements such as "UploadId", "ETag", "Code" and "Message", with XML escapes resolved.
#pragma once

#include <map>
#include <string>

struct S3Answer {
    std::string root;
    std::map<std::string, std::string> texts;  // element name to the text of its first occurrence

    std::string Text(const std::string& name) const;
};

// False when the text is not well-formed XML.
bool ParseS3Answer(const std::string& xml, S3Answer* answer);

// A reason for a failed answer: the status, and the server's error code and message when it sent
// them ("The server answered with status 403: AccessDenied: ...").
std::string S3FailureReason(long status, const std::string& body);
