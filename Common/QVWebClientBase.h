// The platform-neutral core of one plug-in instance: request dispatch, the instance registry,
// error reports, the upload list, transfers and parameters.
//
// Page callbacks (notifications, log lines) run inside the instance's calls and may call it again,
// but must not destroy it: its host defers a release that comes during a call until the outermost
// call has returned, as the browser's plug-in view does.
#pragma once

#include "FileList.h"
#include "Logger.h"
#include "xwstring.h"

#include <json-c/json.h>

#include <cstdint>
#include <map>

// A plain 32-bit integer rather than an enumeration: ReportError's variable arguments start after
// it, and va_start needs a parameter that default argument promotion leaves unchanged.
typedef int32_t tErrorStringID;
enum : tErrorStringID {
    kErrLaunchAssistant = 1,
    kErrTooManyFiles = 2,
    kErrFileNameTooLong = 3,
    kErrOSError = 4,
};

class CUploadListCall;

class CQVWebClientBase {
public:
    CQVWebClientBase();
    virtual ~CQVWebClientBase();

    CQVWebClientBase(const CQVWebClientBase&) = delete;
    CQVWebClientBase& operator=(const CQVWebClientBase&) = delete;

    // Virtual operations in slot order.
    virtual bool HandleNotification(const char* message);
    virtual bool NotifyBrowser(const char* json) = 0;
    virtual bool Initialize(xwstring& text);
    virtual bool ExecuteRequest(wchar_t* request);
    virtual void CreateLogger() = 0;
    virtual bool ProxyExecuteRequest(wchar_t* request) = 0;
    virtual bool AddFiles(json_xwstringset& paths) = 0;
    virtual bool QueueFilesForUpload(json_object* request);
    virtual bool CheckFilenameLength(const xwstring& path);
    virtual bool AddFiles(CFileList& files);
    virtual bool DeleteFiles(CFileList& files);
    virtual bool SelectFilesToUpload();
    virtual bool DeleteFilesFromUploadList(json_object* request);
    virtual bool SelectDownloadLocation();
    virtual bool VerifyFileSelection(json_xwstringset& paths);
    virtual bool StartUpload(json_object* request);
    virtual bool StartDownload(json_object* request);
    virtual bool SetParameter(json_object* request);
    virtual void ReportError(tErrorStringID id, ...);
    virtual bool RetrieveErrorString(tErrorStringID id, xwstring& text) = 0;
    virtual bool Reset();

    static CQVWebClientBase* GetPluginInstanceFromRefCon(unsigned int refCon);
    // Hands a notification text to the instance whose address is context.
    static bool NotificationCallback(const char* message, long context);

protected:
    // AddFiles for a list that the caller no longer needs: its entries move into the upload list
    // instead of being copied, and files is left empty.
    bool AddPickedFiles(CFileList& files);

    CLogger* mLogger;
    CFileList mUploadList;
    xwstring mDownloadLocation;
    unsigned int mRefCon;
    int32_t mFileTransferLimit;

    // Live instances by refCon.
    static std::map<unsigned int, CQVWebClientBase*> sPluginList;

private:
    // The AddFiles and DeleteFiles calls in progress, innermost first.
    CUploadListCall* mListCalls;

    void Register();
    void Unregister();
    // Adds the request's member (last, replacing one the page sent) and hands the request over.
    bool ForwardRequestWithMember(json_object* request, const char* name, json_object* value);
    bool AddEntries(CFileList& entries, bool move);
    std::pair<CFileList::iterator, bool> InsertIntoUploadList(CFileList::iterator last, CFileList& entries,
                                                              CFileList::iterator entry, bool move);
    // Sends one list notification; false when it could not be built or the page did not take it.
    bool NotifyFileListChange(const char* code, const CFileList::EntryRefs& entries, bool& built);
    // Changes of the upload list that the calls in progress must hear of (all but by, the caller).
    // Taking an entry off the list hands over its node (empty when the key was not there).
    CFileList::node_type TakeFromUploadList(const xwstring_pair& key, const CUploadListCall* by);
    bool RestoreToUploadList(const CFileList::value_type& entry);
    void ClearUploadList();
    // Logs the elements of a request's "files_ul" that were left out.
    void WarnRefused(const CRefusedElements& refused);
};
