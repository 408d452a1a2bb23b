// An object downloaded from an S3 bucket: a GET into a partial file like any download, signed
// afresh for each attempt, its failures told with the server's error code and message.
#pragma once

#include "HttpTransfers.h"
#include "S3Upload.h"

// Fills the transfer's URL and signing, and makes its reason on failure the server's.
void SignS3Download(const S3Object& object, HttpTransfer* transfer);
