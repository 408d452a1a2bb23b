// The platform half of one plug-in instance: logger wiring, the Assistant link (launch, request
// events, status events), the file dialogs and the adding of picked items.
#pragma once

#include "AssistantLink.h"
#include "QVWebClientBase.h"

#include "AEDescUtils.h"
#include "Platform/AppleEvents/AppleEvents.h"
#include "Platform/CFString/CFString.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/FileManager/FileManager.h"

#include <memory>
#include <string>
#include <vector>

// One look-up of the Assistant among the running applications; psn is zero when it is absent.
bool FindAProcess(ProcessSerialNumber& psn);

class CQVWebClientBaseMac : public CQVWebClientBase {
public:
    using CQVWebClientBase::AddFiles;
    using CQVWebClientBase::Initialize;

    CQVWebClientBaseMac();
    ~CQVWebClientBaseMac() override;

    // Slots this class defines or adds, in slot order.
    bool Initialize(xwstring& text) override;
    void CreateLogger() override;
    bool ProxyExecuteRequest(wchar_t* request) override;
    bool AddFiles(json_xwstringset& paths) override;
    bool SelectFilesToUpload() override;
    bool SelectDownloadLocation() override;
    bool VerifyFileSelection(json_xwstringset& paths) override;
    bool RetrieveErrorString(tErrorStringID id, xwstring& text) override;
    virtual void Log(const char* text) = 0;
    virtual void HandleStatusEvent(const AEDesc* event);
    virtual void GetFSItemFullPosixPathFromURLString(const char* urlString, CFStringRef* outPath);

    static void WriteToLog(long context, const char* line);
    bool FindAssistantApplication(ProcessSerialNumber& psn);
    int AEHandleAssistantRequest(AEDesc& target, const std::string& request);

    // One handler for status events serves every instance of the process.
    static void InstallAEHandlers();
    static void RemoveAEHandlers();
    static OSErr StatusAppleEventHandler(const AppleEvent* event, AppleEvent* reply, SRefCon handlerRefcon);

    bool AddArrayOfFiles(const std::vector<std::string>& paths);
    static bool EnumerationCallback(const char* path, const char* relativeBase, FSCatalogInfo* info, void* context);
    void SetDownloadLocation(const char* path);

    // The wall clock and the sleep of the launch wait, replaceable so tests need not wait.
    struct WaitClock {
        long (*now)();
        void (*sleepMicroseconds)(unsigned int microseconds);
    };
    static void SetWaitClock(const WaitClock& clock);

    // Expires when the instance is destroyed. Code that calls out to the page or runs a dialog's
    // nested main loop checks it before it touches the instance again.
    std::weak_ptr<const bool> Lifetime() const { return mLifetime; }

protected:
    int32_t mSupportDragDrop;

private:
    class PickedFiles;

    void ReportRequestTooLarge(size_t size);

    std::shared_ptr<const bool> mLifetime = std::make_shared<const bool>(true);
    static AEEventHandlerUPP sStatusAEHandlerUPP;
    static int32_t sStatusAEHandlerUPPRefCount;
};
