// A file being written under a temporary name in its destination folder, so that no partial file
// ever carries its final name. Commit syncs the data and gives the file its name without
// replacing anything: when the name is taken, the next of "name (2).ext", "name (3).ext", ...
// A partial file destroyed without a commit removes its temporary file.
//
// Every temporary file of the process is listed, so that a stopping program can remove those
// still open (RemoveAllTemporary). Safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

class PartialFile {
public:
    // Creates the folder and its parents if needed, then the temporary file with the given mode
    // (less the umask). Null with a readable reason on failure.
    static std::unique_ptr<PartialFile> Create(const std::string& folder, const std::string& name, mode_t mode,
                                               std::string* reason);
    // Takes up the temporary file an earlier run left in the folder, positioned at its end; null
    // when it is gone or is not such a file. Fills its length.
    static std::unique_ptr<PartialFile> Adopt(const std::string& temporaryPath, const std::string& folder,
                                              const std::string& name, uint64_t* length);
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    int Fd() const { return mFd; }
    const std::string& TemporaryPath() const { return mTemporaryPath; }

    // Starts writing the file's data out, so that a later commit finds it on its way.
    void StartWriteBack();

    enum class FolderSync { now, byCaller };
    // Syncs the file, closes it and links it under the first free name, then syncs the folder
    // unless the caller does that for several files at once (SyncFolder). Fills the final path;
    // false with a reason when any step fails (the temporary file is then removed).
    bool Commit(std::string* finalPath, std::string* reason, FolderSync folderSync = FolderSync::now);

    // Makes the names in a folder durable.
    static void SyncFolder(const std::string& folder);

    // Removes every temporary file not yet committed or destroyed; later commits of them fail.
    static void RemoveAllTemporary();

private:
    PartialFile(std::string folder, std::string name, std::string temporaryPath, int fd);
    bool LinkUnderFreeName(std::string* finalPath, std::string* reason);
    void Discard();

    std::string mFolder;
    std::string mName;
    std::string mTemporaryPath;
    int mFd;
};
