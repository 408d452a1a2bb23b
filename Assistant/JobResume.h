// Resuming jobs cut by a crash: the journals an earlier run left, and the checks that a file is
// still the one its job was given.
#pragma once

#include "JobJournal.h"

#include <memory>
#include <string>
#include <vector>

// Every journal left in the journal folder, oldest first. One that cannot be read is logged and
// set aside under its name with ".damaged" added, where it is never read again.
std::vector<std::unique_ptr<JobJournal>> LoadUnfinishedJobs();

// The request text of a resumed job, with the "expiration" of its S3 credentials taken out when
// that time has passed, and then a reason for failing the files left; else the text as it is.
std::string SetExpiredCredentialsAside(const std::string& requestText, std::string* expired);

// Empty when the file at the path is the one the identity describes; else a reason saying what
// changed.
std::string SourceChange(const SourceIdentity& then, const std::string& path);
