// Which web origins may use the plug-in: the administrator's list, then the user's remembered
// answers, then the user's answer to a question (remembered); without a display to ask on, no.
// Both lists are GLib key files with group [Origins] and keys "allow" and "deny", each a
// semicolon-separated list of origins such as https://example.org or http://127.0.0.1:8080.
#pragma once

#include "Platform/Dialogs/Dialogs.h"

#include <string>

extern const char kSystemOriginsFile[];
// $XDG_CONFIG_HOME/qiravel/origins.conf
std::string UserOriginsFile();

// A text the lists and the question can hold: scheme://host[:port], nothing that could break a
// list (";", blanks, control characters), at most 2048 bytes.
bool IsPlausibleOrigin(const std::string& origin);

class OriginPolicy {
public:
    enum Verdict { kAllowed, kDenied, kUnknown };

    OriginPolicy(std::string systemFile, std::string userFile);

    // What the lists say: the administrator's first; an origin on both lists of a file is denied.
    Verdict Lookup(const std::string& origin) const;
    // Puts origin on the user's allow or deny list (off the other one); false with error if the
    // file cannot be written.
    bool Remember(const std::string& origin, bool allowed, std::string* error) const;
    // The whole decision for one Initialize. Asks on toolkit (Allow / Deny) when the lists say
    // nothing; an answer is remembered, a question closed unanswered denies this once.
    bool Decide(const std::string& origin, DialogToolkit& toolkit) const;

private:
    std::string mSystemFile;
    std::string mUserFile;
};
