// Which local folders file: transfers may use: an upload may go to a file: folder, and a download
// may come from a file: URL, only inside a folder the user allowed in the settings or inside the
// outbox. Paths are judged with their links resolved, so that a link cannot lead outside.
#pragma once

#include "AssistantConfig.h"
#include "TransferRequest.h"

#include <string>

// Whether the path, once its links are resolved, is one of the folders or lies below one.
bool IsInsideFolders(const std::string& path, const std::vector<std::string>& folders);

// False with a reason that says how to allow it when the request's file: destination is outside
// the allowed folders; a file: download source outside them becomes that file's problem.
bool CheckLocalAccess(TransferRequest* request, const AssistantConfig& config, const std::string& outbox,
                      std::string* reason);
