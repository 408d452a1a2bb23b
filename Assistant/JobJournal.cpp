#include "JobJournal.h"

#include "AssistantLog.h"
#include "OpenFolders.h"
#include "PartialFile.h"
#include "TransferRequest.h"
#include "WorkerPool.h"

#include <glib.h>
#include <json-c/json.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
unsigned sCreated = 0;

std::string JsonLine(json_object* object)
{
    std::string line = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(object);
    return line + "\n";
}

json_object* Record(const char* kind, size_t index)
{
    json_object* record = json_object_new_array();
    json_object_array_add(record, json_object_new_string(kind));
    json_object_array_add(record, json_object_new_int64(static_cast<int64_t>(index)));
    return record;
}

bool WriteAll(int fd, const std::string& data)
{
    for (size_t written = 0; written < data.size();) {
        const ssize_t step = write(fd, data.data() + written, data.size() - written);
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0)
            return false;
        written += static_cast<size_t>(step);
    }
    return true;
}

// One source's identity in the sources line: [size,modified,inode], or null when unknown. Numbers
// only, so written directly: a job of many files has as many of them.
void AppendIdentity(const SourceIdentity& source, bool comma, std::string* line)
{
    if (comma)
        *line += ',';
    if (!source.known) {
        *line += "null";
        return;
    }
    *line += '[' + std::to_string(source.size) + ',' + std::to_string(source.modifiedNs) + ',' +
             std::to_string(source.inode) + ']';
}

int64_t Int(json_object* array, size_t at)
{
    return json_object_get_int64(json_object_array_get_idx(array, at));
}
}  // namespace

SourceIdentity SourceIdentity::Of(const std::string& path, int folderFd)
{
    SourceIdentity identity;
    struct stat info;
    if (fstatat(folderFd, path.c_str(), &info, 0) != 0)
        return identity;
    identity.known = true;
    identity.size = static_cast<uint64_t>(info.st_size);
    identity.modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    identity.inode = static_cast<uint64_t>(info.st_ino);
    return identity;
}

std::string JobJournal::Folder()
{
    const std::string folder = std::string(g_get_user_state_dir()) + "/qiravel/jobs";
    g_mkdir_with_parents(folder.c_str(), 0700);
    chmod(folder.c_str(), 0700);
    return folder;
}

std::unique_ptr<JobJournal> JobJournal::Create(std::string requestText, const StatusAddress& address,
                                               const TransferRequest& request, std::string* reason)
{
    std::unique_ptr<JobJournal> journal(new JobJournal());
    journal->mAddress = address;
    json_object* header = json_object_new_object();
    json_object* process = json_object_new_array();
    json_object_array_add(process, json_object_new_int64(address.process.highLongOfPSN));
    json_object_array_add(process, json_object_new_int64(address.process.lowLongOfPSN));
    json_object_object_add(header, "process", process);
    json_object_object_add(header, "refcon_type", json_object_new_int64(address.refConType));
    gchar* refCon = g_base64_encode(address.refCon.data(), address.refCon.size());
    json_object_object_add(header, "refcon", json_object_new_string(refCon));
    g_free(refCon);
    json_object_object_add(header, "request_bytes", json_object_new_int64(static_cast<int64_t>(requestText.size())));
    std::string sources = "[";
    OpenFolders folders(true);
    journal->mSources.reserve(request.entries.size());
    for (const TransferEntry& entry : request.entries) {
        SourceIdentity identity;
        std::string ignored;
        // Upload sources are absolute paths, each looked up by its name in its folder.
        const size_t slash = entry.source.rfind('/');
        const int folder = request.kind == TransferKind::upload && entry.problem.empty()
                               ? folders.Get(slash ? entry.source.substr(0, slash) : "/", false, &ignored)
                               : -1;
        if (folder >= 0)
            identity = SourceIdentity::Of(entry.source.substr(slash + 1), folder);
        journal->mSources.push_back(identity);
        AppendIdentity(identity, sources.size() > 1, &sources);
    }
    sources += "]\n";
    journal->mRequestText = std::move(requestText);
    const std::string headerLine = JsonLine(header);

    const std::string folder = Folder();
    journal->mPath = folder + "/" + std::to_string(time(nullptr)) + "-" + std::to_string(getpid()) + "-" +
                     std::to_string(++sCreated) + ".job";
    journal->mFd = open(journal->mPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (journal->mFd < 0 || !WriteAll(journal->mFd, headerLine) || !WriteAll(journal->mFd, journal->mRequestText) ||
        !WriteAll(journal->mFd, "\n" + sources) || fdatasync(journal->mFd) != 0) {
        *reason = std::string("Could not write the job's journal in \"") + folder + "\": " + g_strerror(errno);
        journal->Remove();
        return nullptr;
    }
    PartialFile::SyncFolder(folder);
    return journal;
}

std::unique_ptr<JobJournal> JobJournal::Load(const std::string& path, std::string* reason)
{
    gchar* contents = nullptr;
    gsize length = 0;
    GError* error = nullptr;
    if (!g_file_get_contents(path.c_str(), &contents, &length, &error)) {
        *reason = error->message;
        g_error_free(error);
        return nullptr;
    }
    const std::string text(contents, length);
    g_free(contents);
    std::unique_ptr<JobJournal> journal(new JobJournal());
    journal->mPath = path;
    // The header line, the request (its length given by the header) and its line break, the sources line.
    const size_t headerEnd = text.find('\n');
    json_object* header = headerEnd == std::string::npos ? nullptr : json_tokener_parse(text.substr(0, headerEnd).c_str());
    json_object *process = nullptr, *refConType = nullptr, *refCon = nullptr, *requestBytes = nullptr, *sources = nullptr;
    bool whole = header && json_object_object_get_ex(header, "process", &process) &&
                 json_object_is_type(process, json_type_array) && json_object_array_length(process) == 2 &&
                 json_object_object_get_ex(header, "refcon_type", &refConType) &&
                 json_object_object_get_ex(header, "refcon", &refCon) &&
                 json_object_object_get_ex(header, "request_bytes", &requestBytes) &&
                 json_object_is_type(requestBytes, json_type_int);
    const int64_t requestLength = whole ? json_object_get_int64(requestBytes) : -1;
    const size_t requestEnd = headerEnd + 1 + static_cast<size_t>(std::max<int64_t>(requestLength, 0));
    whole = whole && requestLength >= 0 && requestEnd < text.size() && text[requestEnd] == '\n';
    const size_t sourcesEnd = whole ? text.find('\n', requestEnd + 1) : std::string::npos;
    if (sourcesEnd != std::string::npos)
        sources = json_tokener_parse(text.substr(requestEnd + 1, sourcesEnd - requestEnd - 1).c_str());
    whole = whole && json_object_is_type(sources, json_type_array);
    if (whole) {
        journal->mRequestText = text.substr(headerEnd + 1, static_cast<size_t>(requestLength));
        journal->mAddress.process = {static_cast<UInt32>(Int(process, 0)), static_cast<UInt32>(Int(process, 1))};
        journal->mAddress.refConType = static_cast<DescType>(json_object_get_int64(refConType));
        gsize size = 0;
        guchar* bytes = g_base64_decode(json_object_get_string(refCon), &size);
        journal->mAddress.refCon.assign(bytes, bytes + size);
        g_free(bytes);
        for (size_t i = 0; i < json_object_array_length(sources); ++i) {
            json_object* source = json_object_array_get_idx(sources, i);
            SourceIdentity identity;
            if (json_object_is_type(source, json_type_array) && json_object_array_length(source) == 3)
                identity = {true, static_cast<uint64_t>(Int(source, 0)), Int(source, 1), static_cast<uint64_t>(Int(source, 2))};
            journal->mSources.push_back(identity);
        }
    }
    json_object_put(header);
    json_object_put(sources);
    if (!whole) {
        *reason = "its first lines are not a job";
        return nullptr;
    }
    // A last line without its line break was cut by the crash and is left out.
    for (size_t start = sourcesEnd + 1, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        if (!journal->Replay(text.substr(start, end - start))) {
            *reason = "a record is damaged";
            return nullptr;
        }
    }
    journal->mFd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (journal->mFd < 0) {
        *reason = g_strerror(errno);
        return nullptr;
    }
    return journal;
}

bool JobJournal::Replay(const std::string& line)
{
    json_object* record = json_tokener_parse(line.c_str());
    const size_t length = json_object_is_type(record, json_type_array) ? json_object_array_length(record) : 0;
    const std::string kind = length >= 2 ? json_object_get_string(json_object_array_get_idx(record, 0)) : "";
    const int64_t index = length >= 2 ? Int(record, 1) : -1;
    const char* text = length >= 3 ? json_object_get_string(json_object_array_get_idx(record, length - 1)) : "";
    bool ok = index >= 0 && static_cast<size_t>(index) < mSources.size();
    const size_t at = static_cast<size_t>(index);
    if (ok && kind == "d" && length == 2)
        mDone.insert(at);
    else if (ok && kind == "f" && length == 2)
        mFailed.insert(at);
    else if (ok && kind == "u" && length == 3)
        mUploadIds[at] = text;
    else if (ok && kind == "t" && length == 3)
        mPartialPaths[at] = text;
    else
        ok = ok && kind == "p" && length == 4;
    json_object_put(record);
    return ok;
}

JobJournal::~JobJournal()
{
    if (mFd >= 0)
        close(mFd);
}

SourceIdentity JobJournal::Source(size_t index) const
{
    return index < mSources.size() ? mSources[index] : SourceIdentity();
}

std::string JobJournal::UploadId(size_t index) const
{
    const auto found = mUploadIds.find(index);
    return found == mUploadIds.end() ? std::string() : found->second;
}

std::string JobJournal::PartialPath(size_t index) const
{
    const auto found = mPartialPaths.find(index);
    return found == mPartialPaths.end() ? std::string() : found->second;
}

std::set<std::string> JobJournal::PartialPaths() const
{
    std::set<std::string> paths;
    for (const auto& partial : mPartialPaths) {
        if (!Done(partial.first) && !Failed(partial.first))
            paths.insert(partial.second);
    }
    return paths;
}

void JobJournal::FileEnded(size_t index, bool ok)
{
    (ok ? mDone : mFailed).insert(index);
    // Written directly: a job of many small files ends as many of them.
    mPending += std::string(ok ? "[\"d\"," : "[\"f\",") + std::to_string(index) + "]\n";
}

void JobJournal::UploadStarted(size_t index, const std::string& uploadId)
{
    mUploadIds[index] = uploadId;
    json_object* record = Record("u", index);
    json_object_array_add(record, json_object_new_string(uploadId.c_str()));
    Append(JsonLine(record), true);
}

void JobJournal::PartStored(size_t index, unsigned number, const std::string& etag)
{
    json_object* record = Record("p", index);
    json_object_array_add(record, json_object_new_int64(number));
    json_object_array_add(record, json_object_new_string(etag.c_str()));
    Append(JsonLine(record), false);
}

void JobJournal::PartialOpened(size_t index, const std::string& path)
{
    mPartialPaths[index] = path;
    json_object* record = Record("t", index);
    json_object_array_add(record, json_object_new_string(path.c_str()));
    Append(JsonLine(record), true);
}

// Each record is written at once, so that it outlives a killed process; the syncs that make
// records outlive a crash of the system are shared by all those written in between.
void JobJournal::Append(const std::string& record, bool now)
{
    mPending += record;
    Write();
    if (now)
        Flush();
}

void JobJournal::Write()
{
    if (mPending.empty() || mFd < 0)
        return;
    if (!WriteAll(mFd, mPending))
        AssistantLog(LogLevel::warning, "Could not write the journal \"" + mPath + "\": " + g_strerror(errno));
    mPending.clear();
    mUnsynced = true;
}

void JobJournal::Flush(WorkerPool* pool)
{
    Write();
    if (!mUnsynced || mFd < 0)
        return;
    mUnsynced = false;
    // The pool syncs a descriptor of its own, which stays valid when the journal is closed.
    const int fd = pool ? fcntl(mFd, F_DUPFD_CLOEXEC, 0) : mFd;
    const std::string path = mPath;
    auto sync = [fd, path, pool] {
        if (fd >= 0 && fdatasync(fd) != 0)
            AssistantLog(LogLevel::warning, "Could not sync the journal \"" + path + "\": " + g_strerror(errno));
        if (pool && fd >= 0)
            close(fd);
    };
    if (pool)
        pool->Submit(sync);
    else
        sync();
}

void JobJournal::Remove()
{
    if (mFd >= 0)
        close(mFd);
    mFd = -1;
    if (!mPath.empty())
        unlink(mPath.c_str());
}
