// The folders a sandboxed web process sees besides WebKit's own: the runtime folder of the local
// link read-write (event ports and process locks), and the places users keep files read-only, so
// the plug-in can walk what the user picks or drops.
#pragma once

#include <string>
#include <vector>

struct SandboxFolder {
    std::string path;
    bool readOnly;
};

// The runtime folder; each visible item directly in home (WebKit refuses home itself), at most
// maxHomeItems of them; /media, /mnt, /run/media and /tmp. Folders that do not exist are left out,
// and so is any that holds the runtime folder or xdgRuntimeDir (WebKit mounts its own sockets in
// the latter, which a read-only folder above would prevent).
std::vector<SandboxFolder> SandboxFolders(const std::string& runtimeFolder, const std::string& home,
                                          const std::string& xdgRuntimeDir, size_t maxHomeItems = 256);
