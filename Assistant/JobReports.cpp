#include "JobReports.h"

#include "AssistantLog.h"
#include "DestinationPaths.h"
#include "Notifications.h"

namespace {
// The words and members that depend on the kind of transfer.
struct KindTerms {
    const char* request;  // "request" of "TransferStarted"
    const char* noun;     // in the log
    const char* fileKey;  // names the file in "FileFailed" and "TransferProgress"
    const char* doneKey;  // the files that arrived, in "TransferComplete" and "TransferFailed"
    const char* done;     // in the log
};
const KindTerms kTerms[] = {
    {"StartUpload", "upload", "file_path", "files_sent", "sent"},
    {"StartDownload", "download", "url", "files_received", "received"},
};

const KindTerms& TermsOf(const Job& job) { return kTerms[job.Upload() ? 0 : 1]; }

std::string ProcessName(const ProcessSerialNumber& psn)
{
    return std::to_string(psn.highLongOfPSN) + "-" + std::to_string(psn.lowLongOfPSN);
}

std::string JobName(const Job& job) { return "Job " + std::to_string(job.number); }

Notification Of(const Job& job, const char* code) { return Notification(code, job.request.job, job.number); }

uint64_t Count(unsigned files) { return static_cast<uint64_t>(files); }
}  // namespace

void JobReports::Send(const Job& job, const Notification& notification)
{
    mStatus.Send(job.address, notification.Text());
}

void JobReports::Refused(const Job& job, const std::string& reason)
{
    AssistantLog(LogLevel::warning,
                 JobName(job) + " from process " + ProcessName(job.address.process) + " refused: " + reason);
    Send(job, Of(job, "TransferFailed").Add("reason", reason));
}

void JobReports::Started(const Job& job)
{
    const KindTerms& terms = TermsOf(job);
    const size_t count = job.request.entries.size();
    AssistantLog(LogLevel::info, JobName(job) + " from process " + ProcessName(job.address.process) + ": " +
                                     terms.noun + " of " + std::to_string(count) + " files to " +
                                     ShownUrl(job.root));
    Send(job, Of(job, "TransferStarted")
                  .Add("request", std::string(terms.request))
                  .Add("destination", ShownUrl(job.root))
                  .Add("file_count", static_cast<uint64_t>(count))
                  .Add("byte_total", job.progress.Total()));
}

void JobReports::Progress(const Job& job, const JobProgress::Report& report)
{
    Notification progress = Of(job, "TransferProgress");
    progress.Add("bytes_done", report.done).Add("bytes_total", report.total);
    if (report.moving) {
        progress.Add(TermsOf(job).fileKey, ShownUrl(job.request.entries[report.file].source));
        progress.Add("file_bytes_done", report.fileDone).Add("file_bytes_total", report.fileTotal);
    }
    mStatus.Send(job.address, progress.Text(), job.number);
}

void JobReports::Sent(const Job& job)
{
    json_object* files = json_object_new_array_ext(static_cast<int>(job.sentBatch.size()));
    for (const size_t index : job.sentBatch)
        json_object_array_add(files, json_object_get(job.request.entries[index].original));
    AssistantLog(LogLevel::info, JobName(job) + ": FileSent, " + std::to_string(job.sentBatch.size()) + " files");
    Send(job, Of(job, "FileSent").Add("files_ul", files));
}

void JobReports::SentAs(const Job& job, size_t index, const std::string& finalPath)
{
    const TransferEntry& entry = job.request.entries[index];
    AssistantLog(LogLevel::info, JobName(job) + ": " + entry.source + " sent as " + finalPath + ", since \"" +
                                     entry.name + "\" was taken");
}

void JobReports::Received(const Job& job, size_t index, const std::string& path, uint64_t size)
{
    const TransferEntry& entry = job.request.entries[index];
    Send(job, Of(job, "FileReceived")
                  .Add("url", ShownUrl(entry.source))
                  .Add("relative_path", entry.sourceRelativePath)
                  .Add("path", path)
                  .Add("size", size));
}

void JobReports::FileFailed(const Job& job, size_t index, const std::string& reason)
{
    const TransferEntry& entry = job.request.entries[index];
    AssistantLog(LogLevel::warning, JobName(job) + ": FileFailed " + ShownUrl(entry.source) + ": " + reason);
    Send(job, Of(job, "FileFailed")
                  .Add(TermsOf(job).fileKey, ShownUrl(entry.source))
                  .Add("relative_path", entry.sourceRelativePath)
                  .Add("reason", reason));
}

void JobReports::Complete(const Job& job)
{
    const KindTerms& terms = TermsOf(job);
    AssistantLog(LogLevel::info, JobName(job) + ": TransferComplete, " + std::to_string(job.succeeded) + " " +
                                     terms.done + ", " + std::to_string(job.failed) + " failed");
    Send(job, Of(job, "TransferComplete")
                  .Add(terms.doneKey, Count(job.succeeded))
                  .Add("files_failed", Count(job.failed))
                  .Add("bytes_done", job.progress.Arrived()));
}

void JobReports::Stopped(const Job& job)
{
    const uint64_t left = job.request.entries.size() - job.succeeded - job.failed;
    Send(job, Of(job, "TransferFailed")
                  .Add("reason", std::string("The Assistant was stopped before the job was done"))
                  .Add(TermsOf(job).doneKey, Count(job.succeeded))
                  .Add("files_failed", Count(job.failed))
                  .Add("files_left", left));
}
