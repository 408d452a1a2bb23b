#include "QVWebClientBase.h"

#include "json_msg_param.h"

#include "Platform/Clock/Clock.h"
#include "Platform/SystemLog/SystemLog.h"

CQVWebClientBase::CQVWebClientBase()
    : mLogger(nullptr),
      mRefCon(static_cast<unsigned int>(static_cast<int64_t>(CFAbsoluteTimeGetCurrent()))),
      mFileTransferLimit(INT32_MAX),
      mListCalls(nullptr)
{
    Register();
}

CQVWebClientBase::~CQVWebClientBase()
{
    Unregister();
    WC_DeleteIfObject(mLogger);
}

bool CQVWebClientBase::Initialize(xwstring&) { return false; }
bool CQVWebClientBase::SelectFilesToUpload() { return false; }
bool CQVWebClientBase::SelectDownloadLocation() { return false; }
bool CQVWebClientBase::VerifyFileSelection(json_xwstringset&) { return false; }

bool CQVWebClientBase::ExecuteRequest(wchar_t* request)
{
    const SystemLogBatch batch;  // the request's lines leave in one write
    if (mLogger)
        mLogger->DebugMsg("ExecuteRequest");
    if (!request) {
        if (mLogger)
            mLogger->Error("Invalid request");
        return false;
    }
    const xwstring text(request);
    json_object* parsed = json_tokener_parse(static_cast<const char*>(text));
    bool valid = false;
    if (!json_msg_is_absent(parsed) && json_object_is_type(parsed, json_type_object)) {
        const json_msg_param<const char*> type(parsed, "type");
        valid = type == "Request";
    }
    if (!valid) {
        if (mLogger)
            mLogger->Error("Invalid request");
        if (!json_msg_is_absent(parsed))
            json_object_put(parsed);
        return false;
    }

    bool result = false;
    const json_msg_param<char*> code(parsed, "code");
    if (code == "SelectFilesToUpload")
        result = SelectFilesToUpload();
    else if (code == "DeleteFilesFromUploadList")
        result = DeleteFilesFromUploadList(parsed);
    else if (code == "SelectDownloadLocation")
        result = SelectDownloadLocation();
    else if (code == "QueueFilesForUpload")
        result = QueueFilesForUpload(parsed);
    else if (code == "StartUpload")
        result = StartUpload(parsed);
    else if (code == "StartDownload")
        result = StartDownload(parsed);
    else if (code == "SetParameter")
        result = SetParameter(parsed);
    else if (code == "Reset")
        result = Reset();
    json_object_put(parsed);
    return result;
}
