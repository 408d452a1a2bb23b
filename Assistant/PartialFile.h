// A file being written under a temporary name in its destination folder, or under none, so that no
// partial file ever carries its final name. Commit syncs the data and gives the file its name
// without replacing anything: when the name is taken, the next of "name (2).ext", "name (3).ext", ...
// A partial file destroyed without a commit removes its temporary file.
//
// Every named temporary file of the process is listed, so that a stopping program can remove those
// still open (RemoveAllTemporary), and, once KeepRecord was called, written to a record on disk, so
// that the next run removes those that a killed one left. A file's removal refers to that file
// alone, never to a name that another file may have taken since. Safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <sys/types.h>

class PartialFile {
public:
    // Creates the folder and its parents if needed, then the temporary file with the given mode
    // (less the umask). Null with a readable reason on failure.
    static std::unique_ptr<PartialFile> Create(const std::string& folder, const std::string& name, mode_t mode,
                                               std::string* reason);
    // The same for a file that nothing will take up after a crash, in a folder that exists and is
    // open as folderFd until the commit: where the file system allows, the file has no name at all
    // until then (O_TMPFILE), so a crash leaves nothing behind, and it is neither listed nor recorded.
    static std::unique_ptr<PartialFile> CreateUnnamed(int folderFd, const std::string& folder, const std::string& name,
                                                      mode_t mode, std::string* reason);
    // Takes up the temporary file an earlier run left in the folder, positioned at its end; null
    // when it is gone or is not such a file. Fills its length.
    static std::unique_ptr<PartialFile> Adopt(const std::string& temporaryPath, const std::string& folder,
                                              const std::string& name, uint64_t* length);
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    int Fd() const { return mFd; }
    const std::string& TemporaryPath() const { return mTemporaryPath; }

    // Who makes the file durable: Commit syncs the file before it names it and the folder after;
    // or the caller, for a group of files at once, syncs their file system (SyncFileSystem)
    // before their commits and again after.
    enum class Durability { byCommit, byCaller };
    // Closes the file and links it under the first free name. Fills the final path; false with a
    // reason when any step fails (the temporary file is then removed).
    bool Commit(std::string* finalPath, std::string* reason, Durability durability = Durability::byCommit);

    // Makes everything written to the file system that holds the folder durable; false with a
    // reason when it cannot.
    static bool SyncFileSystem(const std::string& folder, std::string* reason);
    // Makes the names in a folder durable.
    static void SyncFolder(const std::string& folder);

    // Removes every temporary file not yet committed or destroyed; later commits of them fail.
    static void RemoveAllTemporary();

    // Removes the temporary files listed in the record at path (those of a run that was killed)
    // but the spared ones, which jobs cut by the kill go on with, then lists every new temporary
    // file there while it exists. Spared files not adopted stay listed, to go at the next start
    // unless spared again. Call once, before any Create or Adopt.
    static void KeepRecord(const std::string& path, const std::set<std::string>& spared = {});

private:
    PartialFile(std::string folder, std::string name, std::string temporaryPath, int fd);
    bool LinkUnderFreeName(std::string* finalPath, std::string* reason);
    bool CommitUnnamed(std::string* finalPath, std::string* reason, Durability durability);
    void Discard();

    std::string mFolder;
    std::string mName;
    std::string mTemporaryPath;  // empty for a file without a name
    int mFd;
    int mFolderFd = -1;        // a file without a name: its folder, held open by the caller
    unsigned mGeneration = 0;  // of RemoveAllTemporary, when the file was made
};
