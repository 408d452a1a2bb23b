// Construction, logger wiring, the Initialize response and the error texts.
#include "QVWebClientBaseMac.h"

#include "MessageEnvelope.h"

CQVWebClientBaseMac::CQVWebClientBaseMac() : mSupportDragDrop(0) {}

CQVWebClientBaseMac::~CQVWebClientBaseMac() = default;

bool CQVWebClientBaseMac::Initialize(xwstring& text)
{
    if (mLogger)
        mLogger->DebugMsg("Initialize");
    json_object* response = NewMessage("Response", "Initialize");
    if (response) {
        json_object_object_add(response, "support_dragdrop", json_object_new_boolean(mSupportDragDrop != 0));
        text = json_object_to_json_string(response);
        json_object_put(response);
    }
    return true;
}

void CQVWebClientBaseMac::CreateLogger()
{
    WC_DeleteIfObject(mLogger);
    mLogger = CLoggerFactory::CreateLogger();
    mLogger->SetOutputProc(&WriteToLog, reinterpret_cast<long>(this));
}

// Each line reaches the system log as the logger's bare text and again as this JSON message.
void CQVWebClientBaseMac::WriteToLog(long context, const char* line)
{
    WC_WriteToSyslog(line);
    if (context)
        reinterpret_cast<CQVWebClientBaseMac*>(context)->Log(line);
}

bool CQVWebClientBaseMac::RetrieveErrorString(tErrorStringID id, xwstring& text)
{
    switch (id) {
    case kErrLaunchAssistant:
        text = "Failed to launch Qiravel Assistant";
        return true;
    case kErrTooManyFiles:
        text = "Not allowed to queue more than %d files for sending";
        return true;
    case kErrFileNameTooLong:
        text = "Could not add '%s' for upload - the file name exceeds the maximum length of %d characters";
        return true;
    case kErrOSError:
        text = "Could not add '%s' for upload - an operating system error has occurred (%d)";
        return true;
    }
    if (mLogger)
        mLogger->Error("Unknown stringID specified %ld", static_cast<long>(id));
    return false;
}
