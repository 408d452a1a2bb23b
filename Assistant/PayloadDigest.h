// MD5 and SHA-256 of an upload's payload, computed together as it is read. libcrypto's digests use
// the processor's SHA and vector instructions: its SHA-256 runs about ten times GLib's here, which
// had bounded the throughput of multipart uploads.
#pragma once

#include <cstddef>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

class PayloadDigest {
public:
    PayloadDigest();
    ~PayloadDigest();
    PayloadDigest(const PayloadDigest&) = delete;
    PayloadDigest& operator=(const PayloadDigest&) = delete;

    void Update(const void* data, size_t size);
    // The two digests' bytes; false when they could not be computed (a library that refuses MD5,
    // say).
    bool Finish(std::string* md5, std::string* sha256);

private:
    EVP_MD_CTX* mMd5;
    EVP_MD_CTX* mSha256;
    bool mOk;
};
