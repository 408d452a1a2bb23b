// Everything a job tells: each notification to the requesting process and its line in the
// Assistant's log, built in one place. The members that differ between uploads and downloads come
// from one table.
#pragma once

#include "Job.h"
#include "StatusSender.h"

#include <cstdint>
#include <string>

class Notification;

class JobReports {
public:
    explicit JobReports(StatusSender* status) : mStatus(*status) {}

    // The request could not be run ("TransferFailed" with the reason alone).
    void Refused(const Job& job, const std::string& reason);
    void Started(const Job& job);
    void Progress(const Job& job, const JobProgress::Report& report);
    // "FileSent" for the job's sent batch, which the caller keeps within the limit and clears.
    void Sent(const Job& job);
    // A log line only: the file was stored under another name than its own.
    void SentAs(const Job& job, size_t index, const std::string& finalPath);
    void Received(const Job& job, size_t index, const std::string& path, uint64_t size);
    void FileFailed(const Job& job, size_t index, const std::string& reason);
    void Complete(const Job& job);
    // The Assistant stopped before the job was done ("TransferFailed" with the counts).
    void Stopped(const Job& job);

private:
    void Send(const Job& job, const Notification& notification);

    StatusSender& mStatus;
};
