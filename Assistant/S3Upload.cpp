#include "S3Upload.h"

#include "AssistantLog.h"
#include "LocalCopy.h"
#include "MainThread.h"
#include "PayloadDigest.h"
#include "S3Answer.h"
#include "S3PartList.h"

#include <glib.h>

#include <cerrno>
#include <unistd.h>

namespace {
const uint64_t kLargestSinglePut = 16ull << 20;
const size_t kDigestChunk = 1 << 20;
const char kStopped[] = "The Assistant was stopped before the file was complete";
const char kNotAsSent[] = "The server's checksum of the stored file does not match the parts sent";

std::string HexOf(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        text += digits[static_cast<unsigned char>(c) >> 4];
        text += digits[static_cast<unsigned char>(c) & 15];
    }
    return text;
}

std::string Base64Of(const std::string& bytes)
{
    gchar* text = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    const std::string encoded = text;
    g_free(text);
    return encoded;
}

std::string Md5Of(const std::string& data)
{
    GChecksum* md5 = g_checksum_new(G_CHECKSUM_MD5);
    g_checksum_update(md5, reinterpret_cast<const guchar*>(data.data()), static_cast<gssize>(data.size()));
    guint8 digest[16];
    gsize length = sizeof digest;
    g_checksum_get_digest(md5, digest, &length);
    g_checksum_free(md5);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

// Reads length bytes of the file from offset and computes their MD5 and SHA-256; for a length of
// UINT64_MAX, the whole file when it is small enough for one PUT, else nothing. Fills the file's
// size; false with a reason.
bool DigestRange(const std::string& path, uint64_t offset, uint64_t length, uint64_t* fileSize,
                 S3Upload::Digest* digest, std::string* reason)
{
    struct stat info;
    const int fd = OpenSourceFile(path, &info, reason);
    if (fd < 0)
        return false;
    *fileSize = static_cast<uint64_t>(info.st_size);
    if (length == UINT64_MAX)
        length = *fileSize <= kLargestSinglePut ? *fileSize : 0;
    PayloadDigest payload;
    std::string buffer(kDigestChunk, '\0');
    bool ok = true;
    for (uint64_t done = 0; ok && done < length;) {
        const ssize_t step = pread(fd, &buffer[0], std::min<uint64_t>(kDigestChunk, length - done),
                                   static_cast<off_t>(offset + done));
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0) {
            *reason = step < 0 ? std::string("Could not read the file: ") + g_strerror(errno)
                               : "The file became shorter while it was sent";
            ok = false;
            break;
        }
        payload.Update(buffer.data(), static_cast<size_t>(step));
        done += static_cast<uint64_t>(step);
    }
    close(fd);
    std::string sha256;
    if (ok && !payload.Finish(&digest->md5, &sha256)) {
        *reason = "Could not compute the file's checksums";
        ok = false;
    }
    digest->sha256 = HexOf(sha256);
    return ok;
}

// Replaces every occurrence of the secret in the text.
void Hide(const std::string& secret, std::string* text)
{
    if (secret.empty())
        return;
    for (size_t at = text->find(secret); at != std::string::npos; at = text->find(secret, at))
        text->replace(at, secret.size(), "(hidden)");
}
}  // namespace

std::string S3OutcomeReason(const HttpOutcome& outcome, const S3Settings& settings)
{
    std::string reason = outcome.status >= 300 ? S3FailureReason(outcome.status, outcome.answer) : outcome.reason;
    Hide(settings.credentials.secretAccessKey, &reason);
    Hide(settings.credentials.sessionToken, &reason);
    return reason;
}

void S3Upload::Start(const S3Context& context, std::shared_ptr<RequestSlots> slots, S3Object object,
                     std::string sourcePath, std::shared_ptr<FileProgress> progress, Finished finished,
                     S3UploadJournal journal)
{
    std::shared_ptr<S3Upload> upload(new S3Upload());
    upload->mContext = context;
    upload->mSlots = std::move(slots);
    upload->mObject = std::move(object);
    upload->mSourcePath = std::move(sourcePath);
    upload->mProgress = std::move(progress);
    upload->mFinished = std::move(finished);
    upload->mUploadId = journal.uploadId;
    upload->mJournal = std::move(journal);
    upload->Begin();
}

void S3Upload::Digests(uint64_t offset, uint64_t length, std::function<void(bool, uint64_t, Digest, std::string)> done)
{
    const std::weak_ptr<int> lifetime = mContext.lifetime;
    const std::string path = mSourcePath;
    mContext.pool->Submit([lifetime, path, offset, length, done] {
        uint64_t size = 0;
        Digest digest;
        std::string reason;
        const bool ok = DigestRange(path, offset, length, &size, &digest, &reason);
        RunOnMainThread([lifetime, done, ok, size, digest, reason] {
            if (!lifetime.expired())
                done(ok, size, digest, reason);
        });
    });
}

void S3Upload::Send(HttpTransfer transfer, const std::string& method, const S3Query& query,
                    const std::string& payloadHash, std::vector<std::pair<std::string, std::string>> extra,
                    std::function<void(HttpOutcome)> done)
{
    // Work that was under way when the Assistant stopped sends nothing more.
    if (Stopped()) {
        HttpOutcome outcome;
        outcome.reason = kStopped;
        return done(std::move(outcome));
    }
    const S3Address address = S3AddressOf(*mObject.settings, mObject.bucket, mObject.key, query);
    const std::shared_ptr<const S3Settings> settings = mObject.settings;
    transfer.url = address.url;
    transfer.progress = mProgress;
    transfer.headers = [settings, method, address, payloadHash, extra] {
        return S3SignedHeaderLines(*settings, method, address, payloadHash, extra);
    };
    const std::weak_ptr<int> lifetime = mContext.lifetime;
    transfer.finished = [lifetime, done](HttpOutcome outcome) {
        RunOnMainThread([lifetime, done, outcome] {
            if (!lifetime.expired())
                done(outcome);
        });
    };
    mContext.http->Start(std::move(transfer));
}

void S3Upload::Begin()
{
    auto self = shared_from_this();
    Queue([self] {
        if (self->Stopped()) {
            self->Release();
            return self->Finish(false, kStopped);
        }
        // A file small enough for one PUT is hashed whole in the pass that finds its size.
        self->Digests(0, UINT64_MAX, [self](bool ok, uint64_t size, Digest digest, std::string reason) {
            if (!ok) {
                self->Release();
                return self->Finish(false, reason);
            }
            self->mProgress->total = size;
            if (size <= kLargestSinglePut)
                return self->PutWhole(size, digest);
            self->Release();
            self->Initiate(size);
        });
    });
}

void S3Upload::PutWhole(uint64_t size, const Digest& digest)
{
    auto self = shared_from_this();
    HttpTransfer transfer;
    transfer.method = HttpTransfer::Method::put;
    transfer.sourcePath = mSourcePath;
    transfer.length = static_cast<int64_t>(size);
    Send(std::move(transfer), "PUT", {}, digest.sha256, {{"Content-MD5", Base64Of(digest.md5)}},
         [self, digest](HttpOutcome outcome) {
             self->Release();
             if (!outcome.ok)
                 return self->Finish(false, S3OutcomeReason(outcome, *self->mObject.settings));
             if (outcome.etag != "\"" + HexOf(digest.md5) + "\"")
                 return self->Finish(false, "The server's checksum of the stored file does not match the file");
             self->Finish(true, {});
         });
}

void S3Upload::Initiate(uint64_t size)
{
    mSize = size;
    mPartSize = S3PartSize(*mObject.settings, size);
    mPartCount = static_cast<unsigned>((size + mPartSize - 1) / mPartSize);
    if (!mUploadId.empty())
        return ListStoredParts(0);
    auto self = shared_from_this();
    Queue([self] {
        if (self->Stopped()) {
            self->Release();
            return self->Finish(false, kStopped);
        }
        HttpTransfer transfer;
        transfer.method = HttpTransfer::Method::post;
        self->Send(std::move(transfer), "POST", {{"uploads", ""}}, Sha256Hex(""), {}, [self](HttpOutcome outcome) {
            self->Release();
            if (!outcome.ok)
                return self->Finish(false, S3OutcomeReason(outcome, *self->mObject.settings));
            S3Answer answer;
            if (!ParseS3Answer(outcome.answer, &answer) || answer.Text("UploadId").empty())
                return self->Finish(false, "The server did not start the multipart upload");
            self->mUploadId = answer.Text("UploadId");
            if (self->mJournal.started)
                self->mJournal.started(self->mUploadId);
            self->SendParts();
        });
    });
}

// Going on with an upload an earlier run began: the parts it stored are listed, a page at a time.
// An upload the server no longer has starts afresh.
void S3Upload::ListStoredParts(unsigned marker)
{
    auto self = shared_from_this();
    Queue([self, marker] {
        HttpTransfer transfer;
        transfer.method = HttpTransfer::Method::get;
        const S3Query query = {{"part-number-marker", std::to_string(marker)}, {"uploadId", self->mUploadId}};
        self->Send(std::move(transfer), "GET", query, Sha256Hex(""), {}, [self, marker](HttpOutcome outcome) {
            self->Release();
            if (!outcome.ok && outcome.status == 404) {
                self->mUploadId.clear();
                return self->Initiate(self->mSize);
            }
            if (!outcome.ok)
                return self->Finish(false, S3OutcomeReason(outcome, *self->mObject.settings));
            S3PartList list;
            if (!ParseS3PartList(outcome.answer, &list) || (list.truncated && list.nextMarker <= marker))
                return self->Finish(false, "The server's list of the parts already sent could not be read");
            self->mStoredETags.insert(list.etags.begin(), list.etags.end());
            if (list.truncated)
                return self->ListStoredParts(list.nextMarker);
            self->SendParts();
        });
    });
}

void S3Upload::SendParts()
{
    auto self = shared_from_this();
    mPartsLeft = mPartCount;
    for (unsigned number = 1; number <= mPartCount; ++number)
        Queue([self, number] { self->SendPart(number); });
}

void S3Upload::SendPart(unsigned number)
{
    if (Stopped())
        Fail(kStopped);
    if (!mReason.empty()) {
        Release();
        return PartEnded();
    }
    auto self = shared_from_this();
    const uint64_t offset = (number - 1) * mPartSize;
    Digests(offset, std::min(mPartSize, mSize - offset), [self, number](bool ok, uint64_t, Digest digest, std::string reason) {
        if (!ok) {
            self->Release();
            self->Fail(reason);
            return self->PartEnded();
        }
        // A part an earlier run stored is kept when it holds the bytes the file has there now.
        const auto stored = self->mStoredETags.find(number);
        if (stored != self->mStoredETags.end() && stored->second == HexOf(digest.md5)) {
            self->Release();
            self->mPartMd5[number] = digest.md5;
            ++self->mPartsKept;
            self->mProgress->done += std::min(self->mPartSize, self->mSize - (number - 1) * self->mPartSize);
            return self->PartEnded();
        }
        self->PutPart(number, digest);
    });
}

void S3Upload::PutPart(unsigned number, const Digest& digest)
{
    auto self = shared_from_this();
    HttpTransfer transfer;
    transfer.method = HttpTransfer::Method::put;
    transfer.sourcePath = mSourcePath;
    transfer.offset = (number - 1) * mPartSize;
    transfer.length = static_cast<int64_t>(std::min(mPartSize, mSize - transfer.offset));
    const S3Query query = {{"partNumber", std::to_string(number)}, {"uploadId", mUploadId}};
    Send(std::move(transfer), "PUT", query, digest.sha256, {{"Content-MD5", Base64Of(digest.md5)}},
         [self, number, digest](HttpOutcome outcome) {
             self->Release();
             if (!outcome.ok)
                 self->Fail(S3OutcomeReason(outcome, *self->mObject.settings));
             else if (outcome.etag != "\"" + HexOf(digest.md5) + "\"")
                 self->Fail("The server's checksum of part " + std::to_string(number) + " does not match the file");
             else
                 self->mPartMd5[number] = digest.md5;
             if (outcome.ok && self->mJournal.partStored && self->mPartMd5.count(number))
                 self->mJournal.partStored(number, outcome.etag);
             self->PartEnded();
         });
}

void S3Upload::Queue(std::function<void()> start)
{
    if (const auto slots = mSlots.lock())
        slots->Queue(std::move(start));
}

void S3Upload::Release()
{
    if (const auto slots = mSlots.lock())
        slots->Release();
}

void S3Upload::Fail(const std::string& reason)
{
    if (mReason.empty())
        mReason = reason;
}

void S3Upload::PartEnded()
{
    if (--mPartsLeft > 0)
        return;
    if (!mReason.empty())
        return Stopped() ? Finish(false, mReason) : Abort();
    Complete();
}

void S3Upload::Complete()
{
    if (mPartsKept > 0)
        AssistantLog(LogLevel::info, "s3://" + mObject.bucket + "/" + mObject.key + ": " + std::to_string(mPartsKept) +
                                         " of " + std::to_string(mPartCount) + " parts were stored before and kept");
    std::string body = "<CompleteMultipartUpload>";
    std::string md5s;
    for (const auto& part : mPartMd5) {
        body += "<Part><PartNumber>" + std::to_string(part.first) + "</PartNumber><ETag>\"" + HexOf(part.second) +
                "\"</ETag></Part>";
        md5s += part.second;
    }
    body += "</CompleteMultipartUpload>";
    const std::string expected = "\"" + HexOf(Md5Of(md5s)) + "-" + std::to_string(mPartCount) + "\"";
    auto self = shared_from_this();
    Queue([self, body, expected] {
        HttpTransfer transfer;
        transfer.method = HttpTransfer::Method::post;
        transfer.body = body;
        self->Send(std::move(transfer), "POST", {{"uploadId", self->mUploadId}}, Sha256Hex(body), {},
                   [self, expected](HttpOutcome outcome) {
                       self->Release();
                       S3Answer answer;
                       const bool parsed = ParseS3Answer(outcome.answer, &answer);
                       // The server may report a failure inside a successful answer.
                       if (!outcome.ok || (parsed && answer.root == "Error")) {
                           outcome.status = outcome.ok ? 200 : outcome.status;
                           self->Fail(S3OutcomeReason(outcome, *self->mObject.settings));
                           return self->Abort();
                       }
                       // Some servers leave the answer's ETag empty: the object's own is asked for.
                       if (parsed && answer.Text("ETag").empty())
                           return self->CheckStoredETag(expected);
                       if (!parsed || answer.Text("ETag") != expected)
                           return self->Finish(false, kNotAsSent);
                       self->Finish(true, {});
                   });
    });
}

void S3Upload::CheckStoredETag(const std::string& expected)
{
    auto self = shared_from_this();
    Queue([self, expected] {
        HttpTransfer transfer;
        transfer.method = HttpTransfer::Method::head;
        self->Send(std::move(transfer), "HEAD", {}, Sha256Hex(""), {}, [self, expected](HttpOutcome outcome) {
            self->Release();
            if (!outcome.ok)
                return self->Finish(false, S3OutcomeReason(outcome, *self->mObject.settings));
            self->Finish(outcome.etag == expected, outcome.etag == expected ? "" : kNotAsSent);
        });
    });
}

void S3Upload::Abort()
{
    auto self = shared_from_this();
    Queue([self] {
        HttpTransfer transfer;
        transfer.method = HttpTransfer::Method::del;
        self->Send(std::move(transfer), "DELETE", {{"uploadId", self->mUploadId}}, Sha256Hex(""), {},
                   [self](HttpOutcome) {
                       self->Release();
                       self->Finish(false, self->mReason);
                   });
    });
}

void S3Upload::Finish(bool ok, const std::string& reason)
{
    const Finished finished = std::move(mFinished);
    mFinished = nullptr;
    if (finished)
        finished(ok, reason);
}
