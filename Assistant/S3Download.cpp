#include "S3Download.h"

void SignS3Download(const S3Object& object, HttpTransfer* transfer)
{
    const S3Address address = S3AddressOf(*object.settings, object.bucket, object.key);
    const std::shared_ptr<const S3Settings> settings = object.settings;
    transfer->url = address.url;
    transfer->headers = [settings, address] {
        return S3SignedHeaderLines(*settings, "GET", address, Sha256Hex(""), {});
    };
    const std::function<void(HttpOutcome)> finished = std::move(transfer->finished);
    transfer->finished = [settings, finished](HttpOutcome outcome) {
        if (!outcome.ok)
            outcome.reason = S3OutcomeReason(outcome, *settings);
        finished(std::move(outcome));
    };
}
