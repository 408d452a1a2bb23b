// Requests that hand a transfer to the Assistant, change a setting, or reset the instance.
#include "QVWebClientBase.h"

#include "json_msg_param.h"

#include <string>
#include <strings.h>
#include <vector>

bool CQVWebClientBase::ForwardRequestWithMember(json_object* request, const char* name, json_object* value)
{
    bool result = false;
    try {
        // Members the page sent under the same name, in any letter case, are replaced by this one,
        // which comes last.
        std::vector<std::string> sent;
        json_object_object_foreach(request, key, member)
        {
            (void)member;
            if (strcasecmp(key, name) == 0)
                sent.push_back(key);
        }
        for (const std::string& key : sent)
            json_object_object_del(request, key.c_str());
        json_object_object_add(request, name, value);
        xwstring text(json_object_to_json_string(request));
        result = ProxyExecuteRequest(static_cast<wchar_t*>(text));
    } catch (...) {
        result = false;
    }
    if (!result && mLogger)
        mLogger->Error("Failed to pass request to file transfer proxy");
    return result;
}

bool CQVWebClientBase::StartUpload(json_object* request)
{
    if (mLogger)
        mLogger->DebugMsg("StartUpload");
    json_object* files = nullptr;
    if (!mUploadList.ToJSON(files)) {
        if (mLogger)
            mLogger->Error("Failed to convert list of files to JSON");
        return false;
    }
    return ForwardRequestWithMember(request, "files_ul", files);
}

bool CQVWebClientBase::StartDownload(json_object* request)
{
    if (mLogger)
        mLogger->DebugMsg("StartDownload");
    const char* folder = mDownloadLocation;
    if (!folder || !*folder) {
        if (mLogger)
            mLogger->Error("Download location not specified");
        return false;
    }
    const std::string sent = folder;
    const bool result = ForwardRequestWithMember(request, "dest_path", json_object_new_string(folder));
    // Callbacks of the page run during the hand-over and may choose another folder: only the one
    // sent is used up.
    const char* current = mDownloadLocation;
    if (result && current && sent == current)
        mDownloadLocation.Clear();
    return result;
}

bool CQVWebClientBase::SetParameter(json_object* request)
{
    if (mLogger)
        mLogger->DebugMsg("SetParameter");
    const json_msg_param<char*> name(request, "name");
    if (!(name == "FileTransferLimit")) {
        if (mLogger)
            mLogger->Error("Invalid plug-in parameter: %s", static_cast<char*>(name));
        return false;
    }
    const int value = json_msg_param<int>(request, "value");
    if (value < 1) {
        if (mLogger)
            mLogger->Warning("Invalid upload limit specified: %d", value);
        return false;
    }
    mFileTransferLimit = value;
    return true;
}

bool CQVWebClientBase::Reset()
{
    if (mLogger)
        mLogger->DebugMsg("Reset");
    mFileTransferLimit = INT32_MAX;
    mDownloadLocation.Clear();
    ClearUploadList();
    return true;
}
